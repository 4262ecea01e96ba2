// The faces the game's text is drawn in. With the machine's own fonts
// (Liberation Sans installed) nothing of the game's own is loaded and both
// "MS Sans Serif" and "Tahoma" draw in Liberation Sans, as the game was laid
// out. With a font configuration that holds DejaVu only, the game's own
// copies beside it fill in: Liberation Sans for "MS Sans Serif", Tahoma's
// free counterpart for "Tahoma"; either way the labels fit their rectangles,
// which DejaVu Sans, the system's last resort, does not.
//
// CTest runs this twice, with --fonts=system and with --fonts=bundled (and the
// DejaVu-only configuration); each run first checks that the font database is
// as that run needs it.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <string>

#include "qt/view/fonts.h"

#ifndef KORVALA_BUNDLED_FONTS
#error "KORVALA_BUNDLED_FONTS must name the game's fonts folder in the build"
#endif

namespace {

// "system" or "bundled": what the run's font configuration should lead to.
std::string expected;

bool bundledRun() { return expected == "bundled"; }

bool hasFamily(const QStringList& families, const char* family) {
    return families.contains(QString::fromLatin1(family), Qt::CaseInsensitive);
}

class GameFonts : public ::testing::Test {
protected:
    static inline QStringList before, after;

    static void SetUpTestSuite() {
        before = QFontDatabase::families();
        korvala::installFontSubstitutes(QStringLiteral(KORVALA_BUNDLED_FONTS));
        after = QFontDatabase::families();
    }
};

TEST_F(GameFonts, TheMachineIsAsThisRunNeedsIt) {
    ASSERT_TRUE(expected == "system" || expected == "bundled") << "run with --fonts=system or --fonts=bundled";
    if (bundledRun()) {
        EXPECT_FALSE(hasFamily(before, "Liberation Sans")) << "the font configuration still offers Liberation Sans";
        EXPECT_FALSE(hasFamily(before, "Arimo"));
        EXPECT_FALSE(hasFamily(before, "Tahoma"));
    } else {
        EXPECT_TRUE(hasFamily(before, "Liberation Sans")) << "Liberation Sans (fonts-liberation) is not installed";
    }
}

TEST_F(GameFonts, OwnCopiesAreLoadedOnlyWhereTheSystemHasNothingNear) {
    if (bundledRun()) {
        EXPECT_TRUE(hasFamily(after, "Liberation Sans"));
        EXPECT_TRUE(hasFamily(after, "Tahoma"));
    } else {
        EXPECT_EQ(after, before) << "faces were loaded although the system has Liberation Sans";
    }
}

struct TextCase {
    const char* text;
    korvala::Font font;
    double boxWidth;            // the label's width in the window, pixels
    const char* systemFamily;   // drawn in, with the machine's fonts
    const char* bundledFamily;  // drawn in, with the game's own copies
};

// Labels of the window, each in its own font and rectangle.
const TextCase kLabels[] = {
    {"Dilarang Menggunakan Spasi!", {"MS Sans Serif", 8.25, false, false}, 161, "Liberation Sans", "Liberation Sans"},
    {"Grade:", {"MS Sans Serif", 8.25, true, false}, 41, "Liberation Sans", "Liberation Sans"},
    {"Tidak", {"MS Sans Serif", 13.5, false, false}, 49, "Liberation Sans", "Liberation Sans"},
    {"X", {"MS Sans Serif", 24, true, true}, 41, "Liberation Sans", "Liberation Sans"},
    {"Negara:", {"Tahoma", 12, true, false}, 65, "Liberation Sans", "Tahoma"},
    {"E-Mail:", {"Tahoma", 12, true, false}, 65, "Liberation Sans", "Tahoma"},
    {"10000", {"Tahoma", 36, true, false}, 169, "Liberation Sans", "Tahoma"},
};

TEST_F(GameFonts, LabelsDrawInTheNearestFaceAndFitTheirRectangles) {
    for (const TextCase& c : kLabels) {
        SCOPED_TRACE(std::string(c.text) + " in " + c.font.face);
        const QFont font = korvala::qtFont(c.font);
        const QFontInfo info(font);
        EXPECT_EQ(info.family().toStdString(), bundledRun() ? c.bundledFamily : c.systemFamily);
        EXPECT_EQ(info.bold(), c.font.bold);
        EXPECT_EQ(info.italic(), c.font.italic);
        // The ink, from the label's left edge where the text starts.
        EXPECT_LE(QFontMetricsF(font).tightBoundingRect(QString::fromLatin1(c.text)).right(), c.boxWidth);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--fonts=", 0) == 0) expected = std::string(argv[i]).substr(8);
    return RUN_ALL_TESTS();
}
