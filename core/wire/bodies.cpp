#include "core/wire/bodies.hpp"

namespace tarvel::wire {

JSON EmptyBody::toJSON() const { return JSON::object(); }

tl::expected<EmptyBody, JSONError> EmptyBody::fromJSON(const JSON&) { return EmptyBody{}; }

JSON PingBody::toJSON() const { return JSON{{"ts", ts}}; }

tl::expected<PingBody, JSONError> PingBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    return f.finish(PingBody{f.uint64("ts")});
}

JSON TextBody::toJSON() const { return JSON{{"text", text}}; }

tl::expected<TextBody, JSONError> TextBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    return f.finish(TextBody{f.string("text")});
}

JSON ClipboardBody::toJSON() const { return JSON{{"autoPaste", autoPaste}, {"text", text}}; }

tl::expected<ClipboardBody, JSONError> ClipboardBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    ClipboardBody body;
    body.autoPaste = f.boolean("autoPaste");
    body.text = f.string("text");
    return f.finish(std::move(body));
}

JSON ReasonBody::toJSON() const { return JSON{{"reason", reason}}; }

tl::expected<ReasonBody, JSONError> ReasonBody::fromJSON(const JSON& json) {
    JSONFields f(json);
    return f.finish(ReasonBody{f.string("reason")});
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
    return f.finish(std::move(reply));
}

JSON HostStatus::toJSON() const { return JSON{{"code", code}, {"message", message}}; }

tl::expected<HostStatus, JSONError> HostStatus::fromJSON(const JSON& json) {
    JSONFields f(json);
    HostStatus status;
    status.code = f.string("code");
    status.message = f.string("message");
    return f.finish(std::move(status));
}

}  // namespace tarvel::wire
