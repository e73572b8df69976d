// info and frames: what is in a recording or a video.

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "Commands.h"
#include "Output.h"
#include "OutputFiles.h"
#include "Picture.h"
#include "RawScan.h"
#include "TimeText.h"
#include "VideoFile.h"
#include "orvane/BookmarkFile.h"
#include "orvane/Mp4FileReader.h"

namespace orvane::cli {

namespace {

struct FileOptions {
    std::string input;
    std::vector<std::string> extract;  // N OUT.png
    bool json = false, force = false, quiet = false, sensorTime = false;
};

Json rawInfo(const std::string& path, bool quiet) {
    const RawHeader header = readRawHeader(path);
    const bool cached = indexIsCached(path, header);
    auto reader = openRecording(path, quiet);
    const RecordingFacts facts = scanRecording(path, header, quiet);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    const uint64_t duration = facts.lastTime - facts.firstTime;
    Json fields = Json::object();
    for (const auto& [key, value] : header.fields) {
        fields[key] = value;
    }
    return {
        {"file", path},
        {"type", "raw"},
        {"size_bytes", header.fileSize},
        {"header", fields},
        {"width", header.width},
        {"height", header.height},
        {"events", facts.events},
        {"on", facts.on},
        {"off", facts.events - facts.on},
        {"trigger_edges", facts.triggerEdges},
        {"trigger_rising", facts.triggerRising},
        {"trigger_falling", facts.triggerEdges - facts.triggerRising},
        {"first_event_us", facts.firstTime},
        {"last_event_us", facts.lastTime},
        {"duration_us", duration},
        {"mean_rate_per_ms", duration ? facts.events * 1000.0 / duration : double(facts.events)},
        {"peak_rate_per_ms", facts.peakPerMs},
        {"peak_at_us", facts.peakAtMs},
        {"time_backwards", facts.timeBackwards},
        {"recording_gaps", facts.recordingGaps},
        {"lost_time_highs", facts.lostTimeHighs},
        {"index",
         {{"cached", cached},
          {"path", BookmarkFile::pathFor(path)},
          {"bookmarks", reader->getBookmarks().size()},
          {"start_us", start},
          {"end_us", end}}}};
}

void printRawInfo(const Json& i) {
    const uint64_t events = i["events"];
    auto percent = [&](uint64_t part) { return events ? 100.0 * part / events : 0.0; };
    std::printf("file      %s (%s)\n", i["file"].get<std::string>().c_str(),
                formatBytes(i["size_bytes"].get<double>()).c_str());
    std::printf("format    EVT 3.0, %d x %d pixels\n", i["width"].get<int>(),
                i["height"].get<int>());
    for (const auto& [key, value] : i["header"].items()) {
        std::printf("  %% %s %s\n", key.c_str(), value.get<std::string>().c_str());
    }
    std::printf("events    %" PRIu64 " (ON %.1f%%, OFF %.1f%%)\n", events,
                percent(i["on"].get<uint64_t>()), percent(i["off"].get<uint64_t>()));
    std::printf("time      %s to %s (%s)\n", formatTime(i["first_event_us"]).c_str(),
                formatTime(i["last_event_us"]).c_str(), formatTime(i["duration_us"]).c_str());
    std::printf("triggers  %" PRIu64 " edges (%" PRIu64 " rising, %" PRIu64 " falling)\n",
                i["trigger_edges"].get<uint64_t>(), i["trigger_rising"].get<uint64_t>(),
                i["trigger_falling"].get<uint64_t>());
    std::printf("rate      mean %.1f events/ms, peak %" PRIu64 " events/ms at %s\n",
                i["mean_rate_per_ms"].get<double>(), i["peak_rate_per_ms"].get<uint64_t>(),
                formatTime(i["peak_at_us"]).c_str());
    if (i["time_backwards"].get<uint64_t>() > 0) {
        std::printf("warning   %" PRIu64 " events earlier than the one before them\n",
                    i["time_backwards"].get<uint64_t>());
    }
    if (i["recording_gaps"].get<uint64_t>() > 0) {
        std::printf("warning   %" PRIu64
                    " gaps where the recorder lost data (the data after each decode on)\n",
                    i["recording_gaps"].get<uint64_t>());
    }
    if (i["lost_time_highs"].get<uint64_t>() > 0) {
        std::printf("warning   %" PRIu64 " time-high words were missing and assumed\n",
                    i["lost_time_highs"].get<uint64_t>());
    }
    const auto& index = i["index"];
    std::printf("index     %zu bookmarks, %s to %s, %s\n", index["bookmarks"].get<size_t>(),
                formatTime(index["start_us"]).c_str(), formatTime(index["end_us"]).c_str(),
                index["cached"].get<bool>() ? "was cached beside the file" : "built now");
}

Json videoInfo(const std::string& path) {
    auto reader = openVideo(path);
    const std::vector<uint64_t> times = pictureTimes(*reader, path);
    const uint64_t first = times.empty() ? 0 : times.front();
    const uint64_t last = times.empty() ? 0 : times.back();
    return {
        {"file", path},
        {"type", "mp4"},
        {"size_bytes", fileSize(path)},
        {"width", reader->getWidth()},
        {"height", reader->getHeight()},
        {"pictures", times.size()},
        {"first_us", first},
        {"last_us", last},
        {"mean_spacing_us", times.size() > 1 ? (last - first) / double(times.size() - 1) : 0.0}};
}

void printVideoInfo(const Json& i) {
    std::printf("file      %s (%s)\n", i["file"].get<std::string>().c_str(),
                formatBytes(i["size_bytes"].get<double>()).c_str());
    std::printf("video     %d x %d pixels\n", i["width"].get<int>(), i["height"].get<int>());
    std::printf("pictures  %zu, %s to %s, mean spacing %s\n", i["pictures"].get<size_t>(),
                formatTime(i["first_us"]).c_str(), formatTime(i["last_us"]).c_str(),
                formatTime(static_cast<uint64_t>(i["mean_spacing_us"].get<double>())).c_str());
}

void runInfo(const FileOptions& options) {
    const bool video = endsWith(options.input, ".mp4");
    Json info =
        video ? videoInfo(options.input) : rawInfo(options.input, options.quiet || options.json);
    if (options.json) {
        printJson(info);
    } else if (video) {
        printVideoInfo(info);
    } else {
        printRawInfo(info);
    }
}

void runFrames(const FileOptions& options) {
    int index = -1;
    if (!options.extract.empty()) {
        try {
            size_t used = 0;
            index = std::stoi(options.extract[0], &used);
            if (used != options.extract[0].size() || index < 0)
                throw std::invalid_argument("");
        } catch (const std::exception&) {
            throw UsageError("--extract " + options.extract[0] + ": not a picture number");
        }
        requireExtension(options.extract[1], ".png");
    }
    std::optional<OutputFiles> output;
    if (index >= 0) {
        output.emplace(std::vector<std::string>{options.extract[1]},
                       std::vector<std::string>{options.input}, options.force);
    }
    auto reader = openVideo(options.input);
    std::vector<uint64_t> times = pictureTimes(*reader, options.input);
    if (options.sensorTime) {
        uint64_t offset = 0;
        auto* mp4 = dynamic_cast<Mp4FileReader*>(reader.get());
        if (!mp4 || !mp4->getSensorTimeOffset(offset)) {
            throw Failure(options.input +
                          ": holds no sensor time (fusion recordings of events and pictures do)");
        }
        for (uint64_t& t : times) {
            t += offset;
        }
    }
    if (index < 0 && options.json) {
        Json pictures = Json::array();
        for (size_t n = 0; n < times.size(); ++n) {
            pictures.push_back({{"index", n}, {"time_us", times[n]}});
        }
        printJson({{"file", options.input},
                   {"width", reader->getWidth()},
                   {"height", reader->getHeight()},
                   {"pictures", pictures}});
        return;
    }
    if (index < 0) {
        std::printf("%zu pictures of %u x %u pixels\n", times.size(), reader->getWidth(),
                    reader->getHeight());
        for (size_t n = 0; n < times.size(); ++n) {
            std::printf("%6zu  %s\n", n, formatTime(times[n]).c_str());
        }
        return;
    }
    if (static_cast<size_t>(index) >= times.size()) {
        throw Failure("--extract " + options.extract[0] + ": " + options.input + " has " +
                      std::to_string(times.size()) + " pictures (0 to " +
                      std::to_string(times.size() ? times.size() - 1 : 0) + ")");
    }
    ApsFrame frame;
    if (!reader->getNFrame(index, frame) || frame.data == nullptr) {
        throw failed(options.input + ": picture " + std::to_string(index) + " cannot be decoded");
    }
    writePng(output->temporary(), frame.data, reader->getWidth(), reader->getHeight());
    output->commit();
    std::printf("wrote picture %d (%s) to %s\n", index, formatTime(times[index]).c_str(),
                options.extract[1].c_str());
}

}  // namespace

void addFileCommands(CLI::App& app) {
    auto options = std::make_shared<FileOptions>();

    CLI::App* info = app.add_subcommand("info", "Describe a raw recording or an MP4 video");
    info->add_option("FILE", options->input, "A .raw recording or an .mp4 video")->required();
    info->add_flag("--json", options->json, "Print JSON (see the README)");
    info->add_flag("-q,--quiet", options->quiet, "No progress bar");
    info->footer("Example:\n  orvane info recording.raw --json");
    info->callback([options] { runInfo(*options); });

    CLI::App* frames =
        app.add_subcommand("frames", "List the pictures of an MP4 video, or write one");
    frames->add_option("IN", options->input, "An .mp4 video")->required();
    frames->add_option("--extract", options->extract, "Write picture N as a PNG file")
        ->expected(2)
        ->type_name("N OUT.png");
    frames->add_flag("--sensor-time", options->sensorTime,
                     "Times on the camera's clock, as the events of the .raw recorded beside it");
    frames->add_flag("-f,--force", options->force, "Overwrite OUT.png if it exists");
    frames->add_flag("--json", options->json, "List the pictures as JSON");
    frames->footer("Example:\n  orvane frames video.mp4 --extract 10 picture.png");
    frames->callback([options] { runFrames(*options); });
}

}  // namespace orvane::cli
