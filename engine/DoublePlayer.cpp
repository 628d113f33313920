#include "engine/DoublePlayer.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <thread>

namespace mixora::engine {

namespace {

constexpr std::int32_t kHundredthsPerHour = 360000;
constexpr std::int32_t kHundredthsPerMinute = 6000;
constexpr std::int32_t kHundredthsPerSecond = 100;
// Scroll-bar steps are 16-bit values.
constexpr int kMaxScrollStep = 32767;
// A timed start that keeps falling behind its own seek gives up after this many.
constexpr int kMaxStartAttempts = 4;

std::int32_t clampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

void appendPart(std::string &text, std::int32_t value) {
    if (value < 0) {
        text += "00";
        return;
    }
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02d", static_cast<int>(value));
    text += digits;
}

} // namespace

DoublePlayer::DoublePlayer(sound::Device *mainDevice_, sound::Device *headDevice_)
    : halfEvent(std::make_shared<sound::Event>()), endEvent(std::make_shared<sound::Event>()),
      mainDevice(mainDevice_), headDevice(headDevice_), wakeEvent_(std::make_shared<sound::Event>()) {
    worker_ = std::thread(&DoublePlayer::threadMain, this);
}

DoublePlayer::~DoublePlayer() {
    SetVolume(sound::kSilenceHundredthsDb);
    SetHeadVolume(sound::kSilenceHundredthsDb);
    RequestStop();
    WaitForWorker();
    // The slave goes before its master.
    headBuffer.reset();
    if (mainBuffer)
        mainBuffer->setNotifications({});
    mainBuffer.reset();
    reader.reset();
}

int DoublePlayer::Open(const std::string &fileName) {
    openError_.clear();
    if (reader) {
        openError_ = "Dieser Player hat schon eine Datei geöffnet";
        return kOpenFailed;
    }
    std::unique_ptr<Mp3Player> newReader;
    try {
        // The index starts once both halves are filled, so that its reads do not delay the load's.
        newReader = std::make_unique<Mp3Player>(fileName, Mp3Player::IndexStart::Later);
    } catch (const Mp3Error &e) {
        openError_ = e.what();
        return kOpenFailed;
    }

    const sound::PcmFormat format{newReader->sampleRate, newReader->channels, newReader->bitsPerSample};
    const auto length = static_cast<std::uint32_t>(newReader->bufferBytes);
    std::unique_ptr<sound::Buffer> newMain;
    std::unique_ptr<sound::Buffer> newHead;
    try {
        if (mainDevice)
            newMain = mainDevice->createBuffer(format, length);
        if (headDevice)
            newHead = headDevice->createBuffer(format, length);
    } catch (const sound::SoundError &e) {
        openError_ = e.what();
        return kOpenFailed;
    }
    for (auto *buffer : {newMain.get(), newHead.get()})
        if (buffer) {
            buffer->setVolume(sound::kSilenceHundredthsDb);
            if (keyLock_)
                buffer->setKeyLock(true);
        }
    // The headphone card's clock differs from the main card's: following the main cursor keeps
    // the cue copy from running into the half being rewritten.
    if (newHead && newMain)
        newHead->slaveTo(newMain.get());

    const std::int32_t half = newReader->bufferBytes / 2;
    notifyPositions[0] = {static_cast<std::uint32_t>(half), halfEvent};
    notifyPositions[1] = {length - 1, endEvent};
    nearEnd = 0;

    if (view) {
        const int step = std::clamp(newReader->frameInputBytes, 1, kMaxScrollStep);
        const int page = std::clamp(10 * newReader->frameInputBytes, 1, kMaxScrollStep);
        view->setSeekRange(newReader->inputSize, step, page);
        view->setSeekPosition(0);
    }
    {
        std::lock_guard lock(mutex_);
        scratch_.assign(static_cast<size_t>(half), 0);
        reader = std::move(newReader);
        mainBuffer = std::move(newMain);
        headBuffer = std::move(newHead);
    }

    if (!mainBuffer || !mainBuffer->setNotifications(std::vector<sound::Notification>(
                           notifyPositions.begin(), notifyPositions.end()))) {
        startIndex();
        return kOpenNoNotification;
    }
    Seek(0);
    const std::string text = FormatTime(timeMode, 0);
    if (view)
        view->setTimeText(text);
    FillBuffer(0);
    FillBuffer(half);
    startIndex();
    return kOpenReady;
}

void DoublePlayer::startIndex() {
    std::lock_guard lock(mutex_);
    reader->StartIndex();
}

int DoublePlayer::FillBuffer(std::int32_t offset) {
    std::lock_guard lock(mutex_);
    return fillBufferLocked(offset);
}

int DoublePlayer::fillBufferLocked(std::int32_t offset, bool playOut) {
    if (!reader)
        return 0;
    const std::int32_t half = reader->bufferBytes / 2;
    // Only the two halves exist; anything else would write across the half that is playing.
    if (offset != 0 && offset != half)
        return 0;
    if (!playOut)
        endHalf_ = -1; // the window's fills start the stream anew from where the reader stands
    const std::int64_t before = reader->SamplePosition();
    const bool ended = reader->ReadFrames(kHalfFrames, scratch_.data()) == Mp3Player::kEndOfInput;
    if (ended && !playOut) {
        endedLocked();
        return 0;
    }
    const auto at = static_cast<std::uint32_t>(offset);
    const auto bytes = static_cast<std::uint32_t>(half);
    if (mainBuffer)
        mainBuffer->write(at, scratch_.data(), bytes);
    if (headBuffer)
        headBuffer->write(at, scratch_.data(), bytes);
    const int which = offset == 0 ? 0 : 1;
    if (ended) {
        // The slots after the stream's last frame are silence; the deck ends once they play.
        endHalf_ = which;
        endHalfSamples_ = std::max<std::int64_t>(reader->SamplePosition() - before, 0);
        halfSource_[static_cast<std::size_t>(which)] = reader->SamplePosition() - endHalfSamples_;
    } else {
        // Counted back from where the decoding stands now: a reading that corrected its place on
        // the way (a seek ahead of the file's index) tells the true one only after it.
        halfSource_[static_cast<std::size_t>(which)] =
            reader->SamplePosition() -
            static_cast<std::int64_t>(kHalfFrames) * (half / kHalfFrames) / (reader->channels * 2);
    }
    filledAt_[static_cast<std::size_t>(which)] = ++fills_;
    return 0;
}

void DoublePlayer::silenceHalfLocked(int which) {
    const auto bytes = static_cast<std::uint32_t>(reader->bufferBytes / 2);
    std::fill(scratch_.begin(), scratch_.end(), std::uint8_t{0});
    for (auto *buffer : {mainBuffer.get(), headBuffer.get()})
        if (buffer)
            buffer->write(static_cast<std::uint32_t>(which) * bytes, scratch_.data(), bytes);
    const auto i = static_cast<std::size_t>(which);
    halfSource_[i] = halfSource_[1 - i] + static_cast<std::int64_t>(bytes) / (reader->channels * 2);
    filledAt_[i] = ++fills_;
}

void DoublePlayer::endedLocked() {
    endHalf_ = -1;
    reader->Seek(0);
    if (view) {
        view->setSeekPosition(0);
        view->setStateWord("ended");
        view->setTimeText(formatTimeLocked(timeMode, 0));
    } else {
        formatTimeLocked(timeMode, 0);
    }
    Stop();
}

void DoublePlayer::forgetNotificationsLocked() {
    servedSets_ = {halfEvent->setCount(), endEvent->setCount()};
}

std::string DoublePlayer::TimeText(std::int32_t mode, std::int32_t currentTime, std::int32_t durationSeconds,
                                   std::int32_t correction, std::int32_t &nearEndOut) {
    const std::int32_t remaining = clampToInt32(
        static_cast<std::int64_t>(durationSeconds) * kHundredthsPerSecond + correction - currentTime);
    const std::int32_t shown =
        mode != 0 ? clampToInt32(static_cast<std::int64_t>(currentTime) - correction) : remaining;
    nearEndOut = (remaining >= 0 && remaining < kNearEndHundredths) ? 1 : 0;

    const std::int32_t hours = shown / kHundredthsPerHour;
    std::int32_t rest = shown % kHundredthsPerHour;
    const std::int32_t minutes = rest / kHundredthsPerMinute;
    rest %= kHundredthsPerMinute;
    const std::int32_t seconds = rest / kHundredthsPerSecond;
    const std::int32_t hundredths = rest % kHundredthsPerSecond;

    std::string text;
    text.reserve(16);
    if (mode == 0)
        text += '-';
    appendPart(text, hours);
    text += ':';
    appendPart(text, minutes);
    text += ':';
    appendPart(text, seconds);
    text += ':';
    appendPart(text, hundredths);
    return text;
}

std::string DoublePlayer::FormatTime(std::int32_t mode, std::int32_t correction) {
    std::lock_guard lock(mutex_);
    return formatTimeLocked(mode, correction);
}

std::string DoublePlayer::formatTimeLocked(std::int32_t mode, std::int32_t correction) {
    std::int32_t flag = 0;
    if (!reader) {
        // Nothing loaded is never near its end: auto-play must not take it for a finishing song.
        nearEnd = 0;
        return TimeText(mode, 0, 0, 0, flag);
    }
    const std::int32_t now = reader->CurrentTime();
    std::string text = TimeText(mode, now, reader->durationSeconds, correction, flag);
    const std::int32_t audibleEnd = audibleEndHundredths;
    if (audibleEnd >= 0) {
        // Silence after the song's sound is no reason to wait; the file's own end still ends it.
        const std::int64_t fileLeft =
            static_cast<std::int64_t>(reader->durationSeconds) * kHundredthsPerSecond + correction - now;
        flag = (static_cast<std::int64_t>(audibleEnd) - now < kNearEndHundredths && fileLeft >= 0) ? 1 : 0;
    }
    nearEnd = flag;
    return text;
}

void DoublePlayer::Play() {
    if (mainBuffer)
        mainBuffer->play(true);
    if (headBuffer)
        headBuffer->play(true);
    if (workerSuspended)
        ResumeWorker();
}

int DoublePlayer::Stop() {
    if (mainBuffer)
        mainBuffer->stop();
    if (headBuffer)
        headBuffer->stop();
    return 0;
}

void DoublePlayer::Rewind() {
    if (mainBuffer)
        mainBuffer->setCursor(0);
    if (headBuffer)
        headBuffer->setCursor(0);
}

std::uint32_t DoublePlayer::FrequencyFor(std::int32_t sampleRate, int pitch) {
    const std::int64_t rate = sampleRate;
    const std::int64_t hz = rate + static_cast<std::int64_t>(pitch) * (rate / 1000);
    // 0 Hz would mean "the file's own rate" to the buffer; an absurd pitch plays as slow as allowed.
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(hz, sound::kMinFrequencyHz, sound::kMaxFrequencyHz));
}

