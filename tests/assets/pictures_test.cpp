// Checks every picture the game ships, as the game reads them from its
// resource file (:/pictures/<name>.png, and the dense sets <name>@1.5x.png and
// <name>@2x.png): its pixel size, decoded, against the size the window model
// lays it out at (pictureSize), its kind (full colour, palette with one
// transparent entry, or the icon's on/off mask), and what the game relies on
// when it swaps pictures: a highlighted menu entry is its plain entry with
// brighter lettering, the five hole pictures keep the hole in the same place,
// the arrows point and are coloured as their names say, and no two pictures
// are the same. Each dense picture shows its 1x picture, and the kept 1x
// pictures are what their sources make today.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "qt/pictures/picture_resources.h"
#include "window/picture_store.h"

namespace {

enum class Kind { FullColour, Palette, Icon };

struct PictureCase {
    const char* name;  // of the file
    Kind kind;
};

// Failure messages name the picture rather than dumping the case's bytes.
void PrintTo(const PictureCase& pc, std::ostream* os) { *os << pc.name; }

// The sets: 1x, and the same pictures drawn 1.5 and 2 times as finely for
// dense screens, ceil(factor * size) pixels.
struct Scale {
    const char* suffix;  // of the file name: "", "@1.5x", "@2x"
    double factor;
    const char* label;  // for test names
};

const Scale kScales[] = {{"", 1.0, "1x"}, {"@1.5x", 1.5, "1_5x"}, {"@2x", 2.0, "2x"}};
const Scale& kOneX = kScales[0];

void PrintTo(const Scale& s, std::ostream* os) { *os << s.label; }

int scaled(int v, const Scale& s) { return int(std::ceil(v * s.factor)); }

// The name the game gives a picture of a file: "MNU3" is "MNU(3)" of the
// picture store, "board" is "board".
std::string gameName(const std::string& file) {
    const std::size_t digits = file.find_first_of("0123456789");
    if (digits == std::string::npos || digits == 0) return file;
    const std::string family = file.substr(0, digits);
    const int index = std::stoi(file.substr(digits));
    return korvala::PictureStore::holds(family, index) ? family + "(" + std::to_string(index) + ")" : file;
}

// The size the window model lays a picture out at, in window pixels.
QSize layoutSize(const std::string& file) {
    const korvala::PictureSize size = korvala::pictureSize(gameName(file));
    return QSize(size.width, size.height);
}

// Every picture of the game, once.
const std::vector<PictureCase>& pictures() {
    static const std::vector<PictureCase> all = {
        {"board", Kind::FullColour},   {"splash2", Kind::FullColour},    {"scores_backdrop", Kind::FullColour},
        {"title", Kind::FullColour},   {"credits", Kind::FullColour},    {"result", Kind::FullColour},
        {"profile", Kind::FullColour}, {"scoreboard", Kind::FullColour}, {"partner_logo", Kind::FullColour},
        {"MNU0", Kind::Palette},       {"MNU1", Kind::Palette},          {"MNU2", Kind::Palette},
        {"MNU3", Kind::Palette},       {"MNU4", Kind::Palette},          {"MNU5", Kind::Palette},
        {"MNU6", Kind::Palette},       {"MNU7", Kind::Palette},          {"MNU8", Kind::Palette},
        {"MNU9", Kind::Palette},       {"MNU10", Kind::Palette},         {"MNU11", Kind::Palette},
        {"Ki0", Kind::Palette},        {"Ki1", Kind::Palette},           {"Ki2", Kind::Palette},
        {"Ka0", Kind::Palette},        {"Ka1", Kind::Palette},           {"Ka2", Kind::Palette},
        {"Kosong", Kind::Palette},     {"kena", Kind::Palette},          {"jam", Kind::Palette},
        {"bom", Kind::Palette},        {"Teler", Kind::Palette},         {"icon", Kind::Icon},
    };
    return all;
}

QString resourcePath(const std::string& name, const Scale& scale = kOneX) {
    korvala::registerPictureResources();
    return QStringLiteral(":/pictures/%1%2.png").arg(QString::fromStdString(name), scale.suffix);
}

QByteArray readResource(const std::string& name, const Scale& scale = kOneX) {
    QFile f(resourcePath(name, scale));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

// What the PNG chunks say about a file: header fields, palette size and the
// transparency chunk. Empty when the file is not a well-formed PNG.
struct PngInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    int bitDepth = 0;
    int colourType = -1;
    int paletteEntries = 0;
    std::optional<QByteArray> trns;
};

uint32_t be32(const QByteArray& d, qsizetype at) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.constData() + at);
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

