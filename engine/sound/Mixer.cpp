// The real-time mix of one device: every playing buffer resampled (4-point cubic) to the device rate,
// scaled by its ramped gain, summed in float and clipped to int16. Nothing here allocates, locks or does I/O.
#include "engine/sound/Mixer.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <thread>

namespace mixora::sound::detail {

namespace {

thread_local int tRealtimeDepth = 0;

constexpr std::uint64_t kOne = std::uint64_t(1) << 32;

// Slave control: a critically damped PI loop (about four seconds to settle) on the low-passed cursor
// error; larger errors than kSlaveJumpSeconds (a seek on the master) are corrected by a jump.
constexpr double kSlaveFilterSeconds = 0.5;
constexpr double kSlaveKp = 0.5;    // per second
constexpr double kSlaveKi = 0.0625; // per second squared
constexpr double kSlaveJumpSeconds = 0.05;
constexpr double kMaxStampAgeSeconds = 1.0;

static_assert(std::atomic<double>::is_always_lock_free && std::atomic<float>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<std::int16_t>::is_always_lock_free,
              "the mix relies on lock-free atomics");

} // namespace

RealtimeScope::RealtimeScope() {
    ++tRealtimeDepth;
}
RealtimeScope::~RealtimeScope() {
    --tRealtimeDepth;
}
bool inRealtimeThread() {
    return tRealtimeDepth > 0;
}
void assertNotRealtime() {
    assert(!inRealtimeThread() && "blocking lock taken on the real-time mix thread");
}

BufferCore::BufferCore(const PcmFormat &f, std::uint32_t byteLength)
    : format(f), bytes(byteLength), frames(byteLength / std::uint32_t(f.blockAlign())), channels(f.channels),
      samples(new std::atomic<std::int16_t>[byteLength / 2]), sampleCount(byteLength / 2),
      frequency(std::uint32_t(f.sampleRate)) {
    for (std::size_t i = 0; i < sampleCount; ++i)
        samples[i].store(0, std::memory_order_relaxed);
}

BufferCore::~BufferCore() = default;

Mixer::Mixer(bool collectSignals, bool realtime)
    : acc_(kChunkFrames * 2), collectSignals_(collectSignals), realtime_(realtime) {
    for (auto &s : slots_)
        s.store(nullptr);
}

Mixer::~Mixer() = default;

void Mixer::add(BufferCore *core) {
    assertNotRealtime();
    std::lock_guard lock(slotMutex_);
    for (auto &s : slots_) {
        if (!s.load()) {
            s.store(core);
            return;
        }
    }
    throw SoundError("Zu viele Soundpuffer auf einem Gerät");
}

void Mixer::remove(BufferCore *core) {
    assertNotRealtime();
    std::lock_guard lock(slotMutex_);
    for (auto &s : slots_)
        if (s.load() == core)
            grace_.replace(s, static_cast<BufferCore *>(nullptr));
}

void Mixer::signal(const NotifyList &list, std::size_t k) {
    Event *e = list.events[k];
    e->set();
    // Offline devices only (not real-time): keep the event alive until its handshake is over.
    if (collectSignals_ && signalledCount_ < kMaxSignals)
        signalled_[signalledCount_++] = Signalled{list.owners[k], e->setCount()};
}

void Mixer::clearSignalled() {
    for (std::size_t i = 0; i < signalledCount_; ++i)
        signalled_[i].event.reset();
    signalledCount_ = 0;
}

void Mixer::mix(std::int16_t *out, std::size_t frames, std::int64_t clockNs) {
    RealtimeScope rt;
    Grace::ReadScope pass(grace_);
    std::int64_t startNs = clockNs;
    if (realtime_ && clockNs == kNow)
        startNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    std::size_t done = 0;
    while (done < frames) {
        std::size_t n = std::min(kChunkFrames, frames - done);
        chunkNs_ = startNs + std::int64_t(double(done) * 1e9 / kDeviceRate);
        float *acc = acc_.data();
        std::fill(acc, acc + 2 * n, 0.0f);
        for (auto &s : slots_) {
            BufferCore *b = Grace::read(s);
            if (b)
                mixBuffer(*b, acc, n);
        }
        std::int16_t *o = out + 2 * done;
        for (std::size_t i = 0; i < 2 * n; ++i) {
            float v = std::nearbyint(acc[i]);
            o[i] = std::int16_t(std::clamp(v, -32768.0f, 32767.0f));
        }
        done += n;
    }
    framesMixed_.fetch_add(frames, std::memory_order_relaxed);
}

double Mixer::masterPosition(const CursorShare &master, double frames) const {
    if (realtime_ && master.stamped.load(std::memory_order_acquire)) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            std::uint32_t before = master.seq.load(std::memory_order_acquire);
            std::uint64_t pos = master.stampPos.load(std::memory_order_relaxed);
            std::int64_t ns = master.stampNs.load(std::memory_order_relaxed);
            std::uint64_t step = master.stampStep.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if ((before & 1) || master.seq.load(std::memory_order_relaxed) != before)
                continue;
            double age = double(chunkNs_ - ns) * 1e-9;
            // A stale stamp (a master card that stopped calling back) is no basis for extrapolation.
            if (age < -kMaxStampAgeSeconds || age > kMaxStampAgeSeconds)
                break;
            double m = double(pos) / double(kOne) + age * kDeviceRate * double(step) / double(kOne);
            m = std::fmod(m, frames);
            return m < 0 ? m + frames : m;
        }
    }
    return double(master.position.load()) / double(kOne);
}

