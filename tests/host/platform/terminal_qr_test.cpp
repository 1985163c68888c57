#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <vector>
#include "host/platform/terminal_qr.hpp"

namespace tarvel::platform {
namespace {

/// What a terminal would show: per module row, each cell dark (true) or light by its painted
/// colour; nothing when drawn in a colour the drawing did not set (it would follow the theme).
std::vector<std::vector<std::optional<bool>>> readBack(const std::string& drawing) {
    std::vector<std::vector<std::optional<bool>>> rows;
    std::istringstream in(drawing);
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(line.ends_with("\x1b[0m")) << "colours must not leak past a line";
        std::optional<bool> foreground, background;  // nothing: the theme's own
        std::vector<std::optional<bool>> top, bottom;
        for (std::size_t i = 0; i < line.size();) {
            if (line.compare(i, 2, "\x1b[") == 0) {
                const auto m = line.find('m', i);
                std::istringstream params(line.substr(i + 2, m - i - 2));
                for (std::string param; std::getline(params, param, ';');) {
                    const int code = std::stoi(param);
                    if (code == 0) foreground = background = std::nullopt;
                    else if (code == 30 || code == 37 || code == 97) foreground = code == 30;
                    else if (code == 40 || code == 47 || code == 107) background = code == 40;
                    else ADD_FAILURE() << "unexpected colour code " << code;
                }
                i = m + 1;
                continue;
            }
            const std::string glyph = line[i] == ' ' ? " " : line.substr(i, 3);
            top.push_back(glyph == "\u2588" || glyph == "\u2580" ? foreground : background);
            bottom.push_back(glyph == "\u2588" || glyph == "\u2584" ? foreground : background);
            i += glyph.size();
        }
        rows.insert(rows.end(), {top, bottom});
    }
    return rows;
}

TEST(TerminalQR, drawingShowsTheModulesDarkOnLightInsideALightQuietZoneAndResetsEachLine) {
    const std::string link =
        "tarvel://pair?v=1&id=6f1c1d7e-2b3a-4c5d-9e8f-0a1b2c3d4e5f&name=Anna%27s%20Desk&os=macos"
        "&lan=192.168.1.10%3A49182&ts=100.101.102.103%3A49182&pk=" +
        std::string(64, 'a') + "&code=042917";
    auto matrix = encodeQR(link);
    ASSERT_TRUE(matrix) << matrix.error();
    const int size = matrix->size;
    EXPECT_EQ((size - 17) % 4, 0) << "a QR code is 17 + 4 × version modules wide";
    EXPECT_TRUE(matrix->dark(0, 0) && matrix->dark(size - 1, 0) && matrix->dark(0, size - 1))
        << "finder pattern corners are dark";
    for (const int quiet : {2, 4}) {
        const auto rows = readBack(renderForTerminal(*matrix, quiet));
        const int span = size + 2 * quiet;
        // A QR code is odd-sized: the last line's lower half is one more light row.
        ASSERT_EQ(static_cast<int>(rows.size()), span + 1);
        for (int y = 0; y <= span; ++y) {
            const auto& row = rows[static_cast<std::size_t>(y)];
            ASSERT_EQ(static_cast<int>(row.size()), span) << "row " << y;
            for (int x = 0; x < span; ++x) {
                const int mx = x - quiet, my = y - quiet;
                const bool dark =
                    mx >= 0 && my >= 0 && mx < size && my < size && matrix->dark(mx, my);
                ASSERT_EQ(row[static_cast<std::size_t>(x)], std::optional<bool>(dark))
                    << "cell " << x << "," << y << " with quiet zone " << quiet;
            }
        }
    }
    EXPECT_FALSE(encodeQR(std::string(5000, 'x'))) << "too long for any version";
}

}  // namespace
}  // namespace tarvel::platform
