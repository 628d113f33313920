#include "engine/sound/KeyLock.h"

#include "engine/sound/Sound.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>

namespace mixora::sound::detail {

namespace {

using RB = RubberBand::RubberBandStretcher;

RB::Options optionsFor(KeyLock::Engine engine) {
    // High pitch consistency keeps ratio changes (pitch bar, Sync's pull) free of phasing jumps.
    RB::Options o = RB::OptionProcessRealTime | RB::OptionPitchHighConsistency | RB::OptionThreadingNever;
    if (engine == KeyLock::Engine::FinerShort)
        o |= RB::OptionEngineFiner | RB::OptionWindowShort;
    else
        o |= RB::OptionEngineFaster;
    return o;
}

// A stretcher that yields nothing for this many feeds is stuck; the rest of the block stays silent
// rather than the mix spinning.
constexpr int kMaxFeedsPerBlock = 64;

} // namespace

KeyLock::KeyLock(int sourceRate, Engine engine)
    : rb_(std::make_unique<RB>(std::size_t(kDeviceRate), 2, optionsFor(engine))),
      // Samples played at the device rate sound sourceRate / device rate too low: the stretcher's pitch
      // scale puts them back, so a 48 kHz song keeps its key as the resampler would keep it.
      pitchScale_(double(sourceRate) / kDeviceRate) {
    rb_->setMaxProcessSize(kFeedFrames);
    rb_->setPitchScale(pitchScale_);
    for (auto &v : in_)
        v.assign(kFeedFrames, 0.0f);
    for (auto &v : out_)
        v.assign(kMaxFrames, 0.0f);
}

KeyLock::~KeyLock() = default;

void KeyLock::setRatio(double ratio) {
    rb_->setTimeRatio(1.0 / ratio);
    ratio_ = ratio;
}

void KeyLock::prime(std::uint64_t pos, double ratio) {
    rb_->reset();
    setRatio(ratio);
    // Silence in front, its output discarded: the first sample heard is then the one at pos.
    std::fill(in_[0].begin(), in_[0].end(), 0.0f);
    std::fill(in_[1].begin(), in_[1].end(), 0.0f);
    const float *ch[2] = {in_[0].data(), in_[1].data()};
    for (std::size_t pad = rb_->getPreferredStartPad(); pad > 0;) {
        std::size_t k = std::min(pad, kFeedFrames);
        rb_->process(ch, k, false);
        pad -= k;
    }
    readFrame_ = std::int64_t(pos >> 32);
    ahead_ = -double(pos & 0xFFFFFFFFu) / double(kFixedOne);
    // What the pad yields, and the delay after it, is dropped by the next render out of real input.
    pendingDiscard_ = rb_->getStartDelay();
    primed_ = true;
}

void KeyLock::feed(const SampleSource &source, std::size_t frames) {
    const int chs = source.channels;
    for (std::size_t i = 0; i < frames; ++i) {
        std::int64_t f = readFrame_ + std::int64_t(i);
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
    rb_->process(ch, frames, false);
    readFrame_ += std::int64_t(frames);
    ahead_ += double(frames);
}

ResampleEnd KeyLock::render(const SampleSource &source, std::uint64_t pos, std::uint64_t step, float *out,
                            std::size_t n) {
    n = std::min(n, kMaxFrames);
    const double ratio = double(step) / double(kFixedOne);
    if (!primed_ || pos != expectedPos_)
        prime(pos, ratio);
    else if (ratio != ratio_)
        setRatio(ratio);

    float *o[2] = {out_[0].data(), out_[1].data()};
    auto pull = [&](std::size_t want) {
        int feeds = 0;
        while (std::size_t(std::max(0, rb_->available())) < want && feeds++ < kMaxFeedsPerBlock) {
            // Feeding more than the stretcher asks for overruns its input ring (R3 drops the excess).
            const std::size_t asked = rb_->getSamplesRequired();
            feed(source, std::min(asked == 0 ? kFeedFrames / 4 : asked, kFeedFrames));
        }
    };
    while (pendingDiscard_ > 0) {
        const std::size_t k = std::min(pendingDiscard_, kMaxFrames);
        pull(k);
        const std::size_t got = rb_->retrieve(o, k);
        if (got == 0)
            break;
        pendingDiscard_ -= got;
    }
    pull(n);
    const std::size_t got = rb_->retrieve(o, n);
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
    ahead_ -= double(n) * ratio;
    end.pos = p;
    expectedPos_ = p;
    if (end.stopped)
        primed_ = false;
    return end;
}

} // namespace mixora::sound::detail
