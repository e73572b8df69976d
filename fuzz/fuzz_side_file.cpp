// Any byte string as the side file beside a valid recording: loading succeeds,
// the time slices from the start give exactly the events of a plain decode,
// a count query gives a prefix of them, and a side file that was not trusted
// is replaced by the recording's own index.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "orvane/BookmarkFile.h"
#include "orvane/RawFileHeader.h"
#include "orvane/RawFileReader.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Evt3Encoder.h"
#include "orvane/hal/RawEventStreamFormat.h"

using namespace orvane;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool same(const Event2D& a, const Event2D& b) {
    return a.x == b.x && a.y == b.y && a.polarity == b.polarity && a.timestamp == b.timestamp;
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

// About 21 ms of events (ten bookmarks) behind the live header, its plain
// decode and the index the reader builds for it.
struct Recording {
    std::filesystem::path dir;
    std::string path, side;
    std::vector<Event2D> events;
    RawFileReader::BookmarkMap index;
    uint64_t payloadOffset = 0, size = 0;

    Recording() {
        Logger::Instance().setLevel(5);
        dir = std::filesystem::temp_directory_path() /
              ("orvane-fuzz-side-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        path = (dir / "rec.raw").string();
        side = (dir / "rec.ovmark.tmp").string();
        std::vector<Event2D> written;
        for (uint16_t i = 0; i < 3000; ++i) {
            written.emplace_back(static_cast<uint16_t>(i * 37 % 1280),
                                 static_cast<uint16_t>(i * 11 % 720), i % 2, 5000 + 7 * i);
        }
        std::vector<uint8_t> payload;
        Evt3Encoder().encode(written, payload);
        const std::string header = RawFileHeader::kLiveRecordingHeader;
        std::ofstream out(path, std::ios::binary);
        out << header;
        out.write(reinterpret_cast<const char*>(payload.data()),
                  static_cast<std::streamsize>(payload.size()));
        out.close();
        payloadOffset = header.size();
        size = payloadOffset + payload.size();

        auto decoder =
            DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
        decoder->setEventsStreamHandleCallback(
            [&](const Event2D* b, const Event2D* e) { events.insert(events.end(), b, e); });
        decoder->decode(payload);
        std::filesystem::remove(side);
        RawFileReader reader(path);
        check(reader.loadFile());
        index = reader.getBookmarks();
    }
    ~Recording() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Recording recording;
    const std::vector<uint8_t> input(data, data + size);
    std::ofstream(recording.side, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    RawFileReader reader(recording.path);
    check(reader.loadFile());
    const auto& bookmarks = reader.getBookmarks();
    if (readAll(recording.side) != input) {
        check(bookmarks == recording.index);  // rebuilt
    } else {
        // Trusted: it fits the recording as far as can be seen without decoding.
        check(bookmarks.begin()->second.position == recording.payloadOffset ||
              bookmarks.size() == 1);
        check(bookmarks.rbegin()->second.position == recording.size);
    }

    const std::vector<Event2D>& all = recording.events;
    std::vector<Event2D> walked;
    for (int slices = 0;
         !reader.reachedEndOfEvents() && walked.size() < all.size() && slices < 100000; ++slices) {
        auto slice = reader.getNTimeEvents(1000);
        walked.insert(walked.end(), slice->begin(), slice->end());
    }
    check(walked.size() == all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        check(same(walked[i], all[i]));
    }

    check(reader.seekNEvents(0));
    const auto counted = reader.getNEvents(all.size() + 1);
    check(counted->size() <= all.size());
    for (size_t i = 0; i < counted->size(); ++i) {
        check(same((*counted)[i], all[i]));
    }
    return 0;
}
