#include "core/security/client_handshakes.hpp"

#include "core/security/hex.hpp"
#include "core/security/host_handshakes.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security {

namespace {

constexpr std::size_t keyBytes = 32;
constexpr std::size_t nonceBytes = 16;
constexpr std::size_t signatureBytes = 64;

tl::unexpected<HandshakeFailure> fail(HandshakeError error) {
    return tl::unexpected(HandshakeFailure(std::move(error)));
}

template <class Message>
tl::expected<Bytes, HandshakeFailure> encodeMessage(const Message& message) {
    auto encoded = wire::JSONCodec::encode(message);
    if (!encoded) {
        return tl::unexpected(HandshakeFailure(encoded.error()));
    }
    return std::move(*encoded);
}

}  // namespace

ClientPairingHandshake::ClientPairingHandshake(ClientDescriptor client, std::string code,
                                               X25519PrivateKey ephemeral, Bytes nonce,
                                               std::optional<Bytes> expectedHostKey)
    : client_(std::move(client)),
      code_(std::move(code)),
      ephemeral_(std::move(ephemeral)),
      nonce_(std::move(nonce)),
      expectedHostKey_(std::move(expectedHostKey)) {}

tl::expected<Bytes, HandshakeFailure> ClientPairingHandshake::makeRequest() const {
    PairRequest request;
    request.clientId = client_.identity.id();
    request.deviceName = client_.deviceName;
    request.deviceModel = client_.deviceModel;
    request.clientX25519PubHex = Hex::encode(ephemeral_.publicKey());
    request.clientEd25519PubHex = Hex::encode(client_.identity.publicKey());
    request.clientNonceHex = Hex::encode(nonce_);
    return encodeMessage(request);
}

tl::expected<Bytes, HandshakeFailure> ClientPairingHandshake::handleChallenge(ByteView body) {
    if (challenge_ || finished_) {
        return fail(HandshakeError::outOfOrder());
    }
    auto challenge = wire::JSONCodec::decode<PairChallenge>(body);
    if (!challenge) {
        return fail(HandshakeError::malformedMessage());
    }
    auto hostX = Hex::decode(challenge->hostX25519PubHex, keyBytes);
    auto hostEd = Hex::decode(challenge->hostEd25519PubHex, keyBytes);
    auto hostNonce = Hex::decode(challenge->hostNonceHex, nonceBytes);
    // A host record can only name an operating system we know.
    auto os = pairing::hostOSType(challenge->osType);
    if (!hostX || !hostEd || !hostNonce || !os) {
        return fail(HandshakeError::malformedMessage());
    }
    if (expectedHostKey_ && *expectedHostKey_ != *hostEd) {
        finished_ = true;  // single use: nothing may follow a refused host
        return fail(HandshakeError::hostKeyMismatch());
    }
    hostOS_ = *os;
    hostEd_ = std::move(*hostEd);
    transcript_ = HandshakeKDF::pairTranscript(
        client_.identity.id(), challenge->hostId, ephemeral_.publicKey(), *hostX,
        client_.identity.publicKey(), hostEd_, nonce_, *hostNonce);
    auto dh = HandshakeKDF::x25519(*hostX, ephemeral_);
    if (!dh) {
        return fail(HandshakeError::malformedMessage());
    }
    keys_ = HandshakeKDF::pairKeys(*dh, code_, transcript_);
    wire::secureZero(*dh);
    challenge_ = std::move(*challenge);

    PairConfirm confirm;
    confirm.clientMacHex = Hex::encode(
        HandshakeKDF::mac(keys_->authKey.bytes(), HandshakeKDF::clientConfirmLabel, transcript_));
    confirm.clientSigHex = Hex::encode(client_.identity.sign(transcript_));
    return encodeMessage(confirm);
}

