// cut, export, render, csv: a recording, or a time range of it, into another form.

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "Commands.h"
#include "Output.h"
#include "OutputFiles.h"
#include "Picture.h"
#include "Progress.h"
#include "RawScan.h"
#include "TimeText.h"
#include "orvane/DataToVideoConverter.h"

namespace orvane::cli {

namespace {

// The library's video export makes one picture per 1/30 s of events.
constexpr uint64_t kVideoFramePeriod = 1000000 / 30;
constexpr uint64_t kCsvSlice = 10000;

struct ConvertOptions {
    std::string input, output;
    std::string from, to, at;
    std::string slice, window = "10ms";
    bool force = false, quiet = false;
};

// --from and --to as given; unset ones are the recording's start and end.
struct AskedRange {
    std::optional<uint64_t> from, to;
};

// Checked before any file is opened, so that a typo fails at once.
AskedRange parseRange(const ConvertOptions& options) {
    AskedRange asked;
    if (!options.from.empty())
        asked.from = parseTime(options.from, "--from");
    if (!options.to.empty())
        asked.to = parseTime(options.to, "--to");
    if (asked.from && asked.to && *asked.from >= *asked.to) {
        throw UsageError("--from " + formatTime(*asked.from) + " is not before --to " +
                         formatTime(*asked.to));
    }
    return asked;
}

std::string rangeText(TimeRange range) {
    return formatTime(range.from) + " to " +
           (range.to == kToTheEnd ? std::string("the end") : formatTime(range.to));
}

// The asked range within the recording: its start clamped to the recording's,
// no end meaning to the end; refused when it misses the recording altogether.
TimeRange fitRange(const AskedRange& asked, RawFileReader& reader, const std::string& path) {
    const TimeRange whole = recordingRange(reader);
    const TimeRange range = {asked.from.value_or(whole.from), asked.to.value_or(kToTheEnd)};
    if (range.from >= whole.to || range.to <= whole.from || range.from >= range.to) {
        throw Failure(path + ": holds no time from " + rangeText(range) + " (it spans " +
                      formatTime(whole.from) + " to " + formatTime(whole.to - 1) + ")");
    }
    return {std::max(range.from, whole.from), range.to};
}

// Ctrl-C ends a long conversion from its progress callback; the output,
// still under its temporary name, is removed on the way out.
auto stopOnSignal(const StopSignal& signal, const std::string& output, Progress& progress) {
    return [&signal, &output, &progress](uint64_t done, uint64_t total) {
        if (signal.received()) {
            throw Failure("stopped by " + signal.name() + "; " + output + " not written");
        }
        progress.update(done, total);
    };
}

void runCut(const ConvertOptions& options) {
    requireExtension(options.output, ".raw");
    const AskedRange asked = parseRange(options);
    OutputFiles output({options.output}, {options.input}, options.force);
    auto reader = openRecording(options.input, options.quiet);
    const TimeRange range = fitRange(asked, *reader, options.input);
    uint64_t end = 0;
    reader->getEndTimeStamp(end);
    // The cut runs to the word where the time reaches its end, so the last time
    // of the recording is the way to say "to the end".
    const uint64_t to = std::min(range.to, end);
    StopSignal signal;
    Progress progress("cutting", Progress::Unit::Bytes, options.quiet);
    reader->setProgressCallback(stopOnSignal(signal, options.output, progress));
    bool done = false;
    try {
        done = reader->extractEventData(range.from, to, output.temporary());
    } catch (const Failure&) {
        throw;
    } catch (const std::exception& e) {
        throw Failure(options.output + ": the cut failed (" + e.what() + ")");
    }
    if (!done) {
        throw failed(options.input + ": cannot cut " + rangeText(range));
    }
    progress.finish();
    output.commit();
    std::printf("cut %s of %s into %s (%s)\n", rangeText(range).c_str(), options.input.c_str(),
                options.output.c_str(),
                formatBytes(static_cast<double>(fileSize(options.output))).c_str());
}

// A slice other than the library's frame period: the pictures are drawn here
// and encoded through the library's converter, still at 30 pictures a second.
// Returns the number of pictures.
uint64_t exportSlices(RawFileReader& reader, TimeRange range, uint64_t slice,
                      const OutputFiles& output,
                      const std::function<void(uint64_t, uint64_t)>& progress) {
    DataToVideoConverter video;
    const int w = reader.getWidth(), h = reader.getHeight();
    if (video.setConverterFrameSize(h, w, h, w) != 0 ||
        video.setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P) != 0 ||
        video.initVideoConverter(output.temporary()) != 0) {
        throw failed(output.path() + ": cannot start the video");
    }
    EventPicture picture(reader.getWidth(), reader.getHeight());
    uint64_t pictures = 0;
    forEachEvent(
        reader, range, slice,
        [&](const Event2D* begin, const Event2D* end) {
            picture.clear();
            picture.draw(begin, end);
            video.rgbToVideo(picture.bgr().data());
            ++pictures;
        },
        progress);
    if (video.flushAndCloseVideo() != 0) {
        throw failed(output.path() + ": the video cannot be finished");
    }
    return pictures;
}

void runExport(const ConvertOptions& options) {
    requireExtension(options.output, ".mp4");
    const uint64_t slice =
        options.slice.empty() ? kVideoFramePeriod : parseTime(options.slice, "--slice");
    if (slice == 0) {
        throw UsageError("--slice: must be longer than 0 us");
    }
    const AskedRange asked = parseRange(options);
    OutputFiles output({options.output}, {options.input}, options.force);
    auto reader = openRecording(options.input, options.quiet);
    const TimeRange range = fitRange(asked, *reader, options.input);
    StopSignal signal;
    Progress progress("exporting", Progress::Unit::Microseconds, options.quiet);
    const auto onProgress = stopOnSignal(signal, options.output, progress);
    if (slice == kVideoFramePeriod) {
        reader->setProgressCallback(onProgress);
        // Its slices walk the range: one past the end time is the end.
        const uint64_t to = std::min(range.to, recordingRange(*reader).to);
        if (!reader->exportEventDataToVideo(range.from, to, output.temporary())) {
            throw failed(options.output + ": cannot export");
        }
    } else if (exportSlices(*reader, range, slice, output, onProgress) == 0) {
        // A video of no pictures is one no player opens.
        throw Failure(options.output + ": no events from " + rangeText(range) + " to export");
    }
    progress.finish();
    output.commit();
    std::printf("exported %s of %s into %s (%s per picture, %s)\n", rangeText(range).c_str(),
                options.input.c_str(), options.output.c_str(), formatTime(slice).c_str(),
                formatBytes(static_cast<double>(fileSize(options.output))).c_str());
}

void runRender(const ConvertOptions& options) {
    requireExtension(options.output, ".png");
    const uint64_t at = parseTime(options.at, "--at");
    const uint64_t window = parseTime(options.window, "--window");
    if (window == 0) {
        throw UsageError("--window: must be longer than 0 us");
    }
    OutputFiles output({options.output}, {options.input}, options.force);
    auto reader = openRecording(options.input, options.quiet);
    // The window is centred on --at: [at - window/2, at + window - window/2).
    const uint64_t from = at > window / 2 ? at - window / 2 : 0;
    const TimeRange range = fitRange({from, from + window}, *reader, options.input);
    EventPicture picture(reader->getWidth(), reader->getHeight());
    uint64_t events = 0;
    forEachEvent(
        *reader, range, window,
        [&](const Event2D* begin, const Event2D* end) {
            picture.draw(begin, end);
            events += static_cast<uint64_t>(end - begin);
        },
        [](uint64_t, uint64_t) {});
    writePng(output.temporary(), picture.bgr().data(), picture.width(), picture.height());
    output.commit();
    std::printf("rendered %" PRIu64 " events of %s into %s (%u x %u)\n", events,
                rangeText(range).c_str(), options.output.c_str(), picture.width(),
                picture.height());
}

void runCsv(const ConvertOptions& options) {
    requireExtension(options.output, ".csv");
    const AskedRange asked = parseRange(options);
    OutputFiles output({options.output}, {options.input}, options.force);
    auto reader = openRecording(options.input, options.quiet);
    const TimeRange range = fitRange(asked, *reader, options.input);
    std::ofstream out(output.temporary(), std::ios::binary | std::ios::trunc);
    if (!out) {
        throw Failure(options.output + ": cannot be written");
    }
    StopSignal signal;
    Progress progress("writing " + options.output, Progress::Unit::Microseconds, options.quiet);
    out << "x,y,p,t\n";
    std::string text;
    uint64_t events = 0;
    forEachEvent(
        *reader, range, kCsvSlice,
        [&](const Event2D* begin, const Event2D* end) {
            char line[64];
            text.clear();
            for (const Event2D* e = begin; e < end; ++e) {
                char* p = std::to_chars(line, line + 16, e->x).ptr;
                *p++ = ',';
                p = std::to_chars(p, p + 16, e->y).ptr;
                *p++ = ',';
                *p++ = e->polarity ? '1' : '0';
                *p++ = ',';
                p = std::to_chars(p, p + 24, e->timestamp).ptr;
                *p++ = '\n';
                text.append(line, p);
            }
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            events += static_cast<uint64_t>(end - begin);
        },
        stopOnSignal(signal, options.output, progress));
    out.close();
    if (!out) {
        throw Failure(options.output + ": cannot be written (disk full?)");
    }
    progress.finish();
    output.commit();
    std::printf("wrote %" PRIu64 " events of %s into %s\n", events, rangeText(range).c_str(),
                options.output.c_str());
}

}  // namespace

