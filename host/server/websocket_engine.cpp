#include "host/server/websocket_engine.hpp"

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <unistd.h>

#include <asio/post.hpp>

namespace tarvel::server::websocket {

namespace {

using Server = websocketpp::server<websocketpp::config::asio>;
using ConnectionPtr = Server::connection_ptr;

Request requestOf(Server::connection_type& connection) {
    const auto& request = connection.get_request();
    return Request{request.get_method(),           request.get_uri(),
                   request.get_header("If-None-Match"), request.get_header("Accept-Encoding"),
                   request.get_header("Origin"),    request.get_header("Host")};
}

class LibraryConnection final : public Connection {
  public:
    explicit LibraryConnection(ConnectionPtr connection) : connection_(std::move(connection)) {}

    bool send(const std::uint8_t* data, std::size_t size) override {
        return !connection_->send(data, size, websocketpp::frame::opcode::binary);
    }
    std::size_t bufferedAmount() const override { return connection_->get_buffered_amount(); }
    void close(std::uint16_t code, const std::string& reason) override {
        std::error_code ignored;
        const auto state = connection_->get_state();
        if (state == websocketpp::session::state::open) {
            connection_->close(code, reason, ignored);
        } else if (state == websocketpp::session::state::connecting) {
            connection_->terminate(ignored);
        }
    }
    bool isOpen() const override {
        return connection_->get_state() == websocketpp::session::state::open;
    }

  private:
    ConnectionPtr connection_;
};

}  // namespace

struct Engine::Impl {
    Server server;
};

Engine::Engine(asio::io_context& context) : impl_(std::make_shared<Impl>()) {
    impl_->server.clear_access_channels(websocketpp::log::alevel::all);
    impl_->server.clear_error_channels(websocketpp::log::elevel::all);
    impl_->server.set_user_agent("Tarvel");
    impl_->server.init_asio(&context);
}

Engine::~Engine() = default;

std::shared_ptr<Connection> Engine::adopt(int descriptor, bool v6, const Options& options,
                                          Events events) {
    ConnectionPtr connection = impl_->server.get_connection();
    std::error_code error;
    if (connection) {
        connection->get_raw_socket().assign(v6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(),
                                            descriptor, error);
    }
    if (!connection || error) {
        ::close(descriptor);
        return nullptr;
    }
    connection->set_open_handshake_timeout(options.openTimeoutMs);
    connection->set_close_handshake_timeout(options.closeTimeoutMs);
    connection->set_max_message_size(options.maxMessageSize);
    connection->set_max_http_body_size(options.maxRequestBody);

    // The handlers live in the connection; they reach it by a raw pointer,
    // which a handler of its own cannot outlive.
    auto shared = std::make_shared<Events>(std::move(events));
    auto why = std::make_shared<std::string>();
    Server::connection_type* raw = connection.get();
    connection->set_http_handler([raw, shared](websocketpp::connection_hdl) {
        Response response = shared->onHttp ? shared->onHttp(requestOf(*raw)) : Response{404, {}, {}};
        raw->set_status(static_cast<websocketpp::http::status_code::value>(response.status));
        for (const auto& [name, value] : response.headers) {
            raw->replace_header(name, value);
        }
        raw->set_body(response.body);
    });
    connection->set_validate_handler([raw, shared](websocketpp::connection_hdl) {
        if (shared->onUpgrade && shared->onUpgrade(requestOf(*raw))) {
            return true;
        }
        raw->set_status(websocketpp::http::status_code::forbidden);
        return false;
    });
    // The control protocol has pings of its own; answering the socket's would
    // let a peer that never reads grow the host's write queue without bound.
    connection->set_ping_handler([](websocketpp::connection_hdl, std::string) { return false; });
    connection->set_open_handler([shared](websocketpp::connection_hdl) {
        if (shared->onOpen) {
            shared->onOpen();
        }
    });
    connection->set_message_handler(
        [shared](websocketpp::connection_hdl, Server::message_ptr message) {
            if (shared->onMessage) {
                const auto& payload = message->get_payload();
                shared->onMessage(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                  payload.size(),
                                  message->get_opcode() == websocketpp::frame::opcode::binary);
            }
        });
    connection->set_close_handler([raw, why](websocketpp::connection_hdl) {
        if (why->empty()) {
            *why = raw->get_local_close_code() == websocketpp::close::status::message_too_big
                       ? "sent a message that is too large"
                       : "closed by the device";
        }
    });
    connection->set_fail_handler([raw, why](websocketpp::connection_hdl) {
        if (why->empty()) {
            *why = "failed: " + raw->get_ec().message();
        }
    });
    // Replaces the library's own, which calls into the server by a raw
    // pointer: a connection may outlast the engine while its socket winds down.
    connection->set_termination_handler([impl = impl_, shared, why](ConnectionPtr ended) {
        auto gone = std::move(shared->onGone);
        *shared = Events{};  // what the handlers captured goes with the connection
        if (gone) {
            // The library may end a connection from within close(): the
            // caller hears of it later, never in the middle of its own call.
            asio::post(ended->get_raw_socket().get_executor(),
                       [gone = std::move(gone), why = why->empty() ? std::string("closed") : *why] {
                           gone(why);
                       });
        }
    });
    connection->start();
    return std::make_shared<LibraryConnection>(std::move(connection));
}

}  // namespace tarvel::server::websocket
