// The window on dense screens. This program runs at QT_SCALE_FACTOR=2 (set by
// CTest) and draws the splash, the menu, the game board with creatures in
// the holes, and the result panel; the same program, started again with
// --shoot at QT_SCALE_FACTOR=1 and 1.5, draws the same screens at those
// densities. The 2x drawing must carry detail finer than a window pixel that
// no enlargement of the 1x drawing has (Qt's and ImageMagick's resamplers,
// ImageMagick's pixel-art doubler), show the same pictures in the same
// places, and every density must draw the pictures of its own set; at 1x the
// pictures are the very 1x files.
//
// Every drawing, enlargement and a figures.txt are kept in
// <build>/tests/view/scale-artifacts for a look.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegion>
#include <QResource>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qt/view/game_window.h"
#include "window/form1.h"
#include "window/picture_store.h"

namespace korvala {
namespace {

// ---------------------------------------------------------------- screens

struct Screen {
    const char* name;
    const char* panel;  // nullptr: the game board
};

const Screen kScreens[] = {
    {"splash", "OPENS"},  // the partner logo on black
    {"menu", "openi"},    // title page, menu entry and its arrows
    {"board", nullptr},   // board and five holes, three of them stretched
    {"result", "Hasil"},  // result page with the stretched hit creature
};

void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

void showScreen(Form1& form, const Screen& s) {
    for (Panel* p : form.panels()) p->setVisible(s.panel && p->name() == s.panel);
    if (!s.panel) {
        const char* holes[6] = {"", "kena", "jam", "bom", "Teler", "Kosong"};
        for (int i = 1; i <= 5; ++i) form.lobang[i]->setPicture(holes[i]);
    }
    settle();
}

const Container& containerOf(Form1& form, const Screen& s) {
    if (!s.panel) return form;
    for (Panel* p : form.panels())
        if (p->name() == s.panel) return *p;
    return form;
}

// The pictures a screen draws: its background, then its visible images.
std::vector<std::string> picturesOf(Form1& form, const Screen& s) {
    const Container& c = containerOf(form, s);
    std::vector<std::string> out;
    if (!c.background.empty()) out.push_back(c.background);
    for (const Element* e : c.windowless)
        if (e->kind() == Kind::Image && e->Visible()) {
            const std::string pic = static_cast<const Image*>(e)->Picture();
            if (!pic.empty() && std::find(out.begin(), out.end(), pic) == out.end()) out.push_back(pic);
        }
    return out;
}

// Where the screen shows only pictures: the client area less the labels,
// whose text Qt draws finely at any density by itself.
QRegion artwork(Form1& form, const Screen& s) {
    QRegion r(0, 0, 687, 470);
    for (const Element* e : containerOf(form, s).windowless)
        if (e->kind() == Kind::Label && e->Visible() && !static_cast<const Label*>(e)->Caption().empty()) {
            const Rect p = e->pixelRect();
            r -= QRect(p.left, p.top, p.width, p.height);
        }
    return r;
}

QImage grabScreen(GameWindow& window, Form1& form, const Screen& s) {
    showScreen(form, s);
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// What the window drew from, after it has drawn every screen once: a first
// line "read <files read> <distinct pictures>", then one line per picture a
// screen drew: screen, picture, the ratio and pixel size of the pixmap for
// the window's ratio, the file of the set that ratio picks, whether the
// pixmap is that very file, and whether the window had read it already
// (asking for it read nothing more).
QString describeDrawn(GameWindow& window, Form1& form) {
    PictureCache& cache = window.pictures();
    const qreal ratio = window.devicePixelRatioF();
    std::set<std::string> distinct;
    for (const Screen& s : kScreens)
        for (const std::string& pic : picturesOf(form, s)) distinct.insert(pic);
    QString out = QStringLiteral("read %1 %2\n").arg(cache.decoded()).arg(distinct.size());
    for (const Screen& s : kScreens)
        for (const std::string& pic : picturesOf(form, s)) {
            const int before = cache.decoded();
            const QPixmap& pm = cache.get(pic, ratio);
            const bool alreadyRead = cache.decoded() == before;
            const QString file = pictureFile(pic, pictureScaleFor(ratio));
            const QImage fromFile = QImage(file).convertToFormat(QImage::Format_ARGB32_Premultiplied);
            const bool same = pm.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied) == fromFile;
            out += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8\n")
                       .arg(s.name, QString::fromStdString(pic))
                       .arg(pm.devicePixelRatio())
                       .arg(pm.width())
                       .arg(pm.height())
                       .arg(file)
                       .arg(same ? 1 : 0)
                       .arg(alreadyRead ? 1 : 0);
        }
    return out;
}

// The --shoot mode: every screen into <dir>/<screen>.png, and what the
// window drew from into <dir>/pictures.txt.
int shoot(const QString& dir) {
    QDir().mkpath(dir);
    Form1 form;
    GameWindow window(form);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 2;
    settle();
    for (const Screen& s : kScreens)
        if (!grabScreen(window, form, s).save(dir + "/" + s.name + ".png")) return 3;
    QFile f(dir + "/pictures.txt");
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 4;
    f.write(describeDrawn(window, form).toUtf8());
    return 0;
}

// ------------------------------------------------------------ measurement

const QString kArtifacts = QStringLiteral(KORVALA_SCALE_ARTIFACTS);

struct Shots {
    bool ok = false;
    QString error;
    std::map<std::string, QImage> screens;
    QStringList pictures;  // lines of pictures.txt
};

// The screens drawn by this program started again at another density.
Shots shotsAt(const QString& factor) {
    Shots out;
    const QString dir = kArtifacts + "/x" + factor;
    QDir(dir).removeRecursively();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_SCALE_FACTOR", factor);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {"--shoot", dir});
    if (!child.waitForFinished(180000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        out.error = QStringLiteral("drawing at %1x failed (exit %2)").arg(factor).arg(child.exitCode());
        return out;
    }
    for (const Screen& s : kScreens) {
        QImage img(dir + "/" + s.name + ".png");
        if (img.isNull()) {
            out.error = QStringLiteral("no %1 at %2x").arg(s.name, factor);
            return out;
        }
        out.screens[s.name] = img.convertToFormat(QImage::Format_RGB32);
    }
    QFile f(dir + "/pictures.txt");
    if (!f.open(QIODevice::ReadOnly)) {
        out.error = "no pictures.txt at " + factor + "x";
        return out;
    }
    out.pictures = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    out.ok = true;
    return out;
}

// Each density is drawn once for the whole run.
const Shots& shotsOnce(const QString& factor) {
    static std::map<QString, Shots> done;
    auto it = done.find(factor);
    if (it == done.end()) it = done.emplace(factor, shotsAt(factor)).first;
    return it->second;
}

// Window pixels to measure: a mask of the client area.
struct Mask {
    int width = 0, height = 0;
    std::vector<char> in;
    explicit Mask(const QRegion& r, int w = 687, int h = 470) : width(w), height(h), in(size_t(w) * h, 0) {
        for (const QRect& rect : r)
            for (int y = std::max(0, rect.top()); y <= std::min(h - 1, rect.bottom()); ++y)
                for (int x = std::max(0, rect.left()); x <= std::min(w - 1, rect.right()); ++x)
                    in[size_t(y) * w + x] = 1;
    }
    bool at(int x, int y) const { return in[size_t(y) * width + x] != 0; }
    long count() const { return std::count(in.begin(), in.end(), 1); }
};

double luma(QRgb c) { return 0.299 * qRed(c) + 0.587 * qGreen(c) + 0.114 * qBlue(c); }

// Detail finer than a window pixel in a 2x drawing, over the window pixels
// of the mask: `variance` is the variance of the luminance over each window
// pixel's 2x2 device pixels, averaged; `splitPixels` the share of window
// pixels whose device pixels span more than half the black-to-white range,
// split by an edge that runs through them. What is enlarged from one value
// per window pixel has little of either: a pixel copy none, an interpolating
// filter a slope of a fraction of the step to the next window pixel (only a
// sinc's ringing at the hardest edges reaches past half the range). A drawing
// made at 2x has them wherever an edge or a line crosses a window pixel.
struct SubPixel {
    double variance = 0;
    double splitPixels = 0;
};

SubPixel subPixelDetail(const QImage& img, const Mask& mask) {
    double sum = 0;
    long split = 0;
    long n = 0;
    for (int y = 0; y < mask.height && 2 * y + 1 < img.height(); ++y) {
        const auto* r0 = reinterpret_cast<const QRgb*>(img.constScanLine(2 * y));
        const auto* r1 = reinterpret_cast<const QRgb*>(img.constScanLine(2 * y + 1));
        for (int x = 0; x < mask.width && 2 * x + 1 < img.width(); ++x) {
            if (!mask.at(x, y)) continue;
            const double v[4] = {luma(r0[2 * x]), luma(r0[2 * x + 1]), luma(r1[2 * x]), luma(r1[2 * x + 1])};
            const double mean = (v[0] + v[1] + v[2] + v[3]) / 4;
            double var = 0;
            for (double a : v) var += (a - mean) * (a - mean);
            sum += var / 4;
            if (*std::max_element(v, v + 4) - *std::min_element(v, v + 4) > 128) ++split;
            ++n;
        }
    }
    if (n == 0) return {};
    return {sum / double(n), double(split) / double(n)};
}

// Sharpness that knows no grid: the mean squared Laplacian of the luminance
// over the device pixels of the mask (scaled by `factor` to window pixels).
double laplacianEnergy(const QImage& img, const Mask& mask, double factor) {
    double sum = 0;
    long n = 0;
    for (int y = 1; y + 1 < img.height(); ++y) {
        const int my = std::min(mask.height - 1, int(y / factor));
        const auto* up = reinterpret_cast<const QRgb*>(img.constScanLine(y - 1));
        const auto* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        const auto* down = reinterpret_cast<const QRgb*>(img.constScanLine(y + 1));
        for (int x = 1; x + 1 < img.width(); ++x) {
            if (!mask.at(std::min(mask.width - 1, int(x / factor)), my)) continue;
            const double l = 4 * luma(row[x]) - luma(row[x - 1]) - luma(row[x + 1]) - luma(up[x]) - luma(down[x]);
            sum += l * l;
            ++n;
        }
    }
    return n ? sum / double(n) : 0;
}

// How far a denser drawing strays from the 1x one: the denser drawing
// averaged down to window pixels (area average), against the 1x drawing, as
// the mean absolute luminance difference over the mask.
double strayFromOneX(const QImage& dense, const QImage& oneX, const Mask& mask) {
    const QImage down = dense.scaled(oneX.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                            .convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    long n = 0;
    for (int y = 0; y < mask.height; ++y)
        for (int x = 0; x < mask.width; ++x)
            if (mask.at(x, y)) {
                sum += std::abs(luma(down.pixel(x, y)) - luma(oneX.pixel(x, y)));
                ++n;
            }
    return n ? sum / double(n) : 0;
}

struct Upscale {
    std::string method;
    QImage image;
};

// ImageMagick's ways of doubling a picture: its resampling filters, from the
// plain pixel copy to the sharpest windowed sinc, its pixel-art doubler and
// its adaptive resize.
const char* const kMagickFilters[] = {"Point",   "Box",          "Triangle",      "Hermite",
                                      "Catrom",  "Mitchell",     "Robidoux",      "RobidouxSharp",
                                      "Lanczos", "LanczosSharp", "Lanczos2Sharp", "Sinc"};

// The 1x drawing enlarged by `percent` in every way Qt and ImageMagick offer.
std::vector<Upscale> upscales(const QImage& oneX, const QString& name, int percent, QString* error) {
    std::vector<Upscale> out;
    const QSize size = oneX.size() * (percent / 100.0);
    out.push_back({"qt-fast", oneX.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation)});
    out.push_back({"qt-smooth", oneX.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)});

    const QString convert = QStringLiteral(KORVALA_IMAGEMAGICK);
    if (convert.isEmpty()) {
        *error = "ImageMagick's convert was not found at configure time (scripts/setup.sh installs imagemagick)";
        return out;
    }
    const QString dir = kArtifacts + QStringLiteral("/upscaled-%1").arg(percent);
    QDir().mkpath(dir);
    const QString source = dir + "/" + name + "-1x.png";
    oneX.save(source);
    const QString pct = QString::number(percent) + "%";
    QStringList args{source};
    std::vector<std::pair<std::string, QString>> made;
    auto add = [&](const std::string& method, const QStringList& how) {
        const QString file = dir + "/" + name + "-" + QString::fromStdString(method) + ".png";
        args << "("
             << "+clone" << how << "-depth"
             << "8"
             << "-write" << file << "+delete"
             << ")";
        made.emplace_back(method, file);
    };
    for (const char* f : kMagickFilters) add(std::string("im-") + f, {"-filter", f, "-resize", pct});
    if (percent == 200) add("im-magnify", {"-magnify"});
    add("im-adaptive", {"-adaptive-resize", pct});
    args << "null:";
    QProcess im;
    im.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    im.start(convert, args);
    if (!im.waitForFinished(120000) || im.exitCode() != 0) {
        *error = "ImageMagick failed on " + name;
        return out;
    }
    for (const auto& [method, file] : made) {
        QImage img(file);
        if (img.size() != size) {
            *error = QStringLiteral("ImageMagick's %1 made no %2x%3 picture")
                         .arg(QString::fromStdString(method))
                         .arg(size.width())
                         .arg(size.height());
            return out;
        }
        out.push_back({method, img.convertToFormat(QImage::Format_RGB32)});
    }
    for (auto& u : out) u.image.save(dir + "/" + name + "-" + QString::fromStdString(u.method) + ".png");
    return out;
}

void note(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    QFile f(kArtifacts + "/figures.txt");
    if (f.open(QIODevice::Append)) f.write((line + "\n").toUtf8());
}

// ------------------------------------------------------------------ tests

class DenseWindow : public ::testing::Test {
protected:
    Form1 form;
    std::unique_ptr<GameWindow> window = std::make_unique<GameWindow>(form);

