#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/platform/advertiser.hpp"
#include "host/platform/clipboard.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::platform {
namespace {

const std::string hostId = "5f0c6a8e-2b7d-4c1e-9a3f-0d4e8b6c2a11";

discovery::DnsSdTxt record(std::optional<std::string> ts = std::nullopt) {
    return discovery::DnsSdTxt(hostId, "Ann's Box", pairing::HostOSType::macos, std::move(ts),
                                 "0123456789abcdef");
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// ---- logging advertiser ----

TEST(LoggingAdvertiser, logsTheServiceAndTxtKeysInFixedOrder) {
    testing::LogCapture log;
    LoggingAdvertiser advertiser;
    advertiser.advertise("Ann's Box", 49184, record("100.101.102.103:49184"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0],
              "Tarvel: advertising Ann's Box on port 49184 (_tarvel._tcp) v=1 id=" + hostId +
                  " name=Ann's Box os=macos fp=0123456789abcdef ts=100.101.102.103:49184");
}

TEST(LoggingAdvertiser, leavesOutAnAbsentOrEmptyTailscaleEndpoint) {
    testing::LogCapture log;
    LoggingAdvertiser advertiser;
    advertiser.advertise("Ann's Box", 49182, record());
    advertiser.advertise("Ann's Box", 49182, record(""));
    ASSERT_EQ(log.lines().size(), 1u) << "an empty endpoint publishes the same record";
    EXPECT_EQ(log.lines()[0], "Tarvel: advertising Ann's Box on port 49182 (_tarvel._tcp) v=1 id=" +
                                  hostId + " name=Ann's Box os=macos fp=0123456789abcdef");
}

TEST(LoggingAdvertiser, logsOnlyWhenTheRecordChanges) {
    testing::LogCapture log;
    LoggingAdvertiser advertiser;
    advertiser.advertise("Ann's Box", 49182, record());
    advertiser.advertise("Ann's Box", 49182, record());
    EXPECT_EQ(log.lines().size(), 1u);

    advertiser.advertise("Ann's Box", 49183, record());
    advertiser.advertise("Ann's Box", 49183, record("100.64.0.1:49183"));
    advertiser.advertise("Renamed", 49183, record("100.64.0.1:49183"));
    advertiser.advertise("Ann's Box", 49182, record());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[1].find("on port 49183"), std::string::npos);
    EXPECT_NE(lines[2].find(" ts=100.64.0.1:49183"), std::string::npos);
    EXPECT_EQ(lines[3].rfind("Tarvel: advertising Renamed on port", 0), 0u);
    EXPECT_EQ(lines[4], lines[0]) << "going back to an earlier record is a change too";
}

TEST(LoggingAdvertiser, withdrawalIsLoggedOnceAndReadvertisingLogsAgain) {
    testing::LogCapture log;
    LoggingAdvertiser advertiser;
    advertiser.withdraw();
    EXPECT_TRUE(log.lines().empty()) << "nothing was published";

    advertiser.advertise("Ann's Box", 49182, record());
    advertiser.withdraw();
    advertiser.withdraw();
    advertiser.advertise("Ann's Box", 49182, record());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Tarvel: advertisement withdrawn");
    EXPECT_EQ(lines[2], lines[0]);
}

TEST(LoggingAdvertiser, showsTheNameTheRecordWouldCarry) {
    const std::string longName(300, 'n');
    const auto txt = discovery::DnsSdTxt(hostId, longName, pairing::HostOSType::macos,
                                           std::nullopt, "0123456789abcdef");
    const std::string line = advertisementDescription(longName, 49182, txt);
    // The instance name in full, the TXT value cut to fit its 255-byte pair.
    EXPECT_NE(line.find("advertising " + longName + " on port"), std::string::npos);
    EXPECT_NE(line.find(" name=" + std::string(250, 'n') + " os=macos"), std::string::npos);
}

// ---- recording clipboard ----

TEST(ClipboardRecordLine, escapesQuotesControlCharactersAndKeepsUTF8) {
    EXPECT_EQ(clipboardRecordLine("plain"), R"({"op":"clipboard","text":"plain"})");
    EXPECT_EQ(clipboardRecordLine("He said \"hi\"\nnext\tline \\ end\x01"),
              R"({"op":"clipboard","text":"He said \"hi\"\nnext\tline \\ end\u0001"})");
    EXPECT_EQ(clipboardRecordLine("caf\xC3\xA9 \xF0\x9F\x98\x80 </b>"),
              "{\"op\":\"clipboard\",\"text\":\"caf\xC3\xA9 \xF0\x9F\x98\x80 </b>\"}");
    EXPECT_EQ(clipboardRecordLine(""), R"({"op":"clipboard","text":""})");
}

