// A browser connection: the page over HTTP, then pictures over a WebSocket.

#include "ViewSession.h"

#include "ViewServer.h"

namespace orvane::cli {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr uint64_t kRequestBodyLimit = 8 * 1024;
constexpr size_t kMessageLimit = 64 * 1024;
constexpr size_t kTextWaiting = 16;
constexpr auto kRequestTimeout = std::chrono::seconds(30);

}  // namespace

ViewSession::ViewSession(boost::asio::ip::tcp::socket socket, ViewServer& server)
    : server_(server), stream_(std::move(socket)) {}

void ViewSession::start() {
    readRequest();
}

void ViewSession::readRequest() {
    parser_.emplace();
    parser_->body_limit(kRequestBodyLimit);
    stream_.expires_after(kRequestTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, size_t) {
                         if (error) {
                             beast::error_code ignored;
                             self->stream_.socket().shutdown(
                                 boost::asio::ip::tcp::socket::shutdown_send, ignored);
                             return;
                         }
                         self->answer();
                     });
}

void ViewSession::answer() {
    const Request& request = parser_->get();
    const std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    if (websocket::is_upgrade(request) && path == "/ws") {
        upgrade();
        return;
    }
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(request.version());
    response->keep_alive(request.keep_alive());
    response->set(http::field::server, "orvane view");
    response->set(http::field::cache_control, "no-store");
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        response->result(http::status::method_not_allowed);
        response->set(http::field::content_type, "text/plain");
        response->body() = "only GET is served here\n";
    } else if (path == "/" || path == "/index.html") {
        response->result(http::status::ok);
        response->set(http::field::content_type, "text/html; charset=utf-8");
        response->body() = server_.page();
    } else {
        response->result(http::status::not_found);
        response->set(http::field::content_type, "text/plain");
        response->body() = "no such page: " + path + " (the viewer is at /)\n";
    }
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code error, size_t) {
                          if (!error && response->keep_alive()) {
                              self->readRequest();
                          }
                      });
}

void ViewSession::upgrade() {
    Request request = parser_->release();
    mayControl_ = server_.tokenAccepted(std::string(request.target()));
    stream_.expires_never();
    websocket_.emplace(std::move(stream_));
    websocket_->read_message_max(kMessageLimit);
    websocket_->set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    websocket_->async_accept(request, [self = shared_from_this()](beast::error_code error) {
        if (error) {
            return;
        }
        Json hello = self->server_.describe();
        hello["type"] = "hello";
        hello["may_control"] = self->mayControl_;
        self->sendText(hello.dump(-1, ' ', false, Json::error_handler_t::replace), false);
        self->server_.joined(self);
        self->readMessage();
    });
}

void ViewSession::readMessage() {
    websocket_->async_read(buffer_, [self = shared_from_this()](beast::error_code error, size_t) {
        if (error) {
            self->close();
            return;
        }
        std::string text = beast::buffers_to_string(self->buffer_.data());
        self->buffer_.consume(self->buffer_.size());
        Json reply = self->server_.handle(text, self->mayControl_);
        self->sendText(reply.dump(-1, ' ', false, Json::error_handler_t::replace), false);
        self->readMessage();
    });
}

void ViewSession::sendPicture(std::shared_ptr<const std::string> picture) {
    if (!open()) {
        return;
    }
    if (picture->empty()) {
        return;
    }
    auto& waiting = pendingPictures_[picture->front()];
    if (waiting) {
        ++skipped_;
    }
    waiting = std::move(picture);
    writeNext();
}

void ViewSession::sendText(std::string text, bool status) {
    if (!open()) {
        return;
    }
    if (pendingText_.size() >= kTextWaiting) {
        // The oldest status makes room; answers to requests are kept.
        for (auto it = pendingText_.begin(); it != pendingText_.end(); ++it) {
            if (it->second) {
                pendingText_.erase(it);
                break;
            }
        }
        if (pendingText_.size() >= kTextWaiting && status) {
            return;
        }
    }
    pendingText_.emplace_back(std::move(text), status);
    writeNext();
}

void ViewSession::writeNext() {
    if (writing_ || !open()) {
        return;
    }
    auto done = [self = shared_from_this()](beast::error_code error, size_t) {
        self->writing_ = false;
        self->writingPicture_.reset();
        if (error) {
            self->close();
            return;
        }
        self->writeNext();
    };
    if (!pendingText_.empty()) {
        writingText_ = std::move(pendingText_.front().first);
        pendingText_.pop_front();
        writing_ = true;
        websocket_->text(true);
        websocket_->async_write(boost::asio::buffer(writingText_), std::move(done));
        return;
    }
    // Kinds take turns, so that a busy event picture never starves the others.
    auto next = pendingPictures_.upper_bound(lastKind_);
    for (size_t n = 0; n < pendingPictures_.size(); ++n, ++next) {
        if (next == pendingPictures_.end()) {
            next = pendingPictures_.begin();
        }
        if (!next->second) {
            continue;
        }
        lastKind_ = next->first;
        writingPicture_ = std::move(next->second);
        writing_ = true;
        websocket_->binary(true);
        websocket_->async_write(boost::asio::buffer(*writingPicture_), std::move(done));
        return;
    }
}

void ViewSession::close() {
    closed_ = true;
    pendingPictures_.clear();
    pendingText_.clear();
}

}  // namespace orvane::cli