void DoublePlayer::SetPitch(int pitch) {
    if (!reader)
        return;
    const std::uint32_t frequency = FrequencyFor(reader->sampleRate, pitch);
    if (mainBuffer)
        mainBuffer->setFrequency(frequency);
    if (headBuffer)
        headBuffer->setFrequency(frequency);
}

void DoublePlayer::SetRate(double ratio) {
    if (!reader || !(ratio > 0.0))
        return;
    const double hz = ratio * reader->sampleRate;
    for (auto *b : {mainBuffer.get(), headBuffer.get()})
        if (b)
            b->setExactFrequency(hz);
}

void DoublePlayer::SetKeyLock(bool on) {
    keyLock_ = on;
    for (auto *b : {mainBuffer.get(), headBuffer.get()})
        if (b)
            b->setKeyLock(on);
}

std::optional<DoublePlayer::PlayClock> DoublePlayer::Clock() const {
    if (!reader || !mainBuffer)
        return std::nullopt;
    const std::uint32_t block = static_cast<std::uint32_t>(reader->channels * 2);
    const double halfFrames = static_cast<double>(reader->bufferBytes / 2 / block);
    for (;;) {
        const std::uint64_t before = fills_;
        const sound::Buffer::Clock c = mainBuffer->clock();
        const int half = c.position >= halfFrames ? 1 : 0;
        const double source = static_cast<double>(halfSource_[static_cast<std::size_t>(half)].load()) +
                              (c.position - half * halfFrames);
        // A refill meanwhile may have given the half new audio: look again.
        if (fills_ == before)
            return PlayClock{c.deviceFrame, source, c.step, c.playing};
        std::this_thread::yield();
    }
}

