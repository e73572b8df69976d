#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace orvane {

// A raw stream's format description, e.g. "EVT3;height=720;width=1280": a format
// name, then `key=value` pairs separated by ';'. Blanks around names, keys and
// values are ignored ("EVT3; height = 720; width = 1280" is the same format).
// Construction never fails; DecoderFactory refuses formats it cannot decode.
class RawEventStreamFormat {
  public:
    explicit RawEventStreamFormat(std::string format);

    const std::string& text() const { return text_; }
    // The format name as written, e.g. "EVT3".
    const std::string& name() const { return name_; }
    // 0 when the description gives none (or an unreadable one).
    uint16_t width() const { return width_; }
    uint16_t height() const { return height_; }
    // A key's value, or "" when absent.
    std::string option(const std::string& key) const;

  private:
    std::string text_;
    std::string name_;
    std::map<std::string, std::string> options_;
    uint16_t width_ = 0;
    uint16_t height_ = 0;
};

}  // namespace orvane
