// DoublePlayer: plays one MP3 file on one deck. It owns the file's reader, a ten-frame streaming
// buffer on the main device (and an identical one on the headphone device) and one worker thread
// that refills the half of the buffer the play cursor has just left.
//
// Threads. The window thread calls every operation. The worker calls FillBuffer, FormatTime and
// the reader's Position. Seek, FillBuffer, FormatTime, the jumps, loops and rolls hold the player's
// mutex for their whole run, so they never overlap between the two threads. Clock may be read from
// any thread: it never sees a half's map while it changes.
//
// The stream. Every half is written sample by sample from a folded source position: a half may start
// inside an MP3 frame and hold several wraps of a loop. A jump or a change of the loop rewrites what
// the mix has not played yet, from the cursor on, so it is heard from the next device period. Play, Stop,
// Rewind, SetPitch and the volume operations only touch the sound buffers, whose setters are safe from any
// thread.
//
// Reports go to a DeckView (the window's deck). DeckView methods are called on the window thread
// or on the worker, while the player's mutex is held: an implementation must hand the report over
// to the window thread without waiting for it (the window thread may be waiting for the worker)
// and must not call back into the player.
//
// Never hangs: destruction wakes the worker through an own event, whether it was never played,
// is suspended, or its Open failed.
#pragma once

#include "engine/Formate.h"
#include "engine/LoopPlan.h"
#include "engine/sound/Sound.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mixora::engine {

// The deck's controls the player reports into: the seek bar, the time label and the state word.
class DeckView {
public:
    virtual ~DeckView() = default;
    // Seek bar: range 0..maximum (bytes of the file), arrow and page steps in bytes.
    virtual void setSeekRange(std::int32_t maximum, int smallStep, int largeStep) = 0;
    virtual void setSeekPosition(std::int32_t position) = 0;
    // Time label, e.g. "00:02:03:45" or "-00:03:25:00".
    virtual void setTimeText(const std::string &text) = 0;
    // Panel 0 of the status bar; the player itself only ever writes "ended".
    virtual void setStateWord(const std::string &word) = 0;
};

class DoublePlayer {
public:
    // Open's results.
    static constexpr int kOpenReady = 0;
    static constexpr int kOpenNoNotification = 1;
    static constexpr int kOpenFailed = 2; // the file cannot be opened or decoded, or no buffer
    // Frames per buffer half: one refill.
    static constexpr int kHalfFrames = Mp3Player::kBufferFrames / 2;
    // nearEnd holds while the remaining time is at least 0 and below this.
    static constexpr std::int32_t kNearEndHundredths = 700;

    // The devices are not owned and must outlive the player. headDevice may be null.
    // The worker is created suspended: it first runs at the first Play.
    DoublePlayer(sound::Device *mainDevice, sound::Device *headDevice);
    virtual ~DoublePlayer();
    DoublePlayer(const DoublePlayer &) = delete;
    DoublePlayer &operator=(const DoublePlayer &) = delete;

    // Creates the reader and the buffers (silent), sets the notifications, fills both halves from
    // the start. 0 ready; 1 the main buffer takes no notifications (nothing filled); 2 the file
    // cannot be played (openError() says why) and no reader or buffer is left behind.
    int Open(const std::string &fileName);
    const std::string &openError() const { return openError_; }

    // Decodes one half's frames into that half (0 or bufferBytes / 2) of both buffers, or at the
    // end of the input stops, rewinds the reader and reports "ended". Returns 0. (The worker's
    // own refills write the last frames too and end the deck once they have been heard.)
    int FillBuffer(std::int32_t offset);
    // The time text for mode 1 (elapsed) or 0 (remaining), correction in hundredths; sets nearEnd.
    std::string FormatTime(std::int32_t mode, std::int32_t correction);
    // The text and near-end flag FormatTime derives from the reader's time code (hundredths) and
    // duration (seconds). Negative parts of a time show as "00".
    static std::string TimeText(std::int32_t mode, std::int32_t currentTime, std::int32_t durationSeconds,
                                std::int32_t correction, std::int32_t &nearEndOut);
    void Play();
    int Stop();
    void Rewind();
    // Pitch in tenths of a percent: frequency = rate + pitch × (rate div 1000).
    void SetPitch(int pitch);
    // The playback frequency SetPitch gives a stream of this rate (within the buffers' range).
    static std::uint32_t FrequencyFor(std::int32_t sampleRate, int pitch);
    // An exact rate instead of a pitch step: ratio times the stream's own rate, with no rounding to
    // whole hertz (the buffers' range still applies). Both buffers get it.
    void SetRate(double ratio);
    // Key lock on both buffers (tempo follows the rate, key stays); kept for the buffers of the next
    // Open.
    void SetKeyLock(bool on);
    bool KeyLock() const { return keyLock_.load(); }

