#include "tools/client/terminal_keys.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string_view>

#include <gtest/gtest.h>

namespace tarvel::cli {

using wire::ModifierMask;

namespace {

using Inputs = std::vector<TerminalInput>;

constexpr ModifierMask shift = ModifierMask::shift;
constexpr ModifierMask ctrl = ModifierMask::control;
constexpr ModifierMask alt = ModifierMask::option;
constexpr ModifierMask cmd = ModifierMask::command;

TerminalInput k(std::uint8_t usage, ModifierMask mods = {}) {
    return TerminalKey{usage, mods};
}
TerminalInput t(std::string s) {
    return TerminalText{std::move(s)};
}

Inputs parse(std::string_view bytes, bool flush = false) {
    TerminalKeyParser parser;
    Inputs out;
    parser.feed(wire::asBytes(bytes), out);
    if (flush) {
        parser.flush(out);
    }
    return out;
}

TEST(TerminalKeyParser, sameResultWhateverTheReadBoundaries) {
    const std::string_view stream =
        "h\xC3\xA9\x1B[1;5Cx\x1BOP\xE2\x82\xAC\x1B"
        "b\xF0\x9F\x98\x80\r\x1B[15;2~\x1B[[A\x1D";
    const Inputs expected = {
        t("h\xC3\xA9"),      k(0x4F, ctrl), t("x"), k(0x3A), t("\xE2\x82\xAC"), k(0x05, alt),
        t("\xF0\x9F\x98\x80"), k(0x28),     k(0x3E, shift), k(0x3A), TerminalLeave{}};
    ASSERT_EQ(parse(stream), expected);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        TerminalKeyParser parser;
        Inputs out;
        parser.feed(wire::asBytes(stream.substr(0, cut)), out);
        parser.feed(wire::asBytes(stream.substr(cut)), out);
        EXPECT_EQ(out, expected) << "cut at " << cut;
    }
    TerminalKeyParser parser;
    Inputs out;
    for (char c : stream) {
        parser.feed(wire::asBytes(std::string_view(&c, 1)), out);
    }
    EXPECT_EQ(out, expected);
    EXPECT_FALSE(parser.pending());
}

TEST(TerminalKeyParser, decodesXtermModifiersAndAltPrefix) {
    // One case per rule: CSI and SS3 finals, tilde codes, each modifier bit,
    // the extended key reports, and the Alt prefix with shift and control.
    const std::pair<std::string_view, TerminalInput> cases[] = {
        {"\x1BOD", k(0x50)},
        {"\x1B[1;9A", k(0x52, cmd)},
        {"\x1B[1;16F", k(0x4D, shift | alt | ctrl | cmd)},
        {"\x1B[3;5~", k(0x4C, ctrl)},
        {"\x1B[24;3~", k(0x45, alt)},
        {"\x1BO2Q", k(0x3B, shift)},
        {"\x1B[Z", k(0x2B, shift)},
        {"\x1B[27;5;9~", k(0x2B, ctrl)},
        {"\x1B[97;7u", k(0x04, alt | ctrl)},
        {"\x1B" "B", k(0x05, alt | shift)},
        {"\x1B\x01", k(0x04, alt | ctrl)},
    };
    for (const auto& [bytes, input] : cases) {
        EXPECT_EQ(parse(bytes), Inputs{input}) << testing::PrintToString(std::string(bytes));
    }
}

TEST(TerminalKeyParser, mapsControlBytesAndLeaveCoalescesTextAndDropsInvalidUtf8) {
    EXPECT_EQ(parse(std::string_view("\x00\x03\x08\x09\x0A\x0D\x1A\x1F\x7F", 9)),
              (Inputs{k(0x2C, ctrl), k(0x06, ctrl), k(0x2A), k(0x2B), k(0x28), k(0x28),
                      k(0x1D, ctrl), k(0x38, ctrl), k(0x2A)}));
    // Ctrl-] leaves even in the middle of a sequence, which then goes on.
    EXPECT_EQ(parse("ab\x1B[1;\x1D" "5C"), (Inputs{t("ab"), TerminalLeave{}, k(0x4F, ctrl)}));
    EXPECT_EQ(parse("Hello, World!"), Inputs{t("Hello, World!")});
    EXPECT_EQ(parse("ab\tcd"), (Inputs{t("ab"), k(0x2B), t("cd")}));
    // Stray continuation, bad lead, overlong '/', surrogate, C1 control, a
    // character cut short by ASCII, and one cut short by a key.
    EXPECT_EQ(parse("a\x80\xFF\xC0\xAF\xED\xA0\x80\xC2\x85\xE2\x82x\xF0\x9F\x1B[Ab"),
              (Inputs{t("ax"), k(0x52), t("b")}));

    TerminalKeyParser parser;
    Inputs out;
    parser.feed(wire::asBytes("caf\xC3"), out);
    EXPECT_FALSE(parser.pending());  // a split character needs no timer
    parser.flush(out);
    parser.feed(wire::asBytes("\xA9 \xE2\x82"), out);
    parser.feed(wire::asBytes("\xAC"), out);
    EXPECT_EQ(out, Inputs{t("caf\xC3\xA9 \xE2\x82\xAC")});
}

TEST(TerminalKeyParser, swallowsUnknownAndOverlongSequencesWithinBounds) {
    EXPECT_EQ(parse("\x1B[?25h\x1B[<0;3;4M\x1B[I\x1B[99~\x1B[1:2A\x1BOx"), Inputs{});

    std::string overlong = "\x1B[" + std::string(5000, '1') + ";;;Ax";
    EXPECT_EQ(parse(overlong), Inputs{t("x")});

    TerminalKeyParser parser;
    Inputs out;
    parser.feed(wire::asBytes("\x1B[" + std::string(100, ';')), out);
    EXPECT_TRUE(parser.pending());
    parser.flush(out);  // an overlong sequence is never replayed as text
    EXPECT_EQ(out, Inputs{});
    EXPECT_FALSE(parser.pending());

    // Random garbage never crashes, and leaves the parser usable.
    std::mt19937 rng(7);
    std::string garbage(1 << 16, '\0');
    for (auto& c : garbage) {
        c = static_cast<char>(rng());
    }
    parser.feed(wire::asBytes(garbage), out);
    parser.flush(out);
    out.clear();
    parser.feed(wire::asBytes("\x1B[Bz"), out);
    EXPECT_EQ(out, (Inputs{k(0x51), t("z")}));
}

TEST(TerminalKeyParser, loneEscapeWaitsForFlush) {
    TerminalKeyParser parser;
    Inputs out;
    parser.feed(wire::asBytes("\x1B"), out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(parser.pending());
    parser.flush(out);
    EXPECT_EQ(out, Inputs{k(0x29)});
    EXPECT_FALSE(parser.pending());

    EXPECT_EQ(parse("\x1B\x1B", true), (Inputs{k(0x29), k(0x29)}));
    EXPECT_EQ(parse("\x1B[", true), Inputs{k(0x2F, alt)});
    EXPECT_EQ(parse("\x1BO", true), Inputs{k(0x12, alt | shift)});
    EXPECT_EQ(parse("\x1B[1;", true), (Inputs{k(0x29), t("[1;")}));
    EXPECT_EQ(parse("\x1B\xC3\xA9"), (Inputs{k(0x29), t("\xC3\xA9")}));
}

struct Pty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    int slave = -1;
    Pty() {
        const char* name = (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
                               ? ::ptsname(master)
                               : nullptr;
        slave = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
    }
    ~Pty() {
        ::close(slave);
        ::close(master);
    }
};

termios attrs(int fd) {
    termios t{};
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    return t;
}

TEST(RawTerminal, rawOnPtyRestoresExactAttributesAndRefusesAPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto refused = RawTerminal::enter(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), std::errc::inappropriate_io_control_operation);

    Pty pty;
    ASSERT_GE(pty.slave, 0);
    // Unusual settings, so restoring mere defaults would not pass.
    termios before = attrs(pty.slave);
    before.c_lflag &= ~static_cast<tcflag_t>(ECHOK);
    before.c_iflag |= IXOFF;
    before.c_cc[VINTR] = 0x07;
    before.c_cc[VMIN] = 3;
    ASSERT_EQ(::tcsetattr(pty.slave, TCSANOW, &before), 0);
    before = attrs(pty.slave);

    {
        auto raw = RawTerminal::enter(pty.slave);
        ASSERT_TRUE(raw.has_value()) << raw.error().message();
        const termios in = attrs(pty.slave);
        EXPECT_EQ(in.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(in.c_iflag & (ICRNL | IXON), 0u);
        EXPECT_NE(in.c_oflag & OPOST, 0u);
        EXPECT_EQ(in.c_cc[VMIN], 1);

        RawTerminal moved = std::move(*raw);
        raw = tl::unexpected(std::error_code());  // the moved-from value restores nothing
        EXPECT_EQ(attrs(pty.slave).c_lflag & ICANON, 0u);
    }
    const termios after = attrs(pty.slave);
    EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0);
}

}  // namespace
}  // namespace tarvel::cli
