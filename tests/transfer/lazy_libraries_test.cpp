// libcurl and the TLS libraries stay out of the game until it goes online:
// channels made at start-up load nothing, the first request loads libcurl
// on the channel's worker, and libcrypto comes in only for a score name long
// enough to need its hash.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "ftp_fixture.h"
#include "system/files/safe_name.h"
#include "system/transfer/curl_api.h"
#include "system/transfer/curl_channel.h"

namespace korvala {
namespace {

using namespace std::chrono_literals;

bool mapped(const std::string& library) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream all;
    all << maps.rdbuf();
    return all.str().find(library) != std::string::npos;
}

TEST(LazyLibraries, libcurlComesWithTheFirstRequestAndLibcryptoWithTheFirstLongName) {
    transfer_test::WindowThread window;
    CurlChannel listing(window.poster(), nullptr, nullptr, std::filesystem::path{});
    CurlChannel upload(window.poster(), nullptr, nullptr, std::filesystem::path{});
    EXPECT_EQ(safeFileName("Pemain 12345 indonesia"), "Pemain 12345 indonesia");
    for (const char* library : {"libcurl", "libssl", "libcrypto.so", "libgnutls"})
        EXPECT_FALSE(mapped(library)) << library << " is loaded before any transfer";
    EXPECT_FALSE(curlLoaded());

    int reports = 0;
    int state = 0;
    listing.stateChanged = [&](int s) {
        ++reports;
        state = s;
    };
    ChannelSettings settings;
    settings.URL = "ftp://127.0.0.1:" + std::to_string(transfer_test::closedPort()) + "/";
    settings.UserName = "korvala";
    settings.RequestTimeout = "5";
    TransferRequest request;
    request.kind = TransferRequest::Kind::Listing;
    request.folder = "Korvala/";
    listing.execute(settings, request);
    ASSERT_TRUE(window.runUntil([&] { return reports == 1; }, 30s));
    EXPECT_EQ(state, CurlChannel::kStateFailed);
    EXPECT_TRUE(curlLoaded());
    EXPECT_TRUE(mapped("libcurl"));

    const std::string longName(300, 'x');
    EXPECT_EQ(safeFileName(longName).size(), 120u + 2u + 64u);
    EXPECT_TRUE(mapped("libcrypto.so"));
}

}  // namespace
}  // namespace korvala
