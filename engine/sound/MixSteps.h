// The pure steps of one buffer's mix, each usable and testable alone: the rate correction that keeps a
// headphone copy on its master's cursor, the resampler that adds a span of a buffer at a volume that
// moves from a start to an end value, and which notification offsets a span of the cursor went over.
// None of them allocates, locks or keeps state beyond what it is handed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace mixora::sound::detail {

// Cursor positions are 32.32 fixed point, in frames.
inline constexpr std::uint64_t kFixedOne = std::uint64_t(1) << 32;
// A volume change is spread over at most this many frames (the period, when shorter).
inline constexpr std::size_t kMaxRampFrames = 1024;

// Keeps a slave's cursor on its master's: a critically damped PI loop (about four seconds to settle) on
// the low-passed cursor error, and a jump for errors too large to pull in (a seek on the master).
class SlaveFollower {
public:
    // The slave (re)starts playing: its next step jumps to the master.
    void restart() { synced_ = false; }
    // One period of periodFrames device frames. nullopt: jump to the master's position now. Otherwise the
    // rate correction (ratio − 1) for this period, within ±kMaxSlaveCorrection. Positions are in frames of
    // a buffer lengthFrames long that wraps; masterJumps counts the master's cursor sets.
    std::optional<double> step(double masterFrames, double slaveFrames, double lengthFrames, double rateHz,
                               std::uint32_t masterJumps, std::size_t periodFrames);

private:
    bool synced_ = false;
    std::uint32_t seenJumps_ = 0;
    double errFiltered_ = 0.0;
    double errIntegral_ = 0.0;
};

// A buffer's samples as the resampler reads them (relaxed atomics: a writer may refill them meanwhile).
struct SampleSource {
    const std::atomic<std::int16_t> *samples = nullptr;
    std::int64_t frames = 0;
    int channels = 2;     // 1 (sent to both sides) or 2
    bool looping = false; // reads past either end wrap around; otherwise they are silence
};

struct ResampleEnd {
    std::uint64_t pos = 0;   // where the next period starts; 0 after a stop
    std::uint64_t wraps = 0; // how often the cursor wrapped past the end
    bool stopped = false;    // a buffer that does not loop ran to its end (frames after it stay untouched)
};

// Adds n device frames of source into acc (interleaved stereo), reading from pos in steps of step
// (4-point cubic interpolation; a whole position takes the sample as it is). The volume moves from
// startGain to endGain over the first min(n, kMaxRampFrames) frames and stays at endGain after.
ResampleEnd resampleAdd(const SampleSource &source, std::uint64_t pos, std::uint64_t step, float startGain,
                        float endGain, float *acc, std::size_t n);

// Adds n interleaved stereo frames of block into acc at a gain that moves from startGain to endGain as
// resampleAdd's does, so resampling at unity gain and then adding gives the same sums bit for bit.
void addScaled(const float *block, float startGain, float endGain, float *acc, std::size_t n);

// Where the play cursor went in one period, in bytes.
struct CursorTravel {
    std::uint64_t startByte = 0;
    std::uint64_t endByte = 0;
    std::uint64_t wraps = 0;
    bool stopped = false;
    // Whether the cursor went over offset: [start, end), wrapping around; every offset after a second
    // wrap; from start to the buffer's end when it stopped there.
    bool passed(std::uint64_t offset) const;
};

} // namespace mixora::sound::detail
