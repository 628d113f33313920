#include "engine/sound/Stages.h"

#include "engine/sound/MixSteps.h"

#include <algorithm>
#include <cmath>
#include <complex>

// The filter loops in a second version for processors with fused multiply-add (x86-64 from 2013 on),
// chosen once at load; the others run the plain version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
#define MIXORA_FMA_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define MIXORA_FMA_CLONES
#endif

namespace mixora::sound::detail {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The Q of the two sections of a 4th-order Butterworth filter: 1 / (2 cos θ) for its pole angles
// θ = π/8 and 3π/8 from the negative real axis.
const double kButterworthQ[2] = {1.0 / (2.0 * std::cos(kPi / 8.0)), 1.0 / (2.0 * std::cos(3.0 * kPi / 8.0))};
constexpr double kFilterQ = 0.70710678118654752;
// A cutoff glide recomputes the coefficients this often (frames), and goes at most this far in a period.
constexpr std::size_t kGlideStep = 16;
constexpr double kGlideOctaves = 1.0;
// kLimiterCeilingDb below full scale (31654.6), less what rounding to int16 may add.
// The EQ's way back to its bypass (frames): two periods, after the bands have levelled out.
constexpr std::size_t kLeaveFrames = 1024;
// How far the level dips in the middle of that way (a share of the level).
constexpr float kLeaveDip = 0.2f;
constexpr float kCeiling = 31654.0f;
constexpr double kReleaseSeconds = 0.05;

struct Warped {
    double cosw, alpha;
};
Warped warp(double hz, double q) {
    const double w = 2.0 * kPi * std::clamp(hz, 1.0, 0.49 * kDeviceRate) / kDeviceRate;
    return {std::cos(w), std::sin(w) / (2.0 * q)};
}

std::size_t rampLength(std::size_t n) {
    return std::min(n, kMaxRampFrames);
}

// Where a change stands after frame i of a ramp: an S-curve, so neither its start nor its end adds a
// step of its own to the signal (a straight fade of a low sine does, at its first frame).
float rampAt(std::size_t i, std::size_t ramp) {
    if (i >= ramp)
        return 1.0f;
    const float t = float(i + 1) / float(ramp);
    return t * t * (3.0f - 2.0f * t);
}

// 0 at both ends of a way (p = 0, 1), 1 in its middle, with no slope at the ends: sin²(πp).
float bump(float p) {
    const float s = std::sin(float(kPi) * p);
    return s * s;
}

} // namespace

// Audio EQ cookbook sections (bilinear transform with prewarping).
Biquad Biquad::lowPass(double hz, double q) {
    const auto [c, a] = warp(hz, q);
    const double a0 = 1.0 + a;
    return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0, (1.0 - a) / a0};
}
Biquad Biquad::highPass(double hz, double q) {
    const auto [c, a] = warp(hz, q);
    const double a0 = 1.0 + a;
    return {(1.0 + c) / 2.0 / a0, -(1.0 + c) / a0, (1.0 + c) / 2.0 / a0, -2.0 * c / a0, (1.0 - a) / a0};
}
Biquad Biquad::allPass(double hz, double q) {
    const auto [c, a] = warp(hz, q);
    const double a0 = 1.0 + a;
    return {(1.0 - a) / a0, -2.0 * c / a0, 1.0, -2.0 * c / a0, (1.0 - a) / a0};
}

void BlockHistory::keep(const float *block, std::size_t n) {
    const std::size_t from = n > kFrames ? n - kFrames : 0;
    for (std::size_t i = from; i < n; ++i) {
        frames_[2 * next_] = block[2 * i];
        frames_[2 * next_ + 1] = block[2 * i + 1];
        next_ = (next_ + 1) % kFrames;
    }
}

// --- EQ

void EqStage::design(float lowHz, float highHz) {
    lowHz_ = lowHz;
    highHz_ = highHz;
    for (int k = 0; k < 2; ++k) {
        lp1_[k] = Biquad::lowPass(lowHz, kButterworthQ[k]);
        ap1_[k] = Biquad::allPass(lowHz, kButterworthQ[k]);
        lp2_[k] = Biquad::lowPass(highHz, kButterworthQ[k]);
        ap2_[k] = Biquad::allPass(highHz, kButterworthQ[k]);
    }
}

// Whether a block moving the gains from one setting to another needs the mid band's low-pass: with
// "Mitte" and "Hoch" equal at both ends, they are equal all the way (the same ramp) and its share is 0.
static bool midRuns(const std::array<float, kEqBands> &from, const std::array<float, kEqBands> &to) {
    return !(from[1] == from[2] && to[1] == to[2]);
}

void EqStage::reset() {
    ch_ = Channels{};
    midStale_ = false;
}