std::optional<PngInfo> parsePng(const QByteArray& d) {
    static const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (!d.startsWith(signature)) return std::nullopt;
    PngInfo info;
    bool sawHeader = false;
    bool sawEnd = false;
    qsizetype at = 8;
    while (at + 12 <= d.size()) {
        const uint32_t len = be32(d, at);
        if (len > uint32_t(d.size() - at - 12)) return std::nullopt;  // chunk runs past the end
        const QByteArray type = d.mid(at + 4, 4);
        const QByteArray data = d.mid(at + 8, len);
        if (type == "IHDR") {
            if (len != 13) return std::nullopt;
            info.width = be32(data, 0);
            info.height = be32(data, 4);
            info.bitDepth = static_cast<unsigned char>(data[8]);
            info.colourType = static_cast<unsigned char>(data[9]);
            sawHeader = true;
        } else if (type == "PLTE") {
            if (len % 3 != 0) return std::nullopt;
            info.paletteEntries = int(len / 3);
        } else if (type == "tRNS") {
            info.trns = data;
        } else if (type == "IEND") {
            sawEnd = true;
            break;
        }
        at += 12 + qsizetype(len);
    }
    if (!sawHeader || !sawEnd) return std::nullopt;
    return info;
}

QImage decode(const std::string& name, const Scale& scale = kOneX) {
    QImage img;
    img.loadFromData(readResource(name, scale), "PNG");
    return img.isNull() ? img : img.convertToFormat(QImage::Format_ARGB32);
}

struct AlphaCount {
    long transparent = 0;  // alpha 0
    long opaque = 0;       // alpha 255
    long partial = 0;      // anything between
};

AlphaCount countAlpha(const QImage& img) {
    AlphaCount c;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const int a = qAlpha(img.pixel(x, y));
            if (a == 0)
                ++c.transparent;
            else if (a == 255)
                ++c.opaque;
            else
                ++c.partial;
        }
    return c;
}

class PictureFile : public ::testing::TestWithParam<std::tuple<PictureCase, Scale>> {};

