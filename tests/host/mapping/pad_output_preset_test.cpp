#include "host/mapping/pad_output_preset.hpp"

#include <gtest/gtest.h>

#include "core/gamepad/pad_key_names.hpp"
#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::mapping {
namespace {

using gamepad::GamepadMapping;
using gamepad::PadBinding;
using gamepad::StickBinding;
using gamepad::StickMode;

TEST(PadOutputPreset, rawValuesRoundTripAndAreCaseSensitive) {
    for (PadOutputPreset preset : allPadOutputPresets) {
        EXPECT_EQ(padOutputPreset(rawValue(preset)), preset);
    }
    EXPECT_EQ(padOutputPreset("WASDMouse"), std::nullopt);
    EXPECT_EQ(padOutputPreset("arrows "), std::nullopt);
}

TEST(LegacyMapping, everySchemeIsCompleteNormalisedAndWithoutModifiers) {
    for (PadOutputPreset preset : allPadOutputPresets) {
        const GamepadMapping m = legacyMapping(preset);
        SCOPED_TRACE(std::string(rawValue(preset)));
        EXPECT_EQ(m.version, 1);
        EXPECT_EQ(m, m.normalized());
        ASSERT_EQ(m.bindings.size(), gamepad::allPadControls.size());
        for (const auto& [control, binding] : m.bindings) {
            ASSERT_NE(binding.kind(), PadBinding::Kind::none) << rawValue(control);
            if (const auto* k = binding.as<PadBinding::Key>()) {
                EXPECT_TRUE(k->combo.mods.isEmpty()) << rawValue(control);
                EXPECT_EQ(gamepad::PadKeyNames::canonical(k->combo.key), k->combo.key);
            }
        }
        for (const StickBinding* stick : {&m.leftStick, &m.rightStick}) {
            EXPECT_FALSE(stick->invertY);
            EXPECT_EQ(stick->sensitivity, 1.0);
            if (stick->mode == StickMode::keys) {
                EXPECT_EQ(stick->deadzone, 0.4);
            }
        }
        EXPECT_EQ(gamepad::matchingPreset(m), std::nullopt);
    }
}

}  // namespace
}  // namespace tarvel::mapping
