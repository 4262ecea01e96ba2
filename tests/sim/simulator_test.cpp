// The simulator's language: a bad line stops the run with status 2 and names
// the line; what ran before it is still written; escapes round-trip.
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <sstream>

namespace korvala {
namespace {

struct SimRun {
    int status;
    std::string out, err;
};

SimRun run(const std::string& scenario) {
    std::istringstream in(scenario);
    std::ostringstream out, err;
    SimulatorOptions options;
    options.dataFolder = ::testing::TempDir() + "/korvala-sim-test";
    const int status = runScenario(in, out, err, options);
    return {status, out.str(), err.str()};
}

TEST(Simulator, BadLinesStopTheRunWithStatus2) {
    const std::pair<const char*, const char*> cases[] = {
        {"10 print Nilai Caption\n5 holes\n", "error: line 3: time 5 goes back"},
        {"0 fly lobang(1)\n", "error: line 2: unknown verb 'fly'"},
        {"0 click lobang(0)\n", "unknown element 'lobang(0)'"},
        {"0 click lobang(1\n", "bad element"},
        {"x holes\n", "bad time 'x'"},
        {"-5 holes\n", "bad time '-5'"},
        {"0 print Nilai Colour\n", "unknown property 'Colour'"},
        {"0 print Nilai Interval\n", "Nilai has no Interval"},
        {"0 type Nilai 5\n", "cannot be typed into"},
        {"0 type TX(1) a\\q\n", "unknown escape"},
        {"0 holes extra\n", "unexpected 'extra'"},
        {"0 do fly\n", "unknown operation 'fly'"},
        {"0 clickat 10\n", "missing argument"},
        {"\n# a comment\n0\n", "error: line 4: no verb"},
        // Numbers that would wrap: an index past any array, a coordinate
        // beyond 32 bits, a time past the 24-hour horizon.
        {"0 print TX(4294967299) Text\n", "unknown element 'TX(4294967299)'"},
        {"0 click lobang(4294967299)\n", "unknown element 'lobang(4294967299)'"},
        {"0 clickat 4294967396 10\n", "bad number '4294967396'"},
        {"0 moveat 10 -2147483649\n", "bad number '2147483649'"},
        {"86400001 screen\n", "bad time '86400001'"},
        {"999999999999999 screen\n", "bad time '999999999999999'"},
    };
    for (const auto& [scenario, message] : cases) {
        const SimRun r = run(std::string("0 screen\n") + scenario);
        EXPECT_EQ(r.status, 2) << scenario;
        EXPECT_EQ(r.out.rfind("0 screen = OPENS\n", 0), 0u) << scenario;
        EXPECT_EQ(r.out.back(), '\n') << "no half-written line for " << scenario;
        EXPECT_NE(r.err.find(message), std::string::npos) << scenario << " gave: " << r.err;
    }
}

TEST(Simulator, ErrorLinesQuoteAtMost40CharactersEscaped) {
    const struct {
        std::string scenario, error;
    } cases[] = {
        {"0 " + std::string(100000, 'x') + "\n", "error: line 1: unknown verb '" + std::string(40, 'x') + "'...\n"},
        {std::string("0 f\x1b[2J\x07\x7f\0y\n", 12), "error: line 1: unknown verb 'f\\x1B[2J\\x07\\x7F\\x00y'\n"},
        {"0 " + std::string(39, 'a') + "\xc3\xa9\xc3\xa9\n",
         "error: line 1: unknown verb '" + std::string(39, 'a') + "\xc3\xa9'...\n"},
        // Stray continuation bytes are a character each, not one endless one.
        {"0 \xc3" + std::string(3000, '\x80') + "\n",
         "error: line 1: unknown verb '\xc3\x80" + std::string(39, '\x80') + "'...\n"},
    };
    for (const auto& c : cases) {
        const SimRun r = run(c.scenario);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.error);
    }
}

TEST(Simulator, ABoxTakesAtMostItsLimitTypedAndTheLimitRoundTripsThroughItsFile) {
    const std::string longest = std::string(30000 - 1, 'a') + "\xf0\x9f\x98\x80";  // 30000 characters
    const SimRun ok = run("0 type konfignama " + longest +
                          "\n0 do SaveFile konfignama n\n0 type konfignama x\n"
                          "0 do LoadFile konfignama n\n0 print konfignama Text\n");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "0 konfignama.Text = \"" + longest + "\"\n");
    const SimRun tooLong = run("0 type KonfigNegara " + std::string(30001, 'b') + "\n");
    EXPECT_EQ(tooLong.status, 2);
    EXPECT_NE(tooLong.err.find("KonfigNegara holds at most 30000 characters"), std::string::npos) << tooLong.err;
}

TEST(Simulator, TypedEscapesAndPrintedValuesRoundTrip) {
    const SimRun r =
        run("0 type TX(1) \\sa\\\\b\\t\"c\\r\\n\n0 print TX(1) Text\n"
            "0 type konfignama x\\r\\ny\n0 print konfignama Text\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "0 TX(1).Text = \" a\\\\b\\t\\\"c\\r\\n\"\n"
              "0 konfignama.Text = \"xy\"\n");  // the name field refuses line breaks
}

TEST(Simulator, ClicksAtAPixelGoThroughTheScreen) {
    // The first splash covers the board: a click at a hole's place reaches
    // the splash, not the hole; the hole itself can still be clicked directly.
    const SimRun r =
        run("0 do startGame\n1000 clickat 420 130\n1000 print Nilai Caption\n"
            "1000 click lobang(2)\n1000 print Nilai Caption\n1000 print Form1 Caption\n"
            "1000 print Image3 Picture\n1000 print Timer4 Interval\n");
    EXPECT_EQ(r.out,
              "1000 Nilai.Caption = \"0\"\n1000 Nilai.Caption = \"1\"\n"
              "1000 Form1.Caption = \"Korvala Deluxe 1.0\"\n1000 Image3.Picture = \"MNU(0)\"\n"
              "1000 Timer4.Interval = \"5000\"\n");
}

}  // namespace
}  // namespace korvala
