// RawFileReader's cutting and export: a range of the recording written out as a
// raw file that decodes on its own, or rendered as an H.264 video.

#include <cinttypes>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "FileReader/RawPayload.h"
#include "orvane/BookmarkFile.h"
#include "orvane/DataToVideoConverter.h"
#include "orvane/RawFileHeader.h"
#include "orvane/RawFileReader.h"
#include "orvane/base/Logger.h"
#include "orvane/base/SysTime.h"
#include "orvane/hal/Evt3StateWords.h"

namespace orvane {

namespace {

// The reader's parts log under its name: one module to its users.
constexpr const char* kLogModule = "src/FileReader/RawFileReader";

// Extraction copies through the reader's buffer in pieces of this size.
constexpr uint64_t kCopyPiece = 1048576;

// Export pictures, blue green red: grey where nothing happened, the colour of the
// pixel's last event elsewhere.
constexpr uint8_t kBackground = 0x70;
constexpr uint8_t kOnColour[3] = {0xB4, 0xBC, 0xBF};
constexpr uint8_t kOffColour[3] = {0x33, 0x3D, 0x40};

using payload::readInto;
using payload::saturatingAdd;

}  // namespace

// Refused as an output: truncating it would destroy what is being read.
bool RawFileReader::isTheRecording(const std::string& path) const {
    std::error_code unknown;
    return std::filesystem::equivalent(path, filePath, unknown);
}

// The lock is taken per piece and the progress reported without it, so that a
// progress callback may query the reader.
void RawFileReader::copyPayload(std::ofstream& out, uint64_t start, uint64_t length) {
    const uint64_t total = length;
    while (length > 0) {
        const uint64_t piece = std::min(length, kCopyPiece);
        std::unique_lock<std::mutex> lock(readMutex);
        fileStream.clear();
        fileStream.seekg(static_cast<std::streamoff>(start + total - length));
        if (readInto(fileStream, readBuffer, piece) != piece) {
            throw std::runtime_error(
                "Failed to read the expected number of bytes from the input file.");
        }
        out.write(reinterpret_cast<const char*>(readBuffer.data()),
                  static_cast<std::streamsize>(piece));
        if (!out.good()) {
            throw std::runtime_error(
                "Failed to write the expected number of bytes to the output file.");
        }
        lock.unlock();
        length -= piece;
        if (progressCallback) {
            progressCallback(total - length, total);
        }
    }
}

// The source header's own "% format" and "% geometry" lines, or lines made from
// the width and height where it has none.
void RawFileReader::sourceGeometryLines(std::string& formatLine, std::string& geometryLine) {
    formatLine =
        "% format EVT3;height=" + std::to_string(height) + ";width=" + std::to_string(width);
    geometryLine = "% geometry " + std::to_string(width) + "x" + std::to_string(height);
    std::string header(static_cast<size_t>(payloadOffset), '\0');
    {
        std::lock_guard<std::mutex> lock(readMutex);
        fileStream.clear();
        fileStream.seekg(0);
        fileStream.read(header.data(), static_cast<std::streamsize>(header.size()));
        header.resize(static_cast<size_t>(std::max<std::streamsize>(fileStream.gcount(), 0)));
    }
    std::istringstream lines(header);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 9, "% format ") == 0) {
            formatLine = line;
        } else if (line.compare(0, 11, "% geometry ") == 0) {
            geometryLine = line;
        }
    }
}

bool RawFileReader::extractEventData(uint64_t startTime, uint64_t endTime, std::string outputPath) {
    // The end first: the start's seek is the one that leaves the reader usable.
    if (!seekTime(endTime)) {
        ORVANE_LOG(LOG_ERROR, "No end timestamp found.");
        return false;
    }
    // The recording's end time is its last event's: a range that ends there runs
    // to the last byte, so that the events at that time are kept.
    const uint64_t endOffset = endTime == endTimestamp ? index.bookmarks().rbegin()->second.position
                                                       : static_cast<uint64_t>(fileStream.tellg());
    if (!seekTime(startTime)) {
        ORVANE_LOG(LOG_ERROR, "No start timestamp found.");
        return false;
    }
    const uint64_t startOffset = static_cast<uint64_t>(fileStream.tellg());
    // The cut begins mid-stream, where a fresh decoder would know neither the
    // time's high part and wraps nor the row: words that set the state the seek
    // left the decoder in let the file decode on its own to exactly the source's
    // events and times. At the payload start a fresh decoder's state is right.
    const std::vector<uint8_t> stateWords =
        startOffset > payloadOffset ? evt3StateWords(*decoder) : std::vector<uint8_t>{};
    ORVANE_LOG(LOG_INFO, "extract event start time: %" PRIu64 ", end time: %" PRIu64, startTime,
               endTime);
    if (endOffset < startOffset) {
        ORVANE_LOG(LOG_ERROR, "Start time must be less than or equal to end time.");
        return false;
    }
    const uint64_t length = endOffset - startOffset;
    readBuffer.clear();
    if (length == 0) {
        ORVANE_LOG(LOG_ERROR, "There is no data in the interval.");
        return false;
    }
    if (isTheRecording(outputPath)) {
        ORVANE_LOG(LOG_ERROR, "Output file is the file being read: %s.", outputPath.c_str());
        return false;
    }
    std::ofstream out(outputPath, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        ORVANE_LOG(LOG_ERROR, "Failed to open output file: %s.", outputPath.c_str());
        return false;
    }
    // An index left beside an earlier file of this name describes other bytes,
    // and its size check need not notice.
    const std::string outputIndex = BookmarkFile::pathFor(outputPath);
    if (!outputIndex.empty() && !isTheRecording(outputIndex)) {
        std::error_code ignored;
        std::filesystem::remove(outputIndex, ignored);
    }
    // The live recording's header with today's date. A source of another size
    // keeps its own format and geometry lines, which the fixed ones would
    // relabel 1280 x 720.
    const bool otherSize = width != 1280 || height != 720;
    std::string formatLine, geometryLine;
    if (otherSize) {
        sourceGeometryLines(formatLine, geometryLine);
    }
    std::istringstream live(RawFileHeader::kLiveRecordingHeader);
    for (std::string line; std::getline(live, line);) {
        if (line.compare(0, 7, "% date ") == 0) {
            line = "% date " + getSysTime();
        } else if (otherSize && line.compare(0, 9, "% format ") == 0) {
            line = formatLine;
        } else if (otherSize && line.compare(0, 11, "% geometry ") == 0) {
            line = geometryLine;
        }
        out << line << '\n' << std::flush;
    }
    out.write(reinterpret_cast<const char*>(stateWords.data()),
              static_cast<std::streamsize>(stateWords.size()));

    // The copy moves the stream to the end of the range while the decoder and
    // the time position stay at its start; putting the stream back makes the
    // next query read from startTime, as after a seek there.
    auto backToStart = [&] {
        std::lock_guard<std::mutex> lock(readMutex);
        fileStream.clear();
        fileStream.seekg(static_cast<std::streamoff>(startOffset));
    };
    try {
        copyPayload(out, startOffset, length);
    } catch (...) {
        backToStart();
        throw;
    }
    backToStart();
    out.close();
    if (!out) {
        ORVANE_LOG(LOG_ERROR, "Failed to finish output file: %s.", outputPath.c_str());
        return false;
    }
    return true;
}

