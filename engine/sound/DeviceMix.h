// Internal to the sound layer: the per-device mix and the state a buffer shares with it.
// Everything the mix touches is either owned by the mix thread or an atomic; other threads hand changes
// over through atomics, and replace what the mix reads only through the device's Grace.
#pragma once

#include "engine/sound/Grace.h"
#include "engine/sound/KeyLock.h"
#include "engine/sound/MixSteps.h"
#include "engine/sound/Sound.h"
#include "engine/sound/Stages.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace mixora::sound::detail {

// Marks the calling thread as the real-time mix thread for the mix's duration; blocking locks of the
// sound layer assert against it in debug builds.
class RealtimeScope {
public:
    RealtimeScope();
    ~RealtimeScope();
    RealtimeScope(const RealtimeScope &) = delete;
    RealtimeScope &operator=(const RealtimeScope &) = delete;
};
bool inRealtimeThread();
// Debug check before any blocking lock in the sound layer.
void assertNotRealtime();

struct NotifyList {
    std::vector<std::uint32_t> offsets;         // sorted
    std::vector<Event *> events;                // parallel to offsets
    std::vector<std::shared_ptr<Event>> owners; // keeps the events alive
};

// What a master publishes for its slaves: shared so a slave never reads a freed master.
struct CursorShare {
    std::atomic<std::uint64_t> position{0}; // 32.32 fixed point, in frames
    std::atomic<bool> playing{false};
    std::atomic<std::uint32_t> jumps{0}; // bumped by every cursor set: slaves resynchronise at once
    std::atomic<bool> alive{true};
    // Real-time devices also publish where a period started and when (a seqlock: one writer, the
    // master's mix), so a slave on another card can extrapolate the master's position to its own
    // period start instead of comparing callbacks of unrelated phase.
    std::atomic<std::uint32_t> seq{0};
    std::atomic<std::uint64_t> stampPos{0};
    std::atomic<std::int64_t> stampNs{0};
    std::atomic<std::uint64_t> stampStep{0};
    std::atomic<bool> stamped{false};
};

struct BufferCore {
    BufferCore(const PcmFormat &f, std::uint32_t byteLength);

    const PcmFormat format;
    const std::uint32_t bytes;
    const std::uint32_t frames;
    const int channels;

    // Sample data, readable by the mix while another thread writes (relaxed atomics: never torn, no race).
    std::unique_ptr<std::atomic<std::int16_t>[]> samples;
    std::size_t sampleCount;

    // Control handed to the mix.
    std::atomic<bool> playing{false};
    std::atomic<bool> looping{false};
    std::atomic<std::int64_t> pendingCursorFrame{-1};
    std::atomic<double> frequency; // Hz, with its fraction
    std::atomic<int> volumeDb{0};
    std::atomic<float> targetGain{1.0f};
    std::atomic<float> levelGain{1.0f}; // setGain, applied on top of the volume
    std::atomic<NotifyList *> notifications{nullptr};
    std::atomic<CursorShare *> master{nullptr};
    std::atomic<std::uint64_t> startFrame{0}; // playAt's device frame; 0: none pending
    std::array<std::atomic<float>, kEqBands> eqDb{};
    std::array<std::atomic<bool>, kEqBands> eqKill{};
    std::atomic<float> filterValue{0.0f};
    std::atomic<float> crossoverLowHz{kEqLowCrossoverHz};
    std::atomic<float> crossoverHighHz{kEqHighCrossoverHz};
    DeckChain chain; // owned by the mix thread, but for its meter
    std::atomic<bool> keyLockOn{false};
    std::atomic<KeyLock *> keyLock{nullptr}; // made at the first switch-on, kept for the buffer's life

    // The buffer's clock, published by the mix after each period (a seqlock: the mix is the one writer).
    std::atomic<std::uint32_t> clockSeq{0};
    std::atomic<std::uint64_t> clockFrame{0};
    std::atomic<std::uint64_t> clockPos{0};
    std::atomic<std::uint64_t> clockStep{0};
    std::atomic<bool> clockPlaying{false};

    // Published by the mix.
    std::atomic<std::uint32_t> cursorFrame{0};
    std::atomic<double> correction{0.0};
    std::shared_ptr<CursorShare> share = std::make_shared<CursorShare>();

