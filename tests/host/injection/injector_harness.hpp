#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include <nlohmann/json.hpp>
#include "core/gamepad/compiled_pad_mapping.hpp"
#include "host/injection/input_injector.hpp"
#include "host/injection/recording_event_sink.hpp"
#include "host/mapping/pad_mapping_runtime.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/manual_queue.hpp"

namespace tarvel::injection::test {

using namespace std::chrono_literals;
using wire::GesturePhase;
using wire::InputEvent;
using wire::InputPacket;
using wire::KeyState;
using wire::ModifierMask;
using Lines = std::vector<std::string>;

/// An injector on a fake clock and a manual queue, posting to a recording sink.
struct Harness {
    explicit Harness(VirtualScreen screen = VirtualScreen::standard(),
                     std::shared_ptr<RecordingEventSink> customSink = nullptr,
                     const KeystrokeProfile& profile = KeystrokeProfile::mac())
        : sink(customSink ? std::move(customSink)
                          : std::make_shared<RecordingEventSink>(std::move(screen))),
          injector(InputInjector::create(sink, runtime, clock, profile)) {
        injector->setQueue(queue);
    }
    /// As the server does: stamp, then handle.
    void send(InputEvent event, ModifierMask mask = {}, GesturePhase phase = GesturePhase::none) {
        injector->stampPacketTime();
        injector->handle(InputPacket(++seq, event, mask, phase));
    }
    void keyEvent(std::uint16_t hid, KeyState state, ModifierMask mask = {}) {
        send(InputEvent::Key{hid, state, false}, mask);
    }
    Lines take() {
        auto lines = sink->lines();
        sink->clearLines();
        return lines;
    }
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> queue =
        std::make_shared<testing::ManualQueue>(clock, "rc.host.inject");
    std::shared_ptr<mapping::PadMappingRuntime> runtime =
        std::make_shared<mapping::PadMappingRuntime>(gamepad::CompiledPadMapping::defaults());
    std::shared_ptr<RecordingEventSink> sink;
    std::shared_ptr<InputInjector> injector;
    std::uint64_t seq = 0;
};

// An expected line: the op, then the fields named in `names` in the recording format's order.
inline std::string jsonLine(const char* op, std::string_view names,
                            std::initializer_list<nlohmann::ordered_json> values) {
    nlohmann::ordered_json line{{"op", op}};
    for (const auto& value : values) {
        const auto end = std::min(names.find(' '), names.size());
        line[std::string(names.substr(0, end))] = value;
        names.remove_prefix(std::min(end + 1, names.size()));
    }
    return line.dump();
}
inline std::string keyLine(int keyCode, bool down, std::uint64_t flags = 0, int autorepeat = 0) {
    return jsonLine("key", "keyCode down flags autorepeat", {keyCode, down, flags, autorepeat});
}
inline std::string mouseLine(int type, double x, double y, int button, int clickState,
                             std::uint64_t flags = 0, int dx = 0, int dy = 0) {
    return jsonLine("mouse", "type x y button clickState flags dx dy",
                    {type, x, y, button, clickState, flags, dx, dy});
}
inline std::string scrollLine(int wheel1, int wheel2, int phase, int momentumPhase) {
    return jsonLine("scroll", "wheel1 wheel2 phase momentumPhase", {wheel1, wheel2, phase, momentumPhase});
}
inline std::string gestureLine(double zoom) { return jsonLine("gesture", "zoom", {zoom}); }
inline const std::string userActivityLine = R"({"op":"userActivity"})";

/// The lines whose "op" is `op`, parsed.
inline std::vector<nlohmann::json> parsed(const Lines& lines, const std::string& op) {
    std::vector<nlohmann::json> out;
    for (const auto& text : lines) {
        if (auto object = nlohmann::json::parse(text); object["op"] == op) out.push_back(std::move(object));
    }
    return out;
}

inline constexpr std::uint16_t hidA = 0x04, hidZ = 0x1D, hidW = 0x1A, hidRightArrow = 0x4F;
inline constexpr std::uint16_t hidLeftShift = 0xE1, hidLeftCommand = 0xE3;
inline constexpr std::uint16_t hidRightShift = 0xE5, hidRightCommand = 0xE7;
inline constexpr int codeA = 0x00, codeZ = 0x06, codeW = 0x0D, codeSpace = 0x31;
inline constexpr int codeRightArrow = 0x7C, codeUpArrow = 0x7E;
inline constexpr int codeShift = 0x38, codeControl = 0x3B, codeCommand = 0x37;
inline constexpr std::uint64_t fShift = EventFlags::shift, fControl = EventFlags::control,
                               fOption = EventFlags::alternate, fCommand = EventFlags::command,
                               fFn = EventFlags::secondaryFn;

}  // namespace tarvel::injection::test
