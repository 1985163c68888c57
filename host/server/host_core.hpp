#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "core/base/clock.hpp"
#include "core/discovery/network_filter.hpp"
#include "core/gamepad/pad_state.hpp"
#include "core/pairing/paired_store.hpp"
#include "core/pairing/pairing_payload.hpp"
#include "core/security/host_handshakes.hpp"
#include "core/security/local_identity.hpp"
#include "core/security/pairing_code_state.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/input_packet.hpp"
#include "core/wire/secure_channel.hpp"
#include "core/wire/sequence.hpp"
#include "core/wire/udp_codec.hpp"

namespace tarvel::server {

/// Every timer of the host, so tests can shorten them.
struct Timings {
    using Duration = std::chrono::nanoseconds;
    Duration supervision = std::chrono::milliseconds{250};  // watchdog tick
    Duration refresh = std::chrono::seconds{10};            // network refresh and re-advertisement
    Duration restartDelay = std::chrono::seconds{2};        // after a TCP listener failure
    Duration establishedIdle = std::chrono::seconds{10};
    Duration handshakeIdle = std::chrono::seconds{15};  // fresh, pairing and auth phases
    Duration udpPeerIdle = std::chrono::seconds{120};
    /// How often a muted flow still gets its keys tried: a phone whose port
    /// an attacker fouled first is heard within this.
    Duration mutedFlowRetry = std::chrono::milliseconds{250};
};

/// Bounds on what unauthenticated peers can make the host hold.
struct Limits {
    /// Connections still in their handshake; a new one beyond this evicts the
    /// one that has waited longest, so silent connections cannot lock phones out.
    std::size_t maxPendingSessions = 32;
    /// Handshaking connections one source address may hold; its oldest makes room.
    std::size_t maxPendingPerAddress = 8;
    /// UDP flows; a new one beyond this evicts a flow that never carried input
    /// before one that did, each the one idle longest.
    std::size_t maxUdpPeers = 1024;
    /// Datagrams a flow that never carried input may fail to open before the
    /// host tries keys on it only once per Timings::mutedFlowRetry (and again
    /// freely once another session is established): a flood then costs a
    /// lookup per datagram, not a decryption per session.
    std::uint32_t unopenedFlowAttempts = 4;
};

/// The shell's names for a TCP connection and a UDP flow. Never reused.
using ConnectionId = std::uint64_t;
using FlowId = std::uint64_t;

/// The two clocks, read once by the shell per event.
struct Now {
    base::MonotonicTime mono;
    base::WallTime wall;
};

/// What the host states about itself; refreshed by the shell, cached here so
/// no handshake reads files or interfaces on the server queue.
struct HostContext {
    std::string hostName = "Mac";
    std::string deviceKind = "desktop";
    std::vector<std::string> lanEndpoints;
    std::vector<std::string> tailscaleEndpoints;
    std::uint16_t port = 0;
};

/// What the pairing window shows.
struct PairingInfo {
    std::string code;
    pairing::PairingPayload payload;
    std::optional<std::string> lan;
    std::optional<std::string> ts;
};

/// How a pairing code stopped being usable.
enum class PairingCodeEnd : std::uint8_t {
    used,       // a device paired with it and was saved
    exhausted,  // five wrong confirmations
    notSaved,   // a device paired but its record could not be written
};

/// Work for the injector, in the order it must run on the inject queue.
namespace inject {
/// Perform one accepted packet (stamping the packet time first). For a
/// movement the shell reports `HostCore::moveInjected` once it has run.
struct Packet {
    wire::InputPacket packet;
    std::uint64_t recvAt = 0;  // latency clock at arrival, 0 when unknown
    bool isMove = false;
};
struct ReleaseAll {};
struct StampPacketTime {};
struct Text {
    std::string text;
};
/// Set the clipboard; then, on the inject queue, stamp and paste when asked.
struct Clipboard {
    std::string text;
    bool autoPaste = false;
};
struct PadMappingChanged {};
struct SuperviseTick {};
}  // namespace inject

/// Changes to the paired-device store; the shell writes them off the server queue.
namespace store {
/// A newly paired client: the shell persists it and reports `pairingSaved`.
struct SaveClient {
    ConnectionId connection = 0;
    pairing::PairedClientRecord record;
};
struct TouchClient {
    std::string clientId;
    base::WallTime when;
    std::string remoteIp;
};
struct RemoveClient {
    std::string clientId;
};
}  // namespace store

/// Bytes for a connection; with `thenClose` the shell closes it once they are written.
struct Send {
    ConnectionId connection = 0;
    wire::Bytes bytes;
    bool thenClose = false;
};
/// Close a connection now; nothing more is read from it.
struct Close {
    ConnectionId connection = 0;
};
/// One datagram back to a flow, fire and forget.
struct SendDatagram {
    FlowId flow = 0;
    wire::UDPCodec::Ack bytes{};
};
/// Forget a flow: refused, evicted or idle.
struct DropFlow {
    FlowId flow = 0;
};
/// Whether somebody controls the computer now (the process activity follows it).
struct ActivityChanged {
    bool controlled = false;
};
/// Something the user interface shows changed.
struct Notify {};
struct PairingCompleted {
    std::string deviceName;
};
struct PairingCodeEnded {
    PairingCodeEnd how = PairingCodeEnd::used;
};

using Action = std::variant<Send, Close, SendDatagram, DropFlow, inject::Packet, inject::ReleaseAll,
                            inject::StampPacketTime, inject::Text, inject::Clipboard,
                            inject::PadMappingChanged, inject::SuperviseTick, store::SaveClient,
                            store::TouchClient, store::RemoveClient, ActivityChanged, Notify,
                            PairingCompleted, PairingCodeEnded>;

/// Receives the core's actions in order. The shell carries each one out (or
/// queues it) and must not call back into the core from inside `perform`.
class ActionSink {
  public:
    virtual ~ActionSink() = default;
    virtual void perform(Action&& action) = 0;
};

/// The host's protocol rules without I/O: control-session phases and
/// handshakes, the datagram path (replay windows, ordering gates, takeover,
/// pointer coalescing), idle limits, admission bounds and stop. Fed events
/// with the time; answers through an ActionSink. Single-threaded: the shell
/// calls it only from the server queue.
class HostCore {
  public:
    enum class Phase : std::uint8_t { fresh, pairing, saving, auth, established };

