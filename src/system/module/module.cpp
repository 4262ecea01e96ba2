#include "system/module/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace korvala {

namespace {

std::string lastError() {
    const char* why = ::dlerror();
    return why ? why : "unknown reason";
}

}  // namespace

Module::~Module() { close(); }

Module::Module(Module&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      path_(std::move(other.path_)),
      failure_(std::move(other.failure_)) {}

Module& Module::operator=(Module&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        failure_ = std::move(other.failure_);
    }
    return *this;
}

Module Module::open(const std::vector<std::string>& candidates) {
    Module module;
    for (const std::string& candidate : candidates) {
        if (candidate.empty()) continue;
        if (void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            module.handle_ = handle;
            module.path_ = candidate;
            module.failure_.clear();
            return module;
        }
        // dlerror() names the file in most of its reasons, not in all.
        std::string why = lastError();
        if (why.find(candidate) == std::string::npos) why = candidate + ": " + why;
        module.failure_ += (module.failure_.empty() ? "" : "; ") + why;
    }
    if (module.failure_.empty()) module.failure_ = "no module to look for";
    return module;
}

void* Module::find(const char* name) {
    if (!handle_) return nullptr;
    ::dlerror();  // a symbol may be null: only a reason tells a miss
    void* address = ::dlsym(handle_, name);
    if (!address && failure_.empty()) failure_ = path_ + " lacks " + name;
    return address;
}

void Module::keep() { handle_ = nullptr; }

void Module::close() {
    if (handle_) ::dlclose(std::exchange(handle_, nullptr));
}

std::vector<std::string> gameModuleCandidates(const std::string& file, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named) return {named};
    const std::string folder = executableFolder();
    if (folder.empty()) return {};
    return {folder + "/" + file};
}

std::string executableFolder() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/'));
}

}  // namespace korvala
