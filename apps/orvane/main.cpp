// orvane: the everyday jobs with event cameras and their recordings, one
// program with subcommands. Exit status 0 on success, 1 when the work fails,
// 2 when the command line is wrong.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Commands.h"
#include "Output.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr int kFailure = 1;
constexpr int kBadUsage = 2;

}  // namespace

int main(int argc, char** argv) {
    using namespace orvane::cli;
    CLI::App app("orvane: event cameras and their recordings from the command line", "orvane");
    app.require_subcommand(1);
    app.footer(
        "Times take units: 1.5s, 250ms, 1500us (a bare number is microseconds).\n"
        "Simulated cameras: ORVANE_SIM=\"evk4:SIM-01;brisca:SIM-02,rate=5e6\" orvane list\n"
        "Example:\n  orvane record SIM-01 out.raw --duration 10s && orvane info out.raw\n"
        "'orvane SUBCOMMAND --help' shows each subcommand's options and an example.");
    addCameraCommands(app);
    addFileCommands(app);
    addConvertCommands(app);
    addFormatCommands(app);
    addViewCommand(app);

    LibraryLog::capture();
    // FFmpeg's own lines would come beside ours; ORVANE_LOG_LEVEL lets them through.
    if (std::getenv("ORVANE_LOG_LEVEL") == nullptr) {
        av_log_set_level(AV_LOG_QUIET);
    }
    std::string command = "orvane";
    for (const CLI::App* sub : app.get_subcommands({})) {
        if (argc > 1 && sub->get_name() == argv[1]) {
            command += " " + sub->get_name();
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (argc == 1) {
            std::cerr << app.help();
            return kBadUsage;
        }
        if (command == "orvane" && argv[1][0] != '-') {
            std::cerr << "orvane: '" << argv[1] << "' is not a subcommand (see orvane --help)\n";
            return kBadUsage;
        }
        std::cerr << command << ": " << e.what() << " (see " << command << " --help)\n";
        return kBadUsage;
    } catch (const UsageError& e) {
        std::cerr << command << ": " << e.what() << "\n";
        return kBadUsage;
    } catch (const std::exception& e) {
        std::cerr << command << ": " << e.what() << "\n";
        return kFailure;
    }
    return 0;
}
