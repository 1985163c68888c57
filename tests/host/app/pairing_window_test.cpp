#include "host/app/pairing_window.hpp"
#include <gtest/gtest.h>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWindow>
#include <string>
#include <vector>

namespace tarvel::app {
namespace {

const std::string shortUrl = "tarvel://pair?code=123456";

// About 300 characters, like a link with both endpoints and a long host name.
std::string longUrl() {
    std::string url = "tarvel://pair?v=1&id=0f8fad5b-d9cb-469f-a165-70867728950e&name=Work"
                      "&lan=192.168.1.2:49182&ts=100.101.102.103:49182&code=123456&pk=";
    return url + std::string(300 - url.size(), 'a');
}

bool dark(const QImage& image, int x, int y) { return qGray(image.pixel(x, y)) < 128; }

// The scale from the pixels alone: the first dark pixel is the top-left finder after a two-module quiet zone, its top edge seven modules.
int readFactor(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!dark(image, x, y)) continue;
            int run = 0;
            while (x + run < image.width() && dark(image, x + run, y)) ++run;
            const bool ok = x == y && x % 2 == 0 && x > 0 && run == 7 * (x / 2) && image.width() % (x / 2) == 0;
            return ok ? x / 2 : 0;
        }
    }
    return 0;
}

TEST(PairingQR, largestWholeFactorWithinTargetAtLeastOneAndNullWhenTooLong) {
    for (const auto& [url, target] : std::vector<std::pair<std::string, int>>{
             {shortUrl, 340}, {longUrl(), 340}, {longUrl(), 40}}) {
        SCOPED_TRACE(std::to_string(url.size()) + " characters within " + std::to_string(target));
        const QImage image = pairingQRImage(url, target);
        const int factor = readFactor(image);
        ASSERT_GT(factor, 0) << "no finder pattern after a two-module quiet zone";
        const int modules = image.width() / factor;  // quiet zone included
        EXPECT_EQ(image.height(), image.width());
        EXPECT_EQ((modules - 4 - 21) % 4, 0) << modules << " is no QR version's size";
        if (modules > target) {
            EXPECT_EQ(factor, 1);
        } else {
            EXPECT_LE(image.width(), target);
            EXPECT_GT(modules * (factor + 1), target) << "factor not the largest";
        }
    }
    EXPECT_TRUE(pairingQRImage(std::string(3000, 'a'), 340).isNull());
}

TEST(PairingQR, decodesBackToTheLink) {
    const QString zbar = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    if (zbar.isEmpty()) GTEST_SKIP() << "zbarimg not installed (zbar-tools): decode check not run";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qr.png"));
    ASSERT_TRUE(pairingQRImage(longUrl(), 340).save(path));
    QProcess process;
    process.start(zbar, {QStringLiteral("-q"), QStringLiteral("--raw"), path});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(QString::fromUtf8(process.readAllStandardOutput()).trimmed(),
              QString::fromStdString(longUrl()));
}

class PairingWindowTest : public ::testing::Test {
  protected:
    void TearDown() override { window.dismiss(); }
    QString text(const char* name) const {
        const auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
        return label != nullptr ? label->text() : QStringLiteral("<missing>");
    }
    const QLabel* qr() const { return window.findChild<QLabel*>(QStringLiteral("qr")); }
    PairingWindow window;
};

TEST_F(PairingWindowTest, presentTwiceReplacesTheTextsAndQrOfOneWindow) {
    window.present("123456", shortUrl, "192.168.1.2:49182", "100.101.102.103:49182",
                   std::nullopt);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(text("code"), QStringLiteral("123 456"));
    EXPECT_EQ(text("lan"), QStringLiteral("LAN: 192.168.1.2:49182"));
    EXPECT_EQ(text("tailscale"), QStringLiteral("Tailscale: 100.101.102.103:49182"));
    EXPECT_EQ(text("caption"), QStringLiteral("Scan with the Tarvel app, or enter the code."));
    ASSERT_NE(qr(), nullptr);
    EXPECT_EQ(qr()->pixmap().deviceIndependentSize(), QSizeF(170, 170));
    window.present("654321", longUrl(), "10.0.0.7:49183", std::nullopt, std::nullopt);
    EXPECT_EQ(window.findChildren<QLabel*>(QStringLiteral("code")).size(), 1);
    EXPECT_EQ(text("code"), QStringLiteral("654 321"));
    EXPECT_EQ(text("lan"), QStringLiteral("LAN: 10.0.0.7:49183"));
    EXPECT_EQ(text("tailscale"), QStringLiteral("Tailscale: Not connected"));
    EXPECT_TRUE(qr()->isVisible());
    EXPECT_EQ(qr()->pixmap().size(), pairingQRImage(longUrl(), 340).size());
    EXPECT_FALSE(window.findChild<QLabel*>(QStringLiteral("webQr"))->isVisible());
    // The web remote's address adds a second, smaller QR and makes room for it.
    const QSize before = window.size();
    window.present("654321", longUrl(), "lan", std::nullopt, std::nullopt,
                   "http://10.0.0.7:49280/#pair=654321&pk=" + std::string(64, 'a'));
    const auto* web = window.findChild<QLabel*>(QStringLiteral("webQr"));
    EXPECT_TRUE(web->isVisible() && text("webCaption").contains(QStringLiteral("browser")));
    EXPECT_EQ(web->pixmap().deviceIndependentSize(), QSizeF(120, 120));
    EXPECT_GT(window.height(), before.height());
    EXPECT_GE(window.height(), web->geometry().bottom());
    // An unencodable link leaves out only the QR; a code of another length stays as it is.
    window.present("1234567", std::string(3000, 'a'), "lan", std::nullopt, std::nullopt);
    EXPECT_FALSE(qr()->isVisible());
    EXPECT_EQ(text("code"), QStringLiteral("1234567"));
}

TEST_F(PairingWindowTest, placedNearTheIconWithinTheScreenOrCentredWithoutOne) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect topLeft(screen.left() + 4, screen.top(), 22, 22);
    const QRect bottomRight(screen.right() - 30, screen.bottom() - 21, 22, 22);
    const std::pair<QRect, QPoint> rows[] = {
        {topLeft, {screen.left() + 8, topLeft.bottom() + 7}},
        {bottomRight, {screen.x() + screen.width() - 320, bottomRight.y() - 380 - 6}},
        {QRect(), {screen.x() + (screen.width() - 320) / 2, screen.y() + (screen.height() - 380) / 2}},
    };
    for (const auto& [icon, expected] : rows) {
        window.present("123456", shortUrl, "lan", std::nullopt, icon);
        EXPECT_EQ(window.pos(), expected) << "icon at " << icon.x() << "," << icon.y();
    }
}

TEST_F(PairingWindowTest, userCloseEmitsOnceAndDismissEmitsNothing) {
    QSignalSpy closed(&window, &PairingWindow::closedByUser);
    window.present("123456", shortUrl, "lan", std::nullopt, std::nullopt);
    window.close();
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
