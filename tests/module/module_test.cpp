// Loading a module at first use: which candidate opens and why the others
// did not, symbols found and missed, the module closed when its Module goes
// unless kept, and where the game's own modules are looked for.
#include "system/module/module.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korvala {
namespace {

bool mapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find(path) != std::string::npos;
}

TEST(Module, opensTheFirstCandidateThatLoadsAndSaysWhyTheOthersDidNot) {
    const std::string missing = std::string(KORVALA_TEST_DIR) + "/no-such-module.so";
    struct Case {
        const char* what;
        std::vector<std::string> candidates;
        std::string opens;                 // empty: none does
        std::vector<std::string> reasons;  // in failure(), when none does
    };
    const Case cases[] = {
        {"a missing file", {missing}, "", {missing, "No such file"}},
        {"a file that is no module", {KORVALA_TEST_SOURCE}, "", {KORVALA_TEST_SOURCE, "invalid ELF header"}},
        {"both", {missing, KORVALA_TEST_SOURCE}, "", {"No such file", "; ", "invalid ELF header"}},
        {"a missing file, then the module", {missing, KORVALA_PROBE}, KORVALA_PROBE, {}},
        {"an empty candidate is skipped", {"", KORVALA_PROBE}, KORVALA_PROBE, {}},
        {"a soname the system finds", {"libc.so.6"}, "libc.so.6", {}},
        {"nothing to look for", {}, "", {"no module"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Module module = Module::open(c.candidates);
        EXPECT_EQ(module.isOpen(), !c.opens.empty());
        EXPECT_EQ(module.path(), c.opens);
        if (c.opens.empty()) {
            for (const std::string& reason : c.reasons)
                EXPECT_NE(module.failure().find(reason), std::string::npos) << module.failure();
        } else {
            EXPECT_EQ(module.failure(), "");
        }
    }
}

TEST(Module, findsSymbolsAndNamesTheFirstOneMissing) {
    Module module = Module::open({KORVALA_PROBE});
    ASSERT_TRUE(module.isOpen()) << module.failure();
    const auto answer = module.symbol<int (*)()>("probe_answer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_STREQ(module.symbol<const char*>("probe_name"), "probe");
    EXPECT_EQ(module.failure(), "");

    EXPECT_EQ(module.symbol<int (*)()>("probe_absent"), nullptr);
    EXPECT_EQ(module.symbol<int (*)()>("probe_gone_too"), nullptr);
    EXPECT_EQ(module.failure(), std::string(KORVALA_PROBE) + " lacks probe_absent");
    EXPECT_NE(module.symbol<int (*)()>("probe_answer"), nullptr) << "a miss closes nothing";

    Module none;
    EXPECT_EQ(none.symbol<int (*)()>("probe_answer"), nullptr);
}

TEST(Module, closesWhenItGoesUnlessKept) {
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "kept" : "not kept");
        const std::string probe = keep ? KORVALA_PROBE_KEPT : KORVALA_PROBE;
        {
            Module module = Module::open({probe});
            ASSERT_TRUE(module.isOpen()) << module.failure();
            Module moved = std::move(module);  // one owner, closed once
            EXPECT_FALSE(module.isOpen());
            EXPECT_TRUE(mapped(probe));
            if (keep) {
                const auto answer = moved.symbol<int (*)()>("probe_answer");
                moved.keep();
                EXPECT_FALSE(moved.isOpen());
                EXPECT_EQ(moved.path(), probe);
                EXPECT_EQ(answer(), 42);
            }
        }
        EXPECT_EQ(mapped(probe), keep);
    }
}

TEST(Module, theGamesModulesLieBesideTheExecutableUnlessAVariableNamesThem) {
    constexpr char kVariable[] = "KORVALA_TEST_MODULE";
    const std::string beside = executableFolder() + "/probe.so";
    EXPECT_EQ(executableFolder(), KORVALA_TEST_DIR);

    ::unsetenv(kVariable);
    EXPECT_EQ(gameModuleCandidates("probe.so", kVariable), std::vector<std::string>{beside});
    ::setenv(kVariable, "", 1);
    EXPECT_EQ(gameModuleCandidates("probe.so", kVariable), std::vector<std::string>{beside});
    ::setenv(kVariable, "/elsewhere/other.so", 1);
    EXPECT_EQ(gameModuleCandidates("probe.so", kVariable), std::vector<std::string>{"/elsewhere/other.so"});
    ::unsetenv(kVariable);
}

}  // namespace
}  // namespace korvala