// Inlined into its callers, so each of their versions has its own.
template <bool Mid>
[[gnu::always_inline]] inline Pair EqStage::Channels::run(const EqStage &eq, Pair x, double gLow, double gMid,
                                                          double gHigh) {
    // Each Linkwitz-Riley low-pass is the Butterworth pair twice; its all-pass is the pair once.
    Pair low = lp1[0].run(eq.lp1_[0], x);
    low = lp1[1].run(eq.lp1_[1], low);
    low = lp1[2].run(eq.lp1_[0], low);
    low = lp1[3].run(eq.lp1_[1], low);
    const Pair rest = ap1[1].run(eq.ap1_[1], ap1[0].run(eq.ap1_[0], x)) - low;
    Pair mid{};
    if constexpr (Mid) {
        mid = lp2[0].run(eq.lp2_[0], rest);
        mid = lp2[1].run(eq.lp2_[1], mid);
        mid = lp2[2].run(eq.lp2_[0], mid);
        mid = lp2[3].run(eq.lp2_[1], mid);
    }
    const Pair outer = ap2[1].run(eq.ap2_[1], ap2[0].run(eq.ap2_[0], gLow * low + gHigh * rest));
    return Mid ? outer + (gMid - gHigh) * mid : outer;
}

void EqStage::warm(const Target &target, const BlockHistory &history) {
    if (wet_ != 0.0f) {
        // "Mitte" leaves "Hoch": the mid band's low-pass, idle meanwhile, settles on the history through
        // crossovers of its own that start from silence. Their start has died away within the history,
        // and the band's share ramps up from 0.
        if (midStale_ && midRuns(gain_, target.gain)) {
            Channels fresh;
            history.replay([&](float l, float r) { fresh.run<true>(*this, Pair{l, r}, 1.0, 1.0, 1.0); });
            std::copy(std::begin(fresh.lp2), std::end(fresh.lp2), std::begin(ch_.lp2));
            midStale_ = false;
        }
        return;
    }
    if (target.neutral())
        return;
    if (target.lowHz != lowHz_ || target.highHz != highHz_)
        design(target.lowHz, target.highHz);
    reset();
    history.replay([this](float l, float r) { ch_.run<true>(*this, Pair{l, r}, 1.0, 1.0, 1.0); });
}

MIXORA_FMA_CLONES void EqStage::process(const Target &target, float *block, std::size_t n) {
    const bool on = !target.neutral();
    if (wet_ == 0.0f && !on)
        return;
    if (target.lowHz != lowHz_ || target.highHz != highHz_)
        design(target.lowHz, target.highHz); // a new crossover: rare, from the settings only
    if (on && wet_ == 1.0f && dip_ == 1.0f && gain_ == target.gain) {
        // Settled: the knobs stand still and no fade runs, so the bands' output is the block.
        const double gl = gain_[0], gm = gain_[1], gh = gain_[2];
        // Inlined as the calls of Channels::run are, into each version of process.
        auto settled = [&]<bool Mid>() __attribute__((always_inline)) {
            for (std::size_t i = 0; i < n; ++i) {
                const Pair y = ch_.run<Mid>(*this, Pair{block[2 * i], block[2 * i + 1]}, gl, gm, gh);
                block[2 * i] = float(y[0]);
                block[2 * i + 1] = float(y[1]);
            }
        };
        if (midRuns(gain_, gain_)) {
            settled.operator()<true>();
        } else {
            settled.operator()<false>();
            midStale_ = true;
        }
        return;
    }
    const std::size_t ramp = rampLength(n);
    const std::array<float, kEqBands> from = gain_;
    const bool mid = midRuns(from, target.gain);
    midStale_ = midStale_ || !mid;
    const float wetFrom = wet_;
    // The bands level out first; the fade to the bypass starts in the next block, so the two never add
    // their steps.
    const bool leaving = !on && from == target.gain;
    const float dipFrom = dip_;
    for (std::size_t i = 0; i < n; ++i) {
        const float t = rampAt(i, ramp);
        const double gl = from[0] + (target.gain[0] - from[0]) * t;
        const double gm = from[1] + (target.gain[1] - from[1]) * t;
        const double gh = from[2] + (target.gain[2] - from[2]) * t;
        // Going on, the EQ takes over within the period, since a kill must act at once. Going back to
        // the bypass the bands are level again within the period, and what is left is the all-pass's
        // phase: a low tone has to catch up that phase during the fade, which quickens it for a moment
        // and so steepens its steps. The level dips a little meanwhile, smoothly, so no sample steps
        // further than the tone's own.
        const float progress = on ? wetFrom + (1.0f - wetFrom) * float(std::min(i + 1, ramp)) / float(ramp)
                               : leaving ? std::max(0.0f, wetFrom - float(i + 1) / float(kLeaveFrames))
                                         : wetFrom;
        const float w = progress * progress * (3.0f - 2.0f * progress);
        // A knob turned again during the fade lifts the dip as the EQ takes over.
        const float dip = leaving ? 1.0f - kLeaveDip * bump(progress)
                          : on    ? dipFrom + (1.0f - dipFrom) * t
                                  : dipFrom;
        const float l = block[2 * i], r = block[2 * i + 1];
        const Pair y = mid ? ch_.run<true>(*this, Pair{l, r}, gl, gm, gh)
                           : ch_.run<false>(*this, Pair{l, r}, gl, gm, gh);
        block[2 * i] = dip * (l + w * (float(y[0]) - l));
        block[2 * i + 1] = dip * (r + w * (float(y[1]) - r));
    }
    gain_ = target.gain;
    wet_ = on ? 1.0f : leaving ? std::max(0.0f, wetFrom - float(n) / float(kLeaveFrames)) : wetFrom;
    dip_ = leaving ? 1.0f - kLeaveDip * bump(wet_) : on ? 1.0f : dipFrom;
}

