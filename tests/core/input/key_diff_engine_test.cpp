#include <gtest/gtest.h>

#include "core/input/key_diff_engine.hpp"

namespace tarvel::input {
namespace {

using namespace KeyDiffEngine;
using wire::ModifierMask;

const std::string eCombining = "e\xCC\x81";                     // e + U+0301
const std::string flagDE = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";  // two regional indicators
const std::string man = "\xF0\x9F\x91\xA8";
const std::string family = man + "\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";

KeyAction planPlain(const std::string& text) {
    return plan(text, ModifierMask(), false);
}

TEST(KeyDiffEngine, planTapsOnlyASingleTableCharacterAndDiffCountsGraphemeClusters) {
    EXPECT_EQ(planPlain("A"), KeyAction::keyTap(0x04, true));
    EXPECT_EQ(planPlain("a"), KeyAction::keyTap(0x04, false));
    EXPECT_EQ(planPlain("\t"), KeyAction::keyTap(0x2B, false));
    EXPECT_EQ(plan("z", ModifierMask::command, false), KeyAction::keyTap(0x1D, false));
    EXPECT_EQ(plan("a", ModifierMask::command, true), KeyAction::text("a"));
    for (const std::string& text :
         {std::string("\xC3\xA9"), eCombining, flagDE, family, std::string("ab"), std::string(""),
          std::string("\r\n"), std::string("\n\n")}) {
        EXPECT_EQ(planPlain(text), KeyAction::text(text)) << text;
    }
    // A line feed is Return, even while composing.
    EXPECT_EQ(planPlain("\n"), KeyAction::returnKey());
    EXPECT_EQ(plan("\n", ModifierMask::shift, true), KeyAction::returnKey());
    EXPECT_EQ(effectiveMask(ModifierMask(0x08), true), ModifierMask(0x09));
    EXPECT_EQ(effectiveMask(ModifierMask(0x81), true), ModifierMask(0x81));
    EXPECT_EQ(diff("hello", "help"), (TextDiff{2, "p"}));
    EXPECT_EQ(diff("same", "same"), (TextDiff{0, ""}));
    EXPECT_EQ(diff("abc", "xyz"), (TextDiff{3, "xyz"}));
    // Deleting into the sentinel removes one of its characters, not a byte.
    EXPECT_EQ(diff(sentinel, sentinel.substr(0, 6)), (TextDiff{1, ""}));
    EXPECT_EQ(diff("caf" + eCombining, "caf"), (TextDiff{1, ""}));
    // A combining mark joins the previous character, which is then replaced.
    EXPECT_EQ(diff("cafe", "caf" + eCombining), (TextDiff{1, eCombining}));
    EXPECT_EQ(diff("hi", "hi" + flagDE), (TextDiff{0, flagDE}));
    EXPECT_EQ(diff(flagDE + flagDE, flagDE), (TextDiff{1, ""}));
    EXPECT_EQ(diff(family + "!", man + "!"), (TextDiff{2, man + "!"}));
    EXPECT_EQ(diff("a\xFF", "a"), (TextDiff{1, ""}));  // not UTF-8: bytes
}

}  // namespace
}  // namespace tarvel::input
