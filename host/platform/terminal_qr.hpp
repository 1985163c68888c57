#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tarvel::platform {

/// A QR code as a square of modules, row by row; true is a dark module.
struct QRMatrix {
    int size = 0;
    std::vector<bool> modules;

    bool dark(int x, int y) const { return modules[static_cast<std::size_t>(y * size + x)]; }
};

/// Encodes `text` as bytes with error correction M (the pairing link keeps
/// working with part of the code smudged). Fails for text too long for any
/// QR version.
tl::expected<QRMatrix, std::string> encodeQR(std::string_view text);

/// Draws the code for a terminal: two module rows per text line with the
/// half-block characters, inside a quiet zone of `quietZone` light modules.
/// Every line sets its own colours (black foreground for dark modules on a
/// white background) and resets them before its "\n", so the code scans
/// under any terminal theme and leaves the terminal's colours as they were.
std::string renderForTerminal(const QRMatrix& matrix, int quietZone = 2);

/// Draws the code of `text` on standard output when that is a terminal: a
/// pipe or a log gets the text lines alone.
void showQROnTerminal(std::string_view text);

}  // namespace tarvel::platform
