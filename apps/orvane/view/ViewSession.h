#pragma once

// One browser connection: HTTP requests (the page), then, once upgraded, the
// WebSocket that carries pictures and status to the page and its requests
// back. Runs on the server's thread only.
//
// What waits to be sent is bounded: one picture of each kind (a newer one
// replaces it, and the replaced one is counted as skipped) and a few text
// messages (the oldest status goes first). A slow or gone browser thus costs the server nothing but
// skipped pictures, and never holds up the camera.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace orvane::cli {

class ViewServer;

class ViewSession : public std::enable_shared_from_this<ViewSession> {
  public:
    ViewSession(boost::asio::ip::tcp::socket socket, ViewServer& server);
    void start();

    // Queues a picture; one of its kind waiting is replaced (and counted as
    // skipped).
    void sendPicture(std::shared_ptr<const std::string> picture);
    // Queues a text message; `status` ones may be dropped for newer ones.
    void sendText(std::string text, bool status);
    uint64_t skipped() const { return skipped_; }
    bool open() const { return websocket_.has_value() && !closed_; }

  private:
    void readRequest();
    void answer();
    void upgrade();
    void readMessage();
    void writeNext();
    void close();

    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    ViewServer& server_;
    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    std::optional<boost::beast::websocket::stream<boost::beast::tcp_stream>> websocket_;
    bool mayControl_ = false;
    bool closed_ = false;
    bool writing_ = false;
    std::map<char, std::shared_ptr<const std::string>> pendingPictures_;  // by kind
    char lastKind_ = 0;
    std::deque<std::pair<std::string, bool>> pendingText_;
    std::shared_ptr<const std::string> writingPicture_;
    std::string writingText_;
    uint64_t skipped_ = 0;
};

}  // namespace orvane::cli
