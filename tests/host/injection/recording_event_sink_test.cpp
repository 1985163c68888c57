#include "host/injection/recording_event_sink.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/fakes/temp_dir.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The line format itself is checked through every injector test.
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
