#pragma once

// Progress of long work on stderr: a bar that redraws one line on a terminal,
// plain lines about once a second otherwise; nothing with --quiet.

#include <chrono>
#include <cstdint>
#include <string>

namespace orvane::cli {

class Progress {
  public:
    enum class Unit { Bytes, Microseconds, Events };

    Progress(std::string label, Unit unit, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Cheap to call often: draws only when enough time has passed.
    void update(uint64_t done, uint64_t total);
    // Draws the last state and ends the bar's line, if anything was drawn.
    void finish();

  private:
    void draw(bool last);

    std::string label_;
    Unit unit_;
    bool quiet_;
    bool terminal_;
    bool drawn_ = false;
    bool finished_ = false;
    uint64_t done_ = 0, total_ = 0;
    std::chrono::steady_clock::time_point start_, lastDraw_;
};

// The live status of a running camera: one line redrawn on a terminal, one
// line per call otherwise; nothing with --quiet.
class StatusLine {
  public:
    explicit StatusLine(bool quiet);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void show(const std::string& text);
    void finish();

  private:
    bool quiet_;
    bool terminal_;
    bool open_ = false;
};

}  // namespace orvane::cli
