// LoopPlan: where a deck's stream wraps. The writer that fills the sound buffer asks it how far it may
// write before the loop's end and where the stream goes on after a wrap. Repeat n ends where the
// unfolded stream reaches round(start + n·length), so the fraction of a length is carried from repeat
// to repeat and N repeats last N·length samples to within one, whatever N.
//
// Pure: no I/O, no locks, no allocation; its owner serialises every call.
#pragma once

#include <cstdint>
#include <limits>

namespace mixora::engine {

class LoopPlan {
public:
    static constexpr std::int64_t kNoWrap = std::numeric_limits<std::int64_t>::max();

    // Engages a loop from start (stream samples, with fraction) of length samples; repeats count anew.
    void set(double start, double length);
    // Disengages it; start and length stay for a reloop.
    void disengage() { engaged_ = false; }
    bool engaged() const { return engaged_; }
    bool known() const { return length_ > 0.0; }
    double start() const { return start_; }
    double length() const { return length_; }

    // The sample the stream goes back to at a wrap.
    std::int64_t startSample() const;
    // The first sample past the current repeat: where the writer wraps.
    std::int64_t endSample() const;
    // Samples the writer may take from source on before it wraps; kNoWrap when it plays on (nothing
    // engaged, or source already lies at or past the end: a loop set behind the play position waits
    // for a jump back into it).
    std::int64_t untilWrap(std::int64_t source) const;
    // The writer reached endSample(): counts the repeat and returns the source to go on from.
    std::int64_t wrap();
    // The stream ends at sample end, inside the loop: the loop ends there from now on.
    void cutAt(std::int64_t end);

private:
    double start_ = 0.0;
    double length_ = 0.0;
    bool engaged_ = false;
    std::int64_t repeats_ = 0;
};

// The wrap's cross-fade, frames [from, from + count) of a linear fade of total frames: the audio past the
// loop end (tail, indexed from the fade's start) fades out while out (the loop start) fades in. A linear
// fade leaves audio that is the same on both sides unchanged.
void crossFade(std::int16_t *out, const std::int16_t *tail, int channels, int from, int count, int total);

} // namespace mixora::engine
