// Times on the command line: the units users type and read.

#include "TimeText.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Output.h"

namespace orvane::cli {

uint64_t parseTime(const std::string& text, const std::string& option) {
    auto refuse = [&] {
        return UsageError(
            option + ": '" + text +
            "' is not a time (write e.g. 1.5s, 250ms or 1500us; a bare number is us)");
    };
    size_t split = 0;
    while (split < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[split])) || text[split] == '.')) {
        ++split;
    }
    const std::string number = text.substr(0, split);
    const std::string unit = text.substr(split);
    if (number.empty() || number == "." || number.find('.') != number.rfind('.')) {
        throw refuse();
    }
    double scale = 0;
    if (unit.empty() || unit == "us" || unit == "\xC2\xB5s") {
        scale = 1;
    } else if (unit == "ms") {
        scale = 1e3;
    } else if (unit == "s") {
        scale = 1e6;
    } else {
        throw refuse();
    }
    if (scale == 1 && number.find('.') == std::string::npos) {
        // Whole microseconds exactly, beyond the 53 bits a double holds.
        errno = 0;
        const unsigned long long value = std::strtoull(number.c_str(), nullptr, 10);
        if (errno == ERANGE) {
            throw refuse();
        }
        return value;
    }
    const double value = std::strtod(number.c_str(), nullptr) * scale;
    if (!std::isfinite(value) || value >= 1.8e19) {
        throw refuse();
    }
    return static_cast<uint64_t>(std::llround(value));
}

namespace {

// Up to `decimals` decimals, without trailing zeros.
std::string trimmed(double value, int decimals, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string s = text;
    if (s.find('.') != std::string::npos) {
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.') {
            s.pop_back();
        }
    }
    return s + " " + unit;
}

}  // namespace

std::string formatTime(uint64_t microseconds) {
    if (microseconds < 1000) {
        return std::to_string(microseconds) + " us";
    }
    if (microseconds < 1000000) {
        return trimmed(microseconds / 1e3, 3, "ms");
    }
    return trimmed(microseconds / 1e6, 6, "s");
}

std::string formatSeconds(double seconds) {
    return trimmed(seconds, seconds < 10 ? 1 : 0, "s");
}

std::string formatBytes(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1000;
        ++unit;
    }
    return trimmed(bytes, unit == 0 ? 0 : 1, units[unit]);
}

}  // namespace orvane::cli