bool DoublePlayer::PlayAt(std::uint64_t deviceFrame, double sourceFrame) {
    {
        std::lock_guard lock(mutex_);
        if (!reader || !mainBuffer)
            return false;
        Stop();
        forgetNotificationsLocked();
        const std::int32_t half = reader->bufferBytes / 2;
        const std::int32_t block = reader->channels * 2;
        const double step = mainBuffer->exactFrequency() / static_cast<double>(sound::kDeviceRate);
        double source = std::max(0.0, sourceFrame);
        std::int64_t at = 0;
        for (int attempt = 0;; ++attempt) {
            if (attempt == kMaxStartAttempts)
                return false;
            const auto target = static_cast<std::int64_t>(source);
            reader->SeekSample(target);
            const std::uint64_t before = fills_;
            fillBufferLocked(0);
            fillBufferLocked(half);
            if (fills_ != before + 2)
                return false; // the end came first: the fill reported "ended"
            // Seeking (and waiting for the index) takes its time: a start that has become late
            // moves on along its own line, so it still lands where it would have been.
            const std::uint64_t now = mainDevice->framesRendered();
            if (deviceFrame < now) {
                source += static_cast<double>(now - deviceFrame) * step;
                deviceFrame = now;
            }
            at = (static_cast<std::int64_t>(source) - halfSource_[0]) * block;
            if (at < 0)
                return false; // the reader could not go there
            if (at < half)
                break;
            if (at < 2 * half) {
                // Starting past the middle owes the first half the refill of that crossing.
                fillBufferLocked(0);
                if (fills_ != before + 3)
                    return false;
                break;
            }
        }
        const auto cursor = static_cast<std::uint32_t>(at);
        mainBuffer->setCursor(cursor);
        if (headBuffer)
            headBuffer->setCursor(cursor);
    }
    mainBuffer->playAt(deviceFrame, true);
    if (headBuffer) {
        // Another card counts its own frames: start it as far ahead; its slaving does the rest.
        const std::uint64_t now = mainDevice ? mainDevice->framesRendered() : 0;
        const std::uint64_t ahead = deviceFrame > now ? deviceFrame - now : 0;
        headBuffer->playAt(headDevice ? headDevice->framesRendered() + ahead : 0, true);
    }
    if (workerSuspended)
        ResumeWorker();
    return true;
}

