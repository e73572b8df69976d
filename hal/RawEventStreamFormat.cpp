#include "orvane/hal/RawEventStreamFormat.h"

#include <cstdlib>

namespace orvane {

namespace {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

uint16_t toDimension(const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (*end != '\0' || value > 0xFFFF) {
        return 0;
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

RawEventStreamFormat::RawEventStreamFormat(std::string format) : text_(std::move(format)) {
    size_t start = 0;
    bool first = true;
    while (start <= text_.size()) {
        size_t stop = text_.find(';', start);
        if (stop == std::string::npos) {
            stop = text_.size();
        }
        std::string item = trim(text_.substr(start, stop - start));
        if (first) {
            name_ = item;
            first = false;
        } else if (!item.empty()) {
            size_t equals = item.find('=');
            if (equals == std::string::npos) {
                options_[item] = "";
            } else {
                options_[trim(item.substr(0, equals))] = trim(item.substr(equals + 1));
            }
        }
        start = stop + 1;
    }
    width_ = toDimension(option("width"));
    height_ = toDimension(option("height"));
}

std::string RawEventStreamFormat::option(const std::string& key) const {
    auto found = options_.find(key);
    return found == options_.end() ? std::string() : found->second;
}

}  // namespace orvane