    void SetUp() override {
        ASSERT_DOUBLE_EQ(qApp->devicePixelRatio(), 2.0) << "run with QT_SCALE_FACTOR=2";
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        settle();
    }
    QImage drawn(const Screen& s) { return grabScreen(*window, form, s); }
};

class EveryScreen : public DenseWindow, public ::testing::WithParamInterface<Screen> {};

// Fine detail: the 2x drawing against every enlargement of the 1x drawing,
// over the screen's pictures.
TEST_P(EveryScreen, TwiceTheDensityCarriesDetailNoEnlargementHas) {
    const Screen& s = GetParam();
    const Shots& oneX = shotsOnce("1");
    ASSERT_TRUE(oneX.ok) << qPrintable(oneX.error);
    const QImage one = oneX.screens.at(s.name);
    const QImage two = drawn(s);
    QDir().mkpath(kArtifacts + "/x2");
    two.save(kArtifacts + "/x2/" + s.name + ".png");
    ASSERT_EQ(two.size(), QSize(1374, 940));

    const Mask mask(artwork(form, s));
    const SubPixel fine = subPixelDetail(two, mask);
    note(QStringLiteral("%1 2x: sub-pixel variance %2, split pixels %3 %, laplacian %4 (over %5 window pixels)")
             .arg(s.name)
             .arg(fine.variance, 0, 'f', 2)
             .arg(100 * fine.splitPixels, 0, 'f', 3)
             .arg(laplacianEnergy(two, mask, 2), 0, 'f', 1)
             .arg(mask.count()));

    QString error;
    const std::vector<Upscale> ups = upscales(one, s.name, 200, &error);
    ASSERT_TRUE(error.isEmpty()) << qPrintable(error);
    ASSERT_GE(ups.size(), 16u);
    SubPixel best;
    std::string bestVariance, bestSplit;
    for (const Upscale& u : ups) {
        ASSERT_EQ(u.image.size(), two.size()) << u.method;
        const SubPixel f = subPixelDetail(u.image, mask);
        note(QStringLiteral("%1 1x %2: sub-pixel variance %3, split pixels %4 %, laplacian %5")
                 .arg(s.name, QString::fromStdString(u.method))
                 .arg(f.variance, 0, 'f', 2)
                 .arg(100 * f.splitPixels, 0, 'f', 3)
                 .arg(laplacianEnergy(u.image, mask, 2), 0, 'f', 1));
        if (f.variance > best.variance) {
            best.variance = f.variance;
            bestVariance = u.method;
        }
        if (f.splitPixels > best.splitPixels) {
            best.splitPixels = f.splitPixels;
            bestSplit = u.method;
        }
    }
    EXPECT_GT(fine.splitPixels, 0.002) << s.name << ": hardly an edge runs through a window pixel at 2x";
    EXPECT_GT(fine.splitPixels, 2.5 * best.splitPixels)
        << s.name << ": the 2x drawing splits few more window pixels than the 1x one enlarged by " << bestSplit << " ("
        << fine.splitPixels << " against " << best.splitPixels << ")";
    EXPECT_GT(fine.variance, 1.2 * best.variance)
        << s.name << ": the 2x drawing has no more detail within a window pixel than the 1x one enlarged by "
        << bestVariance << " (" << fine.variance << " against " << best.variance << ")";
    // The detail is the pictures' own, in their places: averaged back down
    // to window pixels the 2x drawing is the 1x one.
    const double stray = strayFromOneX(two, one, mask);
    note(QStringLiteral("%1 2x averaged down against 1x: mean luminance difference %2")
             .arg(s.name)
             .arg(stray, 0, 'f', 2));
    EXPECT_LT(stray, 3.0) << s.name;
}

// At 1.5x the screens show the same pictures in the same places, sharper
// than the 1x drawing enlarged by half by any interpolating filter. (A grid-
// free sharpness measure also rewards the staircases of a plain pixel copy,
// so the copies are shown in the figures but not held against; that 1.5x
// draws from its own set is checked below.)
TEST_P(EveryScreen, OneAndAHalfTheDensityIsTheSameScreenSharper) {
    const Screen& s = GetParam();
    const Shots& oneX = shotsOnce("1");
    const Shots& mid = shotsOnce("1.5");
    ASSERT_TRUE(oneX.ok) << qPrintable(oneX.error);
    ASSERT_TRUE(mid.ok) << qPrintable(mid.error);
    const QImage one = oneX.screens.at(s.name);
    const QImage oneHalf = mid.screens.at(s.name);
    ASSERT_EQ(oneHalf.size(), QSize(1031, 705));
    showScreen(form, s);
    const Mask mask(artwork(form, s));
    const double stray = strayFromOneX(oneHalf, one, mask);
    const double edges = laplacianEnergy(oneHalf, mask, 1.5);
    note(QStringLiteral("%1 1.5x: laplacian %2; averaged down against 1x: mean luminance difference %3")
             .arg(s.name)
             .arg(edges, 0, 'f', 1)
             .arg(stray, 0, 'f', 2));
    EXPECT_LT(stray, 3.0) << s.name;
    QString error;
    const std::vector<Upscale> ups = upscales(one, s.name, 150, &error);
    ASSERT_TRUE(error.isEmpty()) << qPrintable(error);
    const std::set<std::string> pixelCopies = {"qt-fast", "im-Point", "im-Box"};
    double best = 0;
    std::string bestMethod;
    for (const Upscale& u : ups) {
        ASSERT_EQ(u.image.size(), oneHalf.size()) << u.method;
        const double e = laplacianEnergy(u.image, mask, 1.5);
        note(QStringLiteral("%1 1x %2 to 1.5x: laplacian %3")
                 .arg(s.name, QString::fromStdString(u.method))
                 .arg(e, 0, 'f', 1));
        if (!pixelCopies.count(u.method) && e > best) {
            best = e;
            bestMethod = u.method;
        }
    }
    EXPECT_GT(edges, 1.4 * best) << s.name << ": the 1.5x drawing is hardly sharper than the 1x one enlarged by "
                                 << bestMethod << " (" << edges << " against " << best << ")";
}

INSTANTIATE_TEST_SUITE_P(Screens, EveryScreen, ::testing::ValuesIn(kScreens),
                         [](const ::testing::TestParamInfo<Screen>& info) { return std::string(info.param.name); });

// Each density draws the pictures of its own set, each at its window size,
// and reads nothing else: at 1x the very 1x files.
TEST_F(DenseWindow, EachDensityDrawsItsOwnSet) {
    for (const Screen& s : kScreens) drawn(s);
    struct Density {
        const char* factor;
        QStringList lines;
        qreal ratio;
        const char* suffix;
    };
    const Shots& oneX = shotsOnce("1");
    const Shots& mid = shotsOnce("1.5");
    ASSERT_TRUE(oneX.ok) << qPrintable(oneX.error);
    ASSERT_TRUE(mid.ok) << qPrintable(mid.error);
    const Density densities[] = {{"1", oneX.pictures, 1.0, ""},
                                 {"1.5", mid.pictures, 1.5, "@1.5x.png"},
                                 {"2", describeDrawn(*window, form).split('\n', Qt::SkipEmptyParts), 2.0, "@2x.png"}};
    for (const Density& d : densities) {
        SCOPED_TRACE(std::string("at ") + d.factor + "x");
        ASSERT_GE(d.lines.size(), 11);
        const QStringList read = d.lines.front().split(' ');
        ASSERT_EQ(read.size(), 3);
        EXPECT_EQ(read[1], read[2]) << "the screens read one file per picture they show";
        for (const QString& line : d.lines.mid(1)) {
            const QStringList f = line.split(' ');
            ASSERT_EQ(f.size(), 8) << qPrintable(line);
            const PictureSize logical = pictureSize(f[1].toStdString());
            EXPECT_DOUBLE_EQ(f[2].toDouble(), d.ratio) << qPrintable(line);
            EXPECT_EQ(f[3].toInt(), int(std::ceil(logical.width * d.ratio))) << qPrintable(line);
            EXPECT_EQ(f[4].toInt(), int(std::ceil(logical.height * d.ratio))) << qPrintable(line);
            if (*d.suffix)
                EXPECT_TRUE(f[5].endsWith(d.suffix)) << qPrintable(line);
            else
                EXPECT_FALSE(f[5].contains('@')) << qPrintable(line);
            EXPECT_EQ(f[6], "1") << "not its file: " << qPrintable(line);
            EXPECT_EQ(f[7], "1") << "the window drew it from another set: " << qPrintable(line);
        }
    }
}

// Each picture is read once per set, however often it is drawn; the sets
// are picked by ratio, a ratio between two sets taking the finer one.
TEST_F(DenseWindow, EachPictureIsReadOncePerSet) {
    for (const Screen& s : kScreens) drawn(s);
    PictureCache& cache = window->pictures();
    const int afterFirst = cache.decoded();
    for (const Screen& s : kScreens) drawn(s);
    EXPECT_EQ(cache.decoded(), afterFirst) << "drawing again reads nothing";

    struct Pick {
        qreal ratio;
        qreal set;  // the ratio of the pixmap it gets
        bool read;  // whether it costs a read
    };
    const Pick picks[] = {{2.0, 2.0, false}, {1.0, 1.0, true},   {0.75, 1.0, false}, {1.25, 1.5, true},
                          {1.5, 1.5, false}, {1.75, 2.0, false}, {3.0, 2.0, false}};
    for (const Pick& p : picks) {
        SCOPED_TRACE(p.ratio);
        const int before = cache.decoded();
        const QPixmap& pm = cache.get("bom", p.ratio);
        EXPECT_DOUBLE_EQ(pm.devicePixelRatio(), p.set);
        EXPECT_EQ(pm.deviceIndependentSize().toSize(), QSize(151, 129));
        EXPECT_EQ(cache.decoded(), before + (p.read ? 1 : 0));
    }
}

// A decoded picture's PNG bytes leave the game's memory (the pages inside
// them are no longer mapped), and the picture decodes the same again from
// them later: the pages come back from the file unchanged.
TEST(PictureBytes, LeaveMemoryOnceDecodedAndDecodeTheSameAgain) {
    const QString title = pictureFile("title", PictureScale::One);
    // Where its bytes lie, taken once: reading the resource's header again
    // would map the pages around it once more.
    const QResource resource(title);
    const auto start = reinterpret_cast<quintptr>(resource.data());
    const auto end = start + quintptr(resource.size());
    auto mappedPages = [start, end] {
        const auto page = static_cast<quintptr>(::sysconf(_SC_PAGESIZE));
        QFile pagemap("/proc/self/pagemap");
        if (!pagemap.open(QIODevice::ReadOnly)) return -1;
        int present = 0;
        for (quintptr p = (start + page - 1) / page * page; p + page <= end; p += page) {
            quint64 entry = 0;
            if (!pagemap.seek(qint64(p / page * 8)) || pagemap.read(reinterpret_cast<char*>(&entry), 8) != 8) return -1;
            if (entry >> 63) ++present;
        }
        return present;
    };
    QFile file(title);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();  // maps every page of it
    ASSERT_GT(bytes.size(), 3 * 4096);
    ASSERT_GT(mappedPages(), 0);

    PictureCache first;
    const QImage once = first.get("title").toImage();
    EXPECT_EQ(mappedPages(), 0) << "the decoded picture's bytes stay mapped";
    QFile again(title);
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), bytes);
    PictureCache second;
    EXPECT_EQ(second.get("title").toImage(), once);
}

