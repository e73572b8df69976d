// Events to a raw event file through our EVT 3.0 encoder.

#include "orvane/RawEventWriter.h"

#include <stdexcept>

namespace orvane {

namespace {

// The words go out about a megabyte at a time.
constexpr size_t kFlushBytes = size_t{1} << 20;

bool startsWith(const std::string& text, const char* head) {
    return text.rfind(head, 0) == 0;
}

}  // namespace

RawEventWriter::RawEventWriter(const std::string& path, uint16_t width, uint16_t height,
                               const std::vector<std::string>& headerLines)
    : path_(path), width_(width), height_(height) {
    if (width < 1 || width > 2048 || height < 1 || height > 2048) {
        throw std::invalid_argument(path + ": a geometry of " + std::to_string(width) + "x" +
                                    std::to_string(height) + " is outside 1..2048");
    }
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_) {
        throw std::runtime_error(path + ": cannot be written");
    }
    std::string header;
    for (const std::string& line : headerLines) {
        // Our own lines below say what the payload is; a line feed inside a
        // line would end the header early.
        if (!startsWith(line, "%") || line.find('\n') != std::string::npos ||
            startsWith(line, "% evt ") || startsWith(line, "% format ") ||
            startsWith(line, "% geometry ") || line == "% end") {
            continue;
        }
        header += line + "\n";
    }
    const std::string w = std::to_string(width), h = std::to_string(height);
    header += "% evt 3.0\n% format EVT3;height=" + h + ";width=" + w + "\n% geometry " + w + "x" +
              h + "\n% end\n";
    out_.write(header.data(), static_cast<std::streamsize>(header.size()));
    words_.reserve(kFlushBytes + 4096);
}

void RawEventWriter::addEvents(const Event2D* begin, const Event2D* end) {
    uint64_t last = lastTime_;
    for (const Event2D* e = begin; e < end; ++e) {
        if (e->x >= width_ || e->y >= height_) {
            throw std::invalid_argument(
                path_ + ": event " + std::to_string(events_ + uint64_t(e - begin)) + " at (" +
                std::to_string(e->x) + ", " + std::to_string(e->y) + ") lies outside the " +
                std::to_string(width_) + "x" + std::to_string(height_) + " geometry");
        }
        if (e->timestamp < last) {
            throw std::invalid_argument(path_ + ": the time goes back at event " +
                                        std::to_string(events_ + uint64_t(e - begin)) + " (" +
                                        std::to_string(e->timestamp) + " us after " +
                                        std::to_string(last) + " us)");
        }
        last = e->timestamp;
    }
    encoder_.encode(begin, end, words_);
    events_ += static_cast<uint64_t>(end - begin);
    lastTime_ = last;
    flushIfFull();
}

void RawEventWriter::addTrigger(const EventTriggerIn& trigger) {
    if (trigger.timestamp < lastTime_) {
        throw std::invalid_argument(
            path_ + ": the time goes back at trigger edge " + std::to_string(triggers_) + " (" +
            std::to_string(trigger.timestamp) + " us after " + std::to_string(lastTime_) + " us)");
    }
    try {
        encoder_.encodeTrigger(trigger, words_);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path_ + ": trigger edge " + std::to_string(triggers_) + ": " +
                                    e.what());
    }
    ++triggers_;
    lastTime_ = trigger.timestamp;
    flushIfFull();
}

void RawEventWriter::flushIfFull() {
    if (words_.size() >= kFlushBytes) {
        out_.write(reinterpret_cast<const char*>(words_.data()),
                   static_cast<std::streamsize>(words_.size()));
        words_.clear();
        if (!out_) {
            throw std::runtime_error(path_ + ": cannot be written completely (disk full?)");
        }
    }
}

void RawEventWriter::finish() {
    out_.write(reinterpret_cast<const char*>(words_.data()),
               static_cast<std::streamsize>(words_.size()));
    words_.clear();
    out_.close();
    if (!out_) {
        throw std::runtime_error(path_ + ": cannot be written completely (disk full?)");
    }
}

}  // namespace orvane
