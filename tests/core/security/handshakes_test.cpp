// The host and client halves of pairing and authentication, run against each
// other in memory, and every refusal that guards the host.
#include <gtest/gtest.h>
#include <sodium.h>

#include <memory>
#include <regex>
#include <set>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/security/host_handshakes.hpp"

namespace tarvel::security {
namespace {

using pairing::PairedStore;
using std::chrono::system_clock;

const system_clock::time_point pairedAt =
    system_clock::time_point(std::chrono::seconds(1800000000)) + std::chrono::milliseconds(700);

/// The refusal a step ended in, or "accepted" when it succeeded.
template <class T>
HandshakeError verdict(const tl::expected<T, HandshakeFailure>& result) {
    if (result) {
        return HandshakeError::rejected("accepted");
    }
    const HandshakeError* error = handshakeError(result.error());
    EXPECT_NE(error, nullptr) << "an encoding failure where a handshake error was expected";
    return error ? *error : HandshakeError::rejected("encoding failure");
}
const HandshakeError accepted = HandshakeError::rejected("accepted");

std::string sha256Hex(ByteView bytes) {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
    return Hex::encode(digest);
}

/// Re-encodes a JSON body after `edit` changed one of its fields.
template <class Message, class Edit>
Bytes edited(const Bytes& body, Edit edit) {
    auto message = wire::JSONCodec::decode<Message>(body).value();
    edit(message);
    return wire::JSONCodec::encode(message).value();
}

/// Flips the lowest bit of the first hex digit.
void flipFirstDigit(std::string& hex) {
    hex[0] = hex[0] == '0' ? '1' : '0';
}

/// Everything fixed: long-term seeds, ephemeral keys, nonces, ids and code,
/// so a run of both halves gives the same bytes every time.
class Handshakes : public ::testing::Test {
  protected:
    LocalIdentity hostIdentity =
        LocalIdentity::fromSeed("7a1d9e52-3c44-4b1f-9d0e-5f6a7b8c9d01", Bytes(32, 0x48)).value();
    LocalIdentity clientIdentity =
        LocalIdentity::fromSeed("c0ffee00-1234-4abc-8def-0123456789ab", Bytes(32, 0x43)).value();
    X25519PrivateKey clientX = X25519PrivateKey::fromBytes(Bytes(32, 0x11)).value();
    X25519PrivateKey hostX = X25519PrivateKey::fromBytes(Bytes(32, 0x22)).value();
    Bytes clientNonce = Bytes(16, 0x33);
    HostNonce hostNonce = [] {
        HostNonce nonce{};
        nonce.fill(0x44);
        return nonce;
    }();
    std::shared_ptr<PairedStore> store = std::make_shared<PairedStore>(std::nullopt);

    HostDescriptor host(const LocalIdentity& identity) const {
        return HostDescriptor{
            identity, "Desk", "macos", "desktop", {"192.168.1.10:49182"}, {"100.101.102.103:49182"},
            49183};
    }
    HostDescriptor host() const { return host(hostIdentity); }
    ClientDescriptor client(const LocalIdentity& identity) const {
        return ClientDescriptor{identity, "Anna's Phone", "Pixel 9"};
    }
    ClientDescriptor client() const { return client(clientIdentity); }

    HostPairingHandshake hostPairing(std::shared_ptr<PairingCodeState> code) const {
        return HostPairingHandshake(host(), std::move(code), hostX, hostNonce);
    }
    ClientPairingHandshake clientPairing(const std::string& code) const {
        return ClientPairingHandshake(client(), code, clientX, clientNonce);
    }
    HostAuthHandshake hostAuth(const LocalIdentity& identity) const {
        return HostAuthHandshake(host(identity), store, hostX, hostNonce);
    }
    HostAuthHandshake hostAuth() const { return hostAuth(hostIdentity); }
    ClientAuthHandshake clientAuth(pairing::PairedHostRecord pin) const {
        return ClientAuthHandshake(client(), std::move(pin), clientX, clientNonce);
    }
    ClientAuthHandshake clientAuth() const { return clientAuth(pinned()); }

