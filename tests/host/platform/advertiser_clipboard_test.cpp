#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/platform/advertiser.hpp"
#include "host/platform/clipboard.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::platform {
namespace {

discovery::DnsSdTxt record(std::optional<std::string> ts = std::nullopt) {
    return discovery::DnsSdTxt("5f0c6a8e-2b7d-4c1e-9a3f-0d4e8b6c2a11", "Ann's Box",
                               pairing::HostOSType::macos, std::move(ts), "0123456789abcdef");
}

TEST(LoggingAdvertiser, logsEachChangeOfRecordAndEachWithdrawalOnce) {
    testing::LogCapture log;
    LoggingAdvertiser advertiser;
    advertiser.withdraw();  // nothing published yet
    advertiser.advertise("Ann's Box", 49182, record());
    advertiser.advertise("Ann's Box", 49182, record(""));  // an empty endpoint is no change
    advertiser.advertise("Ann's Box", 49183, record());
    advertiser.advertise("Ann's Box", 49183, record("100.64.0.1:49183"));
    advertiser.advertise("Renamed", 49183, record("100.64.0.1:49183"));
    advertiser.advertise("Ann's Box", 49182, record());  // back to an earlier record
    advertiser.withdraw();
    advertiser.withdraw();
    advertiser.advertise("Ann's Box", 49182, record());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[4], lines[0]);
    EXPECT_NE(lines[5].find("withdrawn"), std::string::npos);
    EXPECT_EQ(lines[6], lines[0]);
}

TEST(ClipboardRecordLine, escapesWhatJSONNeedsKeepsUTF8AndReplacesIllFormedBytes) {
    EXPECT_EQ(clipboardRecordLine("He said \"hi\"\nnext\tline \\ end\x01"),
              R"({"op":"clipboard","text":"He said \"hi\"\nnext\tline \\ end\u0001"})");
    EXPECT_EQ(clipboardRecordLine("caf\xC3\xA9 \xF0\x9F\x98\x80 </b>"),
              "{\"op\":\"clipboard\",\"text\":\"caf\xC3\xA9 \xF0\x9F\x98\x80 </b>\"}");
    EXPECT_EQ(clipboardRecordLine("a\xFF"
                                  "b"),
              "{\"op\":\"clipboard\",\"text\":\"a\xEF\xBF\xBD"
              "b\"}");
}

TEST(RecordingClipboard, appendsOneFlushedLinePerTextOrHandsItToAnotherWriter) {
    testing::TempDir dir;
    const auto path = dir / "record.jsonl";
    std::ofstream out(path);
    out << "{\"op\":\"key\"}\n" << std::flush;
    RecordingClipboard clipboard(out);
    EXPECT_TRUE(clipboard.setText("first\nsecond"));
    EXPECT_TRUE(clipboard.setText("x"));
    // Read while the stream is still open: only a flush puts the lines there.
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "{\"op\":\"key\"}\n"
              "{\"op\":\"clipboard\",\"text\":\"first\\nsecond\"}\n"
              "{\"op\":\"clipboard\",\"text\":\"x\"}\n");
    EXPECT_EQ(clipboard.texts(), (std::vector<std::string>{"first\nsecond", "x"}));

    std::vector<std::string> handed;
    RecordingClipboard viaWriter([&handed](std::string_view line) { handed.emplace_back(line); });
    EXPECT_TRUE(viaWriter.setText("a"));
    EXPECT_EQ(handed, (std::vector<std::string>{R"({"op":"clipboard","text":"a"})"}));
}

TEST(RecordingClipboard, reportsAFailedStreamButKeepsTheText) {
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    RecordingClipboard clipboard(out);
    EXPECT_FALSE(clipboard.setText("lost"));
    EXPECT_EQ(clipboard.texts(), std::vector<std::string>{"lost"});
}

}  // namespace
}  // namespace tarvel::platform