    // Where the deck plays, tied to the main device's frame count: at deviceFrame the sound of
    // sourceFrame (samples of the decoded stream, with fraction) is heard, and each device frame
    // moves it on by rate. None without a reader or main buffer.
    struct PlayClock {
        std::uint64_t deviceFrame = 0;
        double sourceFrame = 0.0;
        double rate = 1.0;
        bool playing = false;
    };
    std::optional<PlayClock> Clock() const;
    // Starts the deck so that sourceFrame sounds exactly at the main device's deviceFrame: seeks,
    // refills both halves from there and plays (resuming the worker). False when nothing could
    // be started (no reader, or sourceFrame lies past the end).
    bool PlayAt(std::uint64_t deviceFrame, double sourceFrame);
    // Goes on from sourceFrame (stream samples): playing, from the next device period on (what the mix
    // has not played yet is rewritten, cross-faded from the old place); paused, the deck is cued
    // there. Notifications raised for the old place are forgotten. False past the end or without a
    // reader (nothing changes then).
    bool JumpTo(double sourceFrame);

    // A loop of the stream from startFrame, lengthFrames long (stream samples with fraction), engaged at
    // once: audio already written past its end is rewritten. A loop reaching past the end of the song
    // ends there; a start past the end is refused (false). A loop the play position is already past
    // waits for a jump back into it (reloop).
    bool SetLoop(double startFrame, double lengthFrames);
    // Exit: the deck plays on from where it is, through the old loop end. The loop stays known.
    void ClearLoop();
    struct LoopState {
        double start = 0.0;
        double length = 0.0;
        bool active = false; // engaged: the stream wraps at its end
    };
    // The loop last set (none before the first); a loop that reached past the end shows its cut length.
    std::optional<LoopState> Loop() const;
    // Loop roll: while rolling the deck loops from startFrame (jumping there unless it plays inside
    // the loop already); EndRoll goes on from where the deck would be without the roll, and the loop
    // set before the roll, if any, is engaged again as it was.
    void BeginRoll(double startFrame, double lengthFrames);
    void EndRoll();
    bool Rolling() const;

    // Moves the reader (the buffers keep their bytes; the caller refills). The reader's result.
    int Seek(std::int32_t offset);
    // Whether the reader has indexed every frame of the file (never blocks).
    bool IndexComplete() const;
    // The file offsets at which the columns of a time axis cut into this many equal parts
    // begin, from the reader's frame index; empty until the index is complete.
    std::vector<std::int64_t> ColumnOffsets(int columns);
    // Attenuation in hundredths of a dB, 0 (full) .. −10000 (silent).
    void SetVolume(int hundredthsDb);
    void SetHeadVolume(int hundredthsDb);
    // The deck's EQ, kill switches, filter and crossovers (see sound::Buffer::setEq …): the main buffer
    // and the headphone copy get the same, so the DJ pre-listens to what the crowd will hear.
    void SetEq(int band, float dB);
    void SetEqKill(int band, bool on);
    void SetFilter(float value);
    void SetEqCrossovers(float lowHz, float highHz);
    // The main buffer's level after EQ and filter, before the volume, since the previous call.
    sound::PeakReading TakePeak();

    // What the deck's window needs of the player, and nothing more.
    void SetView(DeckView *deckView) { view = deckView; }
    void SetTimeMode(std::int32_t mode) { timeMode = mode; }
    bool WorkerSuspended() const { return workerSuspended.load() != 0; }
    // Whether the song plays its last seconds (the worker raises it; auto-play clears it).
    bool NearEnd() const { return nearEnd.load() != 0; }
    void ClearNearEnd() { nearEnd.store(0); }
    void SetAudibleEnd(std::int32_t hundredths) { audibleEndHundredths.store(hundredths); }
    // The reader's sample rate and one buffer's playing time in hundredths (0 without a reader).
    std::int32_t SampleRate() const { return reader ? reader->sampleRate : 0; }
    std::int32_t BufferTime() const { return reader ? reader->bufferTime : 0; }
    sound::Device *MainDevice() const { return mainDevice; }
    // Refills both halves from the reader's position (after a seek).
    void FillBothHalves();
    // The song's level in the mix on both outputs, beside the volume (1: unchanged).
    void SetGain(float gain);