    HostCore(security::LocalIdentity identity, std::shared_ptr<pairing::PairedStore> store,
             Timings timings = {}, Limits limits = {});

    HostCore(const HostCore&) = delete;
    HostCore& operator=(const HostCore&) = delete;

    const security::LocalIdentity& identity() const noexcept { return identity_; }
    const HostContext& context() const noexcept { return context_; }
    void setContext(HostContext context) { context_ = std::move(context); }

    // Connections.

    /// A TCP connection was accepted. Refused (closed before any read) when
    /// the address filter says no; may evict the longest-waiting handshake.
    void connectionOpened(ConnectionId id, const std::optional<discovery::NetworkEndpoint>& peer,
                          const Now& now, ActionSink& out);
    /// Bytes read from a connection; frames are handled until one closes it.
    void bytesReceived(ConnectionId id, wire::ByteView bytes, const Now& now, ActionSink& out);
    /// The peer closed, the read failed or the shell gave up on the connection.
    void connectionEnded(ConnectionId id, std::string_view why, const Now& now, ActionSink& out);
    /// The shell wrote (or failed to write) a newly paired client's record.
    void pairingSaved(ConnectionId id, bool saved, std::string_view why, const Now& now,
                      ActionSink& out);

    // Datagrams.

    /// A datagram from a flow the core has not seen; refused flows get DropFlow.
    void flowOpened(FlowId id, const discovery::NetworkEndpoint& peer, const Now& now,
                    ActionSink& out);
    /// One datagram of a known flow; `recvAt` is the latency clock or 0.
    void datagramReceived(FlowId id, wire::ByteView datagram, std::uint64_t recvAt, const Now& now,
                          ActionSink& out);
    /// The flow's socket is gone.
    void flowEnded(FlowId id);
    /// Whether the core tracks the flow (it may have expired or been evicted
    /// while the socket's side still knew it).
    bool knowsFlow(FlowId id) const { return flows_.contains(id); }
    /// The movement last handed out as inject::Packet has been performed.
    void moveInjected(ActionSink& out);

    // Supervision.

    /// The supervision tick: dead-man check, idle limits, idle flows.
    void tick(const Now& now, ActionSink& out);
    /// Whether the supervision tick has anything to watch: a session, or
    /// somebody in control. Idle flows alone wait for the next refresh.
    bool needsSupervision() const noexcept;

    // The user's operations.

    /// Replaces any code with a fresh one; the pairing window's contents.
    PairingInfo beginPairing();
    void endPairing();
    /// Withdraws `code` only while it is the one on display: whoever showed a
    /// code that was replaced since must not withdraw its successor.
    void endPairing(std::string_view code);
    /// Whether `code` can still pair a device.
    bool isPairingCodeLive(std::string_view code) const {
        return pairingCode_ && pairingCode_->code() == code && pairingCode_->isActive();
    }
    /// Forgets a client; its sessions get unpairedByHost and are closed.
    void removeClient(const std::string& clientId, const Now& now, ActionSink& out);
    void padMappingChanged(ActionSink& out);

    /// Releases everything, closes every connection and flow. Final: every
    /// later event is ignored.
    void stop(const Now& now, ActionSink& out);
    bool stopped() const noexcept { return stopped_; }

    // What the user interface shows.
    std::set<std::string> onlineClientIds() const;
    std::optional<std::string> activeDeviceName() const;
    bool isControlled() const noexcept { return active_ != nullptr; }
    std::size_t sessionCount() const noexcept { return sessions_.size(); }
    std::size_t flowCount() const noexcept { return flows_.size(); }
    /// The phase of a connection, or nothing when it is closed or unknown.
    std::optional<Phase> phase(ConnectionId id) const;

