#include "core/security/host_handshakes.hpp"

#include "core/security/hex.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security {

namespace {

constexpr std::size_t keyBytes = 32;
constexpr std::size_t nonceBytes = 16;
constexpr std::size_t signatureBytes = 64;

tl::unexpected<HandshakeFailure> fail(HandshakeError error) {
    return tl::unexpected(HandshakeFailure(std::move(error)));
}

tl::unexpected<HandshakeFailure> fail(wire::JSONError error) {
    return tl::unexpected(HandshakeFailure(error));
}

/// Decodes a message body; any failure is the peer's malformed message.
template <class Message>
std::optional<Message> decodeMessage(ByteView body) {
    auto message = wire::JSONCodec::decode<Message>(body);
    if (!message) {
        return std::nullopt;
    }
    return std::move(*message);
}

/// The fields both challenges carry about this host.
template <class Challenge>
void describeHost(Challenge& challenge, const HostDescriptor& host, ByteView hostX,
                  ByteView hostNonce) {
    challenge.hostId = host.hostId();
    challenge.hostName = host.displayName;
    challenge.osType = host.osType;
    challenge.hostX25519PubHex = Hex::encode(hostX);
    challenge.hostNonceHex = Hex::encode(hostNonce);
    challenge.lanEndpoints = host.lanEndpoints;
    challenge.tailscaleEndpoints = host.tailscaleEndpoints;
    challenge.deviceType = host.deviceType;
}

}  // namespace

std::int64_t unixSeconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

HostPairingHandshake::HostPairingHandshake(HostDescriptor host,
                                           std::shared_ptr<PairingCodeState> codeState,
                                           X25519PrivateKey ephemeral, HostNonce hostNonce)
    : host_(std::move(host)),
      codeState_(std::move(codeState)),
      ephemeral_(std::move(ephemeral)),
      hostNonce_(hostNonce) {}

tl::expected<Bytes, HandshakeFailure> HostPairingHandshake::handlePairRequest(ByteView body) {
    // Without an active code there is nothing to pair against; the body is not even read.
    if (!codeState_ || !codeState_->isActive()) {
        return fail(HandshakeError::noActiveCode());
    }
    if (request_ || finished_) {
        return fail(HandshakeError::outOfOrder());  // single use: one request per object
    }
    auto request = decodeMessage<PairRequest>(body);
    if (!request) {
        return fail(HandshakeError::malformedMessage());
    }
    auto clientX = Hex::decode(request->clientX25519PubHex, keyBytes);
    if (!clientX) {
        return fail(HandshakeError::malformedMessage());
    }
    auto clientEd = Hex::decode(request->clientEd25519PubHex, keyBytes);
    if (!clientEd) {
        return fail(HandshakeError::malformedMessage());
    }
    auto clientNonce = Hex::decode(request->clientNonceHex, nonceBytes);
    if (!clientNonce) {
        return fail(HandshakeError::malformedMessage());
    }
    request_ = *request;
    clientEd_ = *clientEd;

    const auto& hostX = ephemeral_.publicKey();
    const auto& hostEd = host_.identity.publicKey();
    transcript_ = HandshakeKDF::pairTranscript(request->clientId, host_.hostId(), *clientX, hostX,
                                               *clientEd, hostEd, *clientNonce, hostNonce_);
    auto dh = HandshakeKDF::x25519(*clientX, ephemeral_);
    if (!dh) {
        return fail(HandshakeError::malformedMessage());
    }
    // The code is the HKDF salt: a client with the wrong code derives another
    // authKey and its confirmation MAC cannot match.
    keys_ = HandshakeKDF::pairKeys(*dh, codeState_->code(), transcript_);
    wire::secureZero(*dh);

    // The challenge carries no proof: the host proves itself only after the
    // client has proved the code, so a guesser learns nothing from it.
    PairChallenge challenge;
    describeHost(challenge, host_, hostX, hostNonce_);
    challenge.hostEd25519PubHex = Hex::encode(hostEd);
    auto encoded = wire::JSONCodec::encode(challenge);
    if (!encoded) {
        return fail(encoded.error());
    }
    return std::move(*encoded);
}

