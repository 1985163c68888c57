#include "host/platform/terminal_qr.hpp"

#include <qrencode.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tarvel::platform {

namespace {

struct QRcodeFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

// Dark modules are the foreground: the upper, the lower or both halves of a cell.
constexpr std::string_view upperHalf = "\u2580";
constexpr std::string_view lowerHalf = "\u2584";
constexpr std::string_view fullBlock = "\u2588";

// Plain 16-colour codes, which every terminal knows: black on white. Not bold,
// which some terminals render as grey rather than black.
constexpr std::string_view codeColours = "\x1b[30;47m";
constexpr std::string_view resetColours = "\x1b[0m";

}  // namespace

tl::expected<QRMatrix, std::string> encodeQR(std::string_view text) {
    const std::string terminated(text);  // libqrencode wants a C string
    std::unique_ptr<QRcode, QRcodeFree> code(
        QRcode_encodeString8bit(terminated.c_str(), 0, QR_ECLEVEL_M));
    if (!code) {
        return tl::unexpected(std::string("cannot encode a QR code: ") + std::strerror(errno));
    }
    QRMatrix matrix;
    matrix.size = code->width;
    matrix.modules.resize(static_cast<std::size_t>(code->width * code->width));
    for (std::size_t i = 0; i < matrix.modules.size(); ++i) {
        matrix.modules[i] = (code->data[i] & 1) != 0;  // bit 0 is the module's colour
    }
    return matrix;
}

std::string renderForTerminal(const QRMatrix& matrix, int quietZone) {
    const int span = matrix.size + 2 * quietZone;
    auto dark = [&](int x, int y) {
        const int mx = x - quietZone;
        const int my = y - quietZone;
        // The quiet zone, and the half row below an odd span, stay light.
        return mx >= 0 && my >= 0 && mx < matrix.size && my < matrix.size && matrix.dark(mx, my);
    };
    std::string out;
    for (int y = 0; y < span; y += 2) {
        out += codeColours;
        for (int x = 0; x < span; ++x) {
            const bool top = dark(x, y);
            const bool bottom = dark(x, y + 1);
            if (top && bottom) {
                out += fullBlock;
            } else if (top) {
                out += upperHalf;
            } else if (bottom) {
                out += lowerHalf;
            } else {
                out += ' ';
            }
        }
        out += resetColours;
        out += '\n';
    }
    return out;
}

void showQROnTerminal(std::string_view text) {
    if (::isatty(STDOUT_FILENO) != 1) {
        return;
    }
    if (auto qr = encodeQR(text)) {
        const std::string drawing = renderForTerminal(*qr);
        std::fwrite(drawing.data(), 1, drawing.size(), stdout);
        std::fflush(stdout);
    }
}

}  // namespace tarvel::platform
