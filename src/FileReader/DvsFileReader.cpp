#include "orvane/DvsFileReader.h"

#include "orvane/RawFileReader.h"

namespace orvane {

std::unique_ptr<DvsFileReader> DvsFileReader::createFileReader(std::string path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, ".raw") != 0) {
        return nullptr;
    }
    return std::make_unique<RawFileReader>(std::move(path));
}

}  // namespace orvane
