#include <gtest/gtest.h>

#include "core/base/unicode.hpp"

namespace tarvel::base {
namespace {

using Clusters = std::vector<std::string_view>;

TEST(Unicode, clustersKeepMarksFlagsAndJoinedEmojiWholeAndNonUTF8TextFallsBackToBytes) {
    const std::string family =
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
    const std::string text = "e\xCC\x81" + flag + "x" + family + "\r\n";
    EXPECT_EQ(graphemeClusters(text), (Clusters{"e\xCC\x81", flag, "x", family, "\r\n"}));
    EXPECT_TRUE(graphemeClusters("").empty());
    EXPECT_FALSE(isUTF8("\xC0\xAF"));      // overlong "/"
    EXPECT_FALSE(isUTF8("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(isUTF8("\xE2\x82"));      // cut short
    EXPECT_TRUE(isUTF8("\xE2\x82\xAC plain"));
    EXPECT_EQ(graphemeClusters("a\xFF"), (Clusters{"a", "\xFF"}));
    EXPECT_EQ(graphemeCount("a\xFF"), 2u);
}

}  // namespace
}  // namespace tarvel::base