bool RawFileReader::exportEventDataToVideo(uint64_t startTime, uint64_t endTime,
                                           std::string outputPath) {
    // Without a file every slice would be refused, one warning per 1/30 s of range.
    if (refuseUnloaded("exportEventDataToVideo")) {
        return false;
    }
    ORVANE_LOG(LOG_INFO, "Exporting event data to video...");
    if (isTheRecording(outputPath)) {
        ORVANE_LOG(LOG_ERROR, "Output file is the file being read: %s.", outputPath.c_str());
        return false;
    }
    // The range is clamped to the recording. A start before it would fail its
    // seek and leave the reader wherever earlier reads had put it, so the video
    // would depend on them; a range outside the recording has nothing to show.
    const uint64_t from = std::max(startTime, startTimestamp);
    if (from >= endTime || from > endTimestamp || !seekTime(from)) {
        ORVANE_LOG(LOG_ERROR, "No events to export between %" PRIu64 " and %" PRIu64 " us.",
                   startTime, endTime);
        return false;
    }
    videoConverter = std::make_shared<DataToVideoConverter>();
    // A geometry the encoder cannot take (from the source's header) fails here
    // rather than with pictures of a size the converter was not set up for.
    const bool ready = videoConverter->setConverterFrameSize(height, width, height, width) == 0 &&
                       videoConverter->setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P) == 0 &&
                       videoConverter->initVideoConverter(outputPath) >= 0;
    if (!ready) {
        ORVANE_LOG(LOG_ERROR,
                   "Video converter initialization failed, please confirm that the input file is "
                   "correct.");
        videoConverter.reset();
        return false;
    }

    std::vector<uint8_t> picture(size_t{width} * height * 3);
    const uint64_t period = 1000000 / static_cast<uint64_t>(videoFrameRate);
    const uint64_t span = endTime - from;
    uint64_t failed = 0, pictures = 0;
    for (uint64_t t = from; t < endTime; t = saturatingAdd(t, period)) {
        auto slice = getNTimeEvents(period);
        if (slice && !slice->empty()) {
            eventsToRgbData(slice, picture);
            ++pictures;
            if (videoConverter->rgbToVideo(picture.data()) != 0) {
                ++failed;
            }
        }
        // The slice that passed the end took the rest of the file; the rest of
        // the range can only be empty slices, which make no picture.
        const bool rest = reachedEndOfEvents();
        if (progressCallback) {
            progressCallback(rest ? span : std::min(saturatingAdd(t, period), endTime) - from,
                             span);
        }
        if (rest) {
            break;
        }
    }
    // A file missing pictures or its end (a full disk) is no video: false.
    const bool closed = videoConverter->flushAndCloseVideo() == 0;
    if (failed > 0) {
        ORVANE_LOG(LOG_ERROR, "%" PRIu64 " pictures could not be encoded into %s.", failed,
                   outputPath.c_str());
    }
    // A range without events (a recording of triggers only, a gap) would leave
    // a video of no pictures, which no player opens: none is left behind.
    if (pictures == 0) {
        std::error_code ignored;
        std::filesystem::remove(outputPath, ignored);
        ORVANE_LOG(LOG_ERROR, "No events to export between %" PRIu64 " and %" PRIu64 " us.",
                   startTime, endTime);
        return false;
    }
    return closed && failed == 0;
}

void RawFileReader::eventsToRgbData(std::shared_ptr<std::vector<Event2D>> events,
                                    std::vector<uint8_t>& rgb) {
    if (!events || events->empty()) {
        return;
    }
    rgb.assign(size_t{width} * height * 3, kBackground);
    for (const Event2D& e : *events) {
        if (e.x >= width || e.y >= height) {
            continue;
        }
        const uint8_t* colour = e.polarity != 0 ? kOnColour : kOffColour;
        uint8_t* pixel = rgb.data() + (size_t{e.y} * width + e.x) * 3;
        pixel[0] = colour[0];
        pixel[1] = colour[1];
        pixel[2] = colour[2];
    }
}

}  // namespace orvane
