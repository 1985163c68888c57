#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

#include <optional>
#include <string>

class QCloseEvent;
class QLabel;

namespace tarvel::app {

/// A six-character code as "123 456"; any other length unchanged.
QString formatPairingCode(const std::string& code);

/// The QR code of `text` (its UTF-8 bytes, error correction M) with a quiet
/// zone of 2 white modules, one module per pixel scaled by the largest whole
/// factor that keeps it within `size` pixels (at least 1), black on white.
/// A null QImage when encoding fails.
QImage pairingQRImage(const std::string& text, int size);

/// The small always-on-top tool window that shows a pairing code. GUI thread
/// only. Closing it by hand emits closedByUser; dismiss() closes it quietly.
class PairingWindow : public QWidget {
    Q_OBJECT
  public:
    explicit PairingWindow(QWidget* parent = nullptr);

    /// Shows (or replaces) the content: the code, the QR of `url`, "LAN: " +
    /// lan and "Tailscale: " + (ts or "Not connected"), and a second QR of the
    /// web remote's `webUrl` when given. Placed near `trayIcon` (the tray
    /// icon's global geometry) when given and valid, otherwise centred on the
    /// primary screen; shown without taking focus.
    void present(const std::string& code, const std::string& url, const std::string& lan,
                 const std::optional<std::string>& ts, std::optional<QRect> trayIcon,
                 const std::optional<std::string>& webUrl = std::nullopt);

    /// Closes it without emitting closedByUser (pairing completed, or replaced).
    void dismiss();

  signals:
    /// The user closed the window: the caller ends pairing.
    void closedByUser();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void placeNear(std::optional<QRect> trayIcon);
    int currentHeight() const;

    QLabel* code_ = nullptr;
    QLabel* qr_ = nullptr;
    QLabel* lan_ = nullptr;
    QLabel* tailscale_ = nullptr;
    QLabel* webQr_ = nullptr;
    QLabel* webCaption_ = nullptr;
    bool dismissing_ = false;
};

}  // namespace tarvel::app
