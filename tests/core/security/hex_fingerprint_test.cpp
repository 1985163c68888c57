#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/security/fingerprint.hpp"
#include "core/security/hex.hpp"

namespace tarvel::security {
namespace {

TEST(Hex, encodesLowerCaseAndEveryByteRoundTripsInEitherCase) {
    EXPECT_EQ(Hex::encode(Bytes{0x0A, 0xB1, 0x9C}), "0ab19c");
    Bytes all(256);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    const std::string lower = Hex::encode(all);
    std::string upper = lower;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(Hex::decode(lower), all);
    EXPECT_EQ(Hex::decode(upper), all);
    EXPECT_EQ(Hex::decode(""), Bytes{});  // an empty buffer, not a failure
}

TEST(Hex, decodeRejectsAnythingButEvenHexDigitsAndAnyOtherCountAsked) {
    const std::vector<std::string_view> inputs{
        "abc",    "0",  "0g", "g0", "G0", "0x00", " 00",      "00 ",
        "0011z2", "+1", "-1", "0:", "@A", "`a",   "\xc3\xa9", std::string_view("\0\0", 2)};
    for (std::string_view bad : inputs) {
        EXPECT_FALSE(Hex::decode(bad).has_value()) << "accepted \"" << bad << "\"";
    }
    EXPECT_EQ(Hex::decode(std::string(64, 'a'), 32), Bytes(32, 0xAA));
    for (std::size_t digits : {62u, 63u, 66u}) {
        EXPECT_FALSE(Hex::decode(std::string(digits, 'a'), 32).has_value()) << digits;
    }
}

TEST(Hex, randomGivesRequestedCountOfFreshBytes) {
    const Bytes a = Hex::random(16);
    EXPECT_EQ(a.size(), 16u);
    EXPECT_NE(a, Hex::random(16));  // equal 128-bit draws mean a broken source
}

TEST(Fingerprint, isFirstSixteenHexCharactersOfSHA256) {
    // FIPS 180-2 digests of "abc" and of the empty message.
    EXPECT_EQ(Fingerprint::of(wire::asBytes("abc")), "ba7816bf8f01cfea");
    EXPECT_EQ(Fingerprint::of({}), "e3b0c44298fc1c14");
}

}  // namespace
}  // namespace tarvel::security
