#include "system/transfer/curl_api.h"

#include <dlfcn.h>

#include <atomic>

namespace korvala {

namespace {

std::atomic<bool> gLoaded{false};

template <typename Fn>
bool bind(void* library, const char* name, Fn& slot, std::string& failure) {
    slot = reinterpret_cast<Fn>(::dlsym(library, name));
    if (!slot && failure.empty()) failure = std::string("libcurl lacks ") + name;
    return slot != nullptr;
}

CurlApi load() {
    CurlApi api;
    // The library the game was built against; never unloaded: its TLS
    // libraries keep state for the whole process.
    void* library = ::dlopen(KORVALA_CURL_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        api.failure = std::string("cannot load " KORVALA_CURL_SONAME ": ") + (why ? why : "unknown reason");
        return api;
    }
    decltype(&::curl_global_init) globalInit = nullptr;
    decltype(&::curl_version_info) versionInfo = nullptr;
    bind(library, "curl_global_init", globalInit, api.failure);
    bind(library, "curl_version_info", versionInfo, api.failure);
    bind(library, "curl_easy_init", api.easy_init, api.failure);
    bind(library, "curl_easy_cleanup", api.easy_cleanup, api.failure);
    bind(library, "curl_easy_reset", api.easy_reset, api.failure);
    bind(library, "curl_easy_setopt", api.easy_setopt, api.failure);
    bind(library, "curl_easy_strerror", api.easy_strerror, api.failure);
    bind(library, "curl_easy_escape", api.easy_escape, api.failure);
    bind(library, "curl_multi_init", api.multi_init, api.failure);
    bind(library, "curl_multi_cleanup", api.multi_cleanup, api.failure);
    bind(library, "curl_multi_add_handle", api.multi_add_handle, api.failure);
    bind(library, "curl_multi_remove_handle", api.multi_remove_handle, api.failure);
    bind(library, "curl_multi_perform", api.multi_perform, api.failure);
    bind(library, "curl_multi_poll", api.multi_poll, api.failure);
    bind(library, "curl_multi_wakeup", api.multi_wakeup, api.failure);
    bind(library, "curl_multi_info_read", api.multi_info_read, api.failure);
    bind(library, "curl_slist_append", api.slist_append, api.failure);
    bind(library, "curl_slist_free_all", api.slist_free_all, api.failure);
    bind(library, "curl_free", api.free, api.failure);
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