int DoublePlayer::Seek(std::int32_t offset) {
    std::lock_guard lock(mutex_);
    if (!reader)
        return -1;
    forgetNotificationsLocked();
    endHalf_ = -1;
    return reader->Seek(offset);
}

void DoublePlayer::FillBothHalves() {
    FillBuffer(0);
    if (reader)
        FillBuffer(reader->bufferBytes / 2);
}

void DoublePlayer::SetGain(float gain) {
    if (mainBuffer)
        mainBuffer->setGain(gain);
    if (headBuffer)
        headBuffer->setGain(gain);
}

bool DoublePlayer::IndexComplete() const {
    return reader && reader->IndexComplete();
}

std::vector<std::int64_t> DoublePlayer::ColumnOffsets(int columns) {
    if (columns <= 0 || !IndexComplete())
        return {};
    std::vector<std::int64_t> frames;
    {
        std::lock_guard lock(mutex_);
        frames = reader->FrameOffsets();
    }
    if (frames.empty())
        return {};
    std::vector<std::int64_t> out(static_cast<std::size_t>(columns));
    const auto n = static_cast<std::int64_t>(frames.size());
    for (std::int64_t c = 0; c < columns; ++c)
        out[static_cast<std::size_t>(c)] = frames[static_cast<std::size_t>(c * n / columns)];
    return out;
}

void DoublePlayer::SetVolume(int hundredthsDb) {
    if (mainBuffer)
        mainBuffer->setVolume(hundredthsDb);
}

