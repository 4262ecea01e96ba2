#pragma once
// A shared object the game loads when it first needs it rather than at
// start-up (libcurl, the sound output, the web engine): opened from a list
// of candidates, its symbols found by name, and the reason kept when either
// fails, for the log. A Module closes what it opened when it goes, unless
// told to keep it loaded for the rest of the process.
//
//   Module m = Module::open(gameModuleCandidates("x.so", "KORVALA_X_MODULE"));
//   auto entry = m.symbol<Entry>("x_entry");
//   if (!entry) log(m.failure());
//   m.keep();
#include <string>
#include <vector>

namespace korvala {

class Module {
public:
    Module() = default;
    // Closes the module unless keep() was called.
    ~Module();
    Module(Module&& other) noexcept;
    Module& operator=(Module&& other) noexcept;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Opens the first candidate that loads, in order: one with a '/' is a
    // path, taken as it is; a bare name (a soname such as "libcurl.so.4") is
    // looked up by the system's loader. Empty candidates are skipped. Every
    // symbol is bound at once (RTLD_NOW), so a module that loads has all it
    // needs, and its symbols stay its own (RTLD_LOCAL). When none loads,
    // failure() names each candidate with the system's reason.
    static Module open(const std::vector<std::string>& candidates);

    bool isOpen() const { return handle_ != nullptr; }
    // The candidate that was opened (also once kept); empty when none was.
    const std::string& path() const { return path_; }
    // Why the module is not open, or the first symbol it lacked; empty while
    // all is well.
    const std::string& failure() const { return failure_; }

    // The symbol `name` as a `T` (a function or a pointer to data); null
    // when the module is not open or lacks it (failure() then says so).
    template <typename T>
    T symbol(const char* name) {
        return reinterpret_cast<T>(find(name));
    }

    // Leaves the module loaded for the rest of the process, for one whose
    // code keeps threads or state that outlive this object. Symbols found
    // before stay valid; the Module holds nothing afterwards.
    void keep();

private:
    void* find(const char* name);
    void close();

    void* handle_ = nullptr;
    std::string path_;
    std::string failure_;
};

// Where one of the game's own modules is looked for: the file named by the
// environment variable `variable` when it is set and not empty (taken as it
// is: a packager's layout, or a test's module), else `file` beside the
// running executable. Never a folder of the build: an installed game finds
// its modules beside itself, and a program elsewhere in the build names them.
std::vector<std::string> gameModuleCandidates(const std::string& file, const char* variable);

// The folder of the running executable, links resolved; empty when unknown.
std::string executableFolder();

}  // namespace korvala