TEST_P(PictureFile, HasItsSizeKindAndTransparency) {
    const PictureCase& pc = std::get<0>(GetParam());
    const Scale& scale = std::get<1>(GetParam());
    const std::string file = pc.name + std::string(scale.suffix) + ".png";
    const QByteArray bytes = readResource(pc.name, scale);
    ASSERT_FALSE(bytes.isEmpty()) << file << " is missing from the built-in pictures";
    const auto png = parsePng(bytes);
    ASSERT_TRUE(png.has_value()) << file << " is not a well-formed PNG";

    // The picture as decoded is as large as the window lays it out (dense
    // sets: that size times the factor, rounded up), and its header agrees.
    const QSize layout = layoutSize(pc.name);
    ASSERT_FALSE(layout.isEmpty()) << gameName(pc.name) << " has no size in the window model";
    const int width = scaled(layout.width(), scale);
    const int height = scaled(layout.height(), scale);
    const QImage img = decode(pc.name, scale);
    ASSERT_FALSE(img.isNull()) << file << " does not decode";
    EXPECT_EQ(img.size(), QSize(width, height)) << file << " decoded, against " << gameName(pc.name) << " laid out at "
                                                << layout.width() << "x" << layout.height();
    EXPECT_EQ(png->width, uint32_t(img.width()));
    EXPECT_EQ(png->height, uint32_t(img.height()));
    const AlphaCount alpha = countAlpha(img);

    switch (pc.kind) {
        case Kind::FullColour:
            EXPECT_EQ(png->colourType, 2) << "full-colour pictures are plain RGB";
            EXPECT_EQ(png->bitDepth, 8);
            EXPECT_FALSE(png->trns.has_value()) << "full-colour pictures have no transparent colour";
            EXPECT_EQ(alpha.opaque, long(width) * height) << "every pixel is opaque";
            break;
        case Kind::Palette: {
            EXPECT_EQ(png->colourType, 3) << "palette pictures are indexed";
            EXPECT_GE(png->paletteEntries, 2);
            EXPECT_LE(png->paletteEntries, 256);
            ASSERT_TRUE(png->trns.has_value()) << "palette pictures carry their transparent entry";
            const QByteArray& t = *png->trns;
            EXPECT_LE(t.size(), png->paletteEntries);
            int clear = 0;
            int other = 0;
            for (char a : t) {
                if (static_cast<unsigned char>(a) == 0)
                    ++clear;
                else if (static_cast<unsigned char>(a) != 255)
                    ++other;
            }
            EXPECT_EQ(clear, 1) << "exactly one palette entry is transparent";
            EXPECT_EQ(other, 0) << "every other palette entry is fully opaque";
            EXPECT_GT(alpha.transparent, 0) << "the transparent entry is used: the background shows through";
            EXPECT_GT(alpha.opaque, 0);
            EXPECT_EQ(alpha.partial, 0);
            break;
        }
        case Kind::Icon:
            EXPECT_EQ(png->colourType, 6) << "the icon is RGBA";
            EXPECT_EQ(png->bitDepth, 8);
            EXPECT_EQ(alpha.partial, 0) << "the icon's alpha is a mask: 0 or 255 only";
            EXPECT_GT(alpha.transparent, 0);
            EXPECT_GT(alpha.opaque, 0);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(AllPictures, PictureFile,
                         ::testing::Combine(::testing::ValuesIn(pictures()), ::testing::ValuesIn(kScales)),
                         [](const ::testing::TestParamInfo<PictureFile::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).label;
                         });

// The relations between pictures hold in every set.
class EverySet : public ::testing::TestWithParam<Scale> {};

INSTANTIATE_TEST_SUITE_P(Sets, EverySet, ::testing::ValuesIn(kScales),
                         [](const ::testing::TestParamInfo<Scale>& info) { return std::string(info.param.label); });

TEST_P(EverySet, PicturesAreAllDistinct) {
    const Scale& scale = GetParam();
    std::vector<std::pair<std::string, QImage>> seen;
    for (const PictureCase& pc : pictures()) {
        const QImage img = decode(pc.name, scale);
        if (img.isNull()) {
            ADD_FAILURE() << pc.name << scale.suffix << ".png is missing or does not decode";
            continue;
        }
        for (const auto& [other, otherImg] : seen)
            EXPECT_FALSE(img == otherImg) << pc.name << " shows the same picture as " << other;
        seen.emplace_back(pc.name, img);
    }
}

int brightness(QRgb c) { return qRed(c) + qGreen(c) + qBlue(c); }

// MNU(2k+1) is MNU(2k) with the lettering a little brighter, nothing else:
// same transparency, and what differs is the lettering, brighter.
TEST_P(EverySet, HighlightedMenuEntryIsThePlainEntryWithBrighterLettering) {
    const Scale& scale = GetParam();
    for (int k = 0; k < 6; ++k) {
        const std::string plainName = "MNU" + std::to_string(2 * k);
        const std::string litName = "MNU" + std::to_string(2 * k + 1);
        SCOPED_TRACE(plainName + " / " + litName);
        const QImage plain = decode(plainName, scale);
        const QImage lit = decode(litName, scale);
        ASSERT_FALSE(plain.isNull());
        ASSERT_FALSE(lit.isNull());
        ASSERT_EQ(plain.size(), lit.size());
        long differing = 0;
        long darker = 0;
        long gain = 0;
        long maskChanged = 0;
        for (int y = 0; y < plain.height(); ++y)
            for (int x = 0; x < plain.width(); ++x) {
                const QRgb p = plain.pixel(x, y);
                const QRgb l = lit.pixel(x, y);
                if (qAlpha(p) != qAlpha(l)) ++maskChanged;
                if (p == l) continue;
                ++differing;
                if (brightness(l) < brightness(p)) ++darker;
                gain += brightness(l) - brightness(p);
            }
        EXPECT_GT(differing, 0) << "the highlight must be visible";
        EXPECT_EQ(maskChanged, 0) << "highlighting must not change the outline";
        // Sharing one palette, a few anti-aliased letter edges may land on a
        // slightly darker entry; the lettering as a whole must be brighter.
        EXPECT_LE(darker * 20, differing) << "highlighting brightens the lettering";
        EXPECT_GT(gain, differing * 30) << "the lettering is clearly brighter";
        // The lettering is a small part of the bar: the rest stays as it is.
        EXPECT_LT(differing, long(plain.width()) * plain.height() / 3);
    }
}

// The five hole pictures replace each other in place: below the rim's top
// the hole is the same picture in all five, so the hole never jumps.
TEST_P(EverySet, HolePicturesKeepTheHoleInOnePlace) {
    const Scale& scale = GetParam();
    const char* names[] = {"Kosong", "kena", "jam", "bom", "Teler"};
    const QImage empty = decode("Kosong", scale);
    ASSERT_FALSE(empty.isNull());
    // Rows of the empty hole that hold any opaque pixel: the hole itself.
    int top = empty.height();
    int bottom = -1;
    for (int y = 0; y < empty.height(); ++y)
        for (int x = 0; x < empty.width(); ++x)
            if (qAlpha(empty.pixel(x, y)) == 255) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_LE(top, bottom) << "the empty hole shows something";
    EXPECT_GT(top, empty.height() / 2) << "the hole lies near the bottom";
    // The front half of the rim hides the creature.
    const int frontRim = (top + bottom) / 2 + scaled(4, scale);
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const QImage img = decode(name, scale);
        ASSERT_FALSE(img.isNull());
        long changed = 0;
        for (int y = frontRim; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (qAlpha(img.pixel(x, y)) != qAlpha(empty.pixel(x, y))) ++changed;
        EXPECT_EQ(changed, 0) << "the front of the hole has the same outline in every hole picture";
        EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0) << "the corners show the tray";
        EXPECT_EQ(qAlpha(img.pixel(img.width() - 1, img.height() - 1)), 0);
    }
}

