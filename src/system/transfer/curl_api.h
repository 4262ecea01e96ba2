#pragma once
// libcurl, loaded when the first transfer is asked for rather than when the
// game starts: libcurl and the TLS stack it brings (libcrypto, libssl,
// gnutls, p11-kit and more) hold several megabytes that a game which never
// goes online does not need. The channels' worker threads load it, so the
// window never waits for it.
//
// The functions keep libcurl's signatures and are called through
// curlApi(), e.g. curlApi().easy_setopt(h, CURLOPT_URL, url).
#include <curl/curl.h>

#include <string>

namespace korvala {

struct CurlApi {
    // Empty once loaded and initialised; otherwise why not, and every
    // function below is null.
    std::string failure;

    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_easy_reset) easy_reset = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_multi_init) multi_init = nullptr;
    decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
    decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&::curl_multi_perform) multi_perform = nullptr;
    decltype(&::curl_multi_poll) multi_poll = nullptr;
    decltype(&::curl_multi_wakeup) multi_wakeup = nullptr;
    decltype(&::curl_multi_info_read) multi_info_read = nullptr;
    decltype(&::curl_slist_append) slist_append = nullptr;
    decltype(&::curl_slist_free_all) slist_free_all = nullptr;
    decltype(&::curl_url) url = nullptr;
    decltype(&::curl_url_cleanup) url_cleanup = nullptr;
    decltype(&::curl_url_get) url_get = nullptr;
    decltype(&::curl_url_set) url_set = nullptr;
    decltype(&::curl_free) free = nullptr;

    bool loaded() const { return failure.empty(); }
};

// Loads libcurl and runs its global initialisation on the first call, from
// whichever thread makes it (libcurl's initialisation is thread-safe from
// 7.84 on, which the load checks); later calls return the same table.
const CurlApi& curlApi();

// Whether the first transfer has loaded libcurl yet (or tried to); for the
// tests that check it is not loaded before then.
bool curlLoaded();

}  // namespace korvala
