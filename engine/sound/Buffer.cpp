// Secondary buffers: the non-real-time side. Setters only store atomics the mix reads at its next period;
// anything the mix reads through a pointer is swapped through the device's Grace before it is freed.
#include "engine/sound/DeviceMix.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace mixora::sound {

using detail::BufferCore;

namespace {

void storeBytes(BufferCore &b, std::uint32_t offset, const std::uint8_t *src, std::uint32_t n) {
    // Little-endian samples; a range that starts or ends inside a sample keeps its other byte.
    auto storeByte = [&b](std::uint32_t byte, std::uint8_t value) {
        auto &sample = b.samples[byte / 2];
        const auto old = std::uint16_t(sample.load(std::memory_order_relaxed));
        const auto v =
            (byte & 1) ? std::uint16_t((old & 0x00FF) | (value << 8)) : std::uint16_t((old & 0xFF00) | value);
        sample.store(std::int16_t(v), std::memory_order_relaxed);
    };
    if (n == 0)
        return;
    if (offset & 1) {
        storeByte(offset++, *src++);
        --n;
    }
    // Whole samples: a refill is nothing but these, two buffers of a half each.
    std::atomic<std::int16_t> *out = b.samples.get() + offset / 2;
    const std::uint32_t whole = n / 2;
    for (std::uint32_t k = 0; k < whole; ++k, src += 2)
        out[k].store(std::int16_t(std::uint16_t(src[0] | (src[1] << 8))), std::memory_order_relaxed);
    if (n & 1)
        storeByte(offset + 2 * whole, *src);
}

void loadBytes(const BufferCore &b, std::uint32_t offset, std::uint8_t *dst, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t byte = offset + i;
        std::uint16_t v = std::uint16_t(b.samples[byte / 2].load(std::memory_order_relaxed));
        dst[i] = (byte & 1) ? std::uint8_t(v >> 8) : std::uint8_t(v & 0xFF);
    }
}

} // namespace

Buffer::Buffer(std::shared_ptr<detail::DeviceMix> mixer, std::shared_ptr<BufferCore> core)
    : mixer_(std::move(mixer)), core_(std::move(core)) {
    mixer_->add(core_.get());
}

Buffer::~Buffer() {
    core_->share->alive.store(false);
    mixer_->remove(core_.get());
}

std::uint32_t Buffer::bytes() const {
    return core_->bytes;
}
const PcmFormat &Buffer::format() const {
    return core_->format;
}

void Buffer::play(bool looping) {
    core_->looping.store(looping);
    core_->playing.store(true);
}

void Buffer::playAt(std::uint64_t deviceFrame, bool looping) {
    // Frame 0 has passed before any buffer exists; 0 means "no timed start" to the mix.
    core_->startFrame.store(std::max<std::uint64_t>(deviceFrame, 1));
    play(looping);
}

Buffer::Clock Buffer::clock() const {
    const BufferCore &b = *core_;
    Clock c;
    for (;;) {
        const std::uint32_t before = b.clockSeq.load(std::memory_order_acquire);
        c.deviceFrame = b.clockFrame.load(std::memory_order_relaxed);
        const std::uint64_t pos = b.clockPos.load(std::memory_order_relaxed);
        const std::uint64_t step = b.clockStep.load(std::memory_order_relaxed);
        c.playing = b.clockPlaying.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) == 0 && b.clockSeq.load(std::memory_order_relaxed) == before) {
            c.position = double(pos) / double(detail::kFixedOne);
            c.step = double(step) / double(detail::kFixedOne);
            return c;
        }
        std::this_thread::yield();
    }
}

void Buffer::stop() {
    core_->startFrame.store(0);
    core_->playing.store(false);
}
bool Buffer::playing() const {
    return core_->playing.load();
}

std::uint32_t Buffer::cursor() const {
    std::int64_t pending = core_->pendingCursorFrame.load();
    std::uint32_t frame = pending >= 0 ? std::uint32_t(pending) : core_->cursorFrame.load();
    return frame * std::uint32_t(core_->format.blockAlign());
}

void Buffer::setCursor(std::uint32_t byteOffset) {
    std::uint32_t frame = byteOffset / std::uint32_t(core_->format.blockAlign());
    if (frame >= core_->frames)
        frame = core_->frames ? core_->frames - 1 : 0;
    core_->pendingCursorFrame.store(frame);
}

void Buffer::setVolume(int hundredthsDb) {
    int v = std::clamp(hundredthsDb, kSilenceHundredthsDb, 0);
    core_->volumeDb.store(v);
    float gain = v <= kSilenceHundredthsDb ? 0.0f : float(std::pow(10.0, double(v) / 2000.0));
    core_->targetGain.store(gain);
}

int Buffer::volume() const {
    return core_->volumeDb.load();
}

void Buffer::setGain(float linear) {
    // NaN compares false both ways and ends up silent rather than loud.
    core_->levelGain.store(linear > 0.0f ? std::min(linear, kMaxGain) : 0.0f);
}

float Buffer::gain() const {
    return core_->levelGain.load();
}

void Buffer::setEq(int band, float dB) {
    if (band < 0 || band >= kEqBands)
        return;
    core_->eqDb[std::size_t(band)].store(dB == dB ? std::clamp(dB, kEqKillDb, kEqMaxDb) : 0.0f);
}

float Buffer::eq(int band) const {
    return band < 0 || band >= kEqBands ? 0.0f : core_->eqDb[std::size_t(band)].load();
}