    // Thread part. While suspended the worker neither refills nor reports; a refill under way
    // completes first. Suspending twice needs one resume.
    void SuspendWorker();
    void ResumeWorker();
    void RequestStop();
    void WaitForWorker();

    // The song's length in stream samples: exact once the reader has indexed every frame, until
    // then estimated from the duration. None without a reader.
    struct SongLength {
        double frames = 0.0;
        bool exact = false;
    };
    std::optional<SongLength> Length() const;

    // Tests, tools and benchmarks only: the player's inside, to watch and to drive what the
    // operations above do not reach. The program itself never uses it.
    struct Inside {
        std::atomic<std::int32_t> &timeMode;
        std::atomic<std::int32_t> &nearEnd;
        std::atomic<std::int32_t> &workerSuspended;
        DeckView *&view;
        std::unique_ptr<Mp3Player> &reader;
        std::unique_ptr<sound::Buffer> &mainBuffer;
        std::unique_ptr<sound::Buffer> &headBuffer;
        std::shared_ptr<sound::Event> &halfEvent;
        std::shared_ptr<sound::Event> &endEvent;
        std::array<sound::Notification, 2> &notifyPositions;
        std::atomic<std::uint64_t> &workerRefills;
    };
    Inside inside() {
        return {timeMode,  nearEnd,  workerSuspended, view,         reader, mainBuffer, headBuffer,
                halfEvent, endEvent, notifyPositions, workerRefills};
    }

protected:
    // The worker's body: waits for a notification, reports and refills the half not playing.
    virtual void StreamLoop();

private:
    std::atomic<std::int32_t> timeMode{1};        // 1 elapsed, 0 remaining
    std::atomic<std::int32_t> nearEnd{0};         // 1 while 0 ≤ remaining < 7 s
    std::atomic<std::int32_t> workerSuspended{1}; // the worker starts suspended
    DeckView *view = nullptr; // the deck's seek bar, time label and status bar; set before Open

    std::unique_ptr<Mp3Player> reader;
    std::unique_ptr<sound::Buffer> mainBuffer;
    std::unique_ptr<sound::Buffer> headBuffer; // none without a headphone device
    std::shared_ptr<sound::Event> halfEvent;   // the main buffer's cursor passed its middle
    std::shared_ptr<sound::Event> endEvent;    // ... passed its last byte
    std::array<sound::Notification, 2> notifyPositions;

    // Refills the worker has completed (diagnostics and tests).
    std::atomic<std::uint64_t> workerRefills{0};

    sound::Device *const mainDevice;
    sound::Device *const headDevice;
    // Where the song's sound ends (hundredths; negative: unknown): nearEnd then counts its last
    // seconds from there instead of from the end of the file.
    std::atomic<std::int32_t> audibleEndHundredths{-1};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> keyLock_{false};

    void startIndex();
    // playOut: a refill while the deck plays, whose end of input lets the decoded audio play out
    // before the deck ends (the window's fills end it at once).
    int fillBufferLocked(std::int32_t offset, bool playOut = false);
    void silenceHalfLocked(int which);
    void endedLocked();
    // Notifications raised so far belong to the old place: the worker lets them pass.
    void forgetNotificationsLocked();
    std::string formatTimeLocked(std::int32_t mode, std::int32_t correction);
    void serviceNotification(int which);
    void threadMain();
    bool waitWhileSuspended();

