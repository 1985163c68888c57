#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "core/base/clock.hpp"
#include "core/pairing/paired_records.hpp"
#include "core/security/client_handshakes.hpp"
#include "core/wire/bodies.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/secure_channel.hpp"

namespace tarvel::client {

/// Why a client's control connection ended or never became usable.
enum class ClientError : std::uint8_t {
    unreachable,       // no endpoint accepted the connection
    timedOut,          // the host stopped answering
    connectionLost,    // the host or the network closed the connection
    wrongCode,         // the host refused the pairing code
    noActiveCode,      // the host shows no pairing code
    unpaired,          // the host no longer knows this device
    removedByHost,     // the host's user removed this device
    hostKeyMismatch,   // the host is not the one the link or the record names
    hostNotAuthentic,  // the host could not prove the code or its key
    refused,           // the host refused for another reason
    protocolError,     // the host sent what this client cannot read
};

/// One line for a person, e.g. "wrong pairing code".
std::string_view describe(ClientError error) noexcept;

/// The error a failed handshake step, or a refusal frame, stands for.
ClientError clientError(const security::HandshakeFailure& failure);

/// The protocol of one control connection as the client runs it: the
/// information request, pairing or authentication, then the sealed session
/// with its keep-alive. No I/O: bytes and times in, frames and results out.
class ControlClient {
  public:
    /// A ping at least this often keeps the host's 10 s idle limit away.
    static constexpr std::chrono::seconds pingInterval{3};
    /// With no frame received for this long the host is taken for gone.
    static constexpr std::chrono::seconds silenceLimit{10};
    /// A handshake not done by then has failed, however the host trickles.
    static constexpr std::chrono::seconds handshakeLimit{15};
    /// Addresses kept from each of the host's endpoint lists; a host cannot
    /// make us dial more.
    static constexpr std::size_t maxEndpoints = 8;
    /// Pings whose pong is still awaited; older ones are forgotten.
    static constexpr std::size_t maxPingsAwaited = 16;

    enum class Phase : std::uint8_t { fresh, waiting, established, closed };

    struct Established {
        security::SessionKeys keys;
        pairing::PairedHostRecord host;  // new at pairing, refreshed at authentication
        std::uint16_t udpPort = 0;
    };

    /// What one step asks of the connection, in this order: write `send`,
    /// report the rest, and close when `failed` is set or `done` is true.
    struct Output {
        std::vector<wire::Bytes> send;
        std::optional<wire::InfoReply> info;
        std::optional<Established> established;
        std::vector<std::uint64_t> pongs;  // the ts of each pong answering our ping
        std::optional<ClientError> failed;
        bool done = false;  // nothing more to do here (the info request answered)

        void clear();
    };

    static ControlClient forInfo();
    /// `expectedHostKey`: the link's key to pin; nothing for a typed code.
    static ControlClient forPairing(security::ClientDescriptor client, std::string code,
                                    std::optional<wire::Bytes> expectedHostKey);
    static ControlClient forAuthentication(security::ClientDescriptor client,
                                           pairing::PairedHostRecord host);

    ControlClient(ControlClient&&) noexcept;
    ControlClient& operator=(ControlClient&&) noexcept;
    ~ControlClient();

    /// The first frame, once the connection is open.
    void start(base::MonotonicTime now, Output& out);

    /// Bytes read from the connection.
    void received(wire::ByteView bytes, base::MonotonicTime now, base::WallTime wallNow,
                  Output& out);

    /// A ping when one is due; timedOut after silence. Call at least every
    /// second or so.
    void tick(base::MonotonicTime now, Output& out);

    /// A ping carrying `ts`, whose pong will be reported; unexpected(...) when
    /// not established.
    tl::expected<wire::Bytes, wire::WireError> ping(std::uint64_t ts);

    /// A sealed frame for the established session (text, clipboard,
    /// reliableInput); unexpected(...) when not established or the body is
    /// too large or not encodable. Pings go through ping().
    tl::expected<wire::Bytes, wire::WireError> seal(std::uint8_t type, wire::ByteView plaintext);
    template <wire::JSONBody T>
    tl::expected<wire::Bytes, wire::WireError> seal(std::uint8_t type, const T& body) {
        auto json = wire::JSONCodec::encode(body);
        if (!json) {
            return tl::unexpected(wire::WireError::malformed());
        }
        return seal(type, wire::ByteView(*json));
    }

    Phase phase() const noexcept;
    /// When the next tick has something to do.
    base::MonotonicTime nextDeadline() const noexcept;

  private:
    struct State;
    explicit ControlClient(std::unique_ptr<State> state);
    void handle(const wire::TCPFrame& frame, base::MonotonicTime now, base::WallTime wallNow,
                Output& out);
    void fail(ClientError error, Output& out);
    void sendPlain(std::uint8_t type, const tl::expected<wire::Bytes, security::HandshakeFailure>& body,
                   Output& out);

    std::unique_ptr<State> state_;
};

}  // namespace tarvel::client