void addConvertCommands(CLI::App& app) {
    auto options = std::make_shared<ConvertOptions>();
    auto addRange = [&](CLI::App* sub, bool required) {
        auto* from = sub->add_option("--from", options->from, "Start time (e.g. 1.5s, 250ms)");
        auto* to = sub->add_option("--to", options->to, "End time, not included");
        if (required) {
            from->required();
            to->required();
        }
    };
    auto addOutputFlags = [&](CLI::App* sub) {
        sub->add_flag("-f,--force", options->force, "Overwrite the output if it exists");
        sub->add_flag("-q,--quiet", options->quiet, "No progress bar");
    };

    CLI::App* cut = app.add_subcommand("cut", "Cut a time range into a new raw file");
    cut->add_option("IN", options->input, "A .raw recording")->required();
    cut->add_option("OUT", options->output, "The new .raw file")->required();
    addRange(cut, true);
    addOutputFlags(cut);
    cut->footer("Example:\n  orvane cut recording.raw part.raw --from 1s --to 2.5s");
    cut->callback([options] { runCut(*options); });

    CLI::App* video = app.add_subcommand("export", "Render events to an H.264 video");
    video->add_option("IN", options->input, "A .raw recording")->required();
    video->add_option("OUT", options->output, "The video to write (.mp4)")->required();
    addRange(video, false);
    video->add_option("--slice", options->slice, "Events per picture (played at 30 a second)")
        ->default_str("33.333ms");
    addOutputFlags(video);
    video->footer("Example:\n  orvane export recording.raw video.mp4 --from 1s --to 3s");
    video->callback([options] { runExport(*options); });

    CLI::App* render = app.add_subcommand("render", "Draw the events around a time into a PNG");
    render->add_option("IN", options->input, "A .raw recording")->required();
    render->add_option("OUT", options->output, "The picture to write (.png)")->required();
    render->add_option("--at", options->at, "The time at the window's centre")->required();
    render->add_option("--window", options->window, "How much time to draw")->default_str("10ms");
    addOutputFlags(render);
    render->footer(
        "Example:\n  orvane render recording.raw look.png --at 3.2s --window 5ms\n"
        "ON events are light, OFF events dark, on grey.");
    render->callback([options] { runRender(*options); });

    CLI::App* csv = app.add_subcommand("csv", "Write events as x,y,p,t lines");
    csv->add_option("IN", options->input, "A .raw recording")->required();
    csv->add_option("OUT", options->output, "The text file to write (.csv)")->required();
    addRange(csv, false);
    addOutputFlags(csv);
    csv->footer("Example:\n  orvane csv recording.raw events.csv --from 0 --to 100ms");
    csv->callback([options] { runCsv(*options); });
}

}  // namespace orvane::cli