void DoublePlayer::SetHeadVolume(int hundredthsDb) {
    if (headBuffer)
        headBuffer->setVolume(hundredthsDb);
}

void DoublePlayer::SetEq(int band, float dB) {
    for (auto *b : {mainBuffer.get(), headBuffer.get()})
        if (b)
            b->setEq(band, dB);
}

void DoublePlayer::SetEqKill(int band, bool on) {
    for (auto *b : {mainBuffer.get(), headBuffer.get()})
        if (b)
            b->setEqKill(band, on);
}

void DoublePlayer::SetFilter(float value) {
    for (auto *b : {mainBuffer.get(), headBuffer.get()})
        if (b)
            b->setFilter(value);
}

void DoublePlayer::SetEqCrossovers(float lowHz, float highHz) {
    for (auto *b : {mainBuffer.get(), headBuffer.get()})
        if (b)
            b->setEqCrossovers(lowHz, highHz);
}

sound::PeakReading DoublePlayer::TakePeak() {
    return mainBuffer ? mainBuffer->takePeak() : sound::PeakReading{};
}

void DoublePlayer::SuspendWorker() {
    // Taking the player's mutex lets a refill under way complete before the flag is seen.
    std::lock_guard lock(mutex_);
    std::lock_guard gate(suspendMutex_);
    workerSuspended = 1;
}

void DoublePlayer::ResumeWorker() {
    {
        std::lock_guard gate(suspendMutex_);
        workerSuspended = 0;
    }
    suspendChanged_.notify_all();
}

void DoublePlayer::RequestStop() {
    {
        std::lock_guard gate(suspendMutex_);
        stopRequested = true;
    }
    suspendChanged_.notify_all();
    wakeEvent_->set();
}

void DoublePlayer::WaitForWorker() {
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
}

bool DoublePlayer::waitWhileSuspended() {
    std::unique_lock gate(suspendMutex_);
    suspendChanged_.wait(gate, [this] { return !workerSuspended || stopRequested; });
    return !stopRequested;
}

void DoublePlayer::threadMain() {
    // Created suspended: nothing runs before the first Play (or destruction).
    if (waitWhileSuspended())
        StreamLoop();
}

void DoublePlayer::StreamLoop() {
    while (!stopRequested) {
        if (!waitWhileSuspended())
            break;
        const int which = sound::waitAny({halfEvent.get(), endEvent.get(), wakeEvent_.get()});
        if (which != 0 && which != 1)
            continue;
        try {
            serviceNotification(which);
        } catch (...) {
            // A failed report must not end the refills of a playing deck.
        }
        (which == 0 ? halfEvent : endEvent)->done();
    }
}

void DoublePlayer::serviceNotification(int which) {
    std::lock_guard lock(mutex_);
    if (stopRequested || workerSuspended || !reader || !mainBuffer)
        return;
    // A crossing from before the last seek or start, or one served already, owes nothing.
    const std::uint64_t sets = (which == 0 ? halfEvent : endEvent)->setCount();
    auto &served = servedSets_[static_cast<std::size_t>(which)];
    if (sets <= served)
        return;
    served = sets;
    const auto half = static_cast<std::uint32_t>(reader->bufferBytes / 2);
    const int playing = mainBuffer->cursor() >= half ? 1 : 0;
    const int other = 1 - playing;
    if (view) {
        view->setSeekPosition(reader->Position());
        view->setTimeText(formatTimeLocked(timeMode, 0));
    }
    if (endHalf_ >= 0) {
        // The input ended inside endHalf_: what it holds plays to the last sample, then the deck
        // ends. The half behind the cursor goes silent, so nothing old sounds after the song.
        silenceHalfLocked(other);
        if (playing != endHalf_ || endHalfSamples_ == 0)
            endedLocked();
    } else if (filledAt_[static_cast<std::size_t>(other)] < filledAt_[static_cast<std::size_t>(playing)]) {
        // Only the half that has played is refilled; a later one is still to be heard.
        fillBufferLocked(static_cast<std::int32_t>(other) * static_cast<std::int32_t>(half), true);
    }
    ++workerRefills;
}

} // namespace mixora::engine
