#include "host/app/pairing_window.hpp"

#include <qrencode.h>

#include <QCloseEvent>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace tarvel::app {
namespace {

constexpr int windowWidth = 320;   // px
constexpr int windowHeight = 380;  // px
constexpr int webRowHeight = 150;  // px more for the web remote's QR and caption
constexpr int webQRTarget = 240;   // px rendered, shown at half that
constexpr int webQRShown = 120;    // px, logical
constexpr int qrTarget = 340;      // px rendered, shown at half that
constexpr int qrShown = 170;       // px, logical
constexpr int quietModules = 2;
constexpr int iconGap = 6;         // px between the tray icon and the window
constexpr int screenMargin = 8;    // px kept from the screen's left edge

struct QRcodeFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

// Scales a label's font relative to the default, which may be set in pixels.
void scaleFont(QLabel* label, qreal factor) {
    QFont font = label->font();
    const qreal base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(base * factor);
    label->setFont(font);
}

void useSecondaryColour(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
}

QLabel* centredLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

}  // namespace

QString formatPairingCode(const std::string& code) {
    const QString text = QString::fromStdString(code);
    if (text.size() != 6) {
        return text;
    }
    return text.left(3) + QLatin1Char(' ') + text.right(3);
}

QImage pairingQRImage(const std::string& text, int size) {
    const std::unique_ptr<QRcode, QRcodeFree> qr(
        QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
    if (!qr || qr->width <= 0) {
        return {};
    }
    const int modules = qr->width;
    // A scanner finds the finder patterns only against a light margin; without
    // one, whatever surrounds the window in a screenshot merges with them.
    const int total = modules + 2 * quietModules;
    const int factor = std::max(1, size / total);
    QImage image(total * factor, total * factor, QImage::Format_RGB32);
    if (image.isNull()) {
        return {};
    }
    image.fill(Qt::white);
    const QRgb black = qRgb(0, 0, 0);
    for (int row = 0; row < modules; ++row) {
        for (int col = 0; col < modules; ++col) {
            // Bit 0 of each libqrencode byte is the module's colour (1 = dark).
            if ((qr->data[row * modules + col] & 1) == 0) {
                continue;
            }
            const int x0 = (col + quietModules) * factor;
            const int y0 = (row + quietModules) * factor;
            for (int y = y0; y < y0 + factor; ++y) {
                auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
                std::fill(line + x0, line + x0 + factor, black);
            }
        }
    }
    return image;
}

PairingWindow::PairingWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
    setWindowTitle(QStringLiteral("Tarvel"));
    setFixedSize(windowWidth, windowHeight);
    // Opening it from the tray must not take focus from the user's work.
    setAttribute(Qt::WA_ShowWithoutActivating);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(10);
    column->setAlignment(Qt::AlignHCenter);

    auto* headline = centredLabel(this, "headline");
    headline->setText(QStringLiteral("Pair New Device"));
    scaleFont(headline, 1.25);
    QFont headlineFont = headline->font();
    headlineFont.setBold(true);
    headline->setFont(headlineFont);

    code_ = centredLabel(this, "code");
    QFont codeFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    codeFont.setStyleHint(QFont::Monospace);
    codeFont.setBold(true);
    codeFont.setPixelSize(40);  // the window is measured in logical pixels: keep the column inside 380
    code_->setFont(codeFont);
    code_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    qr_ = centredLabel(this, "qr");
    qr_->setFixedSize(qrShown, qrShown);

    auto* caption = centredLabel(this, "caption");
    caption->setText(QStringLiteral("Scan with the Tarvel app, or enter the code."));
    scaleFont(caption, 0.85);
    useSecondaryColour(caption);

    auto* endpoints = new QVBoxLayout;
    endpoints->setSpacing(2);
    QFont lineFont = font();
    lineFont.setPixelSize(11);
    lan_ = centredLabel(this, "lan");
    tailscale_ = centredLabel(this, "tailscale");
    for (QLabel* line : {lan_, tailscale_}) {
        line->setFont(lineFont);
        useSecondaryColour(line);
        endpoints->addWidget(line);
    }

    webQr_ = centredLabel(this, "webQr");
    webQr_->setFixedSize(webQRShown, webQRShown);
    webCaption_ = centredLabel(this, "webCaption");
    webCaption_->setText(QStringLiteral("Or scan with any phone to use Tarvel in its browser."));
    webCaption_->setWordWrap(true);
    scaleFont(webCaption_, 0.85);
    useSecondaryColour(webCaption_);

    column->addWidget(headline);
    column->addWidget(code_);
    column->addWidget(qr_, 0, Qt::AlignHCenter);
    column->addWidget(caption);
    column->addWidget(webQr_, 0, Qt::AlignHCenter);
    column->addWidget(webCaption_);
    column->addLayout(endpoints);
    webQr_->hide();
    webCaption_->hide();
}

