#include "engine/LoopPlan.h"

#include <algorithm>
#include <cmath>

namespace mixora::engine {

void LoopPlan::set(double start, double length) {
    start_ = std::max(0.0, start);
    length_ = std::max(1.0, length);
    engaged_ = true;
    repeats_ = 0;
}

std::int64_t LoopPlan::startSample() const {
    return std::llround(start_);
}

std::int64_t LoopPlan::endSample() const {
    const double n = static_cast<double>(repeats_);
    const std::int64_t repeat =
        std::llround(start_ + (n + 1.0) * length_) - std::llround(start_ + n * length_);
    return startSample() + std::max<std::int64_t>(repeat, 1);
}

std::int64_t LoopPlan::untilWrap(std::int64_t source) const {
    if (!engaged_)
        return kNoWrap;
    const std::int64_t end = endSample();
    return source < end ? end - source : kNoWrap;
}

std::int64_t LoopPlan::wrap() {
    ++repeats_;
    return startSample();
}

void LoopPlan::cutAt(std::int64_t end) {
    const std::int64_t first = startSample();
    if (end <= first) {
        engaged_ = false;
        return;
    }
    start_ = static_cast<double>(first);
    length_ = static_cast<double>(end - first);
    repeats_ = 0;
}

void crossFade(std::int16_t *out, const std::int16_t *tail, int channels, int from, int count, int total) {
    const double step = 1.0 / (total + 1);
    for (int i = 0; i < count; ++i) {
        const int k = from + i;
        const double w = (k + 1) * step;
        for (int c = 0; c < channels; ++c) {
            const std::size_t at = static_cast<std::size_t>(i) * channels + c;
            const double v = w * out[at] + (1.0 - w) * tail[static_cast<std::size_t>(k) * channels + c];
            out[at] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
        }
    }
}

} // namespace mixora::engine
