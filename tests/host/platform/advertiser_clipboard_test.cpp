#include <gtest/gtest.h>
#include <fstream>
#include "host/platform/advertiser.hpp"
#include "host/platform/clipboard.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::platform {
namespace {

TEST(LoggingAdvertiser, logsEachChangeOfRecordAndEachWithdrawalOnce) {
    const auto record = [](std::optional<std::string> ts = std::nullopt) {
        return discovery::DnsSdTxt("id", "Ann's Box", pairing::HostOSType::macos, ts, "fp");
    };
    testing::LogCapture log;
    LoggingAdvertiser advertiser;
    advertiser.withdraw();  // nothing published yet
    advertiser.advertise("Ann's Box", 49182, record());
    advertiser.advertise("Ann's Box", 49182, record(""));  // an empty endpoint is no change
    advertiser.advertise("Ann's Box", 49183, record("100.64.0.1:49183"));
    advertiser.advertise("Ann's Box", 49182, record());  // back to an earlier record
    advertiser.withdraw();
    advertiser.withdraw();
    advertiser.advertise("Ann's Box", 49182, record());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], lines[0]);
    EXPECT_NE(lines[3].find("withdrawn"), std::string::npos);
    EXPECT_EQ(lines[4], lines[0]);
}

TEST(RecordingClipboard, appendsOneFlushedEscapedLinePerTextKeepingTheTextIfWritingFails) {
    testing::TempDir dir;
    std::ofstream out(dir / "record.jsonl");
    out << "{\"op\":\"key\"}\n" << std::flush;
    RecordingClipboard clipboard(out);
    EXPECT_TRUE(clipboard.setText("first\nsecond"));
    // Read while the stream is still open: only a flush puts the line there.
    std::ifstream in(dir / "record.jsonl");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "{\"op\":\"key\"}\n{\"op\":\"clipboard\",\"text\":\"first\\nsecond\"}\n");
    out.setstate(std::ios::badbit);  // a failed write is reported, the text still kept
    EXPECT_FALSE(clipboard.setText("lost"));
    EXPECT_EQ(clipboard.texts(), (std::vector<std::string>{"first\nsecond", "lost"}));
    std::string handed;
    RecordingClipboard viaWriter([&handed](std::string_view line) { handed += line; });
    EXPECT_TRUE(viaWriter.setText("He said \"hi\"\nnext\tline \\ end\x01 caf\xC3\xA9 </b> a\xFF"));
    EXPECT_EQ(handed, R"({"op":"clipboard","text":"He said \"hi\"\nnext\tline \\ end\u0001 caf)"
                      "\xC3\xA9 </b> a\xEF\xBF\xBD\"}");
}

}  // namespace
}  // namespace tarvel::platform
