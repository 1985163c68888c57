#include <gtest/gtest.h>

#include <string>

#include "core/security/handshake_kdf.hpp"
#include "core/security/hex.hpp"
#include "core/security/local_identity.hpp"

namespace tarvel::security {
namespace {

Bytes hex(std::string_view text) {
    return Hex::decode(text).value();
}

Bytes concat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

template <std::size_t N>
Bytes toBytes(const std::array<std::uint8_t, N>& array) {
    return Bytes(array.begin(), array.end());
}

// Known answers from the standards

TEST(HKDF, matchesRFC5869TestCase1) {
    const Bytes ikm(22, 0x0b);
    const Bytes salt = hex("000102030405060708090a0b0c");
    const Bytes info = hex("f0f1f2f3f4f5f6f7f8f9");
    EXPECT_EQ(
        Hex::encode(HandshakeKDF::hkdf(ikm, salt, info, 42)),
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
}

TEST(HKDF, matchesRFC5869TestCase3WithEmptySaltAndInfo) {
    EXPECT_EQ(
        Hex::encode(HandshakeKDF::hkdf(Bytes(22, 0x0b), {}, {}, 42)),
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(HKDF, shorterOutputIsAPrefixOfLongerOutput) {
    const Bytes ikm(32, 1), salt(6, 2), info(40, 3);
    const Bytes full = HandshakeKDF::hkdf(ikm, salt, info, HandshakeKDF::maxHKDFOutput);
    ASSERT_EQ(full.size(), HandshakeKDF::maxHKDFOutput);
    for (std::size_t count : {0u, 1u, 31u, 32u, 33u, 64u, 100u}) {
        EXPECT_EQ(HandshakeKDF::hkdf(ikm, salt, info, count),
                  Bytes(full.begin(), full.begin() + count))
            << count;
    }
}

TEST(HKDFDeathTest, outputBeyondTheLimitIsAProgrammingError) {
    EXPECT_DEATH(HandshakeKDF::hkdf(Bytes(32, 1), {}, {}, HandshakeKDF::maxHKDFOutput + 1),
                 "HKDF output length");
}

TEST(HandshakeMAC, isHMACSHA256MatchingRFC4231) {
    // Test case 1: 20-byte key 0x0b, data "Hi There".
    EXPECT_EQ(Hex::encode(HandshakeKDF::mac(Bytes(20, 0x0b), "Hi There", {})),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    // Test case 2: key "Jefe"; the data split between label and transcript
    // shows the two are MACed as one string with nothing between them.
    EXPECT_EQ(Hex::encode(HandshakeKDF::mac(wire::asBytes("Jefe"), "what do ya want ",
                                            wire::asBytes("for nothing?"))),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(HandshakeMAC, labelsGiveDifferentMACs) {
    const Bytes key(32, 9), transcript(172, 4);
    EXPECT_NE(HandshakeKDF::mac(key, HandshakeKDF::clientConfirmLabel, transcript),
              HandshakeKDF::mac(key, HandshakeKDF::hostConfirmLabel, transcript));
    EXPECT_EQ(HandshakeKDF::clientConfirmLabel, "CLIENT_CONFIRM");
    EXPECT_EQ(HandshakeKDF::hostConfirmLabel, "HOST_CONFIRM");
}

struct RFC8032Test1 {
    static constexpr std::string_view seed =
        "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
    static constexpr std::string_view publicKey =
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
    static constexpr std::string_view signature =
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701c"
        "f9b46bd25bf5f0595bbe24655141438e7a100b";
};

TEST(Ed25519, seedGivesRFC8032PublicKeyAndSignature) {
    const auto identity = LocalIdentity::fromSeed("host", hex(RFC8032Test1::seed));
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->publicKeyHex(), RFC8032Test1::publicKey);
    EXPECT_EQ(Hex::encode(identity->sign({})), RFC8032Test1::signature);
}

TEST(Ed25519, verifyAcceptsRFC8032SignatureAndRejectsAnyChange) {
    const Bytes publicKey = hex(RFC8032Test1::publicKey);
    const Bytes signature = hex(RFC8032Test1::signature);
    EXPECT_TRUE(HandshakeKDF::verify(signature, {}, publicKey));
    EXPECT_FALSE(HandshakeKDF::verify(signature, Bytes{0}, publicKey));
    for (std::size_t i = 0; i < signature.size(); i += 7) {
        Bytes tampered = signature;
        tampered[i] ^= 0x01;
        EXPECT_FALSE(HandshakeKDF::verify(tampered, {}, publicKey)) << "byte " << i;
    }
    Bytes otherKey = publicKey;
    otherKey[0] ^= 0x01;
    EXPECT_FALSE(HandshakeKDF::verify(signature, {}, otherKey));
}

TEST(Ed25519, verifyOfWrongSizesIsFalseNotAFailure) {
    const Bytes publicKey = hex(RFC8032Test1::publicKey);
    const Bytes signature = hex(RFC8032Test1::signature);
    EXPECT_FALSE(
        HandshakeKDF::verify(signature, {}, Bytes(publicKey.begin(), publicKey.end() - 1)));
    EXPECT_FALSE(HandshakeKDF::verify(signature, {}, concat({publicKey, Bytes{0}})));
    EXPECT_FALSE(
        HandshakeKDF::verify(Bytes(signature.begin(), signature.end() - 1), {}, publicKey));
    EXPECT_FALSE(HandshakeKDF::verify({}, {}, {}));
}

struct RFC7748 {
    static constexpr std::string_view alicePrivate =
        "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
    static constexpr std::string_view alicePublic =
        "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
    static constexpr std::string_view bobPrivate =
        "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb";
    static constexpr std::string_view bobPublic =
        "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f";
    static constexpr std::string_view shared =
        "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
};

TEST(X25519, matchesRFC7748KeysAndSharedSecret) {
    const auto alice = X25519PrivateKey::fromBytes(hex(RFC7748::alicePrivate));
    const auto bob = X25519PrivateKey::fromBytes(hex(RFC7748::bobPrivate));
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(Hex::encode(alice->publicKey()), RFC7748::alicePublic);
    EXPECT_EQ(Hex::encode(bob->publicKey()), RFC7748::bobPublic);

    const auto aliceSide = HandshakeKDF::x25519(hex(RFC7748::bobPublic), *alice);
    const auto bobSide = HandshakeKDF::x25519(hex(RFC7748::alicePublic), *bob);
    ASSERT_TRUE(aliceSide && bobSide);
    EXPECT_EQ(Hex::encode(*aliceSide), RFC7748::shared);
    EXPECT_EQ(Hex::encode(*bobSide), RFC7748::shared);
}

TEST(X25519, generatedKeysAgree) {
    const auto host = X25519PrivateKey::generate();
    const auto client = X25519PrivateKey::generate();
    const auto hostSide = HandshakeKDF::x25519(client.publicKey(), host);
    const auto clientSide = HandshakeKDF::x25519(host.publicKey(), client);
    ASSERT_TRUE(hostSide && clientSide);
    EXPECT_EQ(*hostSide, *clientSide);
}

TEST(X25519, peerKeyOfWrongSizeIsMalformed) {
    const auto own = X25519PrivateKey::generate();
    const Bytes peer = toBytes(X25519PrivateKey::generate().publicKey());
    EXPECT_EQ(HandshakeKDF::x25519(Bytes(peer.begin(), peer.end() - 1), own),
              tl::unexpected(HandshakeError::malformedMessage()));
    EXPECT_EQ(HandshakeKDF::x25519(concat({peer, Bytes{0}}), own),
              tl::unexpected(HandshakeError::malformedMessage()));
    EXPECT_EQ(HandshakeKDF::x25519({}, own), tl::unexpected(HandshakeError::malformedMessage()));
}

TEST(X25519, smallOrderPeerKeyIsMalformed) {
    // Points whose product with any scalar is the all-zero secret.
    const std::vector<Bytes> smallOrder{
        Bytes(32, 0),                                                             // u = 0
        concat({Bytes{1}, Bytes(31, 0)}),                                         // u = 1
        hex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"),  // order 8
        hex("5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157"),  // order 8
        hex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p - 1
    };
    const auto own = X25519PrivateKey::generate();
    for (const auto& peer : smallOrder) {
        EXPECT_EQ(HandshakeKDF::x25519(peer, own),
                  tl::unexpected(HandshakeError::malformedMessage()))
            << Hex::encode(peer);
    }
}

// Transcripts

struct TranscriptParts {
    Bytes clientX = Bytes(32, 0x01);
    Bytes hostX = Bytes(32, 0x02);
    Bytes clientEd = Bytes(32, 0x03);
    Bytes hostEd = Bytes(32, 0x04);
    Bytes clientNonce = Bytes(16, 0x05);
    Bytes hostNonce = Bytes(16, 0x06);
};

TEST(HandshakeTranscript, pairingIsTagIdsKeysThenNoncesWithoutSeparators) {
    const TranscriptParts p;
    const Bytes transcript = HandshakeKDF::pairTranscript("c", "h", p.clientX, p.hostX, p.clientEd,
                                                          p.hostEd, p.clientNonce, p.hostNonce);
    ASSERT_EQ(transcript.size(), 172u);
    EXPECT_EQ(transcript, concat({wire::asBytes("RC_PAIR_V1"), wire::asBytes("ch"), p.clientX,
                                  p.hostX, p.clientEd, p.hostEd, p.clientNonce, p.hostNonce}));
}

TEST(HandshakeTranscript, authenticationIsTagIdsEphemeralKeysThenNonces) {
    const TranscriptParts p;
    const Bytes transcript =
        HandshakeKDF::authTranscript("c", "h", p.clientX, p.hostX, p.clientNonce, p.hostNonce);
    ASSERT_EQ(transcript.size(), 108u);
    EXPECT_EQ(transcript, concat({wire::asBytes("RC_AUTH_V1"), wire::asBytes("ch"), p.clientX,
                                  p.hostX, p.clientNonce, p.hostNonce}));
}

TEST(HandshakeTranscript, idsAreCarriedAsUTF8Bytes) {
    const TranscriptParts p;
    const Bytes transcript =
        HandshakeKDF::authTranscript("é", "h", p.clientX, p.hostX, p.clientNonce, p.hostNonce);
    // "é" is two bytes, so one more than the 108 of two one-byte ids.
    ASSERT_EQ(transcript.size(), 109u);
    EXPECT_EQ(transcript[10], 0xC3);
    EXPECT_EQ(transcript[11], 0xA9);
    EXPECT_EQ(transcript[12], 'h');
}

// Key derivation

struct DerivationInputs {
    HandshakeKDF::SharedSecret dh{};
    Bytes transcript;

    DerivationInputs() {
        const auto a = X25519PrivateKey::generate();
        const auto b = X25519PrivateKey::generate();
        dh = HandshakeKDF::x25519(b.publicKey(), a).value();
        const TranscriptParts p;
        transcript = HandshakeKDF::pairTranscript("client", "host", a.publicKey(), b.publicKey(),
                                                  p.clientEd, p.hostEd, p.clientNonce, p.hostNonce);
    }
};

TEST(PairKeys, areTheTwoHalvesOfHKDFWithTheCodeAsSalt) {
    const DerivationInputs in;
    const auto keys = HandshakeKDF::pairKeys(in.dh, "123456", in.transcript);
    const Bytes okm = HandshakeKDF::hkdf(in.dh, wire::asBytes("123456"), in.transcript, 64);
    EXPECT_EQ(Bytes(keys.sessionKey.bytes().begin(), keys.sessionKey.bytes().end()),
              Bytes(okm.begin(), okm.begin() + 32));
    EXPECT_EQ(Bytes(keys.authKey.bytes().begin(), keys.authKey.bytes().end()),
              Bytes(okm.begin() + 32, okm.end()));
}

TEST(PairKeys, oneDifferentCodeDigitChangesBothKeys) {
    const DerivationInputs in;
    const auto right = HandshakeKDF::pairKeys(in.dh, "123456", in.transcript);
    const auto again = HandshakeKDF::pairKeys(in.dh, "123456", in.transcript);
    EXPECT_EQ(right.sessionKey, again.sessionKey);
    EXPECT_EQ(right.authKey, again.authKey);
    for (std::string_view wrong : {"023456", "123457", "123466"}) {
        const auto keys = HandshakeKDF::pairKeys(in.dh, wrong, in.transcript);
        EXPECT_NE(keys.sessionKey, right.sessionKey) << wrong;
        EXPECT_NE(keys.authKey, right.authKey) << wrong;
    }
}

TEST(PairKeys, wrongCodeMakesTheConfirmationMACDiffer) {
    const DerivationInputs in;
    const auto host = HandshakeKDF::pairKeys(in.dh, "000000", in.transcript);
    const auto client = HandshakeKDF::pairKeys(in.dh, "000001", in.transcript);
    const auto expected =
        HandshakeKDF::mac(host.authKey.bytes(), HandshakeKDF::clientConfirmLabel, in.transcript);
    const auto presented =
        HandshakeKDF::mac(client.authKey.bytes(), HandshakeKDF::clientConfirmLabel, in.transcript);
    EXPECT_FALSE(HandshakeKDF::constantTimeEqual(expected, presented));
}

TEST(AuthSessionKey, isHKDFWithBothNoncesAsSalt) {
    const DerivationInputs in;
    const Bytes clientNonce(16, 0xC1), hostNonce(16, 0x40);
    const auto key = HandshakeKDF::authSessionKey(in.dh, clientNonce, hostNonce, in.transcript);
    EXPECT_EQ(Bytes(key.bytes().begin(), key.bytes().end()),
              HandshakeKDF::hkdf(in.dh, concat({clientNonce, hostNonce}), in.transcript, 32));
    // Order matters: the client's nonce comes first.
    EXPECT_NE(key, HandshakeKDF::authSessionKey(in.dh, hostNonce, clientNonce, in.transcript));
}

// Constant-time comparison

TEST(ConstantTimeEqual, needsEqualLengthAndEveryByteEqual) {
    const Bytes a(32, 0x5A);
    EXPECT_TRUE(HandshakeKDF::constantTimeEqual(a, Bytes(32, 0x5A)));
    EXPECT_FALSE(HandshakeKDF::constantTimeEqual(Bytes(31, 0x5A), a));
    EXPECT_FALSE(HandshakeKDF::constantTimeEqual(a, Bytes(33, 0x5A)));
    EXPECT_TRUE(HandshakeKDF::constantTimeEqual({}, {}));
    for (std::size_t i : {0u, 15u, 31u}) {
        Bytes b = a;
        b[i] ^= 0x80;
        EXPECT_FALSE(HandshakeKDF::constantTimeEqual(a, b)) << i;
    }
}

}  // namespace
}  // namespace tarvel::security
