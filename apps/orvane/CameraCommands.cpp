// list, tools, stream, record: the attached cameras.

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "CameraSession.h"
#include "Commands.h"
#include "Output.h"
#include "Progress.h"
#include "TimeText.h"

namespace orvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct CameraOptions {
    std::string serial;
    std::string output;
    std::string duration;
    std::string stream = "events";
    std::vector<std::string> settings;
    bool json = false, force = false, quiet = false;
};

void runList(const CameraOptions& options) {
    DvsCameraManager manager;
    Json cameras = Json::array();
    for (const CameraDescription& d : manager.getCameraDescs()) {
        cameras.push_back({{"serial", d.serial},
                           {"product", d.productName},
                           {"manufacturer", d.manufacturer},
                           {"family", familyOf(d)},
                           {"vendor_id", d.vendorId},
                           {"product_id", d.productId},
                           {"location", d.location}});
    }
    // A fault in ORVANE_SIM, for one, leaves the list short: say why.
    const std::string problem = LibraryLog::takeLast();
    if (!problem.empty()) {
        std::fprintf(stderr, "orvane list: warning: %s\n", problem.c_str());
    }
    if (options.json) {
        printJson(cameras);
        return;
    }
    if (cameras.empty()) {
        std::printf("no cameras attached (simulated ones: ORVANE_SIM=evk4:SIM-01 orvane list)\n");
        return;
    }
    std::printf("%-20s %-10s %-12s %-7s %s\n", "SERIAL", "PRODUCT", "MANUFACTURER", "FAMILY",
                "LOCATION");
    for (const auto& c : cameras) {
        std::printf(
            "%-20s %-10s %-12s %-7s %s\n", c["serial"].get<std::string>().c_str(),
            c["product"].get<std::string>().c_str(), c["manufacturer"].get<std::string>().c_str(),
            c["family"].get<std::string>().c_str(), c["location"].get<std::string>().c_str());
    }
}

void runTools(const CameraOptions& options) {
    DvsCameraManager manager;
    auto camera = openEventCamera(manager, options.serial);
    Json tools = Json::object();
    for (const ToolInfo& info : camera->getAllToolsInfo()) {
        tools[toolName(info.toolType)] = {
            {"description", info.description},
            {"parameters", describeTool(*camera->getTool(info.toolType), info)}};
    }
    if (options.json) {
        printJson(tools);
        return;
    }
    for (const auto& [name, tool] : tools.items()) {
        std::printf("%s: %s\n", name.c_str(), tool["description"].get<std::string>().c_str());
        for (const auto& [param, p] : tool["parameters"].items()) {
            const std::string range = parameterRange(p);
            std::printf("  %-18s %-5s %-24s default %-8s now %s\n", param.c_str(),
                        p["type"].get<std::string>().c_str(), range.c_str(),
                        plainText(p.value("default", Json())).c_str(),
                        plainText(p.value("value", Json())).c_str());
        }
    }
    std::printf("\nset before streaming with: orvane stream %s --set TOOL.PARAM=VALUE\n",
                options.serial.c_str());
}

// Waits until the duration has passed (0: until Ctrl-C) or Ctrl-C, calling
// `show` with the elapsed time (four times a second on a terminal, once
// otherwise). Returns the seconds elapsed, negated when Ctrl-C ended the wait.
template <typename Show>
double runFor(uint64_t durationUs, Show&& show) {
    StopSignal signal;
    const auto start = Clock::now();
    const auto period = std::chrono::milliseconds(stderrIsTerminal() ? 250 : 1000);
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    auto next = start + period;
    for (;;) {
        const auto now = Clock::now();
        auto until = next;
        if (durationUs > 0) {
            until = std::min(until, start + std::chrono::microseconds(durationUs));
        }
        const int wait = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration(0)))
                .count());
        if (signal.wait(wait)) {
            return -elapsed();
        }
        if (durationUs > 0 && Clock::now() >= start + std::chrono::microseconds(durationUs)) {
            return elapsed();
        }
        if (Clock::now() >= next) {
            show(elapsed());
            next += period;
        }
    }
}

std::string share(uint64_t part, uint64_t all) {
    return all ? std::to_string((part * 100 + all / 2) / all) + "%" : "-";
}

std::string millions(uint64_t count) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f M", count / 1e6);
    return text;
}

void runStream(const CameraOptions& options) {
    const uint64_t duration = parseTime(options.duration, "--duration");
    DvsCameraManager manager;
    auto camera = openEventCamera(manager, options.serial);
    applySettings(*camera, options.settings);
    LiveCounters counters(*camera);
    StatusLine status(options.quiet);
    uint64_t previousEvents = 0;
    double previousTime = 0;
    if (camera->start() != 0) {
        throw failed(options.serial + ": cannot start streaming");
    }
    double seconds = runFor(duration, [&](double elapsed) {
        const uint64_t events = counters.events;
        const double rate = (events - previousEvents) / std::max(elapsed - previousTime, 1e-3);
        previousEvents = events;
        previousTime = elapsed;
        char text[200];
        std::snprintf(text, sizeof text,
                      "%s  %6.2f Mev/s  ON %s / OFF %s  %" PRIu64 " trigger edges  %" PRIu64
                      " dropped buffers",
                      formatSeconds(elapsed).c_str(), rate / 1e6,
                      share(counters.on, events).c_str(),
                      share(events - counters.on, events).c_str(), counters.triggers.load(),
                      droppedBuffers(*camera));
        status.show(text);
    });
    camera->stop();
    status.finish();
    const bool interrupted = seconds < 0;
    seconds = std::abs(seconds);
    const uint64_t events = counters.events;
    std::printf("%s %s from %s: %s events (%.2f Mev/s, ON %s), %" PRIu64 " trigger edges, %" PRIu64
                " dropped buffers\n",
                interrupted ? "stopped by Ctrl-C after" : "streamed",
                formatSeconds(seconds).c_str(), options.serial.c_str(), millions(events).c_str(),
                events / seconds / 1e6, share(counters.on, events).c_str(),
                counters.triggers.load(), droppedBuffers(*camera));
}

