#include "host/app/pairing_window.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWindow>

#include <string>

namespace tarvel::app {
namespace {

const std::string shortUrl = "tarvel://pair?code=123456";

// About 300 characters, like a link with both endpoints and a long host name.
std::string longUrl() {
    std::string url =
        "tarvel://pair?v=1&id=0f8fad5b-d9cb-469f-a165-70867728950e&name=Workstation"
        "&os=linux&lan=192.168.1.2:49182&ts=100.101.102.103:49182&code=123456&pk=";
    while (url.size() < 300) {
        url += "9a3f";
    }
    return url;
}

bool dark(const QImage& image, int x, int y) { return qGray(image.pixel(x, y)) < 128; }

// The module grid as read back from the pixels alone: the quiet zone is two
// modules and the top-left finder's top edge seven, which gives the scale.
struct Grid {
    int factor = 0;
    int modules = 0;
};

Grid readGrid(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!dark(image, x, y)) {
                continue;
            }
            int run = 0;
            while (x + run < image.width() && dark(image, x + run, y)) {
                ++run;
            }
            if (x != y || x % 2 != 0 || run != 7 * (x / 2)) {
                return {};
            }
            const int factor = x / 2;
            if (image.width() % factor != 0) {
                return {};
            }
            return {factor, image.width() / factor - 4};
        }
    }
    return {};
}

// A module's colour, failing unless every pixel of its block agrees.
bool moduleDark(const QImage& image, const Grid& grid, int row, int col) {
    const int x0 = (col + 2) * grid.factor;
    const int y0 = (row + 2) * grid.factor;
    const bool value = dark(image, x0, y0);
    for (int y = y0; y < y0 + grid.factor; ++y) {
        for (int x = x0; x < x0 + grid.factor; ++x) {
            EXPECT_EQ(dark(image, x, y), value) << "module " << row << "," << col;
        }
    }
    return value;
}

void expectFinderAt(const QImage& image, const Grid& grid, int row0, int col0) {
    for (int r = 0; r < 7; ++r) {
        for (int c = 0; c < 7; ++c) {
            const bool ring = r == 0 || r == 6 || c == 0 || c == 6;
            const bool centre = r >= 2 && r <= 4 && c >= 2 && c <= 4;
            EXPECT_EQ(moduleDark(image, grid, row0 + r, col0 + c), ring || centre)
                << "finder at " << row0 << "," << col0 << " module " << r << "," << c;
        }
    }
}

void expectValidSize(const QImage& image, const Grid& grid, int target) {
    ASSERT_FALSE(image.isNull());
    ASSERT_GT(grid.factor, 0) << "no finder pattern after a two-module quiet zone";
    EXPECT_EQ(image.width(), image.height());
    EXPECT_EQ(image.width(), (grid.modules + 4) * grid.factor);
    EXPECT_EQ((grid.modules - 21) % 4, 0) << grid.modules << " is no QR version's size";
    if ((grid.modules + 4) > target) {
        EXPECT_EQ(grid.factor, 1);
    } else {
        EXPECT_LE(image.width(), target);
        EXPECT_GT((grid.modules + 4) * (grid.factor + 1), target) << "factor not the largest";
    }
}

