#include "host/injection/recording_event_sink.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/fakes/temp_dir.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using Lines = std::vector<std::string>;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RecordingEventSink, writesOneExactLinePerEventFromTheInjector) {
    std::ostringstream out;
    Harness h(VirtualScreen::standard(), std::make_shared<RecordingEventSink>(out));
    h.keyEvent(hidA, KeyState::repeat, ModifierMask::shift);
    h.send(InputEvent::MouseMove{3.5F, -2.5F});
    h.send(InputEvent::MouseMove{0.5F, 0});
    h.send(InputEvent::MouseButton{2, true, 2});
    h.send(InputEvent::Scroll{-1, 2}, {}, GesturePhase::began);
    h.send(InputEvent::Scroll{0, 7}, {}, GesturePhase::momentum);
    h.send(InputEvent::PinchZoom{0.0625F, 0}, {}, GesturePhase::began);
    h.send(InputEvent::Media{3});
    h.injector->injectText("h\xC3\xA9 \"q\"");

    const Lines expected{
        R"({"op":"key","keyCode":0,"down":true,"flags":131072,"autorepeat":1})",
        R"({"op":"userActivity"})",
        R"({"op":"mouse","type":5,"x":963.5,"y":537.5,"button":0,"clickState":0,"flags":0,"dx":4,"dy":-3})",
        R"({"op":"mouse","type":5,"x":964.0,"y":537.5,"button":0,"clickState":0,"flags":0,"dx":1,"dy":0})",
        R"({"op":"mouse","type":3,"x":964.0,"y":537.5,"button":1,"clickState":2,"flags":0,"dx":0,"dy":0})",
        R"({"op":"scroll","wheel1":2,"wheel2":-1,"phase":1,"momentumPhase":0})",
        R"({"op":"scroll","wheel1":7,"wheel2":0,"phase":0,"momentumPhase":1})",
        R"({"op":"gesture","zoom":0.0625})",
        R"({"op":"media","keyType":7,"down":true})",
        R"({"op":"media","keyType":7,"down":false})",
        "{\"op\":\"text\",\"text\":\"h\xC3\xA9 \\\"q\\\"\"}",
    };
    EXPECT_EQ(h.sink->lines(), expected);
    std::string written;
    for (const auto& line : expected) {
        written += line + "\n";
    }
    EXPECT_EQ(out.str(), written);
}

TEST(RecordingEventSink, aFileIsFlushedLineByLineAndOtherWritersLinesJoinIt) {
    testing::TempDir dir;
    auto sink = RecordingEventSink::open(dir / "events.jsonl");
    ASSERT_TRUE(sink.has_value());
    (*sink)->post(MediaKeyEvent{16, true});
    (*sink)->writeLine(R"({"op":"clipboard","text":"two\nlines"})");
    // Still open: what is on disk must already be complete.
    EXPECT_EQ(readFile(dir / "events.jsonl"),
              "{\"op\":\"media\",\"keyType\":16,\"down\":true}\n"
              "{\"op\":\"clipboard\",\"text\":\"two\\nlines\"}\n");

    EXPECT_EQ(RecordingEventSink::open(dir / "missing" / "events.jsonl").error(),
              std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace tarvel::injection::test
