// convert: a recording into another format (HDF5, NumPy) or back into a raw
// recording (from HDF5 or the csv command's text), chosen by the extensions.

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <type_traits>

#include "Commands.h"
#include "NpyWriter.h"
#include "Output.h"
#include "OutputFiles.h"
#include "Progress.h"
#include "RawScan.h"
#include "TimeText.h"
#include "ZipWriter.h"
#include "orvane/EventFileConversion.h"
#include "orvane/RawEventWriter.h"

namespace orvane::cli {

namespace {

constexpr const char* kSupported =
    "supported: .raw to .h5, .npy or .npz; .h5 to .raw; .csv to .raw";
constexpr uint64_t kEndOfTime = UINT64_MAX;
constexpr size_t kCsvBlock = size_t{1} << 16;

struct FormatOptions {
    std::string input, output;
    std::string from, to;
    std::string compression = "deflate";
    std::string geometry = "1280x720";
    bool force = false, quiet = false;
};

std::string extension(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return "";
    }
    return path.substr(dot);
}

struct Range {
    uint64_t from = 0, to = kEndOfTime;
};

// Ctrl-C ends the work from its progress; the output, still under its
// temporary name, is removed on the way out.
class Stoppable {
  public:
    Stoppable(const std::string& output, Progress& progress)
        : output_(output), progress_(progress) {}
    void operator()(uint64_t done, uint64_t total) const {
        if (signal_.received()) {
            throw Failure("stopped by " + signal_.name() + "; " + output_ + " not written");
        }
        progress_.update(done, total);
    }