QString zbarDecode(const QImage& image) {
    const QString zbar = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    if (zbar.isEmpty()) {
        return {};
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qr.png"));
    if (!image.save(path)) {
        return {};
    }
    QProcess process;
    process.start(zbar, {QStringLiteral("-q"), QStringLiteral("--raw"), path});
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

bool haveZbar() { return !QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty(); }

TEST(PairingCode, sixCharactersSplitInTheMiddleOtherLengthsUnchanged) {
    EXPECT_EQ(formatPairingCode("123456"), QStringLiteral("123 456"));
    EXPECT_EQ(formatPairingCode("000999"), QStringLiteral("000 999"));
    EXPECT_EQ(formatPairingCode("12345"), QStringLiteral("12345"));
    EXPECT_EQ(formatPairingCode("1234567"), QStringLiteral("1234567"));
    EXPECT_EQ(formatPairingCode(""), QString());
}

TEST(PairingQR, shortAndLongLinksScaleByTheLargestWholeFactorWithinTarget) {
    const QImage small = pairingQRImage(shortUrl, 340);
    const Grid smallGrid = readGrid(small);
    expectValidSize(small, smallGrid, 340);

    const QImage large = pairingQRImage(longUrl(), 340);
    const Grid largeGrid = readGrid(large);
    expectValidSize(large, largeGrid, 340);
    EXPECT_GT(largeGrid.modules, smallGrid.modules);
    EXPECT_LT(largeGrid.factor, smallGrid.factor);
}

TEST(PairingQR, oneModulePerPixelWhenEvenThatExceedsTheTarget) {
    const QImage image = pairingQRImage(longUrl(), 40);
    const Grid grid = readGrid(image);
    expectValidSize(image, grid, 40);
    EXPECT_EQ(grid.factor, 1);
    EXPECT_GT(image.width(), 40);
}

TEST(PairingQR, findersTimingAndQuietZoneAreIntact) {
    const QImage image = pairingQRImage(longUrl(), 340);
    const Grid grid = readGrid(image);
    ASSERT_GT(grid.factor, 0);
    const int n = grid.modules;
    expectFinderAt(image, grid, 0, 0);
    expectFinderAt(image, grid, 0, n - 7);
    expectFinderAt(image, grid, n - 7, 0);
    for (int i = 8; i < n - 8; ++i) {
        EXPECT_EQ(moduleDark(image, grid, 6, i), i % 2 == 0) << "timing row at " << i;
        EXPECT_EQ(moduleDark(image, grid, i, 6), i % 2 == 0) << "timing column at " << i;
    }
    const int margin = 2 * grid.factor;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const bool inMargin = x < margin || y < margin || x >= image.width() - margin ||
                                  y >= image.height() - margin;
            if (inMargin) {
                ASSERT_FALSE(dark(image, x, y)) << "quiet zone at " << x << "," << y;
            }
        }
    }
}

TEST(PairingQR, decodesBackToTheLink) {
    if (!haveZbar()) {
        GTEST_SKIP() << "zbarimg not installed (zbar-tools): decode check not run";
    }
    EXPECT_EQ(zbarDecode(pairingQRImage(shortUrl, 340)), QString::fromStdString(shortUrl));
    EXPECT_EQ(zbarDecode(pairingQRImage(longUrl(), 340)), QString::fromStdString(longUrl()));
}

TEST(PairingQR, tooLongForAnyVersionGivesNullImage) {
    EXPECT_TRUE(pairingQRImage(std::string(3000, 'a'), 340).isNull());
}

class PairingWindowTest : public ::testing::Test {
  protected:
    void TearDown() override { window.dismiss(); }

    QString text(const char* name) const {
        const auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
        return label != nullptr ? label->text() : QStringLiteral("<missing>");
    }

    static QRect available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

    PairingWindow window;
};

TEST_F(PairingWindowTest, presentShowsCodeQrAndEndpoints) {
    window.present("123456", shortUrl, "192.168.1.2:49182", std::nullopt, std::nullopt);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tarvel"));
    EXPECT_EQ(window.size(), QSize(320, 380));
    EXPECT_EQ(text("code"), QStringLiteral("123 456"));
    EXPECT_EQ(text("lan"), QStringLiteral("LAN: 192.168.1.2:49182"));
    EXPECT_EQ(text("tailscale"), QStringLiteral("Tailscale: Not connected"));
    EXPECT_EQ(text("caption"), QStringLiteral("Scan with the Tarvel app, or enter the code."));

    const auto* code = window.findChild<QLabel*>(QStringLiteral("code"));
    ASSERT_NE(code, nullptr);
    EXPECT_TRUE(code->textInteractionFlags() & Qt::TextSelectableByMouse);

    const auto* qr = window.findChild<QLabel*>(QStringLiteral("qr"));
    ASSERT_NE(qr, nullptr);
    EXPECT_TRUE(qr->isVisible());
    const QPixmap pixmap = qr->pixmap();
    EXPECT_EQ(pixmap.deviceIndependentSize(), QSizeF(170, 170));
    EXPECT_EQ(pixmap.size(), pairingQRImage(shortUrl, 340).size());
}

TEST_F(PairingWindowTest, screenshotOfTheWindowDecodes) {
    if (!haveZbar()) {
        GTEST_SKIP() << "zbarimg not installed (zbar-tools): decode check not run";
    }
    const std::string url = longUrl().substr(0, 200);
    window.present("123456", url, "192.168.1.2:49182", std::nullopt, std::nullopt);
    EXPECT_EQ(zbarDecode(window.grab().toImage()), QString::fromStdString(url));
}

