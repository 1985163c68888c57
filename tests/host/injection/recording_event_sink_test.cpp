#include "host/injection/recording_event_sink.hpp"
#include <gtest/gtest.h>
#include <fstream>
#include <iterator>
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

// The line format itself is checked through every injector test.
TEST(RecordingEventSink, aFileIsFlushedLineByLineAndOtherWritersLinesJoinIt) {
    testing::TempDir dir;
    auto sink = RecordingEventSink::open(dir / "events.jsonl");
    ASSERT_TRUE(sink.has_value());
    (*sink)->post(MediaKeyEvent{16, true});
    (*sink)->writeLine(R"({"op":"clipboard","text":"two\nlines"})");
    // Still open: what is on disk must already be complete.
    std::ifstream in(dir / "events.jsonl");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "{\"op\":\"media\",\"keyType\":16,\"down\":true}\n"
              "{\"op\":\"clipboard\",\"text\":\"two\\nlines\"}\n");
    EXPECT_EQ(RecordingEventSink::open(dir / "missing" / "events.jsonl").error(),
              std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace tarvel::injection::test
