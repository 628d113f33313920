// The real-time mix of one device: every playing buffer resampled (4-point cubic) to the device rate, run
// through its chain (Stages.h), scaled by its ramped gain, summed in float, held under the ceiling by the
// limiter and rounded to int16. Nothing here allocates, locks or does I/O.
#include "engine/sound/DeviceMix.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>

namespace mixora::sound::detail {

namespace {

thread_local int tRealtimeDepth = 0;

constexpr double kMaxStampAgeSeconds = 1.0;
// Added to a float of magnitude below 2²², it leaves no fraction: the sum is rounded to an integer.
constexpr float kRoundingShift = 12582912.0f;

static_assert(std::atomic<double>::is_always_lock_free && std::atomic<float>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<std::int16_t>::is_always_lock_free,
              "the mix relies on lock-free atomics");

EqStage::Target eqTargetOf(const BufferCore &b) {
    EqStage::Target t;
    for (std::size_t k = 0; k < std::size_t(kEqBands); ++k) {
        const float dB = b.eqDb[k].load(std::memory_order_relaxed);
        if (b.eqKill[k].load(std::memory_order_relaxed) || dB <= kEqKillDb)
            t.gain[k] = 0.0f;
        else if (dB != 0.0f)
            t.gain[k] = std::pow(10.0f, dB / 20.0f);
    }
    t.lowHz = b.crossoverLowHz.load(std::memory_order_relaxed);
    t.highHz = b.crossoverHighHz.load(std::memory_order_relaxed);
    return t;
}

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
      frequency(double(f.sampleRate)) {
    for (std::size_t i = 0; i < sampleCount; ++i)
        samples[i].store(0, std::memory_order_relaxed);
}

BufferCore::~BufferCore() = default;

DeviceMix::DeviceMix(bool collectSignals, bool realtime)
    : acc_(kChunkFrames * 2), block_(kChunkFrames * 2), switch_(kChunkFrames * 2),
      ahead_(kLimiterLookaheadFrames * 2), preview_(kLimiterLookaheadFrames * 2),
      collectSignals_(collectSignals), realtime_(realtime) {
    for (auto &s : slots_)
        s.store(nullptr);
}

DeviceMix::~DeviceMix() = default;

void DeviceMix::add(BufferCore *core) {
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

void DeviceMix::remove(BufferCore *core) {
    assertNotRealtime();
    std::lock_guard lock(slotMutex_);
    for (auto &s : slots_)
        if (s.load() == core)
            grace_.replace(s, static_cast<BufferCore *>(nullptr));
}

void DeviceMix::signal(const NotifyList &list, std::size_t k) {
    Event *e = list.events[k];
    e->set();
    // Offline devices only (not real-time): keep the event alive until its handshake is over.
    if (collectSignals_ && signalledCount_ < kMaxSignals)
        signalled_[signalledCount_++] = Signalled{list.owners[k], e->setCount()};
}

void DeviceMix::clearSignalled() {
    for (std::size_t i = 0; i < signalledCount_; ++i)
        signalled_[i].event.reset();
    signalledCount_ = 0;
}

void DeviceMix::mix(std::int16_t *out, std::size_t frames, std::int64_t clockNs) {
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
        chunkFrame_ = framesMixed_.load(std::memory_order_relaxed) + done;
        float *acc = acc_.data();
        std::fill(acc, acc + 2 * n, 0.0f);
        std::fill(ahead_.begin(), ahead_.end(), 0.0f);
        for (auto &s : slots_) {
            BufferCore *b = Grace::read(s);
            if (b)
                mixBuffer(*b, acc, n);
        }
        if (limiter_.process(acc, n, ahead_.data(), kLimiterLookaheadFrames))
            outputMeter_.clip();
        std::int16_t *o = out + 2 * done;
        float peak = 0.0f;
        for (std::size_t i = 0; i < 2 * n; ++i) {
            // Clamped first, then rounded to the nearest (even) integer by adding and taking away
            // 1.5 · 2²³: the same sample as rounding first, without a call to the library per sample.
            const float v = (std::clamp(acc[i], -32768.0f, 32767.0f) + kRoundingShift) - kRoundingShift;
            o[i] = std::int16_t(v);
            peak = std::max(peak, std::fabs(v));
        }
        outputMeter_.raise(std::min(peak, 32767.0f) / 32768.0f);
        done += n;
    }
    framesMixed_.fetch_add(frames, std::memory_order_relaxed);
}

double DeviceMix::masterPosition(const CursorShare &master, double frames) const {
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
            double m = double(pos) / double(kFixedOne) + age * kDeviceRate * double(step) / double(kFixedOne);
            m = std::fmod(m, frames);
            return m < 0 ? m + frames : m;
        }
    }
    return double(master.position.load()) / double(kFixedOne);
}

