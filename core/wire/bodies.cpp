#include "core/wire/bodies.hpp"

namespace tarvel::wire {

namespace {

template <class T>
tl::expected<T, JSONError> finish(const JSONFields& fields, T&& value) {
    if (auto result = fields.result(); !result) {
        return tl::unexpected(result.error());
    }
    return std::forward<T>(value);
}

}  // namespace

JSON EmptyBody::toJSON() const { return JSON::object(); }

tl::expected<EmptyBody, JSONError> EmptyBody::fromJSON(const JSON&) { return EmptyBody{}; }

JSON PingBody::toJSON() const { return JSON{{"ts", ts}}; }

tl::expected<PingBody, JSONError> PingBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    return finish(f, PingBody{f.uint64("ts")});
}

JSON TextBody::toJSON() const { return JSON{{"text", text}}; }

tl::expected<TextBody, JSONError> TextBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    return finish(f, TextBody{f.string("text")});
}

JSON ClipboardBody::toJSON() const { return JSON{{"autoPaste", autoPaste}, {"text", text}}; }

tl::expected<ClipboardBody, JSONError> ClipboardBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    ClipboardBody body;
    body.autoPaste = f.boolean("autoPaste");
    body.text = f.string("text");
    return finish(f, std::move(body));
}

JSON ReasonBody::toJSON() const { return JSON{{"reason", reason}}; }

tl::expected<ReasonBody, JSONError> ReasonBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    return finish(f, ReasonBody{f.string("reason")});
}

JSON InfoReply::toJSON() const {
    return JSON{{"fp", fp}, {"hostId", hostId}, {"name", name},
                {"os", os}, {"udpPort", udpPort}, {"v", v}};
}

tl::expected<InfoReply, JSONError> InfoReply::fromJSON(const JSON& json) {
    JSONFields f(json);
    InfoReply reply;
    reply.fp = f.string("fp");
    reply.hostId = f.string("hostId");
    reply.name = f.string("name");
    reply.os = f.string("os");
    reply.udpPort = f.integer("udpPort");
    reply.v = f.integer("v");
    return finish(f, std::move(reply));
}

JSON HostStatus::toJSON() const { return JSON{{"code", code}, {"message", message}}; }

tl::expected<HostStatus, JSONError> HostStatus::fromJSON(const JSON& json) {
    JSONFields f(json);
    HostStatus status;
    status.code = f.string("code");
    status.message = f.string("message");
    return finish(f, std::move(status));
}

}  // namespace tarvel::wire