  private:
    struct Session {
        ConnectionId id = 0;
        Phase phase = Phase::fresh;
        wire::TCPFrameDecoder decoder;
        std::optional<security::HostPairingHandshake> pairing;
        std::optional<security::HostAuthHandshake> auth;
        std::optional<security::SessionKeys> pendingKeys;  // while saving
        wire::Bytes completeBody;                          // while saving
        std::shared_ptr<security::PairingCodeState> code;  // the code it used, while saving
        std::unique_ptr<wire::SecureTCPChannel> channel;
        std::optional<wire::SymmetricKey> udpKey;
        std::optional<std::string> clientId;
        std::string deviceName;
        std::string remoteIp;
        wire::SequenceWindow window;
        wire::MoveSequenceGate moveGate;
        gamepad::PadSequenceGates padGates;
        base::MonotonicTime openedAt;
        base::MonotonicTime lastActivity;
    };
    struct Flow {
        base::MonotonicTime lastActivity;
        base::MonotonicTime lastAttempt;  // the last datagram keys were tried on
        std::uint32_t failures = 0;       // datagrams no key opened, while never opened
        bool opened = false;              // some datagram of it carried fresh input
    };
    struct PendingMove {
        float dx = 0;
        float dy = 0;
        wire::ModifierMask mask;
        std::uint64_t seq = 0;
    };

    Session* find(ConnectionId id);
    std::string describe(const Session& session) const;
    security::HostDescriptor descriptor() const;
    void evictForNewConnection(const std::string& address, ActionSink& out, const Now& now);

    void handle(Session& session, const wire::TCPFrame& frame, const Now& now, ActionSink& out);
    void replyInfo(Session& session, const Now& now, ActionSink& out);
    void beginPair(Session& session, const wire::TCPFrame& frame, const Now& now, ActionSink& out);
    void finishPair(Session& session, const wire::TCPFrame& frame, const Now& now, ActionSink& out);
    void beginAuth(Session& session, const wire::TCPFrame& frame, const Now& now, ActionSink& out);
    void finishAuth(Session& session, const wire::TCPFrame& frame, const Now& now, ActionSink& out);
    void establish(Session& session, const security::SessionKeys& keys, const Now& now,
                   ActionSink& out);
    void handleEstablished(Session& session, const wire::TCPFrame& frame, const Now& now,
                           ActionSink& out);
    void reject(Session& session, std::uint8_t type, const security::HandshakeError& error,
                const Now& now, ActionSink& out);
    void sendPlain(Session& session, std::uint8_t type, wire::ByteView body, bool thenClose,
                   const Now& now, ActionSink& out);
    template <class Body>
    void sendSealed(Session& session, std::uint8_t type, const Body& body, ActionSink& out);
    /// Ends a session: nothing of it is handled again. `announce` false when
    /// the shell already knows the connection is gone.
    void close(Session& session, std::string_view why, const Now& now, ActionSink& out,
               bool announce = true);
    void reportCodeEnd(PairingCodeEnd how, const std::shared_ptr<security::PairingCodeState>& code,
                       ActionSink& out);
    /// A line a peer can cause, rate-limited.
    void peerLog(const Now& now, const std::string& line);

    enum class Admission : std::uint8_t { replayed, stale, performed };
    /// The one path of an input packet, by datagram or by reliableInput.
    Admission admit(Session& session, const wire::InputPacket& packet, std::uint64_t recvAt,
                    const Now& now, ActionSink& out);
    /// Makes room for one more flow: drops an eighth of the bound at once,
    /// flows that never carried input first, each group idle longest first,
    /// so a flood of new ports costs a scan per many flows, not per datagram.
    void evictFlows(ActionSink& out);
    void takeControl(Session& session, ActionSink& out);
    void injectPacket(const wire::InputPacket& packet, std::uint64_t recvAt, ActionSink& out);
    void flushMove(ActionSink& out);
    /// Queues injector work after any pending movement, so it lands where the pointer went.
    void toInjector(Action&& job, ActionSink& out);
    void setActive(Session* session, ActionSink& out);

    security::LocalIdentity identity_;
    std::shared_ptr<pairing::PairedStore> store_;
    Timings timings_;
    Limits limits_;
    HostContext context_;

    std::map<ConnectionId, std::unique_ptr<Session>> sessions_;
    std::map<FlowId, Flow> flows_;
    std::vector<std::pair<std::tuple<bool, base::MonotonicTime>, FlowId>> evictionScratch_;
    Session* active_ = nullptr;
    bool activityHeld_ = false;
    std::shared_ptr<security::PairingCodeState> pairingCode_;    // usable now
    std::shared_ptr<security::PairingCodeState> displayedCode_;  // what the user sees
    bool codeEndReported_ = false;
    base::MonotonicTime peerLogWindowStart_{};
    int peerLogCount_ = 0;
    int peerLogSuppressed_ = 0;
    std::optional<PendingMove> pendingMove_;
    bool moveInFlight_ = false;
    bool stopped_ = false;
};

}  // namespace tarvel::server
