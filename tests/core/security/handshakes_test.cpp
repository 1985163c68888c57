#include <gtest/gtest.h>
#include <sodium.h>

#include <regex>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/security/host_handshakes.hpp"

namespace tarvel::security {
namespace {

using pairing::PairedStore;
using std::chrono::system_clock;
using E = HandshakeError;
using Strings = std::vector<std::string>;

const auto pairedAt = system_clock::time_point(std::chrono::milliseconds(1800000000700));

const HandshakeError accepted = HandshakeError::rejected("accepted");
template <class T>
HandshakeError verdict(const tl::expected<T, HandshakeFailure>& result) {
    const HandshakeError* error = result ? &accepted : handshakeError(result.error());
    EXPECT_NE(error, nullptr) << "an encoding failure where a handshake error was expected";
    return error ? *error : HandshakeError::rejected("encoding failure");
}

std::string sha256Hex(ByteView bytes) {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
    return Hex::encode(digest);
}

template <class Message, class Edit>
Bytes edited(const Bytes& body, Edit edit) {
    auto message = wire::JSONCodec::decode<Message>(body).value();
    edit(message);
    return wire::JSONCodec::encode(message).value();
}

void flipFirstDigit(std::string& hex) { hex[0] = hex[0] == '0' ? '1' : '0'; }

/// Fixed seeds, ephemeral keys, nonces and ids: both halves give the same bytes every run.
class Handshakes : public ::testing::Test {
  protected:
    LocalIdentity hostIdentity =
        LocalIdentity::fromSeed("7a1d9e52-3c44-4b1f-9d0e-5f6a7b8c9d01", Bytes(32, 0x48)).value();
    LocalIdentity clientIdentity =
        LocalIdentity::fromSeed("c0ffee00-1234-4abc-8def-0123456789ab", Bytes(32, 0x43)).value();
    X25519PrivateKey clientX = X25519PrivateKey::fromBytes(Bytes(32, 0x11)).value(),
                     hostX = X25519PrivateKey::fromBytes(Bytes(32, 0x22)).value();
    Bytes clientNonce = Bytes(16, 0x33);
    HostNonce hostNonce = [] { HostNonce n; n.fill(0x44); return n; }();
    std::shared_ptr<PairedStore> store = std::make_shared<PairedStore>(std::nullopt);
    HostDescriptor host(const LocalIdentity& id) const {
        return {id,   "Desk", "macos", "desktop", {"192.168.1.10:49182"}, {"100.101.102.103:49182"},
                49183};
    }
    ClientDescriptor client(const LocalIdentity& id) const {
        return {id, "Anna's Phone", "Pixel 9"};
    }
    HostPairingHandshake hostPairing(std::shared_ptr<PairingCodeState> code) const {
        return HostPairingHandshake(host(hostIdentity), std::move(code), hostX, hostNonce);
    }
    ClientPairingHandshake clientPairing(const std::string& code) const {
        return ClientPairingHandshake(client(clientIdentity), code, clientX, clientNonce);
    }
    HostAuthHandshake hostAuth() const {
        return HostAuthHandshake(host(hostIdentity), store, hostX, hostNonce);
    }
    ClientAuthHandshake clientAuth(pairing::PairedHostRecord pin) const {
        return ClientAuthHandshake(client(clientIdentity), std::move(pin), clientX, clientNonce);
    }
    ClientAuthHandshake clientAuth() const { return clientAuth(pinned()); }
    pairing::PairedHostRecord pinned() const {
        return {hostIdentity.id(), {}, {}, hostIdentity.publicKeyHex(), {}, {}, 0, 0, {}};
    }
    void storeClient() {
        store->upsertClient({clientIdentity.id(), "", "", clientIdentity.publicKeyHex(), 0, 0, {}});
    }
    struct Challenged { HostPairingHandshake host; ClientPairingHandshake client; Bytes confirm; };
    Challenged challenged(const std::shared_ptr<PairingCodeState>& code, const std::string& typed) {
        Challenged c{hostPairing(code), clientPairing(typed), {}};
        const Bytes challenge = c.host.handlePairRequest(c.client.makeRequest().value()).value();
        c.confirm = c.client.handleChallenge(challenge).value();
        return c;
    }
    static Bytes authResponse(ClientAuthHandshake clientSide, HostAuthHandshake hostSide) {
        const Bytes challenge = hostSide.handleHello(clientSide.makeHello().value()).value();
        return clientSide.handleChallenge(challenge).value().responseBody;
    }
};

// Pins every byte exchanged and both derived keys; the keys were checked by hand
// against HKDF-SHA256 over the X25519 secret libsodium gives for these keys.
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
    EXPECT_EQ((Strings{sha256Hex(request), sha256Hex(challenge), sha256Hex(confirm),
                       sha256Hex(hostPaired.completeBody),
                       Hex::encode(hostPaired.keys.sessionKey.bytes())}),
              (Strings{"57d46505b25f44e361f0d82f96014bdcc9bbf3e51c2d6e16fc3f50c90ea3e6ee",
                       "91b4b24dd77606e072073ee6bc608ef94fb8a13f8c35f4d5a2a9fb0aafb8db29",
                       "18f1d00bf7676f49be390488fac57a080b113c3d2212e7a0181cc489fbec4a5c",
                       "4f8d6fcbca452eab165fec09643f1c79e6a7e77ffd5fbe8afea7a341a7308805",
                       "72b29fe4cfb4778ef99e7ab847d3adcc1a3bb861bdb1ef6a70bc86fb2d4e02aa"}));
    EXPECT_EQ(clientPaired.keys.sessionKey, hostPaired.keys.sessionKey);
    EXPECT_FALSE(code->isActive());
    EXPECT_EQ(hostPaired.client,
              (pairing::PairedClientRecord{clientIdentity.id(), "Anna's Phone", "Pixel 9",
                                           clientIdentity.publicKeyHex(), 1800000000, 1800000000,
                                           "192.168.1.20"}));
    EXPECT_EQ(clientPaired.host,
              (pairing::PairedHostRecord{hostIdentity.id(), "Desk", pairing::HostOSType::macos,
                                         hostIdentity.publicKeyHex(), {"192.168.1.10:49182"},
                                         {"100.101.102.103:49182"}, 1800000000, 1800000000,
                                         "desktop"}));
    EXPECT_EQ(clientPaired.udpPort, 49183);
    store->upsertClient(hostPaired.client);
    auto hostAuthSide = hostAuth();
    auto clientAuthSide = clientAuth(clientPaired.host);
    const Bytes hello = clientAuthSide.makeHello().value();
    const Bytes authChallenge = hostAuthSide.handleHello(hello).value();
    const ClientAuthResult clientAuthed = clientAuthSide.handleChallenge(authChallenge).value();
    const HostAuthResult hostAuthed =
        hostAuthSide.handleResponse(clientAuthed.responseBody).value();
    EXPECT_EQ((Strings{sha256Hex(hello), sha256Hex(authChallenge),
                       sha256Hex(clientAuthed.responseBody),
                       Hex::encode(hostAuthed.keys.sessionKey.bytes())}),
              (Strings{"5374bb09e4fbb32b575ff457c5d47a3b9f83aa7a815b6ac38c2b274abf699b8b",
                       "6cb2cecdae18ebdb509d37d16ac075147f699e3b22af57d6a929d662168e47b0",
                       "a6901ac1a739ecd77ed5209220d6cd14eb6285d38137bdd0dce21c17ba314d54",
                       "723eecb870f122bbef0905ca738ddae7cc2d8be972a0e4b013428b71c13549be"}));
    EXPECT_EQ(clientAuthed.keys.sessionKey, hostAuthed.keys.sessionKey);
    EXPECT_EQ(hostAuthed.client, hostPaired.client);
}

TEST_F(Handshakes, pairingRefusesMalformedOrLateFreelyCountsWrongCodesToFiveAndChecksTheHost) {
    auto code = std::make_shared<PairingCodeState>("111111");
    const Bytes validRequest = clientPairing("111111").makeRequest().value();
    auto requestWith = [&](const std::string& key, std::size_t digits, char digit = 'a') {
        auto json = wire::JSONCodec::parseObject(validRequest).value();
        json[key] = std::string(digits, digit);
        return wire::JSONCodec::encode(json).value();
    };
    for (const auto& body : {wire::toBytes("{"), requestWith("clientX25519PubHex", 62),
                             requestWith("clientX25519PubHex", 64, '0')}) {  // a low-order point
        EXPECT_EQ(verdict(hostPairing(code).handlePairRequest(body)), E::malformedMessage());
    }
    auto hostSide = hostPairing(code);
    ASSERT_TRUE(hostSide.handlePairRequest(validRequest));
    const Bytes shortMac =
        wire::JSONCodec::encode(PairConfirm{std::string(62, 'a'), std::string(128, 'b')}).value();
    EXPECT_EQ(verdict(hostSide.handleConfirm(shortMac, "", pairedAt)), E::malformedMessage());
    const Bytes empty = wire::toBytes("{}");
    EXPECT_EQ(verdict(hostPairing(code).handleConfirm(empty, "", pairedAt)), E::outOfOrder());
    EXPECT_EQ(verdict(hostAuth().handleResponse(empty)), E::outOfOrder());
    EXPECT_EQ(verdict(clientPairing("111111").handleComplete(empty, pairedAt)), E::outOfOrder());
    // The first has the right code but a forged signature, and counts the same.
    const auto forgeSig = [](PairConfirm& m) { flipFirstDigit(m.clientSigHex); };
    for (int attempt = 1; attempt <= PairingCodeState::maxFailedAttempts; ++attempt) {
        auto c = challenged(code, attempt == 1 ? "111111" : "222222");
        c.confirm = attempt == 1 ? edited<PairConfirm>(c.confirm, forgeSig) : c.confirm;
        EXPECT_EQ(verdict(c.host.handleConfirm(c.confirm, "", pairedAt)), E::invalidCode());
        EXPECT_EQ(verdict(c.host.handleConfirm(c.confirm, "", pairedAt)), E::outOfOrder());
        EXPECT_EQ(code->failedAttempts(), attempt);
    }
    // Now even the right code is refused, on a fresh connection, before the body is read.
    EXPECT_EQ(verdict(hostPairing(code).handlePairRequest(wire::toBytes("not even JSON"))),
              E::noActiveCode());
    auto completeWith = [&](auto edit) {
        auto c = challenged(std::make_shared<PairingCodeState>("246810"), "246810");
        const Bytes complete = c.host.handleConfirm(c.confirm, "", pairedAt).value().completeBody;
        return verdict(c.client.handleComplete(edited<PairComplete>(complete, edit), pairedAt));
    };
    EXPECT_EQ(completeWith([](PairComplete& c) { flipFirstDigit(c.hostSigHex); }),
              E::badSignature());
    EXPECT_EQ(completeWith([](PairComplete& c) { flipFirstDigit(c.hostMacHex); }), E::badMac());
}

TEST_F(Handshakes, authRefusesStrangersAndForgersAndALinksKeyMustBeTheChallengesFirst) {
    EXPECT_EQ(verdict(hostAuth().handleHello(clientAuth().makeHello().value())), E::unpaired());
    storeClient();
    const AuthHello shortNonce{clientIdentity.id(), "n", clientIdentity.publicKeyHex(),
                               std::string(30, 'b')};
    for (const auto& body : {wire::toBytes("[]"), wire::JSONCodec::encode(shortNonce).value()}) {
        EXPECT_EQ(verdict(hostAuth().handleHello(body)), E::malformedMessage());
    }
    // The stored key's own response from an earlier session, with other nonces.
    const Bytes replayed = authResponse(
        ClientAuthHandshake(client(clientIdentity), pinned(), X25519PrivateKey::generate(),
                            Hex::random(16)),
        HostAuthHandshake(host(hostIdentity), store, X25519PrivateKey::generate(), HostNonce{}));
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
        EXPECT_EQ(verdict(hostSide.handleResponse(response)), E::badSignature());
    }
    auto hostAs = [&](const LocalIdentity& id) {
        const Bytes hello = clientAuth().makeHello().value();
        return verdict(clientAuth().handleChallenge(
            HostAuthHandshake(host(id), store, hostX, hostNonce).handleHello(hello).value()));
    };
    // Same id, another key: the signature cannot verify with the pinned key.
    const auto hostImpostor = LocalIdentity::fromSeed(hostIdentity.id(), Bytes(32, 0x5A)).value();
    EXPECT_EQ(hostAs(hostImpostor), E::badSignature());
    EXPECT_EQ(hostAs(LocalIdentity::generate()), E::hostKeyMismatch());
    auto confirmFrom = [&](const LocalIdentity& host, const auto& key) {
        Bytes expected(key.begin(), key.end());
        ClientPairingHandshake phone(client(clientIdentity), "246810", clientX, clientNonce,
                                     std::move(expected));
        auto hostSide = HostPairingHandshake(this->host(host),
                                             std::make_shared<PairingCodeState>("246810"), hostX,
                                             hostNonce);
        const Bytes challenge = hostSide.handlePairRequest(phone.makeRequest().value()).value();
        auto confirm = phone.handleChallenge(challenge);
        // Refused for good: the same challenge again is out of order.
        return std::pair(verdict(confirm), verdict(phone.handleChallenge(challenge)));
    };
    EXPECT_EQ(confirmFrom(hostImpostor, hostIdentity.publicKey()),
              std::pair(HandshakeError::hostKeyMismatch(), HandshakeError::outOfOrder()));
    EXPECT_EQ(confirmFrom(hostIdentity, hostIdentity.publicKey()).first, accepted);
}

TEST(PairingCodeState, codesAreSixRandomDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto code = *seen.insert(PairingCodeState::generate()->code()).first;
        ASSERT_TRUE(std::regex_match(code, std::regex("[0-9]{6}"))) << code;
    }
    EXPECT_GT(seen.size(), 190u);
}

}  // namespace
}  // namespace tarvel::security
