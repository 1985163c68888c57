#include <gtest/gtest.h>

#include <map>
#include <string>

#include "host/server/control_protocol.hpp"

namespace tarvel::control {
namespace {

TEST(ControlProtocol, parsesEachCommandAndRefusesMalformedRequests) {
    for (const Request& request : {Request{Command::status, {}}, Request{Command::devices, {}},
                                   Request{Command::pair, {}}, Request{Command::forget, "Ana's phone ☎"}}) {
        const auto line = encodeRequest(request);
        ASSERT_TRUE(line.ends_with('\n'));
        EXPECT_EQ(parseRequest(std::string_view(line).substr(0, line.size() - 1)), request) << line;
    }
    EXPECT_EQ(parseRequest(R"({"command":"status","extra":[1,2]})" "\r"), (Request{Command::status, {}}));
    // A device name on a status request is not carried along.
    EXPECT_EQ(parseRequest(R"({"command":"devices","device":"x"})")->device, "");

    const std::map<std::string, RequestError> refused{
        {"", RequestError::notJSON},
        {"status", RequestError::notJSON},
        {R"(["status"])", RequestError::notJSON},
        {R"({"command":"status"} {"command":"pair"})", RequestError::notJSON},
        {"{\"command\":\"st\xff\"}", RequestError::notJSON},
        {R"({"command":"reboot"})", RequestError::unknownCommand},
        {R"({"command":7})", RequestError::unknownCommand},
        {R"({"Command":"status"})", RequestError::unknownCommand},
        {R"({"command":"forget"})", RequestError::missingDevice},
        {R"({"command":"forget","device":""})", RequestError::missingDevice},
        {R"({"command":"forget","device":["a"]})", RequestError::missingDevice},
        {std::string(maxRequestBytes + 1, ' '), RequestError::tooLong},
    };
    for (const auto& [line, error] : refused) {
        const auto parsed = parseRequest(line);
        ASSERT_FALSE(parsed) << line;
        EXPECT_EQ(parsed.error(), error) << line;
        EXPECT_FALSE(describe(error).empty());
    }
    // Deep nesting inside the bound is refused, not a crash.
    EXPECT_FALSE(parseRequest(std::string(maxRequestBytes / 2, '[') + std::string(maxRequestBytes / 2, ']')));
}

TEST(ControlProtocol, readerWaitsForTheNewlineBoundsTheLineAndGivesOneResult) {
    RequestReader pieces;
    EXPECT_FALSE(pieces.feed(R"({"comm)"));
    EXPECT_FALSE(pieces.feed(R"(and":"pa)"));
    auto done = pieces.feed("ir\"}\n{\"command\":\"status\"}\n");
    ASSERT_TRUE(done && *done);
    EXPECT_EQ((*done)->command, Command::pair);
    EXPECT_FALSE(pieces.feed("{\"command\":\"status\"}\n")) << "one request per connection";

    // Exactly the bound before the newline still counts; one byte more does not.
    const std::string padded = R"({"command":"status","pad":")";
    const std::string atBound = padded + std::string(maxRequestBytes - padded.size() - 2, 'x') + "\"}";
    ASSERT_EQ(atBound.size(), maxRequestBytes);
    RequestReader edge;
    EXPECT_FALSE(edge.feed(atBound));
    auto accepted = edge.feed("\n");
    ASSERT_TRUE(accepted && *accepted);

    RequestReader flood;
    EXPECT_FALSE(flood.feed(std::string(maxRequestBytes, 'x')));
    auto refused = flood.feed("y");
    ASSERT_TRUE(refused && !*refused);
    EXPECT_EQ(refused->error(), RequestError::tooLong);
    EXPECT_FALSE(flood.feed("\n"));
}

TEST(ControlProtocol, devicesMarkOnlineAndOneControllerAndForgetChoosesByIdThenUniqueName) {
    std::vector<pairing::PairedClientRecord> records(3);
    records[0].clientId = "id-a";
    records[0].deviceName = "Phone";
    records[1].clientId = "id-b";
    records[1].deviceName = "Phone";
    records[1].lastSeenUnix = 42;
    records[2].clientId = "id-c";
    records[2].deviceName = "Tablet";
    records[2].deviceModel = "Tab";
    // Only online devices can control; of several of that name, one is marked.
    auto devices = devicesFrom(records, {"id-b", "id-c"}, std::string("Phone"));
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0], (Device{"id-a", "Phone", "", false, false, 0}));
    EXPECT_EQ(devices[1], (Device{"id-b", "Phone", "", true, true, 42}));
    EXPECT_EQ(devices[2], (Device{"id-c", "Tablet", "Tab", true, false, 0}));
    EXPECT_FALSE(devicesFrom(records, {"id-a"}, std::nullopt)[0].controlling);