void DeviceMix::mixBuffer(BufferCore &b, float *acc, std::size_t n) {
    const std::uint64_t length = std::uint64_t(b.frames) << 32;
    std::int64_t pending = b.pendingCursorFrame.exchange(-1);
    if (pending >= 0) {
        b.pos = std::uint64_t(pending) << 32;
        b.cursorFrame.store(std::uint32_t(pending)); // a reader must never see the old cursor again
        b.share->position.store(b.pos);
        b.share->jumps.fetch_add(1);
    }
    bool playing = b.playing.load();
    float target = b.targetGain.load() * b.levelGain.load();
    // A timed start: silent until its frame, then from that frame within the period.
    std::size_t skip = 0;
    std::uint64_t late = 0;
    std::uint64_t startAt = b.startFrame.load();
    // Whether or not the mix saw the stop before it: a start right after a stop waits for its frame too.
    if (startAt != 0 && playing) {
        if (startAt >= chunkFrame_ + n)
            playing = false;
        else if (startAt >= chunkFrame_)
            skip = std::size_t(startAt - chunkFrame_);
        else
            late = chunkFrame_ - startAt;
    }
    if (playing && startAt != 0)
        b.startFrame.compare_exchange_strong(startAt, 0);
    b.share->playing.store(playing);
    if (!playing || b.frames == 0) {
        b.wasPlaying = false;
        b.gain = target; // a start begins at the set volume; only changes while playing ramp
        b.cursorFrame.store(std::uint32_t(b.pos >> 32));
        publishClock(b, chunkFrame_ + n,
                     std::uint64_t(b.frequency.load() / kDeviceRate * double(kFixedOne) + 0.5), false);
        return;
    }
    if (!b.wasPlaying) {
        b.wasPlaying = true;
        b.gain = target;
        b.follower.restart();
        b.chain.restart(); // the stages' memory belongs to the sound before the stop
        b.keyLockActive = b.keyLockOn.load() && b.keyLock.load(std::memory_order_acquire);
        if (KeyLock *lock = b.keyLock.load(std::memory_order_acquire))
            lock->restart();
    }

    // Rate: the buffer's frequency over the device rate, corrected when slaved.
    double ratio = b.frequency.load() / kDeviceRate;
    // A late start's jump passes notification points like playing would: they are signalled below.
    std::uint64_t travelFrom = 0;
    std::uint64_t jumpWraps = 0;
    if (late > 0) {
        const std::uint64_t lateStep = std::uint64_t(ratio * double(kFixedOne) + 0.5);
        const std::uint64_t jumped = b.pos + late * lateStep;
        travelFrom = b.pos;
        jumpWraps = b.looping.load() ? jumped / length : 0;
        b.pos = b.looping.load() ? jumped % length : std::min(jumped, length - 1);
    }
    CursorShare *master = Grace::read(b.master);
    if (master && master->alive.load() && master->playing.load()) {
        const double len = double(b.frames);
        const double m = masterPosition(*master, len);
        if (auto c = b.follower.step(m, double(b.pos) / double(kFixedOne), len, b.frequency.load(),
                                     master->jumps.load(), n)) {
            b.correction.store(*c, std::memory_order_relaxed);
            ratio *= 1.0 + *c;
        } else {
            b.pos = std::uint64_t(m * double(kFixedOne)) % length;
        }
    } else if (!master) {
        b.correction.store(0.0, std::memory_order_relaxed);
    }
    const std::uint64_t step = std::uint64_t(ratio * double(kFixedOne) + 0.5);
    if (realtime_)
        stamp(*b.share, b.pos, step);

    const std::uint64_t startPos = b.pos;
    if (late == 0)
        travelFrom = startPos;
    const SampleSource source{b.samples.get(), b.frames, b.channels, b.looping.load()};
    float *block = block_.data();
    std::fill(block, block + 2 * n, 0.0f);
    const ResampleEnd end = renderSource(b, source, startPos, step, block + 2 * skip, n - skip);
    const EqStage::Target eq = eqTargetOf(b);
    const float knob = b.filterValue.load(std::memory_order_relaxed);
    b.chain.process(eq, knob, block, n);
    addScaled(block + 2 * skip, b.gain, target, acc + 2 * skip, n - skip);
    if (!end.stopped)
        forecast(b, source, end.pos, step, target, eq, knob);
    // The ramp (if any) reached the target within this period.
    b.gain = target;

    // The cursor is published before any notification, so a woken worker reads where the play went.
    b.pos = end.pos;
    if (end.stopped) {
        b.playing.store(false);
        b.wasPlaying = false;
    }
    if (b.pendingCursorFrame.load() < 0)
        b.cursorFrame.store(std::uint32_t(end.pos >> 32));
    b.share->position.store(end.pos);
    // Before the notifications: a woken worker's refill never precedes the clock that explains it.
    publishClock(b, chunkFrame_ + n, step, !end.stopped);

    if (NotifyList *list = Grace::read(b.notifications)) {
        const std::uint64_t align = std::uint64_t(b.format.blockAlign());
        const CursorTravel travel{(travelFrom >> 32) * align, (end.pos >> 32) * align, end.wraps + jumpWraps,
                                  end.stopped};
        for (std::size_t k = 0; k < list->offsets.size(); ++k)
            if (travel.passed(list->offsets[k]))
                signal(*list, k);
    }
}

