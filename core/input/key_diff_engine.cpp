#include "core/input/key_diff_engine.hpp"

#include <algorithm>
#include <vector>

#include "core/base/unicode.hpp"
#include "core/input/keycode_table.hpp"

namespace tarvel::input::KeyDiffEngine {

namespace {

bool isASCII(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

KeyAction plan(std::string_view insertText, wire::ModifierMask activeModifierMask,
               bool hasMarkedText) {
    if (insertText == "\n") {
        return KeyAction::returnKey();
    }
    if (!hasMarkedText) {
        // The lookup matches exactly one table character, so it also checks
        // that the text is a single character.
        const auto key = KeycodeTable::shared().hidUsageForCharacter(insertText);
        if (key && (!activeModifierMask.isEmpty() || isASCII(insertText))) {
            return KeyAction::keyTap(key->hid, key->needsShift);
        }
    }
    return KeyAction::text(std::string(insertText));
}

TextDiff diff(std::string_view oldText, std::string_view newText) {
    const std::vector<std::string_view> oldChars = base::graphemeClusters(oldText);
    const std::vector<std::string_view> newChars = base::graphemeClusters(newText);
    const auto [oldEnd, newEnd] =
        std::mismatch(oldChars.begin(), oldChars.end(), newChars.begin(), newChars.end());
    TextDiff result;
    result.backspaces = static_cast<std::size_t>(oldChars.end() - oldEnd);
    if (newEnd != newChars.end()) {
        // Clusters are views into `newText`, so the rest starts where this one does.
        result.insert =
            std::string(newText.substr(static_cast<std::size_t>(newEnd->data() - newText.data())));
    }
    return result;
}

}  // namespace tarvel::input::KeyDiffEngine
