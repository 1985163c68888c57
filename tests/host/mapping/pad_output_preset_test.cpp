#include "host/mapping/pad_output_preset.hpp"
#include <gtest/gtest.h>
#include "core/gamepad/pad_key_names.hpp"
#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::mapping {
namespace {

using gamepad::PadBinding;

TEST(LegacyMapping, everySchemeIsCompleteNormalisedAndWithoutModifiers) {
    for (PadOutputPreset preset : allPadOutputPresets) {
        SCOPED_TRACE(std::string(rawValue(preset)));
        const gamepad::GamepadMapping m = legacyMapping(preset);
        EXPECT_EQ(m, m.normalized());
        EXPECT_EQ(gamepad::matchingPreset(m), std::nullopt);
        for (const auto& [control, binding] : m.bindings) {
            ASSERT_NE(binding.kind(), PadBinding::Kind::none) << rawValue(control);
            if (const auto* k = binding.as<PadBinding::Key>()) {
                EXPECT_TRUE(k->combo.mods.isEmpty()) << rawValue(control);
                EXPECT_EQ(gamepad::PadKeyNames::canonical(k->combo.key), k->combo.key);
            }
        }
        EXPECT_FALSE(m.leftStick.invertY || m.rightStick.invertY);
    }
}

}  // namespace
}  // namespace tarvel::mapping
