#include "orvane/sim/SceneGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace orvane::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kBarWidth = 96;         // pixels
constexpr double kBarSpeed = 1.0e-3;  // pixels per microsecond
constexpr double kDotOrbit = 200.0;   // pixels from the centre
constexpr double kDotRadius = 24.0;   // pixels
constexpr double kDotTurnsPerSecond = 1.0;
constexpr uint32_t kMaxRun = 12;  // neighbouring pixels an edge fires at once

}  // namespace

SceneGenerator::SceneGenerator(Scene scene, double eventsPerSecond, uint64_t seed, uint16_t width,
                               uint16_t height)
    : scene_(scene),
      eventsPerMicrosecond_(eventsPerSecond / 1e6),
      width_(width),
      height_(height),
      random_(seed) {
    if (scene == Scene::Replay) {
        throw std::invalid_argument("SceneGenerator: a replay scene streams a file");
    }
    if (!(eventsPerSecond > 0.0) || !std::isfinite(eventsPerSecond)) {
        throw std::invalid_argument("SceneGenerator: the event rate must be positive");
    }
    if (eventsPerSecond > kPeakEventRate) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "SceneGenerator: %g events/s is beyond the simulated sensor's peak of %g "
                      "events/s",
                      eventsPerSecond, kPeakEventRate);
        throw std::invalid_argument(text);
    }
    if (width == 0 || height == 0 || width > 2048 || height > 2048) {
        throw std::invalid_argument("SceneGenerator: geometry must be 1..2048 on each side");
    }
}

size_t SceneGenerator::generate(uint64_t until, std::vector<Event2D>& out) {
    const size_t before = out.size();
    for (; now_ < until; ++now_) {
        budget_ += eventsPerMicrosecond_;
        if (budget_ >= 1.0) {
            auto count = static_cast<uint32_t>(budget_);
            budget_ -= count;
            tick(now_, count, out);
        }
    }
    return out.size() - before;
}

uint32_t SceneGenerator::run(int x, int y, uint8_t polarity, uint64_t t, uint32_t length) {
    if (y < 0 || y >= height_) {
        return 0;
    }
    int from = std::max(x, 0);
    int to = std::min(x + static_cast<int>(length), static_cast<int>(width_));
    for (int c = from; c < to; ++c) {
        tickEvents_.emplace_back(static_cast<uint16_t>(c), static_cast<uint16_t>(y), polarity, t);
    }
    return to > from ? static_cast<uint32_t>(to - from) : 0;
}

// Spends `count` events at time t on the scene's edges, then appends them in
// readout order (row by row, columns rising).
void SceneGenerator::tick(uint64_t t, uint32_t count, std::vector<Event2D>& out) {
    tickEvents_.clear();
    std::uniform_int_distribution<int> rowOf(0, height_ - 1);
    std::uniform_int_distribution<uint32_t> runOf(1, kMaxRun);
    uint32_t spent = 0;
    uint32_t misses = 0;
    while (spent < count && misses < 64) {
        uint32_t want = std::min(runOf(random_), count - spent);
        uint32_t made = 0;
        switch (scene_) {
            case Scene::MovingBar: {
                const int span = width_ + kBarWidth;
                const int left =
                    static_cast<int>(std::fmod(kBarSpeed * double(t), span)) - kBarWidth;
                const bool leading = (random_() & 1) != 0;
                const int edge = leading ? left + kBarWidth : left;
                made = run(edge - static_cast<int>(want) / 2, rowOf(random_), leading ? 1 : 0, t,
                           want);
                break;
            }
            case Scene::RotatingDot: {
                const double turn = 2 * kPi * kDotTurnsPerSecond * double(t) / 1e6;
                const double cx = width_ / 2.0 + kDotOrbit * std::cos(turn);
                const double cy = height_ / 2.0 + kDotOrbit * std::sin(turn);
                std::uniform_real_distribution<double> angle(0, 2 * kPi);
                const double a = angle(random_);
                const int y = static_cast<int>(cy + kDotRadius * std::sin(a));
                const int x = static_cast<int>(cx + kDotRadius * std::cos(a));
                // The half facing the motion brightens, the trailing half darkens.
                const bool leading = std::sin(a - turn) > 0;
                made = run(x, y, leading ? 1 : 0, t, std::min<uint32_t>(want, 4));
                break;
            }
            case Scene::Noise:
            case Scene::Replay: {
                std::uniform_int_distribution<int> columnOf(0, width_ - 1);
                made = run(columnOf(random_), rowOf(random_), random_() & 1, t, 1);
                break;
            }
        }
        spent += made;
        misses = made == 0 ? misses + 1 : 0;
    }
    std::sort(tickEvents_.begin(), tickEvents_.end(), [](const Event2D& a, const Event2D& b) {
        return a.y != b.y ? a.y < b.y
                          : (a.polarity != b.polarity ? a.polarity < b.polarity : a.x < b.x);
    });
    // Two runs may touch the same pixel; the sensor reports a pixel once per readout.
    auto same = [](const Event2D& a, const Event2D& b) {
        return a.x == b.x && a.y == b.y && a.polarity == b.polarity;
    };
    tickEvents_.erase(std::unique(tickEvents_.begin(), tickEvents_.end(), same), tickEvents_.end());
    out.insert(out.end(), tickEvents_.begin(), tickEvents_.end());
}

}  // namespace orvane::sim
