// list, tools, stream, record: the attached cameras.

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "CameraSession.h"
#include "Commands.h"
#include "Output.h"
#include "OutputFiles.h"
#include "Progress.h"
#include "RawScan.h"
#include "TimeText.h"

namespace orvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct CameraOptions {
    std::string serial;
    std::string output;
    std::string duration;
    std::string stream = "events";
    std::string preset;      // empty: the camera's default
    double pictureRate = 0;  // 0: every picture
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
    const OpenedCamera opened = openCamera(manager, findCamera(manager, options.serial));
    CameraFacade& camera = opened.facade();
    Json tools = Json::object();
    for (const ToolInfo& info : camera.getAllToolsInfo()) {
        tools[toolName(info.toolType)] = {
            {"description", info.description},
            {"parameters", describeTool(*camera.getTool(info.toolType), info)}};
    }
    if (options.json) {
        printJson(tools);
        return;
    }
    // Columns as wide as their widest entry, over all the tools.
    size_t widths[4] = {0, 0, 0, 0};
    auto cells = [](const std::string& param, const Json& p) {
        return std::array<std::string, 4>{param, p["type"].get<std::string>(), parameterRange(p),
                                          plainText(p.value("default", Json()))};
    };
    for (const auto& [name, tool] : tools.items()) {
        for (const auto& [param, p] : tool["parameters"].items()) {
            const auto row = cells(param, p);
            for (size_t c = 0; c < row.size(); ++c) {
                widths[c] = std::max(widths[c], row[c].size());
            }
        }
    }
    for (const auto& [name, tool] : tools.items()) {
        std::string description = tool["description"];
        // The descriptor's text is part of the library's interface and keeps its
        // spelling there; people read it corrected.
        if (const size_t typo = description.find("sonsors"); typo != std::string::npos) {
            description.replace(typo, 7, "sensors");
        }
        std::printf("%s: %s\n", name.c_str(), description.c_str());
        for (const auto& [param, p] : tool["parameters"].items()) {
            const auto row = cells(param, p);
            std::printf("  %-*s  %-*s  %-*s  default %-*s  now %s\n", int(widths[0]),
                        row[0].c_str(), int(widths[1]), row[1].c_str(), int(widths[2]),
                        row[2].c_str(), int(widths[3]), row[3].c_str(),
                        plainText(p.value("value", Json())).c_str());
        }
    }
    std::printf("\nset before streaming with: orvane stream %s --set TOOL.PARAM=VALUE\n",
                options.serial.c_str());
}

