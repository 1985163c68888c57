#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/platform/terminal_qr.hpp"

namespace tarvel::platform {
namespace {

/// Reads the drawing back into light/dark cells, two per character.
std::vector<std::vector<bool>> readBack(const std::string& drawing) {
    std::vector<std::vector<bool>> rows;
    std::size_t start = 0;
    while (start < drawing.size()) {
        const auto end = drawing.find('\n', start);
        const std::string line = drawing.substr(start, end - start);
        std::vector<bool> top;
        std::vector<bool> bottom;
        for (std::size_t i = 0; i < line.size();) {
            if (line[i] == ' ') {
                top.push_back(false);
                bottom.push_back(false);
                i += 1;
                continue;
            }
            const std::string glyph = line.substr(i, 3);
            top.push_back(glyph == "\u2588" || glyph == "\u2580");
            bottom.push_back(glyph == "\u2588" || glyph == "\u2584");
            i += 3;
        }
        rows.push_back(top);
        rows.push_back(bottom);
        start = end + 1;
    }
    return rows;
}

TEST(TerminalQR, drawingReadsBackToTheSameModulesInsideALightQuietZone) {
    const std::string link =
        "tarvel://pair?v=1&id=6f1c1d7e-2b3a-4c5d-9e8f-0a1b2c3d4e5f&name=Anna%27s%20Desk&os=macos"
        "&lan=192.168.1.10%3A49182&ts=100.101.102.103%3A49182&pk=" +
        std::string(64, 'a') + "&code=042917";
    auto matrix = encodeQR(link);
    ASSERT_TRUE(matrix) << matrix.error();
    EXPECT_GE(matrix->size, 21);
    EXPECT_EQ((matrix->size - 17) % 4, 0) << "a QR code is 17 + 4 × version modules wide";
    // Finder pattern corners are dark.
    EXPECT_TRUE(matrix->dark(0, 0));
    EXPECT_TRUE(matrix->dark(matrix->size - 1, 0));
    EXPECT_TRUE(matrix->dark(0, matrix->size - 1));

    const int quiet = 2;
    const auto cells = readBack(renderForTerminal(*matrix, quiet));
    const int span = matrix->size + 2 * quiet;
    ASSERT_GE(static_cast<int>(cells.size()), span);
    for (int y = 0; y < span; ++y) {
        ASSERT_EQ(static_cast<int>(cells[static_cast<std::size_t>(y)].size()), span) << "row " << y;
        for (int x = 0; x < span; ++x) {
            const int mx = x - quiet;
            const int my = y - quiet;
            const bool inCode = mx >= 0 && my >= 0 && mx < matrix->size && my < matrix->size;
            const bool expectedLight = !inCode || !matrix->dark(mx, my);
            ASSERT_EQ(cells[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)], expectedLight)
                << "cell " << x << "," << y;
        }
    }
}

TEST(TerminalQR, textTooLongForAnyVersionIsAnError) {
    EXPECT_FALSE(encodeQR(std::string(5000, 'x')));
}

}  // namespace
}  // namespace tarvel::platform