    EXPECT_EQ(chooseDevice(devices, "Tablet")->id, "id-c");
    EXPECT_EQ(chooseDevice(devices, "id-a")->id, "id-a");
    const auto ambiguous = chooseDevice(devices, "Phone");
    ASSERT_FALSE(ambiguous);
    EXPECT_EQ(ambiguous.error().failure, Failure::ambiguous);
    EXPECT_EQ(ambiguous.error().matches, (std::vector<Device>{devices[0], devices[1]}));
    EXPECT_EQ(chooseDevice(devices, "phone").error().failure, Failure::unknownDevice);
    // An id wins over a device that happens to carry it as its name.
    devices[2].name = "id-a";
    EXPECT_EQ(chooseDevice(devices, "id-a")->id, "id-a");
}

TEST(ControlProtocol, everyAnswerReadsBackFromItsLine) {
    const Device device{"id-1", "Ana", "Pixel", true, true, 1700000000};
    HostStatus status{"1.2.3", "desk", 49182, "192.168.1.5", "100.64.0.1", "record", true, "Ana", 2, 1, true,
                  {{"hostInject", true, {10, 1.5, 2.5, 3.5, 4.5}}, {"packetsPerSecond", false, {3, 7, 8, 9, 10}}}};
    HostStatus quiet;
    quiet.sink = "none";
    const std::vector<Answer> answers{
        status,
        quiet,
        std::vector<Device>{device, Device{"id-2", "Bo", "", false, false, 0}},
        std::vector<Device>{},
        Forgotten{device},
        PairingOffer{"123456", "tarvel://pair?v=1&code=123456", ""},
        PairingOffer{"123456", "tarvel://pair", "http://10.0.0.2:49280/#pair=123456&pk=ab"},
        Paired{device},
        PairingEnded{PairingEnd::exhausted},
        PairingEnded{PairingEnd::notSaved},
        PairingEnded{PairingEnd::replaced},
        PairingEnded{PairingEnd::stopping},
        Error{Failure::ambiguous, "2 paired devices are named Ana", {device, device}},
        Error{Failure::busy, "too many", {}},
        Error{Failure::timeout, "late", {}},
    };
    for (const auto& answer : answers) {
        const auto line = encodeAnswer(answer);
        ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
        const auto parsed = parseAnswer(std::string_view(line).substr(0, line.size() - 1));
        ASSERT_TRUE(parsed) << line;
        EXPECT_EQ(*parsed, answer) << line;
    }
    // A name that is not UTF-8 still makes one valid line.
    const auto odd = encodeAnswer(Paired{Device{"id", "bad \xff\xfe name", "", false, false, 0}});
    EXPECT_TRUE(parseAnswer(std::string_view(odd).substr(0, odd.size() - 1)));
    EXPECT_FALSE(parseAnswer("not json"));
    EXPECT_FALSE(parseAnswer(R"({"answer":"launch"})"));
    EXPECT_FALSE(parseAnswer(R"({"answer":"pairing_ended","reason":"bored"})"));
    // Wrong types read as empty values rather than throwing.
    const auto loose = parseAnswer(R"({"answer":"status","port":"x","latency":[1,{"n":"y"}]})");
    ASSERT_TRUE(loose);
    EXPECT_EQ(std::get<HostStatus>(*loose).port, 0);
    // A number that does not fit its field refuses the answer instead of being converted.
    for (const char* line : {R"({"answer":"status","port":65536})", R"({"answer":"status","port":-1})",
                             R"({"answer":"status","port":80.5})", R"({"answer":"status","paired":1e300})",
                             R"({"answer":"status","online":-3})",
                             R"({"answer":"status","latency":[{"n":18446744073709551616}]})",
                             R"({"answer":"status","latency":[{"n":-1}]})",
                             R"({"answer":"devices","devices":[{"id":"a","lastSeen":1e30}]})",
                             R"({"answer":"paired","device":{"lastSeen":9223372036854775808}})",
                             R"({"answer":"error","error":"ambiguous","matches":[{"lastSeen":0.5}]})"}) {
        EXPECT_FALSE(parseAnswer(line)) << line;
    }
    const auto edges = parseAnswer(
        R"({"answer":"status","port":65535,"paired":18446744073709551615,"latency":[{"n":0,"p50":1e300}]})");
    ASSERT_TRUE(edges);
    EXPECT_EQ(std::get<HostStatus>(*edges).port, 65535);
    EXPECT_EQ(std::get<HostStatus>(*edges).pairedDevices, 18446744073709551615u);
    const auto negativeTime = parseAnswer(R"({"answer":"paired","device":{"lastSeen":-5}})");
    ASSERT_TRUE(negativeTime);
    EXPECT_EQ(std::get<Paired>(*negativeTime).device.lastSeenUnix, -5);
}