  private:
    StopSignal signal_;
    const std::string& output_;
    Progress& progress_;
};

// The library's errors name the file and the problem; they become ours.
template <class Work>
auto orFailure(Work&& work) {
    try {
        return work();
    } catch (const Failure&) {
        throw;
    } catch (const std::exception& e) {
        throw Failure(e.what());
    }
}

void warnOutside(uint64_t outside, uint16_t width, uint16_t height) {
    if (outside > 0) {
        std::fprintf(stderr,
                     "orvane: warning: %" PRIu64 " events beyond the %ux%u geometry left out\n",
                     outside, width, height);
    }
}

ConversionCounts rawToHdf5(const FormatOptions& options, const Range& range,
                           const OutputFiles& output, const Stoppable& stop) {
    Hdf5EventWriter::Options writing;
    writing.compression = options.compression == "none" ? Hdf5EventWriter::Compression::None
                                                        : Hdf5EventWriter::Compression::Deflate;
    const RawHeader header = readRawHeader(options.input);
    const ConversionCounts counts = orFailure([&] {
        return convertRawToHdf5(options.input, output.temporary(), writing, range.from, range.to,
                                std::cref(stop));
    });
    warnOutside(counts.outsideGeometry, header.width, header.height);
    return counts;
}

// Copies of the records with their padding bytes zeroed: what lies there in
// memory is nobody's business in a file.
template <class Record>
const Record* withoutPadding(const Record* begin, const Record* end, std::vector<Record>& copies) {
    copies.resize(static_cast<size_t>(end - begin));
    std::memset(static_cast<void*>(copies.data()), 0, copies.size() * sizeof(Record));
    for (size_t i = 0; i < copies.size(); ++i) {
        if constexpr (std::is_same_v<Record, Event2D>) {
            copies[i].x = begin[i].x;
            copies[i].y = begin[i].y;
            copies[i].polarity = begin[i].polarity;
            copies[i].timestamp = begin[i].timestamp;
        } else {
            copies[i].polarity = begin[i].polarity;
            copies[i].timestamp = begin[i].timestamp;
            copies[i].id = begin[i].id;
        }
    }
    return copies.data();
}

// Events (and, into an .npz, trigger edges) as NumPy arrays of the module's
// EVENT_DTYPE and TRIGGER_DTYPE.
ConversionCounts rawToNumpy(const FormatOptions& options, const Range& range,
                            const OutputFiles& output, const Stoppable& stop, bool zip) {
    readRawHeader(options.input);
    const RecordingHeader header = orFailure([&] { return readRecordingHeader(options.input); });
    std::optional<ZipWriter> archive;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> plain(nullptr, &std::fclose);
    std::FILE* file = nullptr;
    if (zip) {
        archive.emplace(output.temporary(), options.output);
        archive->beginMember("events.npy");
        file = archive->file();
    } else {
        plain.reset(std::fopen(output.temporary().c_str(), "wb"));
        if (!plain) {
            throw Failure(options.output + ": cannot be written");
        }
        file = plain.get();
    }
    std::vector<EventTriggerIn> triggers;
    std::vector<Event2D> staged;
    uint64_t events = 0;
    NpyWriter array(file, options.output, NpyWriter::kEventDescr, sizeof(Event2D));
    orFailure([&] {
        decodeRecording(
            options.input, header, range.from, range.to,
            [&](const Event2D* begin, const Event2D* end) {
                const Event2D* copies = withoutPadding(begin, end, staged);
                array.add(copies, staged.size());
                events += staged.size();
            },
            [&](EventTriggerIn trigger) {
                if (zip) {
                    triggers.push_back(trigger);
                }
            },
            std::cref(stop));
    });
    array.finish();
    if (zip) {
        archive->endMember(array.bytes(), array.crc32());
        archive->beginMember("triggers.npy");
        NpyWriter edges(file, options.output, NpyWriter::kTriggerDescr, sizeof(EventTriggerIn));
        std::vector<EventTriggerIn> zeroed;
        const EventTriggerIn* copies =
            withoutPadding(triggers.data(), triggers.data() + triggers.size(), zeroed);
        edges.add(copies, zeroed.size());
        edges.finish();
        archive->endMember(edges.bytes(), edges.crc32());
        archive->finish();
    }
    if (plain && std::fclose(plain.release()) != 0) {
        throw Failure(options.output + ": cannot be written (disk full?)");
    }
    return {events, triggers.size(), 0};
}

ConversionCounts hdf5ToRaw(const FormatOptions& options, const Range& range,
                           const OutputFiles& output, const Stoppable& stop) {
    requireReadable(options.input);
    return orFailure([&] {
        return convertHdf5ToRaw(options.input, output.temporary(), range.from, range.to,
                                std::cref(stop));
    });
}

std::pair<uint16_t, uint16_t> parseGeometry(const std::string& text) {
    unsigned width = 0, height = 0;
    char x = 0, rest = 0;
    if (std::sscanf(text.c_str(), "%u%c%u%c", &width, &x, &height, &rest) != 3 || x != 'x' ||
        width < 1 || width > 2048 || height < 1 || height > 2048) {
        throw UsageError("--geometry: '" + text + "' is not WIDTHxHEIGHT within 1..2048");
    }
    return {static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
}

// One "x,y,p,t" line of the csv command; false when it is not one.
bool parseCsvLine(const std::string& line, Event2D& event) {
    const char* p = line.data();
    const char* end = p + line.size();
    if (p < end && end[-1] == '\r') {
        --end;
    }
    uint64_t values[4] = {};
    for (int i = 0; i < 4; ++i) {
        const auto read = std::from_chars(p, end, values[i]);
        if (read.ec != std::errc() || read.ptr == p) {
            return false;
        }
        p = read.ptr;
        if (i < 3) {
            if (p == end || *p != ',') {
                return false;
            }
            ++p;
        }
    }
    if (p != end || values[0] > 0xFFFF || values[1] > 0xFFFF || values[2] > 1) {
        return false;
    }
    event = Event2D(static_cast<uint16_t>(values[0]), static_cast<uint16_t>(values[1]),
                    static_cast<uint8_t>(values[2]), values[3]);
    return true;
}

ConversionCounts csvToRaw(const FormatOptions& options, const Range& range,
                          const OutputFiles& output, const Stoppable& stop) {
    requireReadable(options.input);
    const std::pair<uint16_t, uint16_t> geometry = parseGeometry(options.geometry);
    const uint16_t width = geometry.first, height = geometry.second;
    std::ifstream in(options.input, std::ios::binary);
    const uint64_t total = fileSize(options.input);
    std::string line;
    if (!std::getline(in, line) || (line != "x,y,p,t" && line != "x,y,p,t\r")) {
        throw Failure(options.input +
                      ": not the csv command's events (its first line must be x,y,p,t)");
    }
    std::optional<RawEventWriter> writer;
    orFailure([&] { writer.emplace(output.temporary(), width, height); });
    std::vector<Event2D> block;
    block.reserve(kCsvBlock);
    auto flush = [&] {
        orFailure([&] { writer->addEvents(block.data(), block.data() + block.size()); });
        block.clear();
        const std::streamoff at = in.tellg();
        stop(at < 0 ? total : static_cast<uint64_t>(at), total);
    };
    uint64_t lineNumber = 1, last = 0;
    Event2D event;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty() || line == "\r") {
            continue;
        }
        const std::string where = options.input + ":" + std::to_string(lineNumber) + ": ";
        if (!parseCsvLine(line, event)) {
            throw Failure(where + "'" + line + "' is not x,y,p,t (p 0 or 1)");
        }
        if (event.x >= width || event.y >= height) {
            throw Failure(where + "(" + std::to_string(event.x) + ", " + std::to_string(event.y) +
                          ") lies outside the " + options.geometry + " geometry (see --geometry)");
        }
        if (event.timestamp < last) {
            throw Failure(where + "the time goes back (" + std::to_string(event.timestamp) +
                          " us after " + std::to_string(last) + " us)");
        }
        last = event.timestamp;
        if (event.timestamp >= range.from && event.timestamp < range.to) {
            block.push_back(event);
            if (block.size() == kCsvBlock) {
                flush();
            }
        }
    }
    flush();
    orFailure([&] { writer->finish(); });
    return {writer->events(), 0, 0};
}

