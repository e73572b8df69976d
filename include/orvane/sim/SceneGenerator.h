#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "orvane/Event2D.h"

namespace orvane::sim {

enum class Scene { MovingBar, RotatingDot, Noise, Replay };

// The most events per second the simulated IMX636 reads out, as the real one.
constexpr double kPeakEventRate = 1.066e9;

// Synthetic sensor output: time-ordered events of a scene at a given mean rate.
// Edges of moving shapes fire short runs of neighbouring pixels on one row at one
// time, as a real sensor's readout does, so the encoded stream mixes vector and
// single-event words. Deterministic for a given seed.
class SceneGenerator {
  public:
    // Throws std::invalid_argument for Scene::Replay (a replay streams a file, it
    // generates nothing), a rate that is not positive or beyond kPeakEventRate,
    // or an empty geometry.
    SceneGenerator(Scene scene, double eventsPerSecond, uint64_t seed, uint16_t width = 1280,
                   uint16_t height = 720);

    // Appends the events with timestamps in [now(), until) and advances now() to
    // `until`. Returns the number appended.
    size_t generate(uint64_t until, std::vector<Event2D>& out);
    uint64_t now() const { return now_; }
    // Moves now() to `t` (if later) without generating anything.
    void skipTo(uint64_t t) { now_ = t > now_ ? t : now_; }

  private:
    void tick(uint64_t t, uint32_t count, std::vector<Event2D>& out);
    // Adds a run of up to `length` pixels on row y from column x, clipped to the
    // sensor, to the current tick; returns the pixels added.
    uint32_t run(int x, int y, uint8_t polarity, uint64_t t, uint32_t length);

    Scene scene_;
    double eventsPerMicrosecond_;
    uint16_t width_;
    uint16_t height_;
    uint64_t now_ = 0;
    double budget_ = 0.0;
    std::mt19937_64 random_;
    std::vector<Event2D> tickEvents_;
};

}  // namespace orvane::sim