TEST_F(PairingWindowTest, presentTwiceReplacesTheContentOfOneWindow) {
    window.present("123456", shortUrl, "192.168.1.2:49182", "100.101.102.103:49182",
                   std::nullopt);
    EXPECT_EQ(text("tailscale"), QStringLiteral("Tailscale: 100.101.102.103:49182"));
    window.present("654321", longUrl(), "10.0.0.7:49183", std::nullopt, std::nullopt);

    EXPECT_EQ(window.findChildren<QLabel*>(QStringLiteral("code")).size(), 1);
    EXPECT_EQ(text("code"), QStringLiteral("654 321"));
    EXPECT_EQ(text("lan"), QStringLiteral("LAN: 10.0.0.7:49183"));
    EXPECT_EQ(text("tailscale"), QStringLiteral("Tailscale: Not connected"));
    const auto* qr = window.findChild<QLabel*>(QStringLiteral("qr"));
    ASSERT_NE(qr, nullptr);
    EXPECT_EQ(qr->pixmap().size(), pairingQRImage(longUrl(), 340).size());

    int shown = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        shown += qobject_cast<PairingWindow*>(widget) != nullptr && widget->isVisible() ? 1 : 0;
    }
    EXPECT_EQ(shown, 1);
}

TEST_F(PairingWindowTest, unencodableLinkLeavesOutOnlyTheQr) {
    window.present("123456", std::string(3000, 'a'), "192.168.1.2:49182", std::nullopt,
                   std::nullopt);
    const auto* qr = window.findChild<QLabel*>(QStringLiteral("qr"));
    ASSERT_NE(qr, nullptr);
    EXPECT_FALSE(qr->isVisible());
    EXPECT_EQ(text("code"), QStringLiteral("123 456"));
    EXPECT_EQ(text("lan"), QStringLiteral("LAN: 192.168.1.2:49182"));
}

TEST_F(PairingWindowTest, placedBelowATopLeftIconWithTheLeftMarginKept) {
    const QRect screen = available();
    const QRect icon(screen.left() + 4, screen.top(), 22, 22);
    window.present("123456", shortUrl, "lan", std::nullopt, icon);
    EXPECT_EQ(window.pos(), QPoint(screen.left() + 8, icon.y() + icon.height() + 6));
}

TEST_F(PairingWindowTest, placedCentredBelowAnIconMidwayAlongTheTop) {
    const QRect screen = available();
    const QRect icon(screen.center().x() - 11, screen.top(), 22, 22);
    window.present("123456", shortUrl, "lan", std::nullopt, icon);
    EXPECT_EQ(window.pos(), QPoint(icon.center().x() - 160, icon.y() + icon.height() + 6));
}

TEST_F(PairingWindowTest, placedAboveABottomRightIconWithinTheScreen) {
    const QRect screen = available();
    const QRect icon(screen.right() - 30, screen.bottom() - 21, 22, 22);
    window.present("123456", shortUrl, "lan", std::nullopt, icon);
    EXPECT_EQ(window.y(), icon.y() - 380 - 6);
    EXPECT_EQ(window.x() + 320, screen.x() + screen.width());
}

TEST_F(PairingWindowTest, centredOnThePrimaryScreenWithoutAnIcon) {
    window.present("123456", shortUrl, "lan", std::nullopt, QRect());
    const QRect screen = available();
    EXPECT_EQ(window.pos(), QPoint(screen.x() + (screen.width() - 320) / 2,
                                   screen.y() + (screen.height() - 380) / 2));
}

TEST_F(PairingWindowTest, userCloseEmitsOnceAndDismissEmitsNothing) {
    QSignalSpy closed(&window, &PairingWindow::closedByUser);
    window.present("123456", shortUrl, "lan", std::nullopt, std::nullopt);
    window.close();
    EXPECT_FALSE(window.isVisible());
    window.close();  // already gone: no second decision by the user
    EXPECT_EQ(closed.count(), 1);

    window.present("654321", shortUrl, "lan", std::nullopt, std::nullopt);
    window.dismiss();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(closed.count(), 1);

    window.present("111222", shortUrl, "lan", std::nullopt, std::nullopt);
    window.windowHandle()->close();  // as the window manager's close button does
    EXPECT_EQ(closed.count(), 2);
}

}  // namespace
}  // namespace tarvel::app
