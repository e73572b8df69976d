#pragma once

// The viewer's HTTP and WebSocket server (Boost.Beast over Asio): one thread
// serves the page, the pictures and the controls to every connected browser.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ViewSource.h"

namespace orvane::cli {

class ViewSession;

class ViewServer {
  public:
    struct Options {
        std::string bind = "127.0.0.1";
        uint16_t port = 8080;  // 0: any free port
        // Required in the URL before a page may change tools or record; empty
        // when only this machine can connect.
        std::string token;
        uint64_t windowUs = 33000;
        int picturesPerSecond = 30;
    };

    // Binds at once: throws Failure when the address or port cannot be had.
    ViewServer(boost::asio::io_context& io, ViewSource& source, Options options);
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // The port bound (the one the system chose for port 0).
    uint16_t port() const;
    // Starts accepting and the display clock; the io_context runs them.
    void start();

    // For the sessions, on the server's thread.
    const std::string& page() const;
    bool tokenAccepted(const std::string& target) const;
    void joined(const std::shared_ptr<ViewSession>& session);
    // The reply to a request of a session.
    Json handle(const std::string& text, bool mayControl);
    Json describe() { return source_.describe(); }

  private:
    void accept();
    void tick();
    template <typename Send>
    void forEachSession(Send&& send);

    boost::asio::io_context& io_;
    ViewSource& source_;
    Options options_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer timer_;
    std::vector<std::weak_ptr<ViewSession>> sessions_;
    std::map<char, std::shared_ptr<const std::string>> lastPictures_;  // by kind
    uint64_t ticks_ = 0;
};

}  // namespace orvane::cli