    /// The host side after a valid request, and the client's confirm body.
    struct Challenged {
        HostPairingHandshake host;
        ClientPairingHandshake client;
        Bytes confirm;
    };
    Challenged challenged(const std::shared_ptr<PairingCodeState>& code, const std::string& typed) {
        Challenged c{hostPairing(code), clientPairing(typed), {}};
        const Bytes challenge = c.host.handlePairRequest(c.client.makeRequest().value()).value();
        c.confirm = c.client.handleChallenge(challenge).value();
        return c;
    }

    /// The client's authResponse body after a run against `hostSide`.
    static Bytes authResponse(ClientAuthHandshake clientSide, HostAuthHandshake hostSide) {
        const Bytes challenge = hostSide.handleHello(clientSide.makeHello().value()).value();
        return clientSide.handleChallenge(challenge).value().responseBody;
    }

    void storeClient(std::string keyHex = {}) {
        store->upsertClient({clientIdentity.id(), "n", "m",
                             keyHex.empty() ? clientIdentity.publicKeyHex() : keyHex, 0, 0, ""});
    }

    pairing::PairedHostRecord pinned() const {
        pairing::PairedHostRecord record;
        record.hostId = hostIdentity.id();
        record.ed25519PublicKeyHex = hostIdentity.publicKeyHex();
        return record;
    }
};

// Pins every byte both halves exchange and the keys they derive. Computed once
// from this code; both session keys were checked by hand against HKDF-SHA256
// over the X25519 secret libsodium gives for these keys.
TEST_F(Handshakes, goldenVectorOfPairingThenAuthenticationFromFixedKeys) {
    // Anchor: the request carries the X25519 public key libsodium derives itself.
    std::array<std::uint8_t, 32> clientXPublic{};
    ASSERT_EQ(crypto_scalarmult_base(clientXPublic.data(), clientX.bytes().data()), 0);

    auto code = std::make_shared<PairingCodeState>("042917");
    auto hostSide = hostPairing(code);
    auto clientSide = clientPairing("042917");
    const Bytes request = clientSide.makeRequest().value();
    EXPECT_EQ(wire::JSONCodec::decode<PairRequest>(request)->clientX25519PubHex,
              Hex::encode(clientXPublic));
    const Bytes challenge = hostSide.handlePairRequest(request).value();
    const Bytes confirm = clientSide.handleChallenge(challenge).value();
    const HostPairResult hostPaired =
        hostSide.handleConfirm(confirm, "192.168.1.20", pairedAt).value();
    const ClientPairResult clientPaired =
        clientSide.handleComplete(hostPaired.completeBody, pairedAt).value();

    EXPECT_EQ(sha256Hex(request),
              "57d46505b25f44e361f0d82f96014bdcc9bbf3e51c2d6e16fc3f50c90ea3e6ee");
    EXPECT_EQ(sha256Hex(challenge),
              "91b4b24dd77606e072073ee6bc608ef94fb8a13f8c35f4d5a2a9fb0aafb8db29");
    EXPECT_EQ(sha256Hex(confirm),
              "18f1d00bf7676f49be390488fac57a080b113c3d2212e7a0181cc489fbec4a5c");
    EXPECT_EQ(sha256Hex(hostPaired.completeBody),
              "4f8d6fcbca452eab165fec09643f1c79e6a7e77ffd5fbe8afea7a341a7308805");
    EXPECT_EQ(Hex::encode(hostPaired.keys.sessionKey.bytes()),
              "72b29fe4cfb4778ef99e7ab847d3adcc1a3bb861bdb1ef6a70bc86fb2d4e02aa");
    EXPECT_EQ(clientPaired.keys.sessionKey, hostPaired.keys.sessionKey);
    EXPECT_FALSE(code->isActive());

    // What each side keeps of the other.
    EXPECT_EQ(hostPaired.client,
              (pairing::PairedClientRecord{clientIdentity.id(), "Anna's Phone", "Pixel 9",
                                           clientIdentity.publicKeyHex(), 1800000000, 1800000000,
                                           "192.168.1.20"}));
    EXPECT_EQ(clientPaired.host.hostId, hostIdentity.id());
    EXPECT_EQ(clientPaired.host.ed25519PublicKeyHex, hostIdentity.publicKeyHex());
    EXPECT_EQ(clientPaired.host.osType, pairing::HostOSType::macos);
    EXPECT_EQ(clientPaired.host.deviceType, "desktop");
    EXPECT_EQ(clientPaired.host.lanEndpoints, std::vector<std::string>{"192.168.1.10:49182"});
    EXPECT_EQ(clientPaired.host.pairedAtUnix, 1800000000);
    EXPECT_EQ(clientPaired.udpPort, 49183);

    store->upsertClient(hostPaired.client);
    auto hostAuthSide = hostAuth();
    auto clientAuthSide = clientAuth(clientPaired.host);
    const Bytes hello = clientAuthSide.makeHello().value();
    const Bytes authChallenge = hostAuthSide.handleHello(hello).value();
    const ClientAuthResult clientAuthed = clientAuthSide.handleChallenge(authChallenge).value();
    const HostAuthResult hostAuthed =
        hostAuthSide.handleResponse(clientAuthed.responseBody).value();

    EXPECT_EQ(sha256Hex(hello), "5374bb09e4fbb32b575ff457c5d47a3b9f83aa7a815b6ac38c2b274abf699b8b");
    EXPECT_EQ(sha256Hex(authChallenge),
              "6cb2cecdae18ebdb509d37d16ac075147f699e3b22af57d6a929d662168e47b0");
    EXPECT_EQ(sha256Hex(clientAuthed.responseBody),
              "a6901ac1a739ecd77ed5209220d6cd14eb6285d38137bdd0dce21c17ba314d54");
    EXPECT_EQ(Hex::encode(hostAuthed.keys.sessionKey.bytes()),
              "723eecb870f122bbef0905ca738ddae7cc2d8be972a0e4b013428b71c13549be");
    EXPECT_EQ(clientAuthed.keys.sessionKey, hostAuthed.keys.sessionKey);
    EXPECT_EQ(clientAuthed.challenge.udpPort, 49183);
    EXPECT_EQ(hostAuthed.client, hostPaired.client);
}

TEST_F(Handshakes, wrongCodesCountAcrossConnectionsAndTheFifthExhaustsTheCode) {
    auto code = std::make_shared<PairingCodeState>("111111");
    for (int attempt = 1; attempt <= PairingCodeState::maxFailedAttempts; ++attempt) {
        auto c = challenged(code, "222222");
        EXPECT_EQ(verdict(c.host.handleConfirm(c.confirm, "10.0.0.2", pairedAt)),
                  HandshakeError::invalidCode());
        EXPECT_EQ(code->failedAttempts(), attempt);
    }
    EXPECT_FALSE(code->isActive());
    // Now even the right code is refused, on a fresh connection, before the body is read.
    EXPECT_EQ(verdict(hostPairing(code).handlePairRequest(wire::toBytes("not even JSON"))),
              HandshakeError::noActiveCode());
}

TEST_F(Handshakes, aCodeExhaustedAfterTheChallengePairsNothing) {
    auto code = std::make_shared<PairingCodeState>("111111");
    auto c = challenged(code, "111111");
    for (int i = 0; i < PairingCodeState::maxFailedAttempts; ++i) {
        code->registerFailure();
    }
    EXPECT_EQ(verdict(c.host.handleConfirm(c.confirm, "10.0.0.2", pairedAt)),
              HandshakeError::noActiveCode());
}

TEST_F(Handshakes, rightMacWithABadSignatureIsAnInvalidCodeAndCounts) {
    auto code = std::make_shared<PairingCodeState>("000042");
    auto c = challenged(code, "000042");
    const Bytes forged =
        edited<PairConfirm>(c.confirm, [](PairConfirm& m) { flipFirstDigit(m.clientSigHex); });
    EXPECT_EQ(verdict(c.host.handleConfirm(forged, "10.0.0.2", pairedAt)),
              HandshakeError::invalidCode());
    EXPECT_EQ(code->failedAttempts(), 1);
    EXPECT_TRUE(code->isActive());
}

TEST_F(Handshakes, malformedPairingMessagesAreRefusedWithoutCharging) {
    auto code = std::make_shared<PairingCodeState>("000042");
    const Bytes validRequest = clientPairing("000042").makeRequest().value();
    auto requestWith = [&](const std::string& key, const std::string& value) {
        auto json = wire::JSONCodec::parseObject(validRequest).value();
        json[key] = value;
        return wire::JSONCodec::encode(json).value();
    };
    for (const auto& body : {
             wire::toBytes("{"), wire::toBytes("{}"),
             requestWith("clientX25519PubHex", std::string(62, 'a')),
             requestWith("clientEd25519PubHex", std::string(66, 'a')),
             requestWith("clientNonceHex", std::string(30, 'a')),
             requestWith("clientX25519PubHex", std::string(64, '0')),  // a low-order point
         }) {
        EXPECT_EQ(verdict(hostPairing(code).handlePairRequest(body)),
                  HandshakeError::malformedMessage());
    }
    auto hostSide = hostPairing(code);
    ASSERT_TRUE(hostSide.handlePairRequest(validRequest));
    const PairConfirm shortMac{std::string(62, 'a'), std::string(128, 'b')};
    EXPECT_EQ(verdict(hostSide.handleConfirm(wire::JSONCodec::encode(shortMac).value(), "10.0.0.2",
                                             pairedAt)),
              HandshakeError::malformedMessage());
    EXPECT_EQ(code->failedAttempts(), 0);
}

TEST_F(Handshakes, messagesOutOfOrderAreRefused) {
    auto code = std::make_shared<PairingCodeState>("000042");
    const auto outOfOrder = HandshakeError::outOfOrder();
    EXPECT_EQ(verdict(hostPairing(code).handleConfirm(wire::toBytes("{}"), "", pairedAt)),
              outOfOrder);
    EXPECT_EQ(verdict(hostAuth().handleResponse(wire::toBytes(R"({"clientSigHex":""})"))),
              outOfOrder);
    EXPECT_EQ(verdict(clientPairing("000042").handleComplete(wire::toBytes("{}"), pairedAt)),
              outOfOrder);
    // One confirmation per handshake object, even after a wrong one.
    auto c = challenged(code, "999999");
    EXPECT_EQ(verdict(c.host.handleConfirm(c.confirm, "", pairedAt)),
              HandshakeError::invalidCode());
    EXPECT_EQ(verdict(c.host.handleConfirm(c.confirm, "", pairedAt)), outOfOrder);
    EXPECT_EQ(code->failedAttempts(), 1);
}

TEST_F(Handshakes, unknownClientIsUnpairedAndAMalformedHelloOrStoredKeyIsAProtocolError) {
    EXPECT_EQ(verdict(hostAuth().handleHello(clientAuth().makeHello().value())),
              HandshakeError::unpaired());
    storeClient();
    auto hello = [&](std::size_t keyDigits, std::size_t nonceDigits) {
        return wire::JSONCodec::encode(AuthHello{clientIdentity.id(), "n",
                                                 std::string(keyDigits, 'a'),
                                                 std::string(nonceDigits, 'b')})
            .value();
    };
    for (const auto& body : {wire::toBytes("[]"), hello(66, 32), hello(64, 30)}) {
        EXPECT_EQ(verdict(hostAuth().handleHello(body)), HandshakeError::malformedMessage());
    }
    storeClient(std::string(63, 'a'));
    EXPECT_EQ(verdict(hostAuth().handleHello(hello(64, 32))), HandshakeError::malformedMessage());
}

TEST_F(Handshakes, replayedTamperedOrForeignResponseIsABadSignature) {
    storeClient();
    // The stored key's own response from an earlier session, with other nonces.
    const Bytes replayed = authResponse(
        ClientAuthHandshake(client(), pinned(), X25519PrivateKey::generate(), Hex::random(16)),
        HostAuthHandshake(host(), store, X25519PrivateKey::generate(), HostNonce{}));
    // Same client id and transcript, signed by a key other than the stored one.
    const auto impostor = LocalIdentity::fromSeed(clientIdentity.id(), Bytes(32, 0x5A)).value();
    const Bytes foreign = authResponse(
        ClientAuthHandshake(client(impostor), pinned(), clientX, clientNonce), hostAuth());
    const Bytes tampered =
        edited<AuthResponse>(authResponse(clientAuth(), hostAuth()),
                             [](AuthResponse& m) { flipFirstDigit(m.clientSigHex); });
    for (const Bytes& response : {replayed, foreign, tampered}) {
        auto hostSide = hostAuth();
        ASSERT_TRUE(hostSide.handleHello(clientAuth().makeHello().value()));
        EXPECT_EQ(verdict(hostSide.handleResponse(response)), HandshakeError::badSignature());
    }
}

TEST_F(Handshakes, clientRefusesAHostThatIsNotThePinnedOne) {
    storeClient();
    auto run = [&](const LocalIdentity& identity, pairing::PairedHostRecord pin) {
        const Bytes challenge =
            hostAuth(identity).handleHello(clientAuth().makeHello().value()).value();
        return verdict(clientAuth(std::move(pin)).handleChallenge(challenge));
    };
    // Same id, another key: the signature cannot verify with the pinned key.
    const auto impostor = LocalIdentity::fromSeed(hostIdentity.id(), Bytes(32, 0x5A)).value();
    EXPECT_EQ(run(impostor, pinned()), HandshakeError::badSignature());
    EXPECT_EQ(run(LocalIdentity::generate(), pinned()), HandshakeError::hostKeyMismatch());
    // A pinned key that is not 64 hex digits is refused before any signature check.
    auto damagedPin = pinned();
    damagedPin.ed25519PublicKeyHex = "zz" + damagedPin.ed25519PublicKeyHex.substr(2);
    EXPECT_EQ(run(hostIdentity, damagedPin), HandshakeError::hostKeyMismatch());
    EXPECT_EQ(run(hostIdentity, pinned()), accepted);
}

TEST_F(Handshakes, clientChecksTheHostsMacAndSignatureBeforePinning) {
    auto completeWith = [&](auto edit) {
        auto c = challenged(std::make_shared<PairingCodeState>("246810"), "246810");
        const Bytes complete =
            c.host.handleConfirm(c.confirm, "10.0.0.2", pairedAt).value().completeBody;
        return verdict(c.client.handleComplete(edited<PairComplete>(complete, edit), pairedAt));
    };
    EXPECT_EQ(completeWith([](PairComplete&) {}), accepted);
    EXPECT_EQ(completeWith([](PairComplete& c) { flipFirstDigit(c.hostSigHex); }),
              HandshakeError::badSignature());
    EXPECT_EQ(completeWith([](PairComplete& c) { flipFirstDigit(c.hostMacHex); }),
              HandshakeError::badMac());
    EXPECT_EQ(completeWith([](PairComplete& c) { c.hostSigHex.pop_back(); }),
              HandshakeError::malformedMessage());
}

TEST(PairingCodeState, codesAreSixRandomDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string code = PairingCodeState::generate()->code();
        ASSERT_TRUE(std::regex_match(code, std::regex("[0-9]{6}"))) << code;
        seen.insert(code);
    }
    EXPECT_GT(seen.size(), 190u);
}

}  // namespace
}  // namespace tarvel::security
