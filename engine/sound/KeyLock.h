// Key lock: the source of a deck's block when it keeps its key at another tempo. Instead of resampling
// (which moves tempo and pitch together) it reads the buffer's samples one to one and time-stretches
// them by the rate with Rubber Band's real-time engine, so the tempo follows the rate and the key stays.
//
// Positions stay the resampler's: the heard position advances by exactly `step` per device frame, and
// the stretcher's latency is hidden by reading ahead of it (primed with the stretcher's start pad,
// its start delay discarded), so the time display, the grid and timed starts need not know whether
// key lock is on. Rubber Band's start delay is the same at every time ratio, but where a beat really
// sounds is not: a measured table of that rate-dependent lateness moves the reading by it. And a
// stretcher whose ratio moved far keeps part of the old ratio's lateness, so once a new ratio holds, a
// second stretcher primed afresh at the same place takes over, cross-faded within one block.
// A position the caller moved (a seek, a jump, a loop wrap the caller made) primes the stretcher afresh
// at the new place.
//
// Construction allocates and must happen off the mix; render() does not allocate, lock or wait.
#pragma once

#include "engine/sound/MixSteps.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace RubberBand {
class RubberBandStretcher;
}

namespace mixora::sound::detail {

struct LateTable;

class KeyLock {
public:
    enum class Engine {
        Faster,     // Rubber Band R2: cheapest, steady block times
        FinerShort, // R3 with its short window
    };
    // sourceRate: the buffer's sample rate (its pitch is kept as it sounds at that rate).
    explicit KeyLock(int sourceRate, Engine engine = Engine::Faster);
    ~KeyLock();
    KeyLock(const KeyLock &) = delete;
    KeyLock &operator=(const KeyLock &) = delete;

    // The next render starts afresh wherever it is asked to start.
    void restart() { primed_ = false; }

    // Writes n device frames (interleaved stereo, overwriting out) heard from pos on, the cursor moving
    // step (32.32 source frames) per device frame. The end is reported as resampleAdd reports it.
    // n is at most kMaxFrames.
    ResampleEnd render(const SampleSource &source, std::uint64_t pos, std::uint64_t step, float *out,
                       std::size_t n);

    // Source frames the reading runs ahead of the heard position (the compensated latency).
    double readAhead() const { return primed_ ? lanes_[current_].ahead : 0.0; }
    // Output frames that had to be filled with silence because the stretcher gave too little.
    std::uint64_t shortfalls() const { return shortfalls_; }

    static constexpr std::size_t kMaxFrames = 1024;
    static constexpr std::size_t kFeedFrames = 1024;

private:
    // Output frames by which a stretcher primed at this ratio sounds a beat late (negative: early).
    double lateness(double ratio) const;
    struct Lane {
        std::unique_ptr<RubberBand::RubberBandStretcher> rb;
        std::int64_t readFrame = 0;     // next source frame to feed, unwrapped
        double ahead = 0;               // readFrame minus the heard position, in source frames
        std::size_t pendingDiscard = 0; // output frames still to drop after priming
        double ratio = 0;
        double primedRatio = 0;
    };
    void prime(Lane &lane, std::uint64_t pos, double ratio);
    void feed(Lane &lane, const SampleSource &source, std::size_t frames);
    std::size_t pull(Lane &lane, const SampleSource &source, float *const *out, std::size_t n);

    Lane lanes_[2];
    int current_ = 0;
    const double pitchScale_;
    const bool compensated_;
    const LateTable &late_;
    std::vector<float> in_[2];
    std::vector<float> out_[2];
    std::vector<float> fresh_[2];
    bool primed_ = false;
    std::uint64_t expectedPos_ = 0;
    int steadyBlocks_ = 0; // blocks since the ratio last changed
    std::uint64_t shortfalls_ = 0;
};

} // namespace mixora::sound::detail
