#include "engine/sound/KeyLock.h"

#include "engine/sound/Sound.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <span>

namespace mixora::sound::detail {

struct Late {
    double ratio, frames;
};
struct LateTable {
    double pitchScale;
    std::span<const Late> late;
};

namespace {

using RB = RubberBand::RubberBandStretcher;

RB::Options optionsFor(KeyLock::Engine engine, double pitchScale) {
    // A song at the device's rate needs no pitch scale, and "high speed" then does no resampling work:
    // its beats land where they did with "high consistency" (the lateness below measured the same to
    // 0.01 frame) for half the processor time (5.5 → 2.7 % of a core per deck). Songs at other rates
    // are resampled either way; there high consistency keeps their beats steadier (at 48 kHz the
    // per-click scatter doubles with "high speed").
    RB::Options o = RB::OptionProcessRealTime | RB::OptionThreadingNever |
                    (pitchScale == 1.0 ? RB::OptionPitchHighSpeed : RB::OptionPitchHighConsistency);
    if (engine == KeyLock::Engine::FinerShort)
        o |= RB::OptionEngineFiner | RB::OptionWindowShort;
    else
        // Phases kept per channel, not locked to their neighbours: a beat then sounds in the same place
        // each time. Locked (R2's default), an MP3's clicks scattered by up to ±4 ms at -8 % and
        // ±1.5 ms at +6 %, some smeared into two; this way they stay within ±0.3 ms of a steady lateness.
        o |= RB::OptionEngineFaster | RB::OptionPhaseIndependent;
    return o;
}

// A stretcher that yields nothing for this many feeds is stuck; the rest of the block stays silent
// rather than the mix spinning.
constexpr int kMaxFeedsPerBlock = 64;

// Where R2 sounds a beat after a fresh prime (its start pad fed, its start delay dropped), in output
// frames late, by ratio: the mean over 30 s of 5 ms clicks at each ratio, each placed by its energy
// centroid, measured at 44.1 kHz output. Rubber Band's start delay does not change with the ratio;
// this does, about 330 * (1 - 1/r) for a 44.1 kHz song. Per click it still scatters: ±0.2 ms for 44.1
// and 48 kHz songs at ±8 %, ±0.6 ms at ±20 %; far more for songs at 32 kHz (±2.5 ms) and 22.05 kHz
// (±5 ms), which also sound 3 and 8 ms late. By the song's rate (its pitch scale); other rates use the
// nearest table (not measured).
constexpr Late k44[] = {{0.8, -92.8},   {0.825, -75.2}, {0.85, -65.2},  {0.875, -53.8}, {0.9, -37.1},
                        {0.925, -29.8}, {0.95, -16.2},  {0.975, -10.2}, {0.99, -1.1},   {1.0, 0.0},
                        {1.01, 5.5},    {1.025, 8.9},   {1.05, 16.2},   {1.075, 20.6},  {1.1, 29.9},
                        {1.125, 33.5},  {1.15, 42.0},   {1.175, 44.0},  {1.2, 49.5}};
constexpr Late k48[] = {{0.8, -130.6},  {0.825, -116.3}, {0.85, -106.1}, {0.875, -92.5}, {0.9, -80.4},
                        {0.925, -69.2}, {0.95, -59.7},   {0.975, -45.0}, {1.0, -34.4},   {1.025, -27.3},
                        {1.05, -21.5},  {1.075, -14.1},  {1.088, -10.2}, {1.1, -8.0},    {1.125, 2.1},
                        {1.15, 7.3},    {1.175, 14.0},   {1.2, 16.3}};
constexpr Late k32[] = {{0.8, 76.0},   {0.85, 91.0}, {0.9, 110.7},  {0.95, 127.0}, {1.0, 135.2},
                        {1.05, 146.6}, {1.1, 157.2}, {1.15, 168.2}, {1.2, 176.7}};
constexpr Late k22[] = {{0.8, 293.5},  {0.85, 315.3}, {0.9, 329.4},  {0.95, 341.1}, {1.0, 357.2},
                        {1.05, 366.9}, {1.1, 376.9},  {1.15, 387.1}, {1.2, 396.2}};

constexpr LateTable kLate[] = {
    {1.0, k44},
    {48000.0 / 44100, k48},
    {32000.0 / 44100, k32},
    {22050.0 / 44100, k22},
};

double interpolate(std::span<const Late> t, double ratio) {
    if (ratio <= t.front().ratio)
        return t.front().frames;
    for (std::size_t i = 1; i < t.size(); ++i)
        if (ratio <= t[i].ratio) {
            const double u = (ratio - t[i - 1].ratio) / (t[i].ratio - t[i - 1].ratio);
            return t[i - 1].frames + u * (t[i].frames - t[i - 1].frames);
        }
    return t.back().frames;
}

const LateTable &lateTableFor(double pitchScale) {
    const LateTable *best = &kLate[0];
    for (const LateTable &t : kLate)
        if (std::fabs(std::log(pitchScale / t.pitchScale)) <
            std::fabs(std::log(pitchScale / best->pitchScale)))
            best = &t;
    return *best;
}

// A ratio this far from the one a stretcher was primed at, or a table lateness this far from the
// primed one, held for kSteadyBlocks, has a stretcher primed afresh take over (a pitch bar moved from
// 0 to +16 % left the old one 5 ms late). Sync's pull (±0.1 %) stays below both.
constexpr double kRefreshRatio = 0.0025;
constexpr double kRefreshFrames = 2.0;
constexpr int kSteadyBlocks = 3;

} // namespace

KeyLock::KeyLock(int sourceRate, Engine engine)
    // Samples played at the device rate sound sourceRate / device rate too low: the stretcher's pitch
    // scale puts them back, so a 48 kHz song keeps its key as the resampler would keep it.
    : pitchScale_(double(sourceRate) / kDeviceRate), compensated_(engine == Engine::Faster),
      late_(lateTableFor(pitchScale_)) {
    for (Lane &lane : lanes_) {
        lane.rb = std::make_unique<RB>(std::size_t(kDeviceRate), 2, optionsFor(engine, pitchScale_));
        lane.rb->setMaxProcessSize(kFeedFrames);
        lane.rb->setPitchScale(pitchScale_);
    }
    for (auto &v : in_)
        v.assign(kFeedFrames, 0.0f);
    for (auto &v : out_)
        v.assign(kMaxFrames, 0.0f);
    for (auto &v : fresh_)
        v.assign(kMaxFrames, 0.0f);
}

KeyLock::~KeyLock() = default;

double KeyLock::lateness(double ratio) const {
    if (!compensated_)
        return 0.0;
    return interpolate(late_.late, ratio);
}

void KeyLock::prime(Lane &lane, std::uint64_t pos, double ratio) {
    lane.rb->reset();
    lane.rb->setTimeRatio(1.0 / ratio);
    lane.ratio = lane.primedRatio = ratio;
    // Silence in front, its output discarded: the first sample heard is then the one at pos.
    std::fill(in_[0].begin(), in_[0].end(), 0.0f);
    std::fill(in_[1].begin(), in_[1].end(), 0.0f);
    const float *ch[2] = {in_[0].data(), in_[1].data()};
    for (std::size_t pad = lane.rb->getPreferredStartPad(); pad > 0;) {
        std::size_t k = std::min(pad, kFeedFrames);
        lane.rb->process(ch, k, false);
        pad -= k;
    }
    // Read as much further on as the stretcher will sound late at this ratio.
    const double start = double(pos >> 32) + double(pos & 0xFFFFFFFFu) / double(kFixedOne);
    lane.readFrame = std::int64_t(std::floor(start + lateness(ratio) * ratio));
    lane.ahead = double(lane.readFrame) - start;
    // What the pad yields, and the delay after it, is dropped by the next render out of real input.
    lane.pendingDiscard = lane.rb->getStartDelay();
}

void KeyLock::feed(Lane &lane, const SampleSource &source, std::size_t frames) {
    const int chs = source.channels;
    for (std::size_t i = 0; i < frames; ++i) {
        std::int64_t f = lane.readFrame + std::int64_t(i);
        float l = 0.0f, r = 0.0f;
        if (source.frames > 0 && (source.looping || (f >= 0 && f < source.frames))) {
            f %= source.frames;
            if (f < 0)
                f += source.frames;
            const std::size_t at = std::size_t(f * chs);
            l = float(source.samples[at].load(std::memory_order_relaxed));
            r = chs == 2 ? float(source.samples[at + 1].load(std::memory_order_relaxed)) : l;
        }
        in_[0][i] = l;
        in_[1][i] = r;
    }
    const float *ch[2] = {in_[0].data(), in_[1].data()};
    lane.rb->process(ch, frames, false);
    lane.readFrame += std::int64_t(frames);
    lane.ahead += double(frames);
}

std::size_t KeyLock::pull(Lane &lane, const SampleSource &source, float *const *o, std::size_t n) {
    auto fill = [&](std::size_t want) {
        int feeds = 0;
        while (std::size_t(std::max(0, lane.rb->available())) < want && feeds++ < kMaxFeedsPerBlock) {
            // Feeding more than the stretcher asks for overruns its input ring (R3 drops the excess).
            const std::size_t asked = lane.rb->getSamplesRequired();
            feed(lane, source, std::min(asked == 0 ? kFeedFrames / 4 : asked, kFeedFrames));
        }
    };
    while (lane.pendingDiscard > 0) {
        const std::size_t k = std::min(lane.pendingDiscard, kMaxFrames);
        fill(k);
        const std::size_t got = lane.rb->retrieve(o, k);
        if (got == 0)
            break;
        lane.pendingDiscard -= got;
    }
    fill(n);
    const std::size_t got = lane.rb->retrieve(o, n);
    lane.ahead -= double(n) * lane.ratio;
    return got;
}

ResampleEnd KeyLock::render(const SampleSource &source, std::uint64_t pos, std::uint64_t step, float *out,
                            std::size_t n) {
    n = std::min(n, kMaxFrames);
    const double ratio = double(step) / double(kFixedOne);
    Lane *lane = &lanes_[current_];
    bool refresh = false;
    if (!primed_ || pos != expectedPos_) {
        prime(*lane, pos, ratio);
        primed_ = true;
        steadyBlocks_ = 0;
    } else if (ratio != lane->ratio) {
        lane->rb->setTimeRatio(1.0 / ratio);
        lane->ratio = ratio;
        steadyBlocks_ = 0;
    } else if (++steadyBlocks_ == kSteadyBlocks) {
        refresh = std::fabs(ratio / lane->primedRatio - 1.0) > kRefreshRatio ||
                  std::fabs(lateness(ratio) - lateness(lane->primedRatio)) > kRefreshFrames;
    }

    float *o[2] = {out_[0].data(), out_[1].data()};
    std::size_t got = pull(*lane, source, o, n);
    if (refresh) {
        // The other stretcher, primed here at this ratio, takes over across this block.
        const int next = 1 - current_;
        Lane &fresh = lanes_[next];
        prime(fresh, pos, ratio);
        float *f[2] = {fresh_[0].data(), fresh_[1].data()};
        const std::size_t gotFresh = pull(fresh, source, f, n);
        for (std::size_t i = 0; i < n; ++i) {
            const float t = float(i + 1) / float(n);
            const float a0 = i < got ? out_[0][i] : 0.0f, a1 = i < got ? out_[1][i] : 0.0f;
            const float b0 = i < gotFresh ? fresh_[0][i] : 0.0f, b1 = i < gotFresh ? fresh_[1][i] : 0.0f;
            out_[0][i] = (1.0f - t) * a0 + t * b0;
            out_[1][i] = (1.0f - t) * a1 + t * b1;
        }
        got = gotFresh;
        current_ = next;
    }
    shortfalls_ += n - got;

    // Where the cursor goes: exactly as the resampler moves it.
    ResampleEnd end;
    const std::uint64_t length = std::uint64_t(source.frames) << 32;
    std::size_t audible = n;
    std::uint64_t p = pos;
    if (length == 0) {
        end.stopped = true;
        audible = 0;
    } else if (source.looping) {
        // p < length and a block moves far less than 2^32 frames: no overflow.
        const std::uint64_t moved = p + step * n;
        end.wraps = moved / length;
        p = moved % length;
    } else {
        const std::uint64_t left = length - std::min(p, length);
        const std::uint64_t frames = step == 0 ? n : (left + step - 1) / step;
        if (frames <= n) {
            audible = std::size_t(frames);
            end.stopped = true;
            p = 0;
        } else {
            p += step * n;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const bool sounds = i < got && i < audible;
        out[2 * i] = sounds ? out_[0][i] : 0.0f;
        out[2 * i + 1] = sounds ? out_[1][i] : 0.0f;
    }
    end.pos = p;
    expectedPos_ = p;
    if (end.stopped)
        primed_ = false;
    return end;
}

} // namespace mixora::sound::detail