ResampleEnd DeviceMix::renderSource(BufferCore &b, const SampleSource &source, std::uint64_t pos,
                                    std::uint64_t step, float *out, std::size_t n) {
    KeyLock *lock = b.keyLock.load(std::memory_order_acquire);
    const bool locked = lock && b.keyLockOn.load(std::memory_order_relaxed);
    if (!locked && !b.keyLockActive)
        return resampleAdd(source, pos, step, 1.0f, 1.0f, out, n);
    if (locked && b.keyLockActive)
        return lock->render(source, pos, step, out, n);
    // A switch: both sources over this period, cross-faded. They agree on where the cursor goes, so
    // nothing is skipped or repeated; the stretcher primes itself at pos (its latency is hidden).
    float *plain = switch_.data();
    std::fill(plain, plain + 2 * n, 0.0f);
    const ResampleEnd end = resampleAdd(source, pos, step, 1.0f, 1.0f, plain, n);
    lock->render(source, pos, step, out, n);
    for (std::size_t i = 0; i < n; ++i) {
        const float t = float(i + 1) / float(n);
        const float w = locked ? t : 1.0f - t;
        out[2 * i] = w * out[2 * i] + (1.0f - w) * plain[2 * i];
        out[2 * i + 1] = w * out[2 * i + 1] + (1.0f - w) * plain[2 * i + 1];
    }
    b.keyLockActive = locked;
    return end;
}

void DeviceMix::forecast(const BufferCore &b, const SampleSource &source, std::uint64_t pos,
                         std::uint64_t step, float gain, const EqStage::Target &eq, float knob) {
    float *p = preview_.data();
    std::fill(preview_.begin(), preview_.end(), 0.0f);
    resampleAdd(source, pos, step, 1.0f, 1.0f, p, kLimiterLookaheadFrames);
    // Copies of the stages, so the buffer's own go on from where this period left them.
    if (!b.chain.eq.bypassed()) {
        EqStage stage = b.chain.eq;
        stage.process(eq, p, kLimiterLookaheadFrames);
    }
    if (!b.chain.filter.bypassed()) {
        FilterStage stage = b.chain.filter;
        stage.process(knob, p, kLimiterLookaheadFrames);
    }
    addScaled(p, gain, gain, ahead_.data(), kLimiterLookaheadFrames);
}

void DeviceMix::publishClock(BufferCore &b, std::uint64_t frame, std::uint64_t step, bool playing) {
    std::uint32_t seq = b.clockSeq.load(std::memory_order_relaxed);
    b.clockSeq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    b.clockFrame.store(frame, std::memory_order_relaxed);
    b.clockPos.store(b.pos, std::memory_order_relaxed);
    b.clockStep.store(step, std::memory_order_relaxed);
    b.clockPlaying.store(playing, std::memory_order_relaxed);
    b.clockSeq.store(seq + 2, std::memory_order_release);
}

void DeviceMix::stamp(CursorShare &share, std::uint64_t pos, std::uint64_t step) {
    std::uint32_t seq = share.seq.load(std::memory_order_relaxed);
    share.seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    share.stampPos.store(pos, std::memory_order_relaxed);
    share.stampNs.store(chunkNs_, std::memory_order_relaxed);
    share.stampStep.store(step, std::memory_order_relaxed);
    share.seq.store(seq + 2, std::memory_order_release);
    share.stamped.store(true, std::memory_order_release);
}

} // namespace mixora::sound::detail