void runRecord(const CameraOptions& options) {
    const uint64_t duration = parseTime(options.duration, "--duration");
    requireExtension(options.output, ".raw");
    refuseExisting(options.output, options.force);
    DvsCameraManager manager;
    for (const CameraDescription& d : manager.getCameraDescs()) {
        if (d.serial == options.serial && familyOf(d) == "event" && options.stream != "events") {
            throw UsageError("--stream " + options.stream + ": " + options.serial +
                             " is an event camera and has no frames (only --stream events)");
        }
    }
    auto camera = openEventCamera(manager, options.serial);
    applySettings(*camera, options.settings);
    LiveCounters counters(*camera);
    if (camera->start() != 0) {
        throw failed(options.serial + ": cannot start streaming");
    }
    try {
        if (camera->startRecording(options.output) != 0) {
            throw failed(options.output + ": cannot record");
        }
    } catch (const std::exception& e) {
        camera->stop();
        throw Failure(options.output + ": cannot be written (" + e.what() + ")");
    }
    const uint64_t eventsBefore = counters.events;
    const uint64_t droppedBefore = droppedBuffers(*camera);
    StatusLine status(options.quiet);
    double seconds = runFor(duration, [&](double elapsed) {
        char text[200];
        std::snprintf(text, sizeof text, "recording %s  %s events  %s written  %" PRIu64 " dropped",
                      formatSeconds(elapsed).c_str(),
                      millions(counters.events - eventsBefore).c_str(),
                      formatBytes(static_cast<double>(fileSize(options.output))).c_str(),
                      droppedBuffers(*camera) - droppedBefore);
        status.show(text);
    });
    camera->stopRecording();
    camera->stop();
    status.finish();
    const bool interrupted = seconds < 0;
    seconds = std::abs(seconds);
    std::printf("%s %s to %s: %s events, %s, %" PRIu64 " dropped buffers\n",
                interrupted ? "stopped by Ctrl-C; recorded" : "recorded",
                formatSeconds(seconds).c_str(), options.output.c_str(),
                millions(counters.events - eventsBefore).c_str(),
                formatBytes(static_cast<double>(fileSize(options.output))).c_str(),
                droppedBuffers(*camera) - droppedBefore);
}

}  // namespace

void addCameraCommands(CLI::App& app) {
    auto options = std::make_shared<CameraOptions>();

    CLI::App* list = app.add_subcommand("list", "List the attached cameras (simulated ones too)");
    list->add_flag("--json", options->json, "Print JSON (see the README)");
    list->footer("Example:\n  orvane list\n  ORVANE_SIM=evk4:SIM-01 orvane list --json");
    list->callback([options] { runList(*options); });

    CLI::App* tools = app.add_subcommand("tools", "Show a camera's tools and their parameters");
    tools->add_option("SERIAL", options->serial, "Camera serial (from 'orvane list')")->required();
    tools->add_flag("--json", options->json, "Print JSON");
    tools->footer("Example:\n  orvane tools SIM-01");
    tools->callback([options] { runTools(*options); });

    auto addSettings = [&](CLI::App* sub) {
        sub->add_option("--set", options->settings,
                        "Set a tool parameter first: TOOL.PARAM=VALUE (repeatable)");
        sub->add_flag("-q,--quiet", options->quiet, "No live status line");
    };

    CLI::App* stream = app.add_subcommand("stream", "Stream a camera with a live status line");
    stream->add_option("SERIAL", options->serial, "Camera serial")->required();
    stream->add_option("--duration", options->duration, "How long (0: until Ctrl-C)")
        ->default_str("5s");
    addSettings(stream);
    stream->footer("Example:\n  orvane stream SIM-01 --duration 10s --set roi.enable=true");
    stream->callback([options] {
        if (options->duration.empty())
            options->duration = "5s";
        runStream(*options);
    });

    CLI::App* record = app.add_subcommand("record", "Record a camera's stream to a .raw file");
    record->add_option("SERIAL", options->serial, "Camera serial")->required();
    record->add_option("OUT", options->output, "Recording to write (.raw)")->required();
    record->add_option("--duration", options->duration, "How long (0: until Ctrl-C)")
        ->default_str("10s");
    record->add_option("--stream", options->stream, "What to record")
        ->check(CLI::IsMember({"events", "frames", "both"}));
    record->add_flag("-f,--force", options->force, "Overwrite OUT if it exists");
    addSettings(record);
    record->footer(
        "Example:\n  orvane record SIM-01 out.raw --duration 10s\n"
        "Ctrl-C stops the recording early and finishes the file.");
    record->callback([options] {
        if (options->duration.empty())
            options->duration = "10s";
        runRecord(*options);
    });
}

}  // namespace orvane::cli
