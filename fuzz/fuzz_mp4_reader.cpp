// Any byte string as an .mp4 file: loadFile answers, and every picture it lists
// is read or refused, without an abort inside FFmpeg (a damaged sample entry
// leaves the decoder without a pixel format, which the scaler would abort on).

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "orvane/Mp4FileReader.h"
#include "orvane/base/Logger.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("orvane_fuzz_mp4_" + std::to_string(getpid()) + ".mp4"))
                                        .string();
    Logger::Instance().setLevel(5);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    Mp4FileReader reader(path);
    if (!reader.loadFile()) {
        return 0;
    }
    std::vector<uint64_t> times;
    reader.getTimeStamps(times);
    ApsFrame frame;
    const size_t pictureBytes = size_t{reader.getWidth()} * reader.getHeight() * 3;
    for (size_t read = 0; reader.getNextFrame(frame); ++read) {
        if (read > times.size() + 16 || frame.data == nullptr || frame.dataSize != pictureBytes) {
            std::abort();  // more pictures than packets, or a picture of another size
        }
    }
    if (!times.empty()) {
        const int last = static_cast<int>(times.size() - 1);
        reader.getNFrame(size > 0 ? data[0] % (last + 1) : 0, frame);
    }
    return 0;
}