TEST(ControlProtocol, socketPathPrefersTheVariableThenTheRuntimeFolderThenTmp) {
    auto environment = [](std::map<std::string, std::string> values) {
        return [values](std::string_view name) -> std::optional<std::string> {
            auto it = values.find(std::string(name));
            return it == values.end() ? std::nullopt : std::optional(it->second);
        };
    };
    EXPECT_EQ(socketPath(environment({{"TVL_CONTROL_SOCKET", "/x/s"}, {"XDG_RUNTIME_DIR", "/run/user/7"}}), 7),
              "/x/s");
    EXPECT_EQ(socketPath(environment({{"XDG_RUNTIME_DIR", "/run/user/7"}}), 7), "/run/user/7/tarvel/control");
    EXPECT_EQ(socketPath(environment({{"XDG_RUNTIME_DIR", "relative"}}), 7), "/tmp/tarvel-7/control");
    EXPECT_EQ(socketPath(environment({{"TVL_CONTROL_SOCKET", ""}}), 1000), "/tmp/tarvel-1000/control");
}

TEST(ControlProtocol, printableReplacesControlCharactersAndKeepsText) {
    EXPECT_EQ(printable("Ana\x1b]0;owned\x07 ☎\x7f"), "Ana?]0;owned? ☎?");
    EXPECT_EQ(printable("a\xc2\x9b" "31mb \xc2\xa0"), "a?31mb \xc2\xa0");
    // Invisible format characters could reorder or disguise a line.
    EXPECT_EQ(printable("Ana\u202e\u2066enoh\u2069P\u202c"), "Ana??enoh?P?");
    EXPECT_EQ(printable("\ufeffB\u200bo\u200f\u2028\u2060\u061c"), "?B?o????");
    EXPECT_EQ(printable("\u200b\u200c\u200d\u200e\u202a\u202b\u202d\u2067\u2068"), "?????????");
    // Their neighbours stay: ellipsis, per mille, invisible-free punctuation, Arabic.
    EXPECT_EQ(printable("a\u2026\u2030\u2010\u2070\u061b\ufefe"), "a\u2026\u2030\u2010\u2070\u061b\ufefe");
    // A sequence cut short at the end is left as it is.
    EXPECT_EQ(printable("x\xe2\x80"), "x\xe2\x80");
}

TEST(ControlProtocol, latencyFiguresListOnlyMetricsWithSamples) {
    diagnostics::LatencyTrace trace;
    EXPECT_TRUE(latencyFigures(trace).empty());
    trace.setEnabled(true);
    trace.record(diagnostics::LatencyMetric::hostInject, 2000);
    trace.record(diagnostics::LatencyMetric::packetsPerSecond, 5);
    const auto figures = latencyFigures(trace);
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_EQ(figures[0].metric, diagnostics::label(diagnostics::LatencyMetric::hostInject));
    EXPECT_TRUE(figures[0].microseconds);
    EXPECT_DOUBLE_EQ(figures[0].summary.max, 2.0);
    EXPECT_FALSE(figures[1].microseconds);
    EXPECT_EQ(figures[1].summary.count, 1u);
}

}  // namespace
}  // namespace tarvel::control