// Waits until the duration has passed (0: until Ctrl-C) or Ctrl-C, calling
// `show` with the elapsed time (four times a second on a terminal, once
// otherwise). Returns the seconds elapsed, negated when a signal ended the
// wait; `stoppedBy` then names it.
template <typename Show>
double runFor(uint64_t durationUs, std::string& stoppedBy, Show&& show) {
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
            stoppedBy = signal.name();
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

// Starts the camera's streams: a fusion camera streams both, its pictures take
// their times from the event sensor's trigger input.
void startStreaming(const OpenedCamera& camera, const std::string& serial, bool frames) {
    const int status = camera.fusion ? camera.fusion->start(frames ? STREAM_BOTH : STREAM_DVS)
                                     : camera.events->start();
    if (status != 0) {
        throw failed(serial + ": cannot start streaming");
    }
}

void stopStreaming(const OpenedCamera& camera) {
    if (camera.fusion) {
        camera.fusion->stop(STREAM_BOTH);
    } else {
        camera.events->stop();
    }
}

void runStream(const CameraOptions& options) {
    const uint64_t duration = parseTime(options.duration, "--duration");
    DvsCameraManager manager;
    const CameraDescription description = findCamera(manager, options.serial);
    const std::vector<Setting> settings = checkSettings(options.settings, familyOf(description));
    const OpenedCamera camera = openCamera(manager, description);
    applySettings(camera.facade(), settings);
    LiveCounters counters(camera);
    StatusLine status(options.quiet);
    uint64_t previousEvents = 0, previousPictures = 0;
    double previousTime = 0;
    startStreaming(camera, options.serial, true);
    std::string stoppedBy;
    double seconds = runFor(duration, stoppedBy, [&](double elapsed) {
        const uint64_t events = counters.events;
        const uint64_t pictures = counters.pictures;
        const double span = std::max(elapsed - previousTime, 1e-3);
        char perSecond[48] = "";
        if (camera.fusion) {
            std::snprintf(perSecond, sizeof perSecond, "  %.1f pictures/s",
                          (pictures - previousPictures) / span);
        }
        char text[240];
        std::snprintf(text, sizeof text,
                      "%s  %6.2f Mev/s  ON %s / OFF %s  %" PRIu64 " trigger edges  %" PRIu64
                      " dropped buffers%s",
                      formatSeconds(elapsed).c_str(), (events - previousEvents) / span / 1e6,
                      share(counters.on, events).c_str(),
                      share(events - counters.on, events).c_str(), counters.triggers.load(),
                      droppedBuffers(camera), perSecond);
        previousEvents = events;
        previousPictures = pictures;
        previousTime = elapsed;
        status.show(text);
    });
    stopStreaming(camera);
    status.finish();
    const bool interrupted = seconds < 0;
    seconds = std::abs(seconds);
    const uint64_t events = counters.events;
    char pictures[64] = "";
    if (camera.fusion) {
        std::snprintf(pictures, sizeof pictures, ", %" PRIu64 " pictures (%.1f/s)",
                      counters.pictures.load(), counters.pictures / seconds);
    }
    std::printf("%s %s from %s: %s events (%.2f Mev/s, ON %s), %" PRIu64 " trigger edges, %" PRIu64
                " dropped buffers%s\n",
                interrupted ? ("stopped by " + stoppedBy + " after").c_str() : "streamed",
                formatSeconds(seconds).c_str(), options.serial.c_str(), millions(events).c_str(),
                events / seconds / 1e6, share(counters.on, events).c_str(),
                counters.triggers.load(), droppedBuffers(camera), pictures);
}

// The files of a recording: the events in OUT, the pictures in the MP4 of the
// same base name, which is where the fusion camera writes them.
std::vector<std::string> recordingFiles(const std::string& output, const std::string& stream) {
    std::vector<std::string> files;
    if (stream != "frames") {
        files.push_back(output);
    }
    if (stream != "events") {
        files.push_back(output.substr(0, output.rfind('.')) + ".mp4");
    }
    return files;
}

// 0, or -1 when a file could not be written in full.
int stopRecording(const OpenedCamera& camera) {
    return camera.fusion ? camera.fusion->stopRecording(STREAM_BOTH)
                         : camera.events->stopRecording();
}

STREAM_TYPE streamType(const std::string& stream) {
    return stream == "events" ? STREAM_DVS : stream == "frames" ? STREAM_APS : STREAM_BOTH;
}

void runRecord(const CameraOptions& options) {
    const uint64_t duration = parseTime(options.duration, "--duration");
    requireExtension(options.output, ".raw");
    DvsCameraManager manager;
    const CameraDescription description = findCamera(manager, options.serial);
    if (familyOf(description) == "event" && options.stream != "events") {
        throw UsageError("--stream " + options.stream + ": " + options.serial +
                         " is an event camera and has no frames (only --stream events)");
    }
    const bool videoOptions = !options.preset.empty() || options.pictureRate > 0;
    if (videoOptions && (familyOf(description) == "event" || options.stream == "events")) {
        throw UsageError(
            "--preset and --picture-rate shape the video: record a fusion camera "
            "with --stream frames or both");
    }
    const std::vector<Setting> settings = checkSettings(options.settings, familyOf(description));
    const std::vector<std::string> names = recordingFiles(options.output, options.stream);
    OutputFiles output(names, {}, options.force);
    std::vector<std::string> temporaries;
    for (size_t n = 0; n < names.size(); ++n) {
        temporaries.push_back(output.temporary(n));
    }
    // The fusion camera derives both names from the base name it is given.
    const std::string& first = temporaries.front();
    const std::string recordingPath = first.substr(0, first.rfind('.')) + ".raw";
    const bool events = options.stream != "frames";
    const bool frames = options.stream != "events";

    const OpenedCamera camera = openCamera(manager, description);
    applySettings(camera.facade(), settings);
    setVideoOptions(camera, options.preset, options.pictureRate);
    LiveCounters counters(camera);
    startStreaming(camera, options.serial, frames);
    try {
        const int status =
            camera.fusion ? camera.fusion->startRecording(recordingPath, streamType(options.stream))
                          : camera.events->startRecording(recordingPath);
        if (status != 0) {
            throw Failure(output.named(failed(joinNames(names) + ": cannot record").what()));
        }
    } catch (const std::exception& e) {
        stopRecording(camera);
        stopStreaming(camera);
        throw Failure(joinNames(names) + ": cannot be written (" + e.what() + ")");
    }
    const uint64_t eventsBefore = counters.events;
    const uint64_t droppedBefore = droppedBuffers(camera);
    StatusLine status(options.quiet);
    std::string stoppedBy;
    double seconds = runFor(duration, stoppedBy, [&](double elapsed) {
        std::string text = "recording " + formatSeconds(elapsed);
        if (events) {
            // Delivered, so about what the file holds; the summary counts the file.
            text += "  " + millions(counters.events - eventsBefore) + " events";
        }
        if (frames) {
            text += "  " + std::to_string(picturesKept(camera)) + " pictures kept";
        }
        text += "  " + formatBytes(static_cast<double>(totalBytes(temporaries))) + " written  " +
                std::to_string(droppedBuffers(camera) - droppedBefore) + " dropped";
        status.show(text);
    });
    // The video may take a while to finish; buffers stop() leaves undecoded
    // come after the event recording.
    int stopped = 0;
    if (camera.fusion && frames && events) {
        stopped |= camera.fusion->stopRecording(STREAM_DVS);
    }
    const uint64_t dropped = droppedBuffers(camera) - droppedBefore;
    stopped |= stopRecording(camera);
    stopStreaming(camera);
    status.finish();
    const uint64_t kept = picturesKept(camera);
    // The recording's own count: pictures still queued when it stopped are
    // delivered after it and were never offered to it.
    const uint64_t offered = picturesOffered(camera);

    // What was written is kept under its name even when the recording failed
    // part way: it is valid up to the failure, and a take cannot be repeated.
    output.commit();
    const bool interrupted = seconds < 0;
    seconds = std::abs(seconds);
    std::string summary;
    uint64_t eventsInFile = 0;
    if (events) {
        try {
            eventsInFile =
                scanRecording(options.output, readRawHeader(options.output), true).events;
        } catch (const Failure&) {
            stopped = -1;  // not even the header could be written
        }
        summary = millions(eventsInFile) + " events";
    }
    if (frames) {
        summary += (summary.empty() ? "" : ", ") + std::to_string(kept) + " pictures kept of " +
                   std::to_string(offered);
    }
    std::printf("%s %s to %s: %s, %s, %" PRIu64 " dropped buffers\n",
                interrupted ? ("stopped by " + stoppedBy + "; recorded").c_str() : "recorded",
                formatSeconds(seconds).c_str(), joinNames(names).c_str(), summary.c_str(),
                formatBytes(static_cast<double>(totalBytes(names))).c_str(), dropped);
    if (stopped != 0 || (frames && fileSize(names.back()) == 0)) {
        throw Failure(output.named(
            failed(joinNames(names) + ": the recording is incomplete, not all could be written")
                .what()));
    }
    if (events && eventsInFile == 0) {
        std::fprintf(stderr, "warning: no events arrived while recording; %s holds none\n",
                     options.output.c_str());
    }
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

    CLI::App* record =
        app.add_subcommand("record", "Record a camera to a .raw file (and its frames to an MP4)");
    record->add_option("SERIAL", options->serial, "Camera serial")->required();
    record->add_option("OUT", options->output, "Recording to write (.raw)")->required();
    record->add_option("--duration", options->duration, "How long (0: until Ctrl-C)")
        ->default_str("10s");
    record
        ->add_option("--stream", options->stream,
                     "What to record: events (OUT), frames (the MP4 beside OUT: out.mp4), both "
                     "(fusion cameras)")
        ->check(CLI::IsMember({"events", "frames", "both"}));
    record
        ->add_option("--preset", options->preset,
                     "H.264 preset of the video: faster ones keep more pictures on a slow "
                     "machine (default ultrafast)")
        ->check(CLI::IsMember({"ultrafast", "superfast", "veryfast", "faster", "fast", "medium",
                               "slow", "slower", "veryslow", "placebo"}));
    record
        ->add_option("--picture-rate", options->pictureRate,
                     "Keep at most this many pictures per second in the video, evenly spread "
                     "(default: every picture)")
        ->check(CLI::PositiveNumber);
    record->add_flag("-f,--force", options->force, "Overwrite OUT if it exists");
    addSettings(record);
    record->footer(
        "Example:\n  orvane record SIM-01 out.raw --duration 10s\n"
        "  orvane record SIM-TD out.raw --stream both   (out.raw and out.mp4)\n"
        "  orvane record SIM-TD out.raw --stream both --preset superfast --picture-rate 10\n"
        "Ctrl-C stops the recording early and finishes the files.");
    record->callback([options] {
        if (options->duration.empty())
            options->duration = "10s";
        runRecord(*options);
    });
}

}  // namespace orvane::cli