tl::expected<ClientPairResult, HandshakeFailure> ClientPairingHandshake::handleComplete(
    ByteView body, std::chrono::system_clock::time_point now) {
    if (!challenge_ || !keys_ || finished_) {
        return fail(HandshakeError::outOfOrder());
    }
    finished_ = true;
    auto complete = wire::JSONCodec::decode<PairComplete>(body);
    if (!complete) {
        return fail(HandshakeError::malformedMessage());
    }
    auto hostMac = Hex::decode(complete->hostMacHex, keyBytes);
    auto hostSig = Hex::decode(complete->hostSigHex, signatureBytes);
    if (!hostMac || !hostSig) {
        return fail(HandshakeError::malformedMessage());
    }
    // The MAC proves the host knew the code it showed; the signature proves it
    // holds the key we are about to pin.
    const auto expected =
        HandshakeKDF::mac(keys_->authKey.bytes(), HandshakeKDF::hostConfirmLabel, transcript_);
    if (!HandshakeKDF::constantTimeEqual(*hostMac, expected)) {
        return fail(HandshakeError::badMac());
    }
    if (!HandshakeKDF::verify(*hostSig, transcript_, hostEd_)) {
        return fail(HandshakeError::badSignature());
    }

    ClientPairResult result;
    result.host.hostId = challenge_->hostId;
    result.host.displayName = challenge_->hostName;
    result.host.osType = hostOS_;
    result.host.ed25519PublicKeyHex = Hex::encode(hostEd_);
    result.host.lanEndpoints = challenge_->lanEndpoints;
    result.host.tailscaleEndpoints = challenge_->tailscaleEndpoints;
    result.host.pairedAtUnix = unixSeconds(now);
    result.host.lastConnectedUnix = result.host.pairedAtUnix;
    result.host.deviceType = challenge_->deviceType;
    result.keys.sessionKey = keys_->sessionKey;
    result.udpPort = complete->udpPort;
    return result;
}

ClientAuthHandshake::ClientAuthHandshake(ClientDescriptor client,
                                         pairing::PairedHostRecord pinnedHost,
                                         X25519PrivateKey ephemeral, Bytes nonce)
    : client_(std::move(client)),
      pinnedHost_(std::move(pinnedHost)),
      ephemeral_(std::move(ephemeral)),
      nonce_(std::move(nonce)) {}

tl::expected<Bytes, HandshakeFailure> ClientAuthHandshake::makeHello() const {
    AuthHello hello;
    hello.clientId = client_.identity.id();
    hello.deviceName = client_.deviceName;
    hello.clientX25519PubHex = Hex::encode(ephemeral_.publicKey());
    hello.clientNonceHex = Hex::encode(nonce_);
    return encodeMessage(hello);
}

tl::expected<ClientAuthResult, HandshakeFailure> ClientAuthHandshake::handleChallenge(
    ByteView body) {
    if (finished_) {
        return fail(HandshakeError::outOfOrder());
    }
    finished_ = true;
    auto challenge = wire::JSONCodec::decode<AuthChallenge>(body);
    if (!challenge) {
        return fail(HandshakeError::malformedMessage());
    }
    if (challenge->hostId != pinnedHost_.hostId) {
        return fail(HandshakeError::hostKeyMismatch());
    }
    auto pinnedKey = Hex::decode(pinnedHost_.ed25519PublicKeyHex, keyBytes);
    if (!pinnedKey) {
        return fail(HandshakeError::hostKeyMismatch());
    }
    auto hostX = Hex::decode(challenge->hostX25519PubHex, keyBytes);
    auto hostNonce = Hex::decode(challenge->hostNonceHex, nonceBytes);
    auto hostSig = Hex::decode(challenge->hostSigHex, signatureBytes);
    if (!hostX || !hostNonce || !hostSig) {
        return fail(HandshakeError::malformedMessage());
    }
    const Bytes transcript =
        HandshakeKDF::authTranscript(client_.identity.id(), challenge->hostId,
                                     ephemeral_.publicKey(), *hostX, nonce_, *hostNonce);
    // Only the key pinned at pairing is trusted; whatever else the message says is not.
    if (!HandshakeKDF::verify(*hostSig, transcript, *pinnedKey)) {
        return fail(HandshakeError::badSignature());
    }
    auto dh = HandshakeKDF::x25519(*hostX, ephemeral_);
    if (!dh) {
        return fail(HandshakeError::malformedMessage());
    }
    ClientAuthResult result;
    result.keys.sessionKey = HandshakeKDF::authSessionKey(*dh, nonce_, *hostNonce, transcript);
    wire::secureZero(*dh);

    AuthResponse response{Hex::encode(client_.identity.sign(transcript))};
    auto encoded = encodeMessage(response);
    if (!encoded) {
        return tl::unexpected(encoded.error());
    }
    result.responseBody = std::move(*encoded);
    result.challenge = std::move(*challenge);
    return result;
}

}  // namespace tarvel::security