TEST(ClipboardRecordLine, replacesIllFormedUTF8InsteadOfThrowing) {
    EXPECT_EQ(clipboardRecordLine("a\xFF"
                                  "b"),
              "{\"op\":\"clipboard\",\"text\":\"a\xEF\xBF\xBD"
              "b\"}");
}

TEST(RecordingClipboard, appendsOneFlushedLinePerTextAndKeepsTheTexts) {
    testing::TempDir dir;
    const auto path = dir / "record.jsonl";
    std::ofstream out(path);
    out << "{\"op\":\"key\"}\n" << std::flush;
    RecordingClipboard clipboard(out);
    EXPECT_TRUE(clipboard.setText("first\nsecond"));
    EXPECT_TRUE(clipboard.setText("\xFF"));

    // Read while the stream is still open: only a flush puts the lines there.
    std::ifstream in(path);
    const std::string written{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(written,
              "{\"op\":\"key\"}\n"
              "{\"op\":\"clipboard\",\"text\":\"first\\nsecond\"}\n"
              "{\"op\":\"clipboard\",\"text\":\"\xEF\xBF\xBD\"}\n");
    EXPECT_EQ(clipboard.texts(), (std::vector<std::string>{"first\nsecond", "\xFF"}));
}

TEST(RecordingClipboard, reportsAFailedStreamButKeepsTheText) {
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    RecordingClipboard clipboard(out);
    EXPECT_FALSE(clipboard.setText("lost"));
    EXPECT_EQ(clipboard.texts(), std::vector<std::string>{"lost"});
}

TEST(RecordingClipboard, handsLinesToAnotherWriterOrKeepsThemInMemory) {
    std::vector<std::string> handed;
    RecordingClipboard viaWriter([&handed](std::string_view line) { handed.emplace_back(line); });
    EXPECT_TRUE(viaWriter.setText("a"));
    EXPECT_TRUE(viaWriter.setText("b"));
    EXPECT_EQ(handed, (std::vector<std::string>{R"({"op":"clipboard","text":"a"})",
                                                R"({"op":"clipboard","text":"b"})"}));

    RecordingClipboard inMemory;
    EXPECT_TRUE(inMemory.setText("kept"));
    EXPECT_EQ(inMemory.texts(), std::vector<std::string>{"kept"});
}

TEST(RecordingClipboard, concurrentWritersProduceWholeLines) {
    std::ostringstream out;
    RecordingClipboard clipboard(out);
    constexpr int threads = 4;
    constexpr int perThread = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&clipboard, t] {
            for (int i = 0; i < perThread; ++i) {
                clipboard.setText("thread " + std::to_string(t) + " text " + std::to_string(i));
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    const auto lines = splitLines(out.str());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
    for (const auto& line : lines) {
        ASSERT_EQ(line.rfind(R"({"op":"clipboard","text":"thread )", 0), 0u) << line;
        ASSERT_EQ(line.back(), '}') << line;
    }
    EXPECT_EQ(clipboard.texts().size(), lines.size());
}

}  // namespace
}  // namespace tarvel::platform