namespace {

/// Shows `text` as a QR code in `label`, rendered at `target` px for a crisp
/// `shown` px; false (and the label hidden) when it cannot be encoded.
bool showQR(QLabel* label, const std::string& text, int target, int shown) {
    const QImage image = pairingQRImage(text, target);
    if (image.isNull()) {
        label->clear();
        label->hide();
        return false;
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    // QLabel draws an unscaled pixmap without smoothing, so every module keeps hard edges.
    pixmap.setDevicePixelRatio(static_cast<qreal>(image.width()) / shown);
    label->setPixmap(pixmap);
    label->show();
    return true;
}

}  // namespace

void PairingWindow::present(const std::string& code, const std::string& url,
                            const std::string& lan, const std::optional<std::string>& ts,
                            std::optional<QRect> trayIcon,
                            const std::optional<std::string>& webUrl) {
    code_->setText(formatPairingCode(code));
    // Without it everything else still lets the user pair by hand.
    showQR(qr_, url, qrTarget, qrShown);
    const bool web = webUrl && showQR(webQr_, *webUrl, webQRTarget, webQRShown);
    webQr_->setVisible(web);
    webCaption_->setVisible(web);
    webQr_->setToolTip(web ? QString::fromStdString(*webUrl) : QString());
    setFixedSize(windowWidth, currentHeight());

    lan_->setText(QStringLiteral("LAN: ") + QString::fromStdString(lan));
    tailscale_->setText(QStringLiteral("Tailscale: ") +
                        (ts ? QString::fromStdString(*ts) : QStringLiteral("Not connected")));

    placeNear(trayIcon);
    show();
    raise();
}

int PairingWindow::currentHeight() const {
    return windowHeight + (webQr_->isVisibleTo(this) ? webRowHeight : 0);
}

void PairingWindow::placeNear(std::optional<QRect> trayIcon) {
    QScreen* screen = nullptr;
    if (trayIcon && trayIcon->isValid()) {
        screen = QGuiApplication::screenAt(trayIcon->center());
    }
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    const QRect available = screen->availableGeometry();
    if (!trayIcon || !trayIcon->isValid()) {
        QRect frame(0, 0, windowWidth, currentHeight());
        frame.moveCenter(available.center());
        move(frame.topLeft());
        return;
    }
    const QRect icon = *trayIcon;
    int x = icon.center().x() - windowWidth / 2;
    x = std::min(x, available.x() + available.width() - windowWidth);
    x = std::max(x, available.x() + screenMargin);
    // Open away from the screen edge the tray sits on.
    const bool iconInUpperHalf = icon.center().y() < screen->geometry().center().y();
    const int y = iconInUpperHalf ? icon.y() + icon.height() + iconGap
                                  : icon.y() - currentHeight() - iconGap;
    move(x, y);
}

void PairingWindow::dismiss() {
    dismissing_ = true;
    close();
    dismissing_ = false;
}

void PairingWindow::closeEvent(QCloseEvent* event) {
    // A close of an already hidden window is no new decision by the user.
    const bool byUser = !dismissing_ && isVisible();
    event->accept();
    if (byUser) {
        emit closedByUser();
    }
}

}  // namespace tarvel::app