tl::expected<HostPairResult, HandshakeFailure> HostPairingHandshake::handleConfirm(
    ByteView body, std::string_view remoteIp, std::chrono::system_clock::time_point now) {
    if (!request_ || !keys_ || finished_) {
        return fail(HandshakeError::outOfOrder());
    }
    // One confirmation per connection, right or wrong: no second guess here.
    finished_ = true;
    if (!codeState_->isActive()) {
        return fail(HandshakeError::noActiveCode());
    }
    auto confirm = decodeMessage<PairConfirm>(body);
    if (!confirm) {
        return fail(HandshakeError::malformedMessage());
    }
    auto clientMac = Hex::decode(confirm->clientMacHex, keyBytes);
    auto clientSig = Hex::decode(confirm->clientSigHex, signatureBytes);
    if (!clientMac || !clientSig) {
        return fail(HandshakeError::malformedMessage());
    }
    const auto expected =
        HandshakeKDF::mac(keys_->authKey.bytes(), HandshakeKDF::clientConfirmLabel, transcript_);
    // Constant time, so the comparison leaks nothing about the expected MAC.
    if (!HandshakeKDF::constantTimeEqual(*clientMac, expected)) {
        codeState_->registerFailure();
        return fail(HandshakeError::invalidCode());
    }
    // The client must also hold the Ed25519 key it asks us to pin.
    if (!HandshakeKDF::verify(*clientSig, transcript_, clientEd_)) {
        codeState_->registerFailure();
        return fail(HandshakeError::invalidCode());
    }
    // One code pairs one device. Checked and spent in one locked step, so a
    // code exhausted or used by another connection meanwhile cannot pair twice.
    if (!codeState_->consume()) {
        return fail(HandshakeError::noActiveCode());
    }

    const auto hostMac =
        HandshakeKDF::mac(keys_->authKey.bytes(), HandshakeKDF::hostConfirmLabel, transcript_);
    const auto hostSig = host_.identity.sign(transcript_);

    HostPairResult result;
    result.client.clientId = request_->clientId;
    result.client.deviceName = request_->deviceName;
    result.client.deviceModel = request_->deviceModel;
    result.client.ed25519PublicKeyHex = Hex::encode(clientEd_);
    result.client.pairedAtUnix = unixSeconds(now);
    result.client.lastSeenUnix = result.client.pairedAtUnix;
    result.client.lastRemoteIp = std::string(remoteIp);

    PairComplete complete{Hex::encode(hostMac), Hex::encode(hostSig), host_.udpPort};
    auto encoded = wire::JSONCodec::encode(complete);
    if (!encoded) {
        return fail(encoded.error());
    }
    result.completeBody = std::move(*encoded);
    result.keys.sessionKey = keys_->sessionKey;
    return result;
}

HostAuthHandshake::HostAuthHandshake(HostDescriptor host,
                                     std::shared_ptr<const pairing::PairedStore> store,
                                     X25519PrivateKey ephemeral, HostNonce hostNonce)
    : host_(std::move(host)),
      store_(std::move(store)),
      ephemeral_(std::move(ephemeral)),
      hostNonce_(hostNonce) {}

tl::expected<Bytes, HandshakeFailure> HostAuthHandshake::handleHello(ByteView body) {
    if (client_ || finished_) {
        return fail(HandshakeError::outOfOrder());  // single use: one hello per object
    }
    auto hello = decodeMessage<AuthHello>(body);
    if (!hello) {
        return fail(HandshakeError::malformedMessage());
    }
    auto record = store_ ? store_->client(hello->clientId) : std::nullopt;
    if (!record) {
        return fail(HandshakeError::unpaired());
    }
    auto clientX = Hex::decode(hello->clientX25519PubHex, keyBytes);
    if (!clientX) {
        return fail(HandshakeError::malformedMessage());
    }
    auto clientNonce = Hex::decode(hello->clientNonceHex, nonceBytes);
    if (!clientNonce) {
        return fail(HandshakeError::malformedMessage());
    }
    // A damaged stored key reads as a protocol error, not as unpaired.
    auto clientEd = Hex::decode(record->ed25519PublicKeyHex, keyBytes);
    if (!clientEd) {
        return fail(HandshakeError::malformedMessage());
    }
    client_ = std::move(*record);
    clientX_ = std::move(*clientX);
    clientNonce_ = std::move(*clientNonce);
    clientEd_ = std::move(*clientEd);

    const auto& hostX = ephemeral_.publicKey();
    transcript_ = HandshakeKDF::authTranscript(hello->clientId, host_.hostId(), clientX_, hostX,
                                               clientNonce_, hostNonce_);
    // Signing the transcript binds our long-term key to both fresh ephemeral
    // keys and nonces, so the client can detect an impostor or a replay.
    const auto hostSig = host_.identity.sign(transcript_);

    AuthChallenge challenge;
    describeHost(challenge, host_, hostX, hostNonce_);
    challenge.hostSigHex = Hex::encode(hostSig);
    challenge.udpPort = host_.udpPort;
    auto encoded = wire::JSONCodec::encode(challenge);
    if (!encoded) {
        return fail(encoded.error());
    }
    return std::move(*encoded);
}

tl::expected<HostAuthResult, HandshakeFailure> HostAuthHandshake::handleResponse(ByteView body) {
    if (!client_ || finished_) {
        return fail(HandshakeError::outOfOrder());
    }
    finished_ = true;  // one response per connection
    auto response = decodeMessage<AuthResponse>(body);
    if (!response) {
        return fail(HandshakeError::malformedMessage());
    }
    auto clientSig = Hex::decode(response->clientSigHex, signatureBytes);
    if (!clientSig) {
        return fail(HandshakeError::malformedMessage());
    }
    // Only the key stored at pairing counts: a client id alone never gets a session.
    if (!HandshakeKDF::verify(*clientSig, transcript_, clientEd_)) {
        return fail(HandshakeError::badSignature());
    }
    auto dh = HandshakeKDF::x25519(clientX_, ephemeral_);
    if (!dh) {
        return fail(HandshakeError::malformedMessage());
    }
    HostAuthResult result;
    result.client = *client_;
    result.keys.sessionKey =
        HandshakeKDF::authSessionKey(*dh, clientNonce_, hostNonce_, transcript_);
    wire::secureZero(*dh);
    return result;
}

}  // namespace tarvel::security