    // Owned by the mix thread.
    std::uint64_t pos = 0; // 32.32 fixed point, in frames
    float gain = 1.0f;
    bool wasPlaying = false;
    bool keyLockActive = false; // the stretcher was this buffer's source in the last period
    SlaveFollower follower;

    // Non-real-time side: serialises writers and owns what the atomics point at.
    std::mutex writeMutex;
    std::unique_ptr<NotifyList> notifyOwner;
    std::shared_ptr<CursorShare> masterOwner;
    std::unique_ptr<KeyLock> keyLockOwner;

    ~BufferCore();
};

class DeviceMix {
public:
    DeviceMix(bool collectSignals, bool realtime);
    ~DeviceMix();

    // Registration of buffers; remove() returns once the mix no longer reads the buffer.
    void add(BufferCore *core);
    void remove(BufferCore *core);
    // Whatever the mix reads through a pointer is swapped through this.
    Grace &grace() { return grace_; }

    // The real-time mix of the next frames into out (interleaved stereo). clockNs: the steady-clock time
    // at which these frames are due, where the device knows it better than "now".
    static constexpr std::int64_t kNow = -1;
    void mix(std::int16_t *out, std::size_t frames, std::int64_t clockNs = kNow);

    // Offline handshake: events signalled by the last mix() with their set counts.
    struct Signalled {
        std::shared_ptr<Event> event;
        std::uint64_t setCount;
    };
    std::size_t signalledCount() const { return signalledCount_; }
    const Signalled &signalled(std::size_t i) const { return signalled_[i]; }
    void clearSignalled();
    std::uint64_t framesMixed() const { return framesMixed_.load(std::memory_order_relaxed); }
    // Real-time safe: the backend reports a period the card had to play without the mix.
    void countUnderflow() { underflows_.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t underflows() const { return underflows_.load(std::memory_order_relaxed); }
    PeakMeter &outputMeter() { return outputMeter_; }

    static constexpr std::size_t kMaxSlots = 64;
    static constexpr std::size_t kChunkFrames = 1024;
    static constexpr std::size_t kMaxSignals = 64;

private:
    void mixBuffer(BufferCore &b, float *acc, std::size_t frames);
    // The chain's source: resampled, or stretched under key lock, cross-fading a switch between them.
    // out holds n silent frames and gets the buffer's sound at unity gain.
    ResampleEnd renderSource(BufferCore &b, const SampleSource &source, std::uint64_t pos, std::uint64_t step,
                             float *out, std::size_t n);
    // The limiter's forecast: the next frames of a buffer that keeps playing, added into ahead_.
    void forecast(const BufferCore &b, const SampleSource &source, std::uint64_t pos, std::uint64_t step,
                  float gain, const EqStage::Target &eq, float knob);
    // The master's position (frames) at the start of the current chunk, as well as it can be known.
    double masterPosition(const CursorShare &master, double frames) const;
    // Publishes where this period of a master starts and when, for slaves on other cards.
    void stamp(CursorShare &share, std::uint64_t pos, std::uint64_t step);
    void signal(const NotifyList &list, std::size_t k);
    void publishClock(BufferCore &b, std::uint64_t frame, std::uint64_t step, bool playing);

    std::atomic<BufferCore *> slots_[kMaxSlots];
    std::mutex slotMutex_; // registration only; never taken by the mix
    Grace grace_;
    std::atomic<std::uint64_t> framesMixed_{0};
    std::atomic<std::uint64_t> underflows_{0};
    PeakMeter outputMeter_;
    std::vector<float> acc_;
    std::vector<float> block_;   // one buffer's period, between its source and the sum
    std::vector<float> switch_;  // the other source while key lock is switched
    std::vector<float> ahead_;   // every buffer's next kLimiterLookaheadFrames, summed
    std::vector<float> preview_; // one buffer's share of ahead_
    Limiter limiter_;
    bool collectSignals_;
    bool realtime_;
    std::int64_t chunkNs_ = 0;     // steady-clock time of the current chunk's start (real-time devices)
    std::uint64_t chunkFrame_ = 0; // device frame of the current chunk's start
    Signalled signalled_[kMaxSignals];
    std::size_t signalledCount_ = 0;
};

} // namespace mixora::sound::detail