double EqStage::response(const Target &target, double hz) {
    EqStage eq;
    eq.design(target.lowHz, target.highHz);
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * hz / kDeviceRate);
    const std::complex<double> z2 = z1 * z1;
    auto h = [&](const Biquad &b) { return (b.b0 + b.b1 * z1 + b.b2 * z2) / (1.0 + b.a1 * z1 + b.a2 * z2); };
    const auto lp1 = h(eq.lp1_[0]) * h(eq.lp1_[1]), ap1 = h(eq.ap1_[0]) * h(eq.ap1_[1]);
    const auto lp2 = h(eq.lp2_[0]) * h(eq.lp2_[1]), ap2 = h(eq.ap2_[0]) * h(eq.ap2_[1]);
    const auto low = lp1 * lp1, rest = ap1 - low, mid = lp2 * lp2 * rest;
    const auto [gl, gm, gh] = target.gain;
    return std::abs(ap2 * (double(gl) * low + double(gh) * rest) + double(gm - gh) * mid);
}

// --- filter

double FilterStage::cutoffHz(float knob) {
    const float a = std::fabs(knob);
    if (!(a > kFilterDeadZone))
        return 0.0;
    const double t = (std::min(a, 1.0f) - kFilterDeadZone) / (1.0 - kFilterDeadZone);
    // Low-pass: from the top down to kFilterMinHz at −1; high-pass: from the bottom up to kFilterMaxHz.
    return knob < 0 ? kFilterMaxHz * std::pow(double(kFilterMinHz) / kFilterMaxHz, t)
                    : kFilterMinHz * std::pow(double(kFilterMaxHz) / kFilterMinHz, t);
}

FilterStage::Mode FilterStage::modeOf(float knob) {
    if (knob < -kFilterDeadZone)
        return Mode::LowPass;
    if (knob > kFilterDeadZone)
        return Mode::HighPass;
    return Mode::Off;
}

void FilterStage::Section::design(Mode m, double f) {
    mode = m;
    hz = f;
    // The filter: v1 = a1·ic1 + a2·(x − ic2) (band-pass), v2 = ic2 + g·v1 (low-pass),
    // high-pass x − k·v1 − v2, then ic1 = 2·v1 − ic1, ic2 = 2·v2 − ic2.
    const double g = std::tan(kPi * std::clamp(f, 1.0, 0.49 * kDeviceRate) / kDeviceRate);
    const double k = 1.0 / kFilterQ;
    const double a1 = 1.0 / (1.0 + g * (g + k)), a2 = g * a1, a3 = g * a2;
    s11 = 2.0 * a1 - 1.0, s12 = -2.0 * a2, s1x = 2.0 * a2;
    s21 = 2.0 * a2, s22 = 1.0 - 2.0 * a3, s2x = 2.0 * a3;
    if (m == Mode::LowPass)
        o1 = a2, o2 = 1.0 - a3, ox = a3;
    else
        o1 = -k * a1 - a2, o2 = k * a2 - 1.0 + a3, ox = 1.0 - k * a2 - a3;
}

[[gnu::always_inline]] inline Pair FilterStage::Section::run(Pair x) {
    if (mode == Mode::Off)
        return x;
    const Pair y = o1 * ic1 + (o2 * ic2 + ox * x);
    const Pair next1 = s11 * ic1 + (s12 * ic2 + s1x * x);
    ic2 = s21 * ic1 + (s22 * ic2 + s2x * x);
    ic1 = next1;
    return y;
}

void FilterStage::warm(float knob, const BlockHistory &history) {
    const Mode m = modeOf(knob);
    // A cutoff glides only so far within a period; a longer way (a jumped knob) turns a tone's phase too
    // fast, so a section at the new cutoff takes over instead.
    if (m == mode_ && (m == Mode::Off || std::fabs(std::log2(cutoffHz(knob) / cur_.hz)) <= kGlideOctaves))
        return;
    next_ = Section{};
    next_.design(m, cutoffHz(knob));
    if (m != Mode::Off)
        history.replay([this](float l, float r) { next_.run(Pair{l, r}); });
    fading_ = true;
}

