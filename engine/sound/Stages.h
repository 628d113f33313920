// The stages of a deck's signal chain in the mix, and the output's limiter. Each is a small pure piece
// in the style of MixSteps: its state, a block of the period in, the block out; nothing allocates, locks
// or does I/O, and every one is usable and testable alone.
//
// The chain of one buffer in a period (DeviceMix::mixBuffer):
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

// Both channels of a frame at once, one lane each (GCC/Clang vector extension: one SSE2 register).
typedef double Pair __attribute__((vector_size(16)));

// One second-order section, normalised (a0 = 1), run in transposed direct form II in double: the
// low crossovers sit close to z = 1, where float coefficients would not hold the response.
struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    static Biquad lowPass(double hz, double q);
    static Biquad highPass(double hz, double q);
    static Biquad allPass(double hz, double q);
};

// The last period's source block of a buffer, so a stage leaving its bypass starts from a settled state
// instead of from silence (a cold filter rings).
class BlockHistory {
public:
    static constexpr std::size_t kFrames = 512;
    void keep(const float *block, std::size_t n);
    // Runs f(left, right) over the kept frames, oldest first.
    template <typename F> void replay(F &&f) const {
        for (std::size_t i = 0; i < kFrames; ++i) {
            const std::size_t k = (next_ + i) % kFrames;
            f(frames_[2 * k], frames_[2 * k + 1]);
        }
    }

private:
    std::array<float, 2 * kFrames> frames_{};
    std::size_t next_ = 0;
};

// Three-band isolator: two Linkwitz-Riley crossovers of 8th order (each filter a 4th-order Butterworth
// twice), so the bands sum to an all-pass (flat) and a killed band is gone steeply. Per channel, with
// LP/AP the crossovers' low-pass and matching all-pass:
//   low = LP1 x,  rest = AP1 x − low (the high-pass of the first crossover),  mid = LP2 rest,
//   out = AP2 (gLow · low + gHigh · rest) + (gMid − gHigh) · mid
// which is gLow · AP2 low + gMid · mid + gHigh · HP2 rest with one all-pass instead of three.
class EqStage {
public:
    struct Target {
        std::array<float, kEqBands> gain{1.0f, 1.0f, 1.0f}; // linear; 0 = killed
        float lowHz = kEqLowCrossoverHz;
        float highHz = kEqHighCrossoverHz;
        bool neutral() const { return gain[0] == 1.0f && gain[1] == 1.0f && gain[2] == 1.0f; }
    };
    // Before the history takes this period's block: a stage about to leave its bypass settles on it.
    void warm(const Target &target, const BlockHistory &history);
    // In place on n interleaved stereo frames; the settings move to target within the block.
    void process(const Target &target, float *block, std::size_t n);
    bool bypassed() const { return wet_ == 0.0f; }
    void reset(); // clears the filters' memory; the settings stay
    // The steady response (linear magnitude) at a frequency for a target, for measurements.
    static double response(const Target &target, double hz);

private:
    struct PairState {
        Pair z1{}, z2{};
        Pair run(const Biquad &c, Pair x) {
            const Pair y = c.b0 * x + z1;
            // What does not wait for y first: each state then waits for y by one multiply-add only.
            z1 = (c.b1 * x + z2) - c.a1 * y;
            z2 = c.b2 * x - c.a2 * y;
            return y;
        }
    };
    struct Channels {
        PairState lp1[4], ap1[2], lp2[4], ap2[2];
        // Mid: whether the mid band's low-pass runs; without it the sum is right only where
        // gMid = gHigh (its share is gMid − gHigh), and the low-pass's state grows stale.
        template <bool Mid> Pair run(const EqStage &eq, Pair x, double gLow, double gMid, double gHigh);
    };
    void design(float lowHz, float highHz);

    float lowHz_ = 0, highHz_ = 0;
    Biquad lp1_[2], ap1_[2], lp2_[2], ap2_[2];
    Channels ch_;
    std::array<float, kEqBands> gain_{1.0f, 1.0f, 1.0f};
    float wet_ = 0.0f;      // 0: bypassed (the block stays untouched), 1: the EQ's output alone
    float dip_ = 1.0f;      // the level's share on the way back to the bypass
    bool midStale_ = false; // the mid band's low-pass sat out a block ("Mitte" = "Hoch")
};

// The deck's filter knob: a 2nd-order low-pass (knob left of centre) or high-pass (right of it), Q 0.707,
// its cutoff swept logarithmically from the knob's end to the dead zone's edge. The cutoff glides within
// the block; a change of side (or in or out of the dead zone) cross-fades to a second section.
class FilterStage {
public:
    // Before the history takes this period's block: a section about to start settles on the history.
    void warm(float knob, const BlockHistory &history);
    void process(float knob, float *block, std::size_t n);
    bool bypassed() const { return mode_ == Mode::Off && !fading_; }
    void reset() { cur_.ic1 = cur_.ic2 = Pair{}; }
    // The cutoff a knob value gives (Hz; 0 in the dead zone).
    static double cutoffHz(float knob);

private:
    enum class Mode { Off, LowPass, HighPass };
    // A state-variable filter in trapezoidal form: it stays smooth while its cutoff moves, where a
    // direct-form biquad's state would jump with its coefficients. Its two states and the output are
    // each one sum over the states and the input (the filter's equations solved ahead in design), so a
    // sample waits for the last one's states by two multiply-adds.
    struct Section {
        Mode mode = Mode::Off;
        double hz = 0;
        double s11 = 0, s12 = 0, s1x = 0; // next ic1
        double s21 = 0, s22 = 0, s2x = 0; // next ic2
        double o1 = 0, o2 = 0, ox = 0;    // output
        Pair ic1{}, ic2{};
        void design(Mode m, double f);
        Pair run(Pair x);
    };
    static Mode modeOf(float knob);

    Mode mode_ = Mode::Off;
    Section cur_, next_;
    bool fading_ = false; // next_ is warmed and takes over in the coming block
};

// A buffer's chain: its source history, the stages, its meter.
struct DeckChain {
    BlockHistory history;
    EqStage eq;
    FilterStage filter;
    PeakMeter meter;
    // The stages on a period's source block, then the meter; false when a stage's output was not finite
    // (the block is then silenced and the stages start afresh).
    bool process(const EqStage::Target &eqTarget, float filterKnob, float *block, std::size_t n);
    // The buffer starts playing after a stop: the stages forget the sound before it.
    void restart();
};

// Device output limiter: zero latency. Its look-ahead is the next kLimiterLookaheadFrames of every buffer,
// resampled ahead of time without moving the buffers; the gain falls in a linear ramp of at most one
// look-ahead to meet a peak and recovers exponentially. A block whose samples and look-ahead all stay at
// or below the ceiling, with the gain recovered, passes untouched. The look-ahead is a forecast: a start
// or seek the mix cannot foresee meets a gain that falls at once, so the ceiling holds in any case.
class Limiter {
public:
    // block: n ≤ DeviceMix::kChunkFrames frames; ahead: the forecast of the frames after them. True when a
    // sample of the block was over the ceiling.
    bool process(float *block, std::size_t n, const float *ahead, std::size_t aheadFrames);
    double gain() const { return gain_; }

private:
    double gain_ = 1.0;
    std::array<float, 1024 + kLimiterLookaheadFrames> env_{};
};

} // namespace mixora::sound::detail
