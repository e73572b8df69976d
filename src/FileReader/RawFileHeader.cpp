#include "orvane/RawFileHeader.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {

constexpr const char* kLogModule = "src/FileReader/RawFileHeader";

// Header lines are short; a longer "line" is payload read as header in a file
// without "% end", and only its first bytes are kept.
constexpr size_t kMaxLineKept = 4096;

// std::stoi's contract (leading blanks skipped, reading stops at the first
// non-digit), with messages that name the function.
int toInt(const std::string& text) {
    const char* start = text.c_str();
    char* stop = nullptr;
    errno = 0;
    long value = std::strtol(start, &stop, 10);
    if (stop == start) {
        throw std::invalid_argument("invalid stoi argument");
    }
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<int>(value);
}

// An EVT 3.0 word carries x and y in 11 bits: a wider geometry addresses
// pixels no event can reach, and would size pictures from unchecked text.
constexpr int kMaxDimension = 2048;

bool addressable(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxDimension && height <= kMaxDimension;
}

// Real files end their lines with CR LF, or leave a blank after a value; both
// are unambiguous, so trailing blanks, tabs and carriage returns are dropped.
void trimEnd(std::string& line) {
    const size_t kept = line.find_last_not_of(" \t\r");
    line.resize(kept == std::string::npos ? 0 : kept + 1);
}

bool startsWith(const std::string& line, const char* prefix, size_t length) {
    return line.compare(0, length, prefix, length) == 0;
}

// Reads one line up to its line feed, which is consumed and not kept. Returns the
// bytes consumed.
uint64_t readLine(std::streambuf& buffer, std::string& line) {
    line.clear();
    uint64_t consumed = 0;
    for (;;) {
        const int c = buffer.sbumpc();
        if (c == std::char_traits<char>::eof()) {
            return consumed;
        }
        ++consumed;
        if (c == '\n') {
            return consumed;
        }
        if (line.size() < kMaxLineKept) {
            line.push_back(static_cast<char>(c));
        }
    }
}

}  // namespace

std::string RawFileHeader::refusal(Status status, const std::string& name) {
    switch (status) {
        case Status::NotEvt3Format:
            return "Error : detected non-EVT3 input file '" + name + "'";
        case Status::NotEvt3Version:
            return "Error : detected non-EVT3 input file.'" + name + "'";
        case Status::Ok:
            break;
    }
    return {};
}

RawFileHeader RawFileHeader::read(std::istream& in, const std::string& name) {
    if (name.empty()) {
        return readLines(in, name);
    }
    // The same exception, with the file it came from.
    try {
        return readLines(in, name);
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(std::string(error.what()) + " in the header of '" + name + "'");
    } catch (const std::out_of_range& error) {
        throw std::out_of_range(std::string(error.what()) + " in the header of '" + name + "'");
    }
}

RawFileHeader RawFileHeader::readLines(std::istream& in, const std::string& name) {
    RawFileHeader header;
    std::streambuf* buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr) {
        in.setstate(std::ios::failbit);
        return header;
    }
    std::string line;
    unsigned lineNumber = 0;
    for (;;) {
        const int next = buffer->sgetc();
        if (next == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            break;
        }
        if (next != '%') {
            break;
        }
        header.size += readLine(*buffer, line);
        ++lineNumber;
        trimEnd(line);
        if (line == "% end") {
            break;
        }
        int width = header.width, height = header.height;
        bool setsGeometry = false;
        if (startsWith(line, "% format ", 9)) {
            const std::string value = line.substr(9);
            size_t pieceStart = 0;
            bool first = true;
            for (;;) {
                const size_t pieceEnd = value.find(';', pieceStart);
                const std::string piece =
                    value.substr(pieceStart, pieceEnd == std::string::npos ? std::string::npos
                                                                           : pieceEnd - pieceStart);
                if (first) {
                    if (piece != "EVT3") {
                        header.status = Status::NotEvt3Format;
                        return header;
                    }
                    first = false;
                } else {
                    // "key=value"; a piece without '=' carries no value and sets nothing.
                    const size_t equals = piece.find('=');
                    if (equals != std::string::npos) {
                        const std::string key = piece.substr(0, equals);
                        const size_t valueEnd = piece.find('=', equals + 1);
                        const std::string text = piece.substr(
                            equals + 1, valueEnd == std::string::npos ? std::string::npos
                                                                      : valueEnd - equals - 1);
                        if (key == "width") {
                            width = toInt(text);
                            setsGeometry = true;
                        } else if (key == "height") {
                            height = toInt(text);
                            setsGeometry = true;
                        }
                    }
                }
                if (pieceEnd == std::string::npos) {
                    break;
                }
                pieceStart = pieceEnd + 1;
            }
        } else if (startsWith(line, "% geometry ", 11)) {
            // "<w>x<h>"; without an 'x' there is no height to read, which is an error.
            const std::string value = line.substr(11);
            const size_t x = value.find('x');
            width = toInt(value.substr(0, x));
            height = toInt(x == std::string::npos ? std::string() : value.substr(x + 1));
            setsGeometry = true;
        } else if (startsWith(line, "% evt ", 6)) {
            if (line.compare(6, std::string::npos, "3.0") != 0) {
                header.status = Status::NotEvt3Version;
                return header;
            }
        }
        if (!setsGeometry) {
            continue;
        }
        if (addressable(width, height)) {
            header.width = static_cast<uint16_t>(width);
            header.height = static_cast<uint16_t>(height);
        } else if (!name.empty()) {
            ORVANE_LOG(
                LOG_WARNING,
                "Raw file %s, header line %u: a geometry of %dx%d is outside 1..%d x 1..%d, "
                "what EVT 3.0 can address; the line is ignored and the geometry stays %ux%u.",
                name.c_str(), lineNumber, width, height, kMaxDimension, kMaxDimension, header.width,
                header.height);
        }
    }
    return header;
}

}  // namespace orvane
