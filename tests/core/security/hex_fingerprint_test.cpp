#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/security/fingerprint.hpp"
#include "core/security/hex.hpp"
#include "core/security/local_identity.hpp"

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
    ASSERT_NE(lower, upper);
    EXPECT_EQ(Hex::decode(lower), all);
    EXPECT_EQ(Hex::decode(upper), all);
    EXPECT_EQ(Hex::decode("aB"), Bytes{0xAB});
    // Empty text is an empty buffer, not a failure.
    EXPECT_EQ(Hex::decode(""), Bytes{});
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
    EXPECT_EQ(Hex::decode(std::string(64, 'a'), 32), Bytes(32, 0xAA));
    for (const std::string& wrong : {std::string(62, 'a'), std::string(66, 'a'),
                                     std::string(63, 'a'), std::string(63, 'a') + "z"}) {
        EXPECT_FALSE(Hex::decode(wrong, 32).has_value()) << wrong.size();
    }
    EXPECT_EQ(Hex::decode("", 0), Bytes{});
}

TEST(Hex, randomGivesRequestedCountOfFreshBytes) {
    EXPECT_TRUE(Hex::random(0).empty());
    const Bytes a = Hex::random(16);
    EXPECT_EQ(a.size(), 16u);
    // Equal draws of 128 random bits mean the source is broken.
    EXPECT_NE(a, Hex::random(16));
}

TEST(Fingerprint, isFirstSixteenHexCharactersOfSHA256) {
    // FIPS 180-2 digests of "abc" and of the empty message.
    EXPECT_EQ(Fingerprint::of(wire::asBytes("abc")), "ba7816bf8f01cfea");
    EXPECT_EQ(Fingerprint::of({}), "e3b0c44298fc1c14");
    // The identity of RFC 8032 section 7.1, test 1, fingerprints its public key.
    const auto identity = LocalIdentity::fromSeed(
        "id",
        Hex::decode("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60").value());
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->fingerprint(), "21fe31dfa154a261");
    EXPECT_EQ(Fingerprint::of(identity->publicKey()), "21fe31dfa154a261");
}

}  // namespace
}  // namespace tarvel::security
