// Any byte string as a whole .raw file: loadFile never throws, and the reading
// loops on reachedEndOfEvents() end, handing out no more than the index counts.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "orvane/BookmarkFile.h"
#include "orvane/RawFileReader.h"
#include "orvane/base/Logger.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("orvane_fuzz_reader_" + std::to_string(getpid()) + ".raw"))
                                        .string();
    Logger::Instance().setLevel(5);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // A side file left by the previous input would be rejected anyway, unless
    // the sizes agree; each input is indexed afresh.
    std::error_code ignored;
    std::filesystem::remove(BookmarkFile::pathFor(path), ignored);

    RawFileReader reader(path);
    if (!reader.loadFile()) {
        return 0;
    }
    uint64_t start = 0, end = 0, max = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(max);

    uint64_t returned = 0;
    for (uint64_t calls = 0; !reader.reachedEndOfEvents(); ++calls) {
        if (calls > max / 4096 + 3) {
            std::abort();  // the count loop does not end
        }
        returned += reader.getNEvents(4096)->size();
    }
    if (returned > max) {
        std::abort();
    }

    reader.seekTime(start);
    const uint64_t slice = (end - start) / 32 + 1;
    for (uint64_t calls = 0; !reader.reachedEndOfEvents(); ++calls) {
        if (calls > 40) {
            std::abort();  // the time loop does not end
        }
        reader.getNTimeEvents(slice);
    }

    const uint64_t k = size > 1 ? (uint64_t{data[size - 1]} * max) / 255 : 0;
    if (reader.seekNEvents(k) && reader.getCurrentPosEventNum() != k) {
        std::abort();
    }
    if (reader.getNEvents(16)->size() > 16) {
        std::abort();
    }
    reader.getTriggerEvents(start, start + slice);
    return 0;
}