// Ki points left and Ka right: the tip is the narrow end, the blunt tail the
// wide one. Look 0 is red (blocked), 1 a darker green than 2.
TEST_P(EverySet, ArrowsPointTheirWayInTheirColour) {
    const Scale& scale = GetParam();
    const int inset = scaled(3, scale);  // columns in from each end
    // Height of the opaque run in column x.
    auto columnSpan = [](const QImage& img, int x) {
        int top = img.height(), bottom = -1;
        for (int y = 0; y < img.height(); ++y)
            if (qAlpha(img.pixel(x, y)) == 255) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        return bottom < top ? 0 : bottom - top + 1;
    };
    struct Mean {
        double r = 0, g = 0, b = 0;
    };
    auto meanColour = [](const QImage& img) {
        Mean m;
        long n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QRgb c = img.pixel(x, y);
                if (qAlpha(c) != 255) continue;
                m.r += qRed(c);
                m.g += qGreen(c);
                m.b += qBlue(c);
                ++n;
            }
        if (n > 0) {
            m.r /= double(n);
            m.g /= double(n);
            m.b /= double(n);
        }
        return m;
    };
    for (const std::string side : {"Ki", "Ka"}) {
        Mean looks[3];
        for (int i = 0; i < 3; ++i) {
            const std::string name = side + std::to_string(i);
            SCOPED_TRACE(name);
            const QImage img = decode(name, scale);
            ASSERT_FALSE(img.isNull());
            looks[i] = meanColour(img);
            int left = img.width(), right = -1;
            for (int x = 0; x < img.width(); ++x)
                if (columnSpan(img, x) > 0) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            ASSERT_LT(left + 2 * inset, right) << "an arrow is drawn";
            const int leftEnd = columnSpan(img, left + inset);
            const int rightEnd = columnSpan(img, right - inset);
            if (side == "Ki")
                EXPECT_LT(leftEnd * 2, rightEnd) << "the tip is at the left";
            else
                EXPECT_LT(rightEnd * 2, leftEnd) << "the tip is at the right";
        }
        EXPECT_GT(looks[0].r, looks[0].g + 40) << side << "0 is red";
        EXPECT_GT(looks[1].g, looks[1].r + 30) << side << "1 is green";
        EXPECT_GT(looks[2].g, looks[2].r + 30) << side << "2 is green";
        EXPECT_LT(looks[1].g, looks[2].g) << side << "1 is the darker green";
    }
}

