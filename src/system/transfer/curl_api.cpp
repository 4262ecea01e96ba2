#include "system/transfer/curl_api.h"

#include <atomic>

#include "system/module/module.h"

namespace korvala {

namespace {

std::atomic<bool> gLoaded{false};

template <typename Fn>
void bind(Module& library, const char* name, Fn& slot) {
    slot = library.symbol<Fn>(name);
}

CurlApi load() {
    CurlApi api;
    // The library the game was built against; kept loaded for the whole
    // process: its TLS libraries keep state until the process ends.
    Module library = Module::open({KORVALA_CURL_SONAME});
    if (!library.isOpen()) {
        api.failure = library.failure();
        gLoaded = true;
        return CurlApi{api.failure};
    }
    decltype(&::curl_global_init) globalInit = nullptr;
    decltype(&::curl_version_info) versionInfo = nullptr;
    bind(library, "curl_global_init", globalInit);
    bind(library, "curl_version_info", versionInfo);
    bind(library, "curl_easy_init", api.easy_init);
    bind(library, "curl_easy_cleanup", api.easy_cleanup);
    bind(library, "curl_easy_reset", api.easy_reset);
    bind(library, "curl_easy_setopt", api.easy_setopt);
    bind(library, "curl_easy_strerror", api.easy_strerror);
    bind(library, "curl_easy_escape", api.easy_escape);
    bind(library, "curl_multi_init", api.multi_init);
    bind(library, "curl_multi_cleanup", api.multi_cleanup);
    bind(library, "curl_multi_add_handle", api.multi_add_handle);
    bind(library, "curl_multi_remove_handle", api.multi_remove_handle);
    bind(library, "curl_multi_perform", api.multi_perform);
    bind(library, "curl_multi_poll", api.multi_poll);
    bind(library, "curl_multi_wakeup", api.multi_wakeup);
    bind(library, "curl_multi_info_read", api.multi_info_read);
    bind(library, "curl_slist_append", api.slist_append);
    bind(library, "curl_slist_free_all", api.slist_free_all);
    bind(library, "curl_free", api.free);
    api.failure = library.failure();
    library.keep();
    if (api.failure.empty()) {
        api.failure = libcurlProblem(versionInfo(CURLVERSION_NOW));
        if (api.failure.empty()) {
            if (const CURLcode rc = globalInit(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
                api.failure = "libcurl's initialisation failed (code " + std::to_string(static_cast<int>(rc)) + ")";
        }
    }
    if (!api.failure.empty()) api = CurlApi{api.failure};  // no half-bound table
    gLoaded = true;
    return api;
}

}  // namespace

std::string libcurlProblem(const curl_version_info_data* info) {
    constexpr unsigned kNeeded = 0x075500;  // 7.85.0
    if (!info) return "libcurl does not tell its version";
    const std::string version = info->version ? info->version : "of an unknown version";
    if (info->version_num < kNeeded) return "libcurl " + version + " is older than 7.85";
    if (!(info->features & CURL_VERSION_THREADSAFE))
        return "libcurl " + version + " was built without thread-safe initialisation";
    return {};
}

const CurlApi& curlApi() {
    static const CurlApi api = load();
    return api;
}

bool curlLoaded() { return gLoaded.load(); }

}  // namespace korvala