void Buffer::setEqKill(int band, bool on) {
    if (band >= 0 && band < kEqBands)
        core_->eqKill[std::size_t(band)].store(on);
}

bool Buffer::eqKill(int band) const {
    return band >= 0 && band < kEqBands && core_->eqKill[std::size_t(band)].load();
}

void Buffer::setKeyLock(bool on) {
    if (on && !core_->keyLock.load()) {
        detail::assertNotRealtime();
        std::lock_guard lock(core_->writeMutex);
        if (!core_->keyLockOwner) {
            core_->keyLockOwner = std::make_unique<detail::KeyLock>(core_->format.sampleRate);
            core_->keyLock.store(core_->keyLockOwner.get(), std::memory_order_release);
        }
    }
    core_->keyLockOn.store(on);
}

bool Buffer::keyLock() const {
    return core_->keyLockOn.load();
}

void Buffer::setFilter(float value) {
    core_->filterValue.store(value == value ? std::clamp(value, -1.0f, 1.0f) : 0.0f);
}

float Buffer::filter() const {
    return core_->filterValue.load();
}

void Buffer::setEqCrossovers(float lowHz, float highHz) {
    const EqCrossovers c = validCrossovers(lowHz, highHz);
    core_->crossoverLowHz.store(c.lowHz);
    core_->crossoverHighHz.store(c.highHz);
}

EqCrossovers Buffer::eqCrossovers() const {
    return EqCrossovers{core_->crossoverLowHz.load(), core_->crossoverHighHz.load()};
}

PeakReading Buffer::takePeak() {
    return core_->chain.meter.take();
}

EqCrossovers validCrossovers(double lowHz, double highHz) {
    // Comparisons with NaN fail, so a NaN falls back as well.
    if (lowHz >= kEqMinCrossoverHz && highHz <= kEqMaxCrossoverHz && lowHz < highHz)
        return EqCrossovers{float(lowHz), float(highHz)};
    return EqCrossovers{};
}

void Buffer::setFrequency(std::uint32_t hz) {
    if (hz == 0)
        hz = std::uint32_t(core_->format.sampleRate);
    core_->frequency.store(double(std::clamp(hz, kMinFrequencyHz, kMaxFrequencyHz)));
}

std::uint32_t Buffer::frequency() const {
    return std::uint32_t(std::lround(core_->frequency.load()));
}

void Buffer::setExactFrequency(double hz) {
    if (!(hz > 0.0)) // NaN too
        hz = double(core_->format.sampleRate);
    core_->frequency.store(std::clamp(hz, double(kMinFrequencyHz), double(kMaxFrequencyHz)));
}

double Buffer::exactFrequency() const {
    return core_->frequency.load();
}

bool Buffer::setNotifications(std::vector<Notification> positions) {
    detail::assertNotRealtime();
    for (const auto &p : positions)
        if (p.offset >= core_->bytes || !p.event)
            return false;
    std::sort(positions.begin(), positions.end(),
              [](const Notification &a, const Notification &b) { return a.offset < b.offset; });
    std::unique_ptr<detail::NotifyList> list;
    if (!positions.empty()) {
        list = std::make_unique<detail::NotifyList>();
        for (auto &p : positions) {
            list->offsets.push_back(p.offset);
            list->events.push_back(p.event.get());
            list->owners.push_back(std::move(p.event));
        }
    }
    std::lock_guard lock(core_->writeMutex);
    mixer_->grace().replace(core_->notifications, list.get());
    core_->notifyOwner = std::move(list);
    return true;
}

bool Buffer::write(std::uint32_t offset, const void *data, std::uint32_t bytes) {
    detail::assertNotRealtime();
    if (bytes > core_->bytes || core_->bytes == 0)
        return false;
    std::lock_guard lock(core_->writeMutex);
    offset %= core_->bytes;
    auto *src = static_cast<const std::uint8_t *>(data);
    std::uint32_t first = std::min(bytes, core_->bytes - offset);
    storeBytes(*core_, offset, src, first);
    if (first < bytes)
        storeBytes(*core_, 0, src + first, bytes - first);
    return true;
}

std::vector<std::uint8_t> Buffer::read(std::uint32_t offset, std::uint32_t bytes) const {
    std::vector<std::uint8_t> out;
    if (core_->bytes == 0)
        return out;
    bytes = std::min(bytes, core_->bytes);
    out.resize(bytes);
    offset %= core_->bytes;
    std::uint32_t first = std::min(bytes, core_->bytes - offset);
    loadBytes(*core_, offset, out.data(), first);
    if (first < bytes)
        loadBytes(*core_, 0, out.data() + first, bytes - first);
    return out;
}

bool Buffer::slaveTo(const Buffer *master) {
    detail::assertNotRealtime();
    if (master == this)
        return false;
    std::shared_ptr<detail::CursorShare> share;
    if (master) {
        const BufferCore &m = *master->core_;
        if (m.bytes != core_->bytes || m.format.sampleRate != core_->format.sampleRate ||
            m.format.channels != core_->format.channels)
            return false;
        share = m.share;
    }
    std::lock_guard lock(core_->writeMutex);
    mixer_->grace().replace(core_->master, share.get());
    core_->masterOwner = std::move(share);
    if (!master)
        core_->correction.store(0.0);
    return true;
}

double Buffer::slaveCorrection() const {
    return core_->correction.load(std::memory_order_relaxed);
}

} // namespace mixora::sound
