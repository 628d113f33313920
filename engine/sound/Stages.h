// The stages of a deck's signal chain in the mix, and the output's limiter. Each is a small pure piece
// in the style of MixSteps: its state, a block of the period in, the block out; nothing allocates, locks
// or does I/O, and every one is usable and testable alone.
//
// The chain of one buffer in a period (Mixer::mixBuffer):
//   source  — resampleAdd into a scratch block at unity gain. A time-stretcher (key lock) takes this
//             place: it fills the same block from the same cursor. Sample-exact loops belong to the
//             cursor logic in front of the source (where it wraps and jumps), not to the stages;
//   stages  — EqStage, then FilterStage, in place on the block;
//   meter   — the buffer's PeakMeter (after the stages, before any gain);
//   gain    — addScaled: the ramped volume × level gain, added into the device's sum.
// The sum then passes the device's Limiter. The stages are fixed members rather than a list: there are
// few, their order is part of how a deck sounds, and a fixed set costs no indirection in the mix. A new
// stage is one more member and one more call in mixBuffer.
//
// Every stage at its neutral setting leaves the block untouched (not even rounding), so a deck with the
// EQ at 0 dB and the filter centred sounds bit for bit as without the chain. Leaving and entering the
// neutral setting is cross-faded within one period, as is every change of a setting.
#pragma once

#include "engine/sound/Sound.h"

#include <array>
#include <atomic>
#include <cstddef>

namespace mixora::sound::detail {

// A level meter between the mix and a reader: the mix raises it, a reader takes it (lock-free).
class PeakMeter {
public:
    // Mix thread: a block's peak (1 = full scale).
    void raise(float peak) {
        float old = peak_.load(std::memory_order_relaxed);
        while (peak > old && !peak_.compare_exchange_weak(old, peak, std::memory_order_relaxed)) {
        }
        if (peak >= 1.0f)
            clipped_.store(true, std::memory_order_relaxed);
    }
    void clip() { clipped_.store(true, std::memory_order_relaxed); }
    PeakReading take() {
        PeakReading r;
        r.peak = peak_.exchange(0.0f, std::memory_order_relaxed);
        r.clipped = clipped_.exchange(false, std::memory_order_relaxed);
        return r;
    }

private:
    std::atomic<float> peak_{0.0f};
    std::atomic<bool> clipped_{false};
};

} // namespace mixora::sound::detail
