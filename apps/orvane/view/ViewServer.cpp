// The viewer's server: accepts browsers, runs the display clock, and hands
// pictures, status and answers to the sessions.

#include "ViewServer.h"

#include <boost/asio/ip/address.hpp>

#include "ViewPage.h"
#include "ViewSession.h"

namespace orvane::cli {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// Pages get the status this many times a second.
constexpr int kStatusPerSecond = 4;

}  // namespace

ViewServer::ViewServer(net::io_context& io, ViewSource& source, Options options)
    : io_(io), source_(source), options_(std::move(options)), acceptor_(io), timer_(io) {
    boost::system::error_code error;
    const net::ip::address address = net::ip::make_address(options_.bind, error);
    if (error) {
        throw UsageError("--bind " + options_.bind + ": not an IP address");
    }
    const tcp::endpoint endpoint(address, options_.port);
    acceptor_.open(endpoint.protocol(), error);
    if (!error) {
        acceptor_.set_option(net::socket_base::reuse_address(true), error);
        acceptor_.bind(endpoint, error);
    }
    if (!error) {
        acceptor_.listen(net::socket_base::max_listen_connections, error);
    }
    if (error) {
        throw Failure(options_.bind + ":" + std::to_string(options_.port) +
                      ": cannot listen there (" + error.message() + ")");
    }
}

ViewServer::~ViewServer() = default;

uint16_t ViewServer::port() const {
    return acceptor_.local_endpoint().port();
}

void ViewServer::start() {
    accept();
    timer_.expires_after(std::chrono::milliseconds(0));
    timer_.async_wait([this](boost::system::error_code error) {
        if (!error) {
            tick();
        }
    });
}

const std::string& ViewServer::page() const {
    static const std::string text = kViewPage;
    return text;
}

bool ViewServer::tokenAccepted(const std::string& target) const {
    if (options_.token.empty()) {
        return true;
    }
    const size_t at = target.find("token=");
    return at != std::string::npos &&
           target.compare(at + 6, std::string::npos, options_.token) == 0;
}

void ViewServer::joined(const std::shared_ptr<ViewSession>& session) {
    sessions_.push_back(session);
    source_.viewerJoined();
    // A paused recording sends no new pictures: a page that joins gets the last.
    for (const auto& [kind, picture] : lastPictures_) {
        session->sendPicture(picture);
    }
}

void ViewServer::accept() {
    acceptor_.async_accept([this](boost::system::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) {
            return;
        }
        if (!error) {
            std::make_shared<ViewSession>(std::move(socket), *this)->start();
        }
        accept();
    });
}

template <typename Send>
void ViewServer::forEachSession(Send&& send) {
    size_t kept = 0;
    for (auto& weak : sessions_) {
        if (auto session = weak.lock(); session && session->open()) {
            send(*session);
            sessions_[kept++] = weak;
        }
    }
    sessions_.resize(kept);
}

void ViewServer::tick() {
    const auto period = std::chrono::microseconds(1000000 / options_.picturesPerSecond);
    // The clock keeps its own pace: a late tick does not shift the next ones.
    timer_.expires_at(timer_.expiry() + period);
    std::vector<ViewPicture> pictures = source_.framePictures();
    if (std::optional<ViewPicture> picture = source_.picture(options_.windowUs)) {
        pictures.push_back(std::move(*picture));
    }
    for (ViewPicture& picture : pictures) {
        if (picture.message.empty()) {
            continue;
        }
        auto shared = std::make_shared<const std::string>(std::move(picture.message));
        lastPictures_[shared->front()] = shared;
        forEachSession([&](ViewSession& session) { session.sendPicture(shared); });
    }
    if (++ticks_ % (options_.picturesPerSecond / kStatusPerSecond) == 0) {
        Json status = source_.status();
        status["type"] = "status";
        status["window_us"] = options_.windowUs;
        status["viewers"] = sessions_.size();
        forEachSession([&](ViewSession& session) {
            status["skipped_pictures"] = session.skipped();
            session.sendText(status.dump(-1, ' ', false, Json::error_handler_t::replace), true);
        });
    }
    timer_.async_wait([this](boost::system::error_code error) {
        if (!error) {
            tick();
        }
    });
}

Json ViewServer::handle(const std::string& text, bool mayControl) {
    Json reply = {{"type", "reply"}};
    try {
        const Json request = Json::parse(text);
        if (!request.is_object() || !request.contains("op") || !request["op"].is_string()) {
            throw UsageError("a request is a JSON object with an \"op\"");
        }
        reply["op"] = request["op"];
        if (request.contains("id")) {
            reply["id"] = request["id"];
        }
        const std::string op = request["op"];
        if (op == "window") {
            const Json& us = request.value("us", Json());
            if (!us.is_number_unsigned() || us.get<uint64_t>() < 1 ||
                us.get<uint64_t>() > 10000000) {
                throw UsageError("window: \"us\" takes 1 to 10000000");
            }
            options_.windowUs = us.get<uint64_t>();
            reply["ok"] = true;
            return reply;
        }
        // Looking is for every page; changing the camera or the disk needs the token.
        if ((op == "set" || op == "record") && !mayControl) {
            throw UsageError(op + ": this page has no token; open the URL printed by orvane view");
        }
        reply.update(source_.control(request));
        reply["ok"] = true;
    } catch (const Json::exception& e) {
        reply["ok"] = false;
        reply["error"] = std::string("malformed request: ") + e.what();
    } catch (const std::exception& e) {
        reply["ok"] = false;
        reply["error"] = e.what();
    }
    return reply;
}

}  // namespace orvane::cli