// A picture that is not there is a stand-in of its window size at any
// density, the same one for every set.
TEST_F(DenseWindow, MissingPictureIsOneStandIn) {
    PictureCache& cache = window->pictures();
    const QPixmap one = cache.get("no-such-picture", 1.0);
    const QPixmap two = cache.get("no-such-picture", 2.0);
    EXPECT_FALSE(cache.isReal("no-such-picture", 2.0));
    EXPECT_FALSE(two.isNull());
    EXPECT_EQ(two.cacheKey(), one.cacheKey());
    EXPECT_TRUE(cache.isReal("kena", 2.0));
}

// The window icon offers the fine icon on a dense screen, and the icon of
// every set offers each size.
TEST_F(DenseWindow, IconComesInEverySize) {
    const QImage fine = window->windowIcon().pixmap(QSize(32, 32), 2.0).toImage();
    EXPECT_EQ(fine.size(), QSize(64, 64));
    EXPECT_EQ(fine.convertToFormat(QImage::Format_ARGB32),
              QImage(pictureFile("icon", PictureScale::Two)).convertToFormat(QImage::Format_ARGB32));
    const QList<QSize> sizes = pictureIcon("icon").availableSizes();
    for (int side : {32, 48, 64}) EXPECT_TRUE(sizes.contains(QSize(side, side))) << side;
}

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    for (int i = 1; i + 1 < argc; ++i)
        if (QByteArray(argv[i]) == "--shoot") return korvala::shoot(QString::fromLocal8Bit(argv[i + 1]));
    QDir(korvala::kArtifacts).mkpath(".");
    QFile::remove(korvala::kArtifacts + "/figures.txt");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
