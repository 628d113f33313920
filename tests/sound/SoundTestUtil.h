// Helpers for the sound layer tests: buffers filled from a function of (frame, channel).
#pragma once

#include "engine/sound/Sound.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace mixora::sound::testing {

inline std::vector<std::uint8_t> pcmBytes(int channels, std::uint32_t frames,
                                          const std::function<int(std::uint32_t, int)> &sample) {
    std::vector<std::uint8_t> out(std::size_t(frames) * channels * 2);
    for (std::uint32_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) {
            auto v = std::uint16_t(std::int16_t(sample(f, c)));
            out[(std::size_t(f) * channels + c) * 2] = std::uint8_t(v & 0xFF);
            out[(std::size_t(f) * channels + c) * 2 + 1] = std::uint8_t(v >> 8);
        }
    return out;
}

inline std::unique_ptr<Buffer> makeBuffer(Device &device, int rate, int channels, std::uint32_t frames,
                                          const std::function<int(std::uint32_t, int)> &sample) {
    PcmFormat format{rate, channels, 16};
    auto buffer = device.createBuffer(format, frames * std::uint32_t(format.blockAlign()));
    auto bytes = pcmBytes(channels, frames, sample);
    buffer->write(0, bytes.data(), std::uint32_t(bytes.size()));
    return buffer;
}

} // namespace mixora::sound::testing
