#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/platform/terminal_qr.hpp"

namespace tarvel::platform {
namespace {

/// What a terminal would show: one row of cells per module row, each cell
/// dark or light by the colour it is painted in; nothing when a cell is
/// drawn in a colour the drawing did not set (it would follow the theme).
struct Screen {
    std::vector<std::vector<std::optional<bool>>> rows;  // true: dark
    std::vector<std::string> lines;                      // raw, without "\n"
};

Screen readBack(const std::string& drawing) {
    Screen screen;
    std::size_t start = 0;
    while (start < drawing.size()) {
        const auto end = drawing.find('\n', start);
        screen.lines.push_back(drawing.substr(start, end - start));
        const std::string& line = screen.lines.back();
        std::optional<bool> foreground;  // dark or light; nothing for the theme's own
        std::optional<bool> background;
        std::vector<std::optional<bool>> top;
        std::vector<std::optional<bool>> bottom;
        for (std::size_t i = 0; i < line.size();) {
            if (line.compare(i, 2, "\x1b[") == 0) {
                const auto m = line.find('m', i);
                std::string params = line.substr(i + 2, m - i - 2) + ";";
                for (std::size_t p = 0; p < params.size();) {
                    const auto semicolon = params.find(';', p);
                    const int code = std::stoi(params.substr(p, semicolon - p));
                    if (code == 0) {
                        foreground.reset();
                        background.reset();
                    } else if (code == 30 || code == 37 || code == 97) {
                        foreground = code == 30;
                    } else if (code == 40 || code == 47 || code == 107) {
                        background = code == 40;
                    } else {
                        ADD_FAILURE() << "unexpected colour code " << code;
                    }
                    p = semicolon + 1;
                }
                i = m + 1;
                continue;
            }
            const bool space = line[i] == ' ';
            const std::string glyph = space ? " " : line.substr(i, 3);
            top.push_back(glyph == "\u2588" || glyph == "\u2580" ? foreground : background);
            bottom.push_back(glyph == "\u2588" || glyph == "\u2584" ? foreground : background);
            i += glyph.size();
        }
        screen.rows.push_back(top);
        screen.rows.push_back(bottom);
        start = end + 1;
    }
    return screen;
}

TEST(TerminalQR, drawingShowsTheModulesDarkOnLightInsideALightQuietZoneAndResetsEachLine) {
    const std::string link =
        "tarvel://pair?v=1&id=6f1c1d7e-2b3a-4c5d-9e8f-0a1b2c3d4e5f&name=Anna%27s%20Desk&os=macos"
        "&lan=192.168.1.10%3A49182&ts=100.101.102.103%3A49182&pk=" +
        std::string(64, 'a') + "&code=042917";
    auto matrix = encodeQR(link);
    ASSERT_TRUE(matrix) << matrix.error();
    EXPECT_EQ((matrix->size - 17) % 4, 0) << "a QR code is 17 + 4 × version modules wide";
    // Finder pattern corners are dark.
    EXPECT_TRUE(matrix->dark(0, 0));
    EXPECT_TRUE(matrix->dark(matrix->size - 1, 0));
    EXPECT_TRUE(matrix->dark(0, matrix->size - 1));

    for (const int quiet : {2, 4}) {
        const auto screen = readBack(renderForTerminal(*matrix, quiet));
        const int span = matrix->size + 2 * quiet;
        // A QR code is odd-sized: the last line's lower half is one more light row.
        ASSERT_EQ(static_cast<int>(screen.rows.size()), span + 1);
        for (int y = 0; y <= span; ++y) {
            const auto& row = screen.rows[static_cast<std::size_t>(y)];
            ASSERT_EQ(static_cast<int>(row.size()), span) << "row " << y;
            for (int x = 0; x < span; ++x) {
                const int mx = x - quiet;
                const int my = y - quiet;
                const bool inCode = mx >= 0 && my >= 0 && mx < matrix->size && my < matrix->size;
                const bool expectedDark = inCode && matrix->dark(mx, my);
                ASSERT_EQ(row[static_cast<std::size_t>(x)], std::optional<bool>(expectedDark))
                    << "cell " << x << "," << y << " with quiet zone " << quiet;
            }
        }
        for (const auto& line : screen.lines) {
            ASSERT_TRUE(line.ends_with("\x1b[0m")) << "colours must not leak past a line";
        }
    }
}

TEST(TerminalQR, textTooLongForAnyVersionIsAnError) {
    EXPECT_FALSE(encodeQR(std::string(5000, 'x')));
}

}  // namespace
}  // namespace tarvel::platform