    // The stream writer. Every half is written from a folded source position through the loop plan:
    // the wrap happens here, before the mix, so resampler, EQ and key lock see one continuous stream.
    struct Piece {
        std::int32_t at = 0;     // frame of the written block where it starts
        std::int64_t source = 0; // its first stream sample
    };
    // What a half holds: where each run of consecutive stream samples starts, and the unfolded count
    // (stream samples written since Open) at the half's first frame.
    static constexpr int kMaxPieces = 48;
    struct HalfMap {
        std::atomic<int> count{0};
        std::array<std::atomic<std::int32_t>, kMaxPieces> at{};
        std::array<std::atomic<std::int64_t>, kMaxPieces> source{};
        std::atomic<std::int64_t> unfolded{0};
    };
    struct PlayPoint {
        std::int64_t source = 0;
        std::int64_t unfolded = 0;
    };
    int halfFramesLocked() const;
    // Folded source and unfolded count at a frame of the ring, from the half maps.
    PlayPoint pointAtLocked(std::uint32_t ringFrame) const;
    // count frames of the stream from writeSource_ on into out; pieces_ tells where runs start. Returns
    // the frame at which the song's audio ended (-1: it goes on).
    std::int64_t produceLocked(int count, std::int16_t *out);
    int readLocked(std::int64_t at, int count, std::int16_t *out);
    int readDecodedLocked(std::int64_t at, int count, std::int16_t *out);
    void decodeAtLocked(std::int64_t at);
    void decodeAheadLocked();
    // Makes the next fill follow where the reader stands (after a seek by byte offset or a rewind).
    void followReaderLocked();
    // Stores frames [first, first + count) of out_ in half which from frame offset on.
    void storeLocked(int which, int offset, int first, int count);
    // Rewrites the ring from ringFrame on (the rest of its half and the whole other half) with the
    // stream from source; fade cross-fades from what was there. False when no audio comes (past end).
    bool rewriteLocked(std::uint32_t ringFrame, std::int64_t source, bool fade);
    // After a change of the loop: what is written ahead of the cursor follows the new plan.
    void replanLocked();
    std::int64_t streamLengthLocked() const;
    std::int32_t writePositionBytesLocked() const;

    LoopPlan loop_;
    std::int64_t writeSource_ = 0;   // folded source of the next frame written
    std::int64_t writeUnfolded_ = 0; // unfolded count of the next frame written
    bool followReader_ = true;
    std::vector<std::int16_t> out_; // two halves of produced stream
    std::vector<Piece> pieces_;     // produceLocked's runs, frames of out_
    // The frames last decoded (from frameStart_ on, frameSamples_ in all; each frame's file offset),
    // and where the stream ends once met.
    static constexpr int kDecodeFrames = Mp3Player::kBufferFrames;
    std::vector<std::int16_t> frame_;
    std::int64_t frameStart_ = -1;
    int frameSamples_ = 0;
    std::array<std::int32_t, kDecodeFrames> frameBytes_{};
    int frameCount_ = 0;
    std::int64_t streamEnd_ = std::numeric_limits<std::int64_t>::max();
    // Decoded audio from the loop's start: short loops wrap without decoding again.
    std::vector<std::int16_t> cache_;
    std::int64_t cacheFrom_ = 0;
    std::int64_t cacheFrames_ = 0;
    bool cacheWanted_ = false;
    bool cacheValid_ = false;
    // A cross-fade under way: the old audio fading out, its length and the frames done.
    std::vector<std::int16_t> fadeTail_;
    int fadeFrames_ = 0;
    int fadeDone_ = 0;
    // The roll: where the deck was at the press and the loop it had.
    struct Roll {
        PlayPoint pressed;
        LoopPlan before;
    };
    std::optional<Roll> roll_;
    std::array<HalfMap, 2> maps_;
    std::atomic<std::uint32_t> mapSeq_{0}; // odd while the maps change

    mutable std::mutex mutex_; // Seek, FillBuffer, FormatTime, and the worker's whole refill
    std::mutex suspendMutex_;
    std::condition_variable suspendChanged_;
    std::shared_ptr<sound::Event> wakeEvent_; // wakes the worker for destruction
    std::vector<std::uint8_t> scratch_;       // one half, decoded
    // The stream's sample at the start of each half, and a count of refills (so a reader can tell
    // that a half changed while it looked).
    std::array<std::atomic<std::int64_t>, 2> halfSource_{};
    std::atomic<std::uint64_t> fills_{0};
    // Under mutex_: the fill count at each half's last fill (the later one holds later audio), the
    // set counts of the two events already served or left behind by a reposition, and the half
    // in which the input ended while playing (-1: none) with the samples of audio it holds.
    std::array<std::uint64_t, 2> filledAt_{};
    std::array<std::uint64_t, 2> servedSets_{};
    int endHalf_ = -1;
    std::int64_t endHalfSamples_ = 0;
    std::string openError_;
    std::thread worker_;
};

} // namespace mixora::engine