// The mean absolute difference of two pictures' premultiplied channels
// (alpha included), 0..255, over the pixels where `where` holds (all when
// null).
double distance(const QImage& a, const QImage& b, const std::vector<char>* where = nullptr) {
    const QImage pa = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage pb = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    double sum = 0;
    long n = 0;
    for (int y = 0; y < pa.height(); ++y)
        for (int x = 0; x < pa.width(); ++x) {
            if (where && !(*where)[size_t(y) * pa.width() + x]) continue;
            const QRgb p = pa.pixel(x, y);
            const QRgb q = pb.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q)) +
                   std::abs(qAlpha(p) - qAlpha(q));
            ++n;
        }
    return n ? sum / (4.0 * double(n)) : 0;
}

// Where two pictures of one size clearly differ.
std::vector<char> differing(const QImage& a, const QImage& b) {
    const QImage pa = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage pb = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    std::vector<char> out(size_t(pa.width()) * pa.height(), 0);
    for (int y = 0; y < pa.height(); ++y)
        for (int x = 0; x < pa.width(); ++x) {
            const QRgb p = pa.pixel(x, y);
            const QRgb q = pb.pixel(x, y);
            const int d = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                    std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            out[size_t(y) * pa.width() + x] = d > 32;
        }
    return out;
}

// A dense picture brought back to window pixels: drawn at 1/factor, so
// each 1x pixel takes what covers it (a dense picture of an odd size at
// 1.5x runs a third of a pixel past the 1x one; that part falls off).
QImage backToOneX(const QImage& dense, const Scale& scale, QSize size) {
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.scale(1.0 / scale.factor, 1.0 / scale.factor);
    p.drawImage(0, 0, dense);
    p.end();
    return out;
}

// A dense picture brought back to 1x is its 1x picture: close to it, and
// where it and another picture of its size differ (a highlighted menu entry
// and its partner differ only in the lettering), far closer to its own.
TEST_P(EverySet, ShowsTheOneXPictures) {
    const Scale& scale = GetParam();
    if (scale.factor == 1.0) GTEST_SKIP() << "the 1x set is the reference";
    for (const PictureCase& pc : pictures()) {
        SCOPED_TRACE(pc.name);
        const QImage dense = decode(pc.name, scale);
        const QImage own = decode(pc.name);
        ASSERT_FALSE(dense.isNull());
        ASSERT_FALSE(own.isNull());
        const QImage down = backToOneX(dense, scale, own.size());
        EXPECT_LT(distance(down, own), 8.0);
        for (const PictureCase& other : pictures()) {
            const QImage otherImg = decode(other.name);
            if (other.name == pc.name || otherImg.size() != own.size()) continue;
            const std::vector<char> where = differing(own, otherImg);
            const double toOwn = distance(down, own, &where);
            const double toOther = distance(down, otherImg, &where);
            EXPECT_LT(toOwn * 2, toOther) << "where it differs from " << other.name << " it is as close to that";
        }
    }
}

// The kept 1x pictures are what their sources and the render script make
// today (the build renders them afresh beside the dense sets): otherwise the
// dense sets would show other pictures than 1x screens do.
TEST(OneXPictures, AreWhatTheSourcesMake) {
    const QString fresh = QStringLiteral(KORVALA_RERENDERED_PICTURES);
    ASSERT_FALSE(fresh.isEmpty()) << "the build could not render pictures (rsvg-convert or PIL missing)";
    for (const PictureCase& pc : pictures()) {
        SCOPED_TRACE(pc.name);
        QImage made(fresh + "/" + pc.name + ".png");
        ASSERT_FALSE(made.isNull()) << "not rendered afresh";
        EXPECT_TRUE(made.convertToFormat(QImage::Format_ARGB32) == decode(pc.name))
            << pc.name << ".png differs from what src/" << pc.name << ".svg makes: run assets/pictures/render.sh";
    }
}

}  // namespace
