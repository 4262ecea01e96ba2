// What the channels need of the libcurl they load: a version with the
// protocol restriction by name and thread-safe initialisation.
#include "system/transfer/curl_api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvala {
namespace {

curl_version_info_data versionInfo(const char* version, unsigned number, int features) {
    curl_version_info_data info{};
    info.version = version;
    info.version_num = number;
    info.features = features;
    return info;
}

TEST(CurlLoad, TheVersionMustHaveWhatTheChannelsUse) {
    struct Case {
        curl_version_info_data info;
        std::string problem;  // a part of it; empty: usable
    };
    const std::vector<Case> cases = {
        {versionInfo("7.84.0", 0x075400, CURL_VERSION_THREADSAFE), "older than 7.85"},
        {versionInfo("7.85.0", 0x075500, 0), "thread-safe"},
        {versionInfo("7.85.0", 0x075500, CURL_VERSION_THREADSAFE | CURL_VERSION_SSL), ""},
        {versionInfo("8.5.0", 0x080500, CURL_VERSION_THREADSAFE), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info.version);
        const std::string problem = libcurlProblem(&c.info);
        if (c.problem.empty()) {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
            EXPECT_NE(problem.find(c.info.version), std::string::npos) << problem;
        }
    }
    EXPECT_NE(libcurlProblem(nullptr), "");
}

// The libcurl of this machine passes the same check when it is loaded.
TEST(CurlLoad, ThisMachinesLibcurlLoads) { EXPECT_TRUE(curlApi().loaded()) << curlApi().failure; }

}  // namespace
}  // namespace korvala
