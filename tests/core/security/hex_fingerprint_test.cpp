#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/security/fingerprint.hpp"
#include "core/security/hex.hpp"
#include "core/security/local_identity.hpp"

namespace tarvel::security {
namespace {

bool isLowerHex(std::string_view text) {
    return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

TEST(Hex, encodesLowerCaseHighNibbleFirst) {
    EXPECT_EQ(Hex::encode(Bytes{0x00, 0xFF}), "00ff");
    EXPECT_EQ(Hex::encode(Bytes{0x0A, 0xB1, 0x9C}), "0ab19c");
    EXPECT_EQ(Hex::encode(Bytes{}), "");
}

TEST(Hex, everyByteRoundTripsInEitherCase) {
    Bytes all(256);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    const std::string lower = Hex::encode(all);
    std::string upper = lower;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    ASSERT_NE(lower, upper);
    EXPECT_EQ(Hex::decode(lower), all);
    EXPECT_EQ(Hex::decode(upper), all);
}

TEST(Hex, decodeOfEmptyTextIsEmptyBufferNotNothing) {
    auto decoded = Hex::decode("");
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(decoded->empty());
}

TEST(Hex, decodeAcceptsMixedCasePair) {
    EXPECT_EQ(Hex::decode("aB"), Bytes{0xAB});
}

TEST(Hex, decodeRejectsAnythingButEvenHexDigits) {
    const std::vector<std::string_view> inputs{
        "abc", "0",  "0g", "g0", "G0", "0x00", " 00",      "00 ",
        "0 0", "+1", "-1", "0:", "@A", "`a",   "\xc3\xa9", std::string_view("\0\0", 2)};
    for (std::string_view bad : inputs) {
        EXPECT_FALSE(Hex::decode(bad).has_value()) << "accepted \"" << bad << "\"";
    }
    // One bad pair spoils the whole text: no partial result.
    EXPECT_FALSE(Hex::decode("00112z33").has_value());
}

TEST(Hex, decodeWithCountNeedsExactlyThatManyBytes) {
    const std::string key64(64, 'a');
    EXPECT_EQ(Hex::decode(key64, 32), Bytes(32, 0xAA));
    EXPECT_FALSE(Hex::decode(std::string(62, 'a'), 32).has_value());
    EXPECT_FALSE(Hex::decode(std::string(66, 'a'), 32).has_value());
    EXPECT_FALSE(Hex::decode(std::string(63, 'a'), 32).has_value());
    EXPECT_FALSE(Hex::decode(std::string(63, 'a') + "z", 32).has_value());
    EXPECT_EQ(Hex::decode("", 0), Bytes{});
}

TEST(Hex, randomGivesRequestedCountOfFreshBytes) {
    EXPECT_TRUE(Hex::random(0).empty());
    const Bytes a = Hex::random(16);
    const Bytes b = Hex::random(16);
    EXPECT_EQ(a.size(), 16u);
    // Equal draws of 128 random bits mean the source is broken.
    EXPECT_NE(a, b);
}

TEST(Fingerprint, isFirstSixteenHexCharactersOfSHA256) {
    // FIPS 180-2 digests of "abc" and of the empty message.
    EXPECT_EQ(Fingerprint::of(wire::asBytes("abc")), "ba7816bf8f01cfea");
    EXPECT_EQ(Fingerprint::of({}), "e3b0c44298fc1c14");
    // The Ed25519 public key of RFC 8032 section 7.1, test 1.
    auto key = Hex::decode("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    ASSERT_TRUE(key);
    EXPECT_EQ(Fingerprint::of(*key), "21fe31dfa154a261");
}

TEST(Fingerprint, ofGeneratedKeysIsAlwaysSixteenLowerCaseHexCharacters) {
    for (int i = 0; i < 32; ++i) {
        const auto identity = LocalIdentity::generate();
        const std::string fingerprint = Fingerprint::of(identity.publicKey());
        EXPECT_EQ(fingerprint.size(), 16u);
        EXPECT_TRUE(isLowerHex(fingerprint)) << fingerprint;
        EXPECT_EQ(identity.fingerprint(), fingerprint);
    }
}

}  // namespace
}  // namespace tarvel::security
