// Progress bars and status lines on stderr.

#include "Progress.h"

#include <cstdio>

#include "Output.h"
#include "TimeText.h"

namespace orvane::cli {

using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTerminalPeriod = std::chrono::milliseconds(100);
constexpr auto kLinePeriod = std::chrono::seconds(1);
constexpr int kBarWidth = 30;

}  // namespace

Progress::Progress(std::string label, Unit unit, bool quiet)
    : label_(std::move(label)),
      unit_(unit),
      quiet_(quiet),
      terminal_(stderrIsTerminal()),
      start_(Clock::now()),
      lastDraw_(start_) {}

Progress::~Progress() {
    // A bar left by an error must not share its line with the error message.
    if (drawn_ && terminal_ && !finished_) {
        std::fputc('\n', stderr);
    }
}

void Progress::update(uint64_t done, uint64_t total) {
    done_ = done;
    total_ = total;
    const auto now = Clock::now();
    if (quiet_ || now - lastDraw_ < (terminal_ ? kTerminalPeriod : kLinePeriod)) {
        return;
    }
    lastDraw_ = now;
    draw(false);
}

void Progress::finish() {
    // Work too short to have shown any progress ends without a word.
    if (quiet_ || finished_ || !drawn_) {
        return;
    }
    finished_ = true;
    done_ = total_;
    draw(true);
}

void Progress::draw(bool last) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double fraction = total_ > 0 ? static_cast<double>(done_) / total_ : 1.0;
    const double rate = seconds > 0 ? done_ / seconds : 0;
    std::string rateText;
    if (unit_ == Unit::Bytes) {
        rateText = formatBytes(rate) + "/s";
    } else if (unit_ == Unit::Events) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f Mev/s", rate / 1e6);
        rateText = text;
    } else {
        char text[32];
        std::snprintf(text, sizeof text, "%.1fx real time", rate / 1e6);
        rateText = text;
    }
    std::string left;
    if (last) {
        left = "done in " + formatSeconds(seconds);
    } else if (rate > 0 && done_ < total_) {
        left = formatSeconds((total_ - done_) / rate) + " left";
    }
    const int percent = static_cast<int>(fraction * 100);
    if (terminal_) {
        const int filled = static_cast<int>(fraction * kBarWidth);
        std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
        std::fprintf(stderr, "\r%s [%s] %3d%%  %s  %s\033[K%s", label_.c_str(), bar.c_str(),
                     percent, rateText.c_str(), left.c_str(), last ? "\n" : "");
    } else {
        std::fprintf(stderr, "%s: %d%%, %s, %s\n", label_.c_str(), percent, rateText.c_str(),
                     left.c_str());
    }
    std::fflush(stderr);
    drawn_ = true;
}

StatusLine::StatusLine(bool quiet) : quiet_(quiet), terminal_(stderrIsTerminal()) {}

StatusLine::~StatusLine() {
    finish();
}

void StatusLine::show(const std::string& text) {
    if (quiet_) {
        return;
    }
    if (terminal_) {
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        open_ = true;
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
}

void StatusLine::finish() {
    if (open_) {
        std::fputc('\n', stderr);
        open_ = false;
    }
}

}  // namespace orvane::cli
