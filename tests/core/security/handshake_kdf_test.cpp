// Known answers from the standards for each primitive the handshakes use. How
// they are put together is pinned by the golden vector in handshakes_test.cpp.
#include <gtest/gtest.h>

#include "core/security/handshake_kdf.hpp"
#include "core/security/hex.hpp"
#include "core/security/local_identity.hpp"

namespace tarvel::security {
namespace {

Bytes hex(std::string_view text) {
    return Hex::decode(text).value();
}

Bytes resized(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

TEST(Hex, encodesLowerCaseDecodesEitherCaseAndRejectsAnythingButTheCountOfDigitsAsked) {
    const Bytes bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                      0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    EXPECT_EQ(Hex::encode(bytes), "0123456789abcdeffedcba9876543210");
    EXPECT_EQ(Hex::decode("0123456789ABCDEFFEDCBA9876543210"), bytes);
    EXPECT_EQ(Hex::decode(""), Bytes{});  // an empty buffer, not a failure
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
    // Equal 128-bit draws mean a broken source.
    EXPECT_NE(Hex::random(16), Hex::random(16));
    EXPECT_EQ(Hex::random(16).size(), 16u);
}

TEST(HKDFAndMAC, matchRFC5869TestCases1And3AndRFC4231) {
    EXPECT_EQ(
        Hex::encode(HandshakeKDF::hkdf(Bytes(22, 0x0b), hex("000102030405060708090a0b0c"),
                                       hex("f0f1f2f3f4f5f6f7f8f9"), 42)),
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    EXPECT_EQ(
        Hex::encode(HandshakeKDF::hkdf(Bytes(22, 0x0b), {}, {}, 42)),
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
    EXPECT_EQ(Hex::encode(HandshakeKDF::mac(Bytes(20, 0x0b), "Hi There", {})),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    // Test case 2: key "Jefe"; the data split between label and transcript
    // shows the two are MACed as one string with nothing between them.
    EXPECT_EQ(Hex::encode(HandshakeKDF::mac(wire::asBytes("Jefe"), "what do ya want ",
                                            wire::asBytes("for nothing?"))),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

// RFC 8032 section 7.1, test 1: the empty message.
TEST(Ed25519, seedGivesRFC8032KeyAndSignatureAndVerifyRejectsAnyChange) {
    const auto identity = LocalIdentity::fromSeed(
        "host", hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
    ASSERT_TRUE(identity);
    const std::string publicKeyHex =
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
    const std::string signatureHex =
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e3970"
        "1cf9b46bd25bf5f0595bbe24655141438e7a100b";
    EXPECT_EQ(identity->publicKeyHex(), publicKeyHex);
    EXPECT_EQ(Hex::encode(identity->sign({})), signatureHex);
    EXPECT_EQ(identity->fingerprint(), "21fe31dfa154a261");  // SHA-256 of the key, 8 bytes
    const Bytes publicKey = hex(publicKeyHex), signature = hex(signatureHex);
    EXPECT_TRUE(HandshakeKDF::verify(signature, {}, publicKey));
    EXPECT_FALSE(HandshakeKDF::verify(signature, Bytes{0}, publicKey));
    for (std::size_t i = 0; i < signature.size(); i += 7) {
        Bytes tampered = signature;
        tampered[i] ^= 0x01;
        EXPECT_FALSE(HandshakeKDF::verify(tampered, {}, publicKey)) << "byte " << i;
        Bytes otherKey = publicKey;
        otherKey[i % 32] ^= 0x01;
        EXPECT_FALSE(HandshakeKDF::verify(signature, {}, otherKey)) << "key byte " << i % 32;
    }
    EXPECT_FALSE(HandshakeKDF::verify(signature, {}, resized(publicKey, 31)));
    EXPECT_FALSE(HandshakeKDF::verify(resized(signature, 63), {}, publicKey));
}

TEST(X25519, matchesRFC7748AndRefusesAPeerKeyOfWrongSizeOrSmallOrder) {
    const auto alice = X25519PrivateKey::fromBytes(
        hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    const auto bob = X25519PrivateKey::fromBytes(
        hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(Hex::encode(alice->publicKey()),
              "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(Hex::encode(bob->publicKey()),
              "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const auto aliceSide = HandshakeKDF::x25519(bob->publicKey(), *alice);
    const auto bobSide = HandshakeKDF::x25519(alice->publicKey(), *bob);
    ASSERT_TRUE(aliceSide && bobSide);
    const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
    EXPECT_EQ(Hex::encode(*aliceSide), shared);
    EXPECT_EQ(Hex::encode(*bobSide), shared);
    const Bytes peer(bob->publicKey().begin(), bob->publicKey().end());
    const std::vector<Bytes> refused{
        resized(peer, 31), resized(peer, 33), Bytes{},
        // Points whose product with any scalar is the all-zero secret.
        Bytes(32, 0),                                                             // u = 0
        hex("0100000000000000000000000000000000000000000000000000000000000000"),  // u = 1
        hex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"),  // order 8
        hex("5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157"),  // order 8
        hex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p - 1
    };
    for (const auto& key : refused) {
        EXPECT_EQ(HandshakeKDF::x25519(key, *alice),
                  tl::unexpected(HandshakeError::malformedMessage()))
            << Hex::encode(key);
    }
}

}  // namespace
}  // namespace tarvel::security
