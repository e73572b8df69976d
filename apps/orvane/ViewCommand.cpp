// view: a live camera or a recording in the web browser.

#include <boost/asio/io_context.hpp>
#include <cstdio>
#include <random>
#include <thread>

#include "Commands.h"
#include "Output.h"
#include "view/ViewCamera.h"
#include "view/ViewRecording.h"
#include "view/ViewServer.h"
#include "view/ViewVideo.h"

namespace orvane::cli {

namespace {

struct ViewOptions {
    std::string source, bind = "127.0.0.1", recordDir = ".";
    uint16_t port = 8080;
    bool open = false;
};

bool loopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address == "localhost";
}

std::string randomToken() {
    std::random_device random;
    char text[33];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(text + 8 * i, 9, "%08x", static_cast<unsigned>(random()));
    }
    return text;
}

void runView(const ViewOptions& options) {
    std::error_code error;
    const std::filesystem::path recordDir = std::filesystem::canonical(options.recordDir, error);
    if (error || !std::filesystem::is_directory(recordDir)) {
        throw UsageError("--record-dir " + options.recordDir + ": not a directory");
    }
    std::unique_ptr<ViewSource> source;
    if (endsWith(options.source, ".raw")) {
        source = std::make_unique<ViewRecording>(options.source, false);
    } else if (endsWith(options.source, ".mp4")) {
        source = std::make_unique<ViewVideo>(options.source);
    } else {
        source = std::make_unique<ViewCamera>(options.source, recordDir);
    }
    ViewServer::Options serverOptions;
    serverOptions.bind = options.bind;
    serverOptions.port = options.port;
    // Anyone who can reach a public address could change the camera or fill
    // the disk: there the page needs the token printed here.
    if (!loopback(options.bind)) {
        serverOptions.token = randomToken();
    }
    boost::asio::io_context io;
    ViewServer server(io, *source, serverOptions);
    server.start();
    const std::string host =
        options.bind == "0.0.0.0" || options.bind == "::" ? "localhost" : options.bind;
    const std::string url = "http://" + host + ":" + std::to_string(server.port()) + "/" +
                            (serverOptions.token.empty() ? "" : "?token=" + serverOptions.token);
    std::printf("viewing %s at %s\n",
                options.source.empty() ? "the first camera" : options.source.c_str(), url.c_str());
    std::printf(
        "from another machine: ssh -L %u:localhost:%u THIS-HOST, then open "
        "http://localhost:%u/; Ctrl-C stops\n",
        server.port(), server.port(), server.port());
    std::fflush(stdout);
    StopSignal signal;
    std::thread serving([&io] { io.run(); });
    if (options.open) {
        const std::string command = "xdg-open '" + url + "' >/dev/null 2>&1 &";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "orvane view: could not open a browser; open %s\n", url.c_str());
        }
    }
    while (!signal.wait(1000)) {
    }
    io.stop();
    serving.join();
    source->finish();
    std::printf("stopped by Ctrl-C; the viewer is closed\n");
}

}  // namespace

void addViewCommand(CLI::App& app) {
    auto options = std::make_shared<ViewOptions>();
    CLI::App* view = app.add_subcommand(
        "view", "Show a camera or a recording in the web browser (live, with its tools)");
    view->add_option(
        "SOURCE", options->source,
        "A camera serial (none: the first camera found), a .raw recording or an .mp4 video");
    view->add_option("--port", options->port, "The port to serve on (0: any free one)")
        ->default_str("8080");
    view->add_option("--bind", options->bind,
                     "The address to serve on; another than 127.0.0.1 needs the printed token "
                     "to change tools or record")
        ->default_str("127.0.0.1");
    view->add_option("--record-dir", options->recordDir,
                     "Where recordings started from the page go")
        ->default_str(".");
    view->add_flag("--open", options->open, "Open the page in the default browser");
    view->footer(
        "Example:\n  orvane view recording.raw\n  orvane view video.mp4\n  orvane view SIM-01 "
        "--port 8081\n"
        "Through an SSH tunnel: ssh -L 8080:localhost:8080 robot, then open "
        "http://localhost:8080/");
    view->callback([options] { runView(*options); });
}

}  // namespace orvane::cli
