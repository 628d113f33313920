// Key lock: the source of a deck's block when it keeps its key at another tempo. Instead of resampling
// (which moves tempo and pitch together) it reads the buffer's samples one to one and time-stretches
// them by the rate with Rubber Band's real-time engine, so the tempo follows the rate and the key stays.
//
// Positions stay the resampler's: the heard position advances by exactly `step` per device frame, and
// the stretcher's latency is hidden by reading ahead of it (primed with the stretcher's start pad,
// its start delay discarded), so the time display, the grid and timed starts need not know whether
// key lock is on. A position the caller moved (a seek, a jump, a loop wrap the caller made) primes
// the stretcher afresh at the new place.
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
    double readAhead() const { return primed_ ? ahead_ : 0.0; }
    // Output frames that had to be filled with silence because the stretcher gave too little.
    std::uint64_t shortfalls() const { return shortfalls_; }

    static constexpr std::size_t kMaxFrames = 1024;
    static constexpr std::size_t kFeedFrames = 1024;

private:
    void prime(std::uint64_t pos, double ratio);
    void feed(const SampleSource &source, std::size_t frames);
    void setRatio(double ratio);

    std::unique_ptr<RubberBand::RubberBandStretcher> rb_;
    const double pitchScale_;
    std::vector<float> in_[2];
    std::vector<float> out_[2];
    bool primed_ = false;
    std::int64_t readFrame_ = 0; // next source frame to feed, unwrapped
    double ahead_ = 0;           // readFrame_ minus the heard position, in source frames
    std::uint64_t expectedPos_ = 0;
    std::size_t pendingDiscard_ = 0; // output frames still to drop after priming
    double ratio_ = 0;
    std::uint64_t shortfalls_ = 0;
};

} // namespace mixora::sound::detail
