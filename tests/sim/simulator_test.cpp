// The simulator's language: a bad line stops the run with status 2 and names
// the line; what ran before it is still written; escapes round-trip.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/simulator.h"

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
    };
    for (const auto& [scenario, message] : cases) {
        const SimRun r = run(std::string("0 screen\n") + scenario);
        EXPECT_EQ(r.status, 2) << scenario;
        EXPECT_EQ(r.out.rfind("0 screen = OPENS\n", 0), 0u) << scenario;
        EXPECT_EQ(r.out.back(), '\n') << "no half-written line for " << scenario;
        EXPECT_NE(r.err.find(message), std::string::npos) << scenario << " gave: " << r.err;
    }
}

TEST(Simulator, TypedEscapesAndPrintedValuesRoundTrip) {
    const SimRun r = run("0 type TX(1) \\sa\\\\b\\t\"c\\r\\n\n0 print TX(1) Text\n"
                      "0 type konfignama x\\r\\ny\n0 print konfignama Text\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0 TX(1).Text = \" a\\\\b\\t\\\"c\\r\\n\"\n"
                     "0 konfignama.Text = \"xy\"\n");  // the name field refuses line breaks
}

TEST(Simulator, ClicksAtAPixelGoThroughTheScreen) {
    // The first splash covers the board: a click at a hole's place reaches
    // the splash, not the hole; the hole itself can still be clicked directly.
    const SimRun r = run("0 do startGame\n1000 clickat 420 130\n1000 print Nilai Caption\n"
                      "1000 click lobang(2)\n1000 print Nilai Caption\n1000 print Form1 Caption\n"
                      "1000 print Image3 Picture\n1000 print Timer4 Interval\n");
    EXPECT_EQ(r.out, "1000 Nilai.Caption = \"0\"\n1000 Nilai.Caption = \"1\"\n"
                     "1000 Form1.Caption = \"Korvala Deluxe 1.0\"\n1000 Image3.Picture = \"MNU(0)\"\n"
                     "1000 Timer4.Interval = \"5000\"\n");
}

}  // namespace
}  // namespace korvala