void runConvert(const FormatOptions& options) {
    const std::string in = extension(options.input), out = extension(options.output);
    const bool rawIn = in == ".raw";
    if (!((rawIn && (out == ".h5" || out == ".npy" || out == ".npz")) ||
          ((in == ".h5" || in == ".csv") && out == ".raw"))) {
        throw UsageError("cannot convert " + (in.empty() ? options.input : in) + " to " +
                         (out.empty() ? options.output : out) + "; " + kSupported);
    }
    if (options.compression != "deflate" && options.compression != "none") {
        throw UsageError("--compression: '" + options.compression + "' is not deflate or none");
    }
    Range range;
    if (!options.from.empty()) {
        range.from = parseTime(options.from, "--from");
    }
    if (!options.to.empty()) {
        range.to = parseTime(options.to, "--to");
    }
    if (range.from >= range.to) {
        throw UsageError("--from " + formatTime(range.from) + " is not before --to " +
                         formatTime(range.to));
    }
    OutputFiles output({options.output}, {options.input}, options.force);
    Progress progress("converting " + options.input,
                      in == ".h5" ? Progress::Unit::Events : Progress::Unit::Bytes, options.quiet);
    const Stoppable stop(options.output, progress);
    ConversionCounts counts;
    if (out == ".h5") {
        counts = rawToHdf5(options, range, output, stop);
    } else if (out == ".npy" || out == ".npz") {
        counts = rawToNumpy(options, range, output, stop, out == ".npz");
    } else if (in == ".h5") {
        counts = hdf5ToRaw(options, range, output, stop);
    } else {
        counts = csvToRaw(options, range, output, stop);
    }
    progress.finish();
    // A range that misses the data is a mistake, not an empty file to keep.
    if (counts.events == 0 && counts.triggers == 0 && (range.from > 0 || range.to < kEndOfTime)) {
        throw Failure(options.input + ": holds nothing from " + formatTime(range.from) + " to " +
                      (range.to == kEndOfTime ? std::string("the end") : formatTime(range.to)));
    }
    output.commit();
    // A csv or an .npy holds no trigger edges.
    const bool edges = out == ".h5" || out == ".npz" || in == ".h5";
    std::printf("converted %" PRIu64 " events%s of %s into %s\n", counts.events,
                edges ? (" and " + std::to_string(counts.triggers) + " trigger edges").c_str() : "",
                options.input.c_str(), options.output.c_str());
    if (out == ".raw") {
        // Indexed now, so that the first reader of it need not.
        openRecording(options.output, options.quiet);
    }
}

}  // namespace

void addFormatCommands(CLI::App& app) {
    auto options = std::make_shared<FormatOptions>();
    CLI::App* convert =
        app.add_subcommand("convert", "Convert events between .raw, .h5, .npy/.npz and .csv");
    convert->add_option("IN", options->input, "A .raw recording, an .h5 event file or a .csv")
        ->required();
    convert->add_option("OUT", options->output, "The file to write: .h5, .npy, .npz or .raw")
        ->required();
    convert->add_option("--from", options->from, "Start time (e.g. 1.5s, 250ms)");
    convert->add_option("--to", options->to, "End time, not included");
    convert->add_option("--compression", options->compression, "deflate or none (.h5 outputs)")
        ->default_str("deflate");
    convert->add_option("--geometry", options->geometry, "The sensor's size (.csv inputs)")
        ->default_str("1280x720");
    convert->add_flag("-f,--force", options->force, "Overwrite the output if it exists");
    convert->add_flag("-q,--quiet", options->quiet, "No progress bar");
    convert->footer(
        "Supported: .raw to .h5, .npy or .npz; .h5 to .raw; .csv to .raw.\n"
        "Examples:\n  orvane convert recording.raw events.h5 --from 1s --to 2s\n"
        "  orvane convert events.h5 recording.raw\n"
        "  orvane convert recording.raw events.npz   (events.npy and triggers.npy)");
    convert->callback([options] { runConvert(*options); });
}

}  // namespace orvane::cli
