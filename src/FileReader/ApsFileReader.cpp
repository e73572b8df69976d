#include "orvane/ApsFileReader.h"

#include "orvane/Mp4FileReader.h"

namespace orvane {

std::unique_ptr<ApsFileReader> ApsFileReader::createFileReader(std::string path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, ".mp4") != 0) {
        return nullptr;
    }
    return std::make_unique<Mp4FileReader>(std::move(path));
}

}  // namespace orvane
