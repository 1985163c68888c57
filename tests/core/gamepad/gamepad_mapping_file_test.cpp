#include "core/gamepad/gamepad_mapping_file.hpp"

#include <gtest/gtest.h>

#include "tests/core/gamepad/gamepad_printers.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/mapping/file_text.hpp"

namespace tarvel::gamepad {
namespace {

using mapping::test::readText;
using mapping::test::writeText;
using testing::TempDir;
using wire::JSON;
using C = PadControl;
namespace File = GamepadMappingFile;
namespace fs = std::filesystem;

std::string text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(GamepadMappingFileDecode, refusesNonObjectsSkipsBadMembersReadsVersionAndBindingsLeniently) {
    for (const char* bad : {"", "[1,2]", "null", "42", "\"text\"", "{", "{\"version\": 1,}",
                            "not json", "{\"a\": \"\xff\"}"}) {
        EXPECT_EQ(File::decode(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(File::decode(R"({"bindings": [], "leftStick": "keys", "rightStick": [1]})"),
              GamepadMapping::defaults());
    const auto m = File::decode(R"({"bindings": {
        "a": {"type": "mouse", "button": "middle"}, "b": {"type": "move"}, "x": "space",
        "y": {"type": "key", "key": "f13"}, "guide": {"type": "key", "key": "g"},
        "A": {"type": "none"}, "rt": {"type": "none"}}})");
    GamepadMapping expected = GamepadMapping::defaults();
    expected.bindings[C::a] = PadBinding::mouseButton(PadMouseButton::middle);
    expected.bindings[C::rt] = PadBinding::none();
    EXPECT_EQ(m, expected);
    const std::pair<const char*, std::int64_t> cases[] = {
        {R"({"version": 2.0})", 2},
        {R"({"version": 2.5})", 1},
        {R"({"version": 18446744073709551615})", 1},
        {R"({"version": -9223372036854775808})", std::numeric_limits<std::int64_t>::min()}};
    for (const auto& [json, expected] : cases) {
        const auto m = File::decode(json);
        ASSERT_TRUE(m) << json;
        EXPECT_EQ(m->version, expected) << json;
    }
    const auto fail = [](const char* why) { return tl::unexpected(std::string(why)); };
    const std::pair<const char*, tl::expected<PadBinding, std::string>> rows[] = {
        {R"({"type": "Key", "key": "SPACEBAR", "mods": ["opt"]})",
         PadBinding::key("space", PadModifiers::alt)},
        {R"({"type": "KEY", "key": " Return ", "mods": ["Cmd", "hyper", "SHIFT"]})",
         PadBinding::key("enter", PadModifiers::cmd | PadModifiers::shift)},
        // Mods with a non-string count as none; a missing or non-text key is the empty name.
        {R"({"type": "key", "key": "a", "mods": ["cmd", 1]})", PadBinding::key("a")},
        {R"({"type": "key", "key": 5, "mods": ["ctrl"]})", PadBinding::key("", PadModifiers::ctrl)},
        {R"({"type": "key", "key": "hyper"})", fail("unknown key hyper")},
        {R"({"type": "mouse"})", PadBinding::mouseButton(PadMouseButton::left)},
        {R"({"type": "mouse", "button": "side"})", fail("button")},
        // A boolean is not a number, whatever the JSON library would convert.
        {R"({"type": "MouseMove", "direction": "LEFT", "speed": true})",
         PadBinding::mouseMove(PadDirection::left, 1)},
        {R"({"type": "scroll", "direction": 3})", fail("direction")},
        {R"({"type": "OFF", "key": "a"})", PadBinding::none()},
        {R"({"type": "Jump"})", fail("unknown type jump")},
        {R"("key")", fail("unknown type ")},
    };
    for (const auto& [json, expected] : rows) {
        EXPECT_EQ(File::decodeBinding(JSON::parse(json)), expected) << json;
    }
}

TEST(GamepadMappingFileDecode, sticksTakeEachWellTypedMember) {
    const auto m = File::decode(R"({
        "leftStick": {"mode": "MOUSE", "up": "ARROWUP", "down": "bogus", "left": 5,
                      "right": "", "deadzone": 2.5, "sensitivity": 0.01, "invertY": true},
        "rightStick": {"mode": "joystick", "deadzone": "x", "sensitivity": 3, "invertY": "yes"}
    })");
    ASSERT_TRUE(m);
    const StickBinding left{StickMode::mouse, "up", "s", "a", "", 0.9, 0.1, true};
    EXPECT_EQ(m->leftStick, left);
    StickBinding right = GamepadMapping::defaults().rightStick;
    right.sensitivity = 3;
    EXPECT_EQ(m->rightStick, right);
}

TEST(GamepadMappingFileEncode, writesSortedIndentedNormalisedMappingThatRoundTripsOrAnEmptyObject) {
    GamepadMapping m = GamepadMapping::defaults();
    m.bindings.erase(C::start);
    m.bindings[C::a] = PadBinding::key("z", PadModifiers(0x0F));
    m.bindings[C::b] = PadBinding::mouseMove(PadDirection::left, std::nan(""));
    const std::string written = text(File::encode(m));
    EXPECT_NE(written.find("\n  \"bindings\": {\n    \"a\": {"), std::string::npos) << written;
    const JSON json = JSON::parse(written);
    EXPECT_EQ(json.size(), 4u);
    EXPECT_EQ(json["bindings"].size(), 16u);
    EXPECT_EQ(
        json["bindings"]["a"],
        JSON::parse(R"({"type": "key", "key": "z", "mods": ["ctrl", "alt", "shift", "cmd"]})"));
    EXPECT_EQ(json["bindings"]["b"],
              JSON::parse(R"({"type": "move", "direction": "left", "speed": 1.0})"));
    EXPECT_EQ(json["bindings"]["start"], JSON::parse(R"({"type": "none"})"));
    // Keys appear in byte order at every level.
    EXPECT_LT(written.find("\"bindings\""), written.find("\"leftStick\""));
    EXPECT_LT(written.find("\"rightStick\""), written.find("\"version\""));
    EXPECT_LT(written.find("\"dpadDown\""), written.find("\"dpadUp\""));
    for (GamepadPreset preset : allGamepadPresets) {
        const auto bytes = File::encode(presetMapping(preset));
        const auto decoded = File::decode(bytes);
        ASSERT_EQ(decoded, presetMapping(preset)) << rawValue(preset);
        EXPECT_EQ(File::encode(*decoded), bytes) << "encoding is stable";
    }
    GamepadMapping odd;
    odd.version = -3;
    odd.bindings[C::a] = PadBinding::key("", PadModifiers::cmd | PadModifiers::alt);
    odd.bindings[C::b] = PadBinding::key("backslash", PadModifiers::ctrl);
    odd.bindings[C::x] = PadBinding::mouseMove(PadDirection::up, 2);
    odd.bindings[C::y] = PadBinding::scroll(PadDirection::right, 0.5);
    odd.bindings[C::rt] = PadBinding::mouseMove(PadDirection::down, 0.1 + 0.2);
    odd.bindings[C::dpadLeft] = PadBinding::scroll(PadDirection::left, 4.999999999999);
    odd.leftStick = StickBinding::make(StickMode::scroll, "quote", "grave", "comma", "lalt",
                                       0.123456789, 3.3, true);
    odd.rightStick = StickBinding::keys("f12", "", "delete", "0", 0.9);
    EXPECT_EQ(File::decode(File::encode(odd)), odd.normalized());
    odd.bindings[C::b] = PadBinding::key("\xff\xfe");  // not text: nothing is written
    EXPECT_EQ(text(File::encode(odd)), "{}");
}

TEST(GamepadMappingFileLoadAndSave, corruptFilesAreCopiedAsideSavesMakePrivateFoldersAndReplace) {
    TempDir dir;
    const auto path = dir / "gamepad_mapping.json", copy = dir / "gamepad_mapping.corrupt.json";
    EXPECT_EQ(File::load(path).mapping, GamepadMapping::defaults());
    EXPECT_FALSE(fs::exists(copy));
    // An empty folder in the copy's place is replaced, an older copy overwritten.
    fs::create_directory(copy);
    for (const char* damaged : {"{\"version\": 1e999}", "[1,2]"}) {
        writeText(path, damaged);
        const auto result = File::load(path);
        EXPECT_EQ(result.status, File::LoadStatus::corrupt) << damaged;
        EXPECT_EQ(result.mapping, GamepadMapping::defaults());
        EXPECT_TRUE(readText(copy) == damaged && readText(path) == damaged) << damaged;
    }
    // A non-empty folder there can be neither removed nor replaced.
    fs::remove(copy);
    fs::create_directories(copy / "inner");
    EXPECT_EQ(File::load(path).status, File::LoadStatus::corrupt);
    const auto nested = dir / "nested" / "deeper" / "gamepad_mapping.json";
    const GamepadMapping racing = presetMapping(GamepadPreset::racing);
    ASSERT_TRUE(File::save(presetMapping(GamepadPreset::mouse), nested) &&
                File::save(racing, nested));
    EXPECT_EQ(fs::status(dir / "nested").permissions(), fs::perms::owner_all);
    EXPECT_EQ(readText(nested), text(File::encode(racing)));
    EXPECT_EQ(std::distance(fs::directory_iterator(nested.parent_path()), fs::directory_iterator()),
              1);
    writeText(dir / "plain", "a file, not a folder");
    EXPECT_EQ(File::save(racing, dir / "plain" / "gamepad_mapping.json"),
              tl::unexpected(std::make_error_code(std::errc::not_a_directory)));
}

}  // namespace
}  // namespace tarvel::gamepad
