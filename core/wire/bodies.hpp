#pragma once

#include <cstdint>
#include <string>

#include <tl/expected.hpp>

#include "core/wire/json_codec.hpp"

namespace tarvel::wire {

/// Body of authOK: the text {}.
struct EmptyBody {
    JSON toJSON() const;
    static tl::expected<EmptyBody, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const EmptyBody&, const EmptyBody&) = default;
};

/// ping / pong: `ts` is the sender's and is echoed untouched.
struct PingBody {
    std::uint64_t ts = 0;

    JSON toJSON() const;
    static tl::expected<PingBody, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const PingBody&, const PingBody&) = default;
};

/// textUTF8: text to type on the host.
struct TextBody {
    std::string text;

    JSON toJSON() const;
    static tl::expected<TextBody, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const TextBody&, const TextBody&) = default;
};

/// clipboardSet: text for the clipboard; paste it at once when `autoPaste`.
struct ClipboardBody {
    std::string text;
    bool autoPaste = false;

    JSON toJSON() const;
    static tl::expected<ClipboardBody, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const ClipboardBody&, const ClipboardBody&) = default;
};

/// A machine-readable reason, lower case with underscores.
struct ReasonBody {
    std::string reason;

    JSON toJSON() const;
    static tl::expected<ReasonBody, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const ReasonBody&, const ReasonBody&) = default;
};

/// infoReply: host facts given before pairing.
struct InfoReply {
    std::int64_t v = 1;  // protocol version
    std::string hostId;
    std::string name;
    std::string os;
    std::string fp;  // fingerprint of the host's Ed25519 key
    std::int64_t udpPort = 0;

    JSON toJSON() const;
    static tl::expected<InfoReply, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const InfoReply&, const InfoReply&) = default;
};

/// Reserved status record; part of the shared vocabulary, never sent by the host.
struct HostStatus {
    std::string code;
    std::string message;

    /// Every code but "sas_ok" is an error, the empty one included.
    bool isError() const { return code != "sas_ok"; }

    JSON toJSON() const;
    static tl::expected<HostStatus, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const HostStatus&, const HostStatus&) = default;
};

}  // namespace tarvel::wire
