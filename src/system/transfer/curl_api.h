#pragma once
// libcurl, loaded by the first transfer rather than at start: a game that
// never goes online does without it and the TLS libraries it brings. The
// channels' worker threads load it, so the window never waits for it.
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
    decltype(&::curl_easy_escape) easy_escape = nullptr;
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
    decltype(&::curl_free) free = nullptr;

    bool loaded() const { return failure.empty(); }
};

// The first call loads libcurl, checks it (libcurlProblem) and runs its
// global initialisation, on whichever thread makes it; later calls, from any
// thread, return the same table.
const CurlApi& curlApi();

// Why a libcurl of this version and these features cannot serve the
// channels ("" when it can): they need 7.85 or later (the protocol
// restriction by name, CURLOPT_PROTOCOLS_STR) and a global initialisation
// that is thread-safe (CURL_VERSION_THREADSAFE), since two channels may make
// their first request at the same moment.
std::string libcurlProblem(const curl_version_info_data* info);

// Whether the first transfer has loaded libcurl yet (or tried to); for the
// tests that check it is not loaded before then.
bool curlLoaded();

}  // namespace korvala