void Mixer::mixBuffer(BufferCore &b, float *acc, std::size_t n) {
    const std::uint64_t length = std::uint64_t(b.frames) << 32;
    std::int64_t pending = b.pendingCursorFrame.exchange(-1);
    if (pending >= 0) {
        b.pos = std::uint64_t(pending) << 32;
        b.cursorFrame.store(std::uint32_t(pending)); // a reader must never see the old cursor again
        b.share->position.store(b.pos);
        b.share->jumps.fetch_add(1);
    }
    bool playing = b.playing.load();
    float target = b.targetGain.load();
    b.share->playing.store(playing);
    if (!playing || b.frames == 0) {
        b.wasPlaying = false;
        b.gain = target; // a start begins at the set volume; only changes while playing ramp
        b.cursorFrame.store(std::uint32_t(b.pos >> 32));
        return;
    }
    if (!b.wasPlaying) {
        b.wasPlaying = true;
        b.gain = target;
        b.slaveSynced = false;
    }
    const bool looping = b.looping.load();

    // Rate: the buffer's frequency over the device rate, corrected when slaved.
    double ratio = double(b.frequency.load()) / kDeviceRate;
    CursorShare *master = Grace::read(b.master);
    if (master && master->alive.load() && master->playing.load()) {
        double len = double(b.frames);
        double m = masterPosition(*master, len);
        double s = double(b.pos) / double(kOne);
        double err = m - s;
        if (err > len / 2)
            err -= len;
        else if (err < -len / 2)
            err += len;
        double rate = double(b.frequency.load());
        std::uint32_t jumps = master->jumps.load();
        double jumpFrames = std::min(len / 4, kSlaveJumpSeconds * rate);
        if (!b.slaveSynced || jumps != b.seenJumps || std::fabs(err) > jumpFrames) {
            b.pos = std::uint64_t(m * double(kOne)) % length;
            b.seenJumps = jumps;
            b.slaveSynced = true;
            b.errFiltered = 0;
            b.errIntegral = 0;
        } else {
            double dt = double(n) / kDeviceRate;
            b.errFiltered += (err - b.errFiltered) * std::min(1.0, dt / kSlaveFilterSeconds);
            double c = (kSlaveKp * b.errFiltered + kSlaveKi * b.errIntegral) / rate;
            if (c > kMaxSlaveCorrection)
                c = kMaxSlaveCorrection;
            else if (c < -kMaxSlaveCorrection)
                c = -kMaxSlaveCorrection;
            else
                b.errIntegral += b.errFiltered * dt; // no wind-up while saturated
            b.correction.store(c, std::memory_order_relaxed);
            ratio *= 1.0 + c;
        }
    } else if (!master) {
        b.correction.store(0.0, std::memory_order_relaxed);
    }
    const std::uint64_t step = std::uint64_t(ratio * double(kOne) + 0.5);
    if (realtime_) {
        CursorShare &sh = *b.share;
        std::uint32_t seq = sh.seq.load(std::memory_order_relaxed);
        sh.seq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        sh.stampPos.store(b.pos, std::memory_order_relaxed);
        sh.stampNs.store(chunkNs_, std::memory_order_relaxed);
        sh.stampStep.store(step, std::memory_order_relaxed);
        sh.seq.store(seq + 2, std::memory_order_release);
        sh.stamped.store(true, std::memory_order_release);
    }

    // Gain ramp from the gain of the last period to the target over the first frames.
    const float g0 = b.gain;
    const std::size_t rampFrames = g0 == target ? 0 : std::min(n, kMaxRampFrames);

    const std::uint64_t startPos = b.pos;
    const std::int64_t frames = b.frames;
    const int ch = b.channels;
    auto sampleAt = [&](std::int64_t f, int c) -> float {
        if (f < 0 || f >= frames) {
            if (!looping)
                return 0.0f;
            f %= frames;
            if (f < 0)
                f += frames;
        }
        return float(b.samples[std::size_t(f * ch + c)].load(std::memory_order_relaxed));
    };

    std::uint64_t pos = b.pos;
    bool stopped = false;
    std::uint64_t wraps = 0;
    for (std::size_t i = 0; i < n; ++i) {
        float g = target;
        if (i < rampFrames)
            g = g0 + (target - g0) * float(i + 1) / float(rampFrames);
        const std::int64_t f = std::int64_t(pos >> 32);
        const float t = float(pos & 0xFFFFFFFFu) / 4294967296.0f;
        for (int c = 0; c < ch; ++c) {
            float v;
            float p1 = sampleAt(f, c);
            if (t == 0.0f) {
                v = p1;
            } else {
                float p0 = sampleAt(f - 1, c), p2 = sampleAt(f + 1, c), p3 = sampleAt(f + 2, c);
                v = p1 +
                    0.5f * t *
                        (p2 - p0 +
                         t * (2.0f * p0 - 5.0f * p1 + 4.0f * p2 - p3 + t * (3.0f * (p1 - p2) + p3 - p0)));
            }
            if (ch == 1) {
                acc[2 * i] += g * v;
                acc[2 * i + 1] += g * v;
            } else {
                acc[2 * i + c] += g * v;
            }
        }
        pos += step;
        if (pos >= length) {
            if (looping) {
                pos %= length;
                ++wraps;
            } else {
                pos = 0;
                stopped = true;
                break;
            }
        }
    }
    b.gain = rampFrames ? target : g0;

    // The cursor is published before any notification, so a woken worker reads where the play went.
    b.pos = pos;
    if (stopped) {
        b.playing.store(false);
        b.wasPlaying = false;
    }
    if (b.pendingCursorFrame.load() < 0)
        b.cursorFrame.store(std::uint32_t(pos >> 32));
    b.share->position.store(pos);

    // Notifications for every byte the cursor went over: [start, end) with wrap-around.
    if (NotifyList *list = Grace::read(b.notifications)) {
        const std::uint64_t align = std::uint64_t(b.format.blockAlign());
        const std::uint64_t startByte = (startPos >> 32) * align;
        const std::uint64_t endByte = (pos >> 32) * align;
        for (std::size_t k = 0; k < list->offsets.size(); ++k) {
            std::uint64_t off = list->offsets[k];
            bool passed;
            if (wraps > 1)
                passed = true;
            else if (stopped)
                passed = off >= startByte;
            else if (wraps == 0)
                passed = off >= startByte && off < endByte;
            else
                passed = off >= startByte || off < endByte;
            if (passed)
                signal(*list, k);
        }
    }
}

} // namespace mixora::sound::detail