MIXORA_FMA_CLONES void FilterStage::process(float knob, float *block, std::size_t n) {
    const Mode m = modeOf(knob);
    if (!fading_ && m == Mode::Off && mode_ == Mode::Off)
        return;
    const std::size_t ramp = rampLength(n);
    if (fading_ && m == next_.mode) {
        // Cross-fade from the old section (or the dry block) to the new one.
        for (std::size_t i = 0; i < n; ++i) {
            const float t = rampAt(i, ramp);
            const Pair x{block[2 * i], block[2 * i + 1]};
            const Pair a = cur_.run(x), b = next_.run(x);
            for (int c = 0; c < 2; ++c) {
                const float fa = float(a[c]);
                block[2 * i + c] = fa + t * (float(b[c]) - fa);
            }
        }
        cur_ = next_;
        mode_ = m;
        fading_ = false;
        return;
    }
    fading_ = false;
    if (mode_ == Mode::Off)
        return;
    // Same side: the cutoff glides logarithmically to its new place.
    const double to = cutoffHz(knob), from = cur_.hz;
    for (std::size_t i = 0; i < n; i += kGlideStep) {
        if (from != to) {
            // Straight in log frequency: a knob turned steadily moves the cutoff at a steady pace.
            const double t = std::min(1.0, double(i + kGlideStep) / double(ramp));
            cur_.design(m, from * std::pow(to / from, t));
        }
        const std::size_t end = std::min(n, i + kGlideStep);
        for (std::size_t k = i; k < end; ++k) {
            const Pair y = cur_.run(Pair{block[2 * k], block[2 * k + 1]});
            block[2 * k] = float(y[0]);
            block[2 * k + 1] = float(y[1]);
        }
    }
    cur_.hz = to;
}

// --- chain

bool DeckChain::process(const EqStage::Target &eqTarget, float filterKnob, float *block, std::size_t n) {
    eq.warm(eqTarget, history);
    filter.warm(filterKnob, history);
    history.keep(block, n);
    eq.process(eqTarget, block, n);
    filter.process(filterKnob, block, n);
    float peak = 0.0f;
    bool finite = true;
    for (std::size_t i = 0; i < 2 * n; ++i) {
        const float a = std::fabs(block[i]);
        finite = finite && a <= 1e9f; // false for NaN and infinity
        peak = std::max(peak, a);
    }
    if (!finite) {
        std::fill(block, block + 2 * n, 0.0f);
        eq = EqStage{};
        filter = FilterStage{};
        return false;
    }
    meter.raise(peak / 32768.0f);
    return true;
}

void DeckChain::restart() {
    history = BlockHistory{};
    eq.reset();
    filter.reset();
}

// --- limiter

bool Limiter::process(float *block, std::size_t n, const float *ahead, std::size_t aheadFrames) {
    aheadFrames = std::min(aheadFrames, kLimiterLookaheadFrames);
    n = std::min(n, env_.size() - aheadFrames);
    const std::size_t total = n + aheadFrames;
    auto peakAt = [&](std::size_t i) {
        const float *f = i < n ? block + 2 * i : ahead + 2 * (i - n);
        return std::max(std::fabs(f[0]), std::fabs(f[1]));
    };
    bool over = false, overHere = false;
    for (std::size_t i = 0; i < total; ++i) {
        if (peakAt(i) > kCeiling) {
            over = true;
            overHere = i < n;
            break;
        }
    }
    if (!over && gain_ == 1.0)
        return false;
    // The gain each frame may have: what holds its own peak, and no more than a linear ramp of one
    // look-ahead above what a later peak needs.
    const float slope = 1.0f / float(kLimiterLookaheadFrames);
    float next = 1.0f;
    for (std::size_t i = total; i-- > 0;) {
        const float p = peakAt(i);
        const float need = p > kCeiling ? kCeiling / p : 1.0f;
        next = std::min(need, next + slope);
        env_[i] = next;
    }
    // In double: near 1, a float gain would stop short of it (its steps round away).
    const double release = 1.0 - std::exp(-1.0 / (kReleaseSeconds * kDeviceRate));
    double g = gain_;
    for (std::size_t i = 0; i < n; ++i) {
        g = std::min(double(env_[i]), g + (1.0 - g) * release);
        if (1.0 - g < 1e-6)
            g = 1.0;
        if (g < 1.0) {
            block[2 * i] = float(block[2 * i] * g);
            block[2 * i + 1] = float(block[2 * i + 1] * g);
        }
    }
    gain_ = g;
    return overHere;
}

} // namespace mixora::sound::detail
