#include "engine/DoublePlayer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
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
// The cross-fade of a wrap or a jump: 2.5 ms, and never more than half a loop.
constexpr int kFadeTenthsOfMs = 25;
// Frames of decoded audio kept from a loop's start (1.5 s at 44.1 kHz): shorter loops wrap without
// decoding again, longer ones decode on from there.
constexpr std::size_t kLoopCacheFrames = 65536;
// A loop shorter than this (5.8 ms at 44.1 kHz) is made this long: a half never holds more wraps than
// its map has pieces.
constexpr double kMinLoopFrames = 256.0;
constexpr std::size_t kMaxFadeFrames = 512;

int fadeFramesFor(std::int32_t sampleRate) {
    return std::clamp(static_cast<int>(static_cast<std::int64_t>(sampleRate) * kFadeTenthsOfMs / 10000), 1,
                      static_cast<int>(kMaxFadeFrames));
}

std::int32_t clampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

void appendPart(std::string &text, std::int32_t value) {
    if (value < 0) {
        text += "00";
        return;
    }
    // Two digits at least; no formatting machinery, since every refill writes a text.
    if (value < 10)
        text += '0';
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
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
        const auto channels = static_cast<std::size_t>(newReader->channels);
        const auto halfFrames = static_cast<std::size_t>(half / newReader->channels / 2);
        out_.assign(2 * halfFrames * channels, 0);
        pieces_.reserve(kMaxPieces);
        frame_.assign(static_cast<std::size_t>(kDecodeFrames * newReader->frameBytes / 2), 0);
        cache_.assign(kLoopCacheFrames * channels, 0);
        fadeTail_.assign(kMaxFadeFrames * channels, 0);
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

int DoublePlayer::halfFramesLocked() const {
    return reader->bufferBytes / 2 / (reader->channels * 2);
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
    const int frames = halfFramesLocked();
    const std::int64_t unfolded = writeUnfolded_;
    const std::int64_t ended = produceLocked(frames, out_.data());
    if (ended >= 0 && !playOut) {
        endedLocked();
        return 0;
    }
    const int which = offset == 0 ? 0 : 1;
    maps_[static_cast<std::size_t>(which)].unfolded = unfolded;
    storeLocked(which, 0, 0, frames);
    if (ended >= 0) {
        // The slots after the stream's last frame are silence; the deck ends once they play.
        endHalf_ = which;
        endHalfSamples_ = ended;
    }
    return 0;
}

void DoublePlayer::silenceHalfLocked(int which) {
    const auto bytes = static_cast<std::uint32_t>(reader->bufferBytes / 2);
    std::fill(scratch_.begin(), scratch_.end(), std::uint8_t{0});
    for (auto *buffer : {mainBuffer.get(), headBuffer.get()})
        if (buffer)
            buffer->write(static_cast<std::uint32_t>(which) * bytes, scratch_.data(), bytes);
    const auto i = static_cast<std::size_t>(which);
    const int frames = halfFramesLocked();
    const PlayPoint after = pointAtLocked(static_cast<std::uint32_t>((1 - which) * frames + frames - 1));
    ++mapSeq_;
    maps_[i].count = 1;
    maps_[i].at[0] = 0;
    maps_[i].source[0] = after.source + 1;
    maps_[i].unfolded = after.unfolded + 1;
    halfSource_[i] = after.source + 1;
    ++mapSeq_;
    filledAt_[i] = ++fills_;
}

void DoublePlayer::storeLocked(int which, int offset, int first, int count) {
    const auto i = static_cast<std::size_t>(which);
    const int channels = reader->channels;
    const auto at = static_cast<std::uint32_t>((which * halfFramesLocked() + offset) * channels * 2);
    const auto bytes = static_cast<std::uint32_t>(count * channels * 2);
    const std::int16_t *data = out_.data() + static_cast<std::size_t>(first) * channels;
    if (mainBuffer)
        mainBuffer->write(at, data, bytes);
    if (headBuffer)
        headBuffer->write(at, data, bytes);

    // The map: runs before offset stay, then the runs of out_ that fall into [first, first + count).
    HalfMap &map = maps_[i];
    ++mapSeq_;
    int n = 0;
    const int old = map.count;
    while (n < old && map.at[static_cast<std::size_t>(n)] < offset)
        ++n;
    std::size_t run = 0;
    while (run + 1 < pieces_.size() && pieces_[run + 1].at <= first)
        ++run;
    for (; run < pieces_.size() && pieces_[run].at < first + count && n < kMaxPieces; ++run, ++n) {
        const Piece &p = pieces_[run];
        const std::int32_t from = std::max(p.at, first);
        map.at[static_cast<std::size_t>(n)] = offset + (from - first);
        map.source[static_cast<std::size_t>(n)] = p.source + (from - p.at);
    }
    map.count = n;
    halfSource_[i] = map.source[0].load();
    ++mapSeq_;
    filledAt_[i] = ++fills_;
}

DoublePlayer::PlayPoint DoublePlayer::pointAtLocked(std::uint32_t ringFrame) const {
    const auto frames = static_cast<std::uint32_t>(halfFramesLocked());
    const int which = ringFrame >= frames ? 1 : 0;
    const auto within = static_cast<std::int32_t>(ringFrame - static_cast<std::uint32_t>(which) * frames);
    const HalfMap &map = maps_[static_cast<std::size_t>(which)];
    int k = 0;
    while (k + 1 < map.count && map.at[static_cast<std::size_t>(k + 1)] <= within)
        ++k;
    const std::int32_t runStart = map.at[static_cast<std::size_t>(k)];
    return {map.source[static_cast<std::size_t>(k)] + (within - runStart), map.unfolded + within};
}

std::int64_t DoublePlayer::produceLocked(int count, std::int16_t *out) {
    const int channels = reader->channels;
    if (followReader_) {
        // After a seek by byte offset the reader knows the true place only once it has decoded there.
        followReader_ = false;
        decodeAtLocked(-1);
        writeSource_ = frameStart_ >= 0 ? frameStart_ : reader->SamplePosition();
    }
    pieces_.clear();
    pieces_.push_back({0, writeSource_});
    std::int64_t ended = -1;
    std::int64_t source = writeSource_;
    int i = 0;
    while (i < count) {
        int n = count - i;
        const std::int64_t untilWrap = loop_.untilWrap(source);
        if (untilWrap < n)
            n = static_cast<int>(untilWrap);
        std::int16_t *chunk = out + static_cast<std::size_t>(i) * channels;
        const int got = readLocked(source, n, chunk);
        if (fadeDone_ < fadeFrames_) {
            const int k = std::min(n, fadeFrames_ - fadeDone_);
            crossFade(chunk, fadeTail_.data(), channels, fadeDone_, k, fadeFrames_);
            fadeDone_ += k;
        }
        if (got < n) {
            // The song ends inside the loop: the loop ends with it.
            if (untilWrap != LoopPlan::kNoWrap)
                loop_.cutAt(source + got);
            if (loop_.engaged() && source + got == loop_.endSample())
                n = got;
            else if (ended < 0)
                ended = i + got;
        }
        i += n;
        source += n;
        if (loop_.engaged() && source == loop_.endSample()) {
            const std::int64_t repeat = loop_.endSample() - loop_.startSample();
            const int fade =
                static_cast<int>(std::min<std::int64_t>(fadeFramesFor(reader->sampleRate), repeat / 2));
            readLocked(source, fade, fadeTail_.data());
            source = loop_.wrap();
            fadeFrames_ = fade;
            fadeDone_ = 0;
            if (i < count)
                pieces_.push_back({i, source});
        }
    }
    writeSource_ = source;
    writeUnfolded_ += count;
    return ended;
}

int DoublePlayer::readLocked(std::int64_t at, int count, std::int16_t *out) {
    const int channels = reader->channels;
    int done = 0;
    while (done < count) {
        const std::int64_t from = at + done;
        if (cacheWanted_ && !cacheValid_ && from == cacheFrom_) {
            const auto room = static_cast<std::int64_t>(cache_.size()) / channels;
            const auto need = static_cast<std::int64_t>(std::ceil(loop_.length())) + 2 +
                              static_cast<std::int64_t>(kMaxFadeFrames);
            cacheValid_ = true;
            cacheFrames_ =
                readDecodedLocked(cacheFrom_, static_cast<int>(std::min(room, need)), cache_.data());
        }
        if (cacheValid_ && from >= cacheFrom_ && from < cacheFrom_ + cacheFrames_) {
            const auto take =
                static_cast<int>(std::min<std::int64_t>(count - done, cacheFrom_ + cacheFrames_ - from));
            std::copy_n(cache_.data() + static_cast<std::size_t>(from - cacheFrom_) * channels,
                        static_cast<std::size_t>(take) * channels,
                        out + static_cast<std::size_t>(done) * channels);
            done += take;
            continue;
        }
        // Up to the cache's start (or the end of the request) from the decoder.
        int want = count - done;
        if (cacheValid_ && from < cacheFrom_)
            want = static_cast<int>(std::min<std::int64_t>(want, cacheFrom_ - from));
        const int got = readDecodedLocked(from, want, out + static_cast<std::size_t>(done) * channels);
        done += got;
        if (got < want)
            break;
    }
    std::fill(out + static_cast<std::size_t>(done) * channels,
              out + static_cast<std::size_t>(count) * channels, std::int16_t{0});
    return done;
}

int DoublePlayer::readDecodedLocked(std::int64_t at, int count, std::int16_t *out) {
    const int channels = reader->channels;
    int done = 0;
    while (done < count) {
        const std::int64_t from = at + done;
        if (from >= streamEnd_)
            break;
        if (frameStart_ < 0 || from < frameStart_ || from >= frameStart_ + frameSamples_) {
            decodeAtLocked(from);
            if (frameStart_ < 0 || from < frameStart_ || from >= frameStart_ + frameSamples_)
                break; // the end
        }
        const auto take =
            static_cast<int>(std::min<std::int64_t>(count - done, frameStart_ + frameSamples_ - from));
        std::copy_n(frame_.data() + static_cast<std::size_t>(from - frameStart_) * channels,
                    static_cast<std::size_t>(take) * channels,
                    out + static_cast<std::size_t>(done) * channels);
        done += take;
    }
    return done;
}

void DoublePlayer::decodeAtLocked(std::int64_t at) {
    const int perFrame = reader->frameBytes / (2 * reader->channels);
    // at < 0: the frame the reader stands at, wherever that is.
    if (at >= 0) {
        const std::int64_t next = reader->SamplePosition();
        if (at < next || at >= next + 2 * perFrame)
            reader->SeekSample(at);
    }
    frameCount_ = 0;
    std::int32_t frameByte = reader->Position();
    for (int tries = 0; tries < 4; ++tries) {
        frameByte = reader->Position();
        const std::int64_t before = reader->SamplePosition();
        const bool end = reader->ReadFrames(1, frame_.data()) == Mp3Player::kEndOfInput;
        const std::int64_t after = reader->SamplePosition();
        if (end) {
            frameStart_ = before;
            frameSamples_ = static_cast<int>(std::clamp<std::int64_t>(after - before, 0, perFrame));
            streamEnd_ = before + frameSamples_;
            frameBytes_[0] = frameByte;
            frameCount_ = 1;
            return;
        }
        frameStart_ = after - perFrame;
        frameSamples_ = perFrame;
        frameBytes_[0] = frameByte;
        frameCount_ = 1;
        if (at < 0 || (at >= frameStart_ && at < after)) {
            decodeAheadLocked();
            return;
        }
        if (at < frameStart_)
            break;
    }
    // A frame that would not come where it should (a damaged file): silence in its place.
    std::fill(frame_.begin(), frame_.end(), std::int16_t{0});
    frameStart_ = at;
    frameSamples_ = perFrame;
    frameBytes_[0] = frameByte;
    frameCount_ = 1;
}

void DoublePlayer::decodeAheadLocked() {
    // The frames after the one asked for, while the decoder's tables are still in the cache: a refill
    // that wakes the worker decodes for the next one too, and every other wake-up only copies.
    const int perFrame = reader->frameBytes / (2 * reader->channels);
    const auto slot = static_cast<std::size_t>(perFrame * reader->channels);
    while (frameCount_ < kDecodeFrames) {
        const std::int32_t frameByte = reader->Position();
        const std::int64_t before = reader->SamplePosition();
        // A reader that renumbered its frames (the index caught up) goes on from a seek instead.
        if (before != frameStart_ + frameSamples_)
            return;
        const bool end = reader->ReadFrames(1, frame_.data() + frameCount_ * slot) == Mp3Player::kEndOfInput;
        const std::int64_t after = reader->SamplePosition();
        frameBytes_[static_cast<std::size_t>(frameCount_)] = frameByte;
        if (end) {
            const auto samples = static_cast<int>(std::clamp<std::int64_t>(after - before, 0, perFrame));
            frameSamples_ += samples;
            streamEnd_ = before + samples;
            if (samples > 0)
                ++frameCount_;
            return;
        }
        if (after - before != perFrame) {
            // Not the frame that follows: the next request seeks to where the block ends.
            return;
        }
        frameSamples_ += perFrame;
        ++frameCount_;
    }
}

void DoublePlayer::followReaderLocked() {
    followReader_ = true;
    frameStart_ = -1;
    writeSource_ = reader->SamplePosition();
    fadeFrames_ = fadeDone_ = 0;
}

bool DoublePlayer::rewriteLocked(std::uint32_t ringFrame, std::int64_t source, bool fade) {
    const int frames = halfFramesLocked();
    const int channels = reader->channels;
    const int which = ringFrame >= static_cast<std::uint32_t>(frames) ? 1 : 0;
    const int offset = static_cast<int>(ringFrame) - which * frames;
    const int rest = frames - offset;
    const PlayPoint here = pointAtLocked(ringFrame);

    const std::int64_t oldSource = writeSource_;
    const std::int64_t oldUnfolded = writeUnfolded_;
    const LoopPlan oldLoop = loop_;
    followReader_ = false;
    fadeFrames_ = fadeDone_ = 0;
    if (fade && mainBuffer) {
        // What the mix would have played fades out under the new audio.
        fadeFrames_ = std::min(fadeFramesFor(reader->sampleRate), rest);
        const auto bytes = mainBuffer->read(ringFrame * static_cast<std::uint32_t>(channels * 2),
                                            static_cast<std::uint32_t>(fadeFrames_ * channels * 2));
        std::memcpy(fadeTail_.data(), bytes.data(), bytes.size());
    }
    writeSource_ = source;
    writeUnfolded_ = here.unfolded;
    const std::int64_t ended = produceLocked(rest + frames, out_.data());
    if (ended == 0) {
        writeSource_ = oldSource;
        writeUnfolded_ = oldUnfolded;
        loop_ = oldLoop;
        fadeFrames_ = fadeDone_ = 0;
        return false;
    }
    const int other = 1 - which;
    storeLocked(which, offset, 0, rest);
    maps_[static_cast<std::size_t>(other)].unfolded = here.unfolded + rest;
    storeLocked(other, 0, rest, frames);
    endHalf_ = -1;
    if (ended >= 0) {
        endHalf_ = ended < rest ? which : other;
        endHalfSamples_ = ended < rest ? offset + ended : ended - rest;
    }
    return true;
}

void DoublePlayer::replanLocked() {
    if (!reader || !mainBuffer)
        return;
    const auto block = static_cast<std::uint32_t>(reader->channels * 2);
    const std::uint32_t cursor = mainBuffer->cursor() / block;
    const PlayPoint here = pointAtLocked(cursor);
    forgetNotificationsLocked();
    rewriteLocked(cursor, here.source, mainBuffer->playing());
}

std::int64_t DoublePlayer::streamLengthLocked() const {
    if (streamEnd_ != std::numeric_limits<std::int64_t>::max())
        return streamEnd_;
    const std::int64_t perFrame = reader->frameBytes / (2 * reader->channels);
    if (reader->IndexComplete())
        return static_cast<std::int64_t>(reader->FrameOffsets().size()) * perFrame;
    // Until the index is complete the duration is an estimate: a second of grace.
    return (static_cast<std::int64_t>(reader->durationSeconds) + 1) * reader->sampleRate;
}

std::int32_t DoublePlayer::writePositionBytesLocked() const {
    if (writeSource_ == reader->SamplePosition() || followReader_)
        return reader->Position();
    if (frameStart_ >= 0 && writeSource_ >= frameStart_ && writeSource_ < frameStart_ + frameSamples_) {
        const std::int64_t perFrame = reader->frameBytes / (2 * reader->channels);
        const auto k = std::min<std::int64_t>((writeSource_ - frameStart_) / perFrame, frameCount_ - 1);
        return frameBytes_[static_cast<std::size_t>(std::max<std::int64_t>(k, 0))];
    }
    const std::int64_t total =
        std::max<std::int64_t>(static_cast<std::int64_t>(reader->durationSeconds) * reader->sampleRate, 1);
    return clampToInt32(std::min<std::int64_t>(writeSource_ * reader->inputSize / total, reader->inputSize));
}

void DoublePlayer::endedLocked() {
    endHalf_ = -1;
    reader->Seek(0);
    followReaderLocked();
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

    // At most "-5965:59:59:99": short enough to stay inside the string, no allocation.
    std::string text;
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
    // Where the stream is written to, folded through the loop.
    const std::int32_t now =
        writeSource_ <= 0
            ? 0
            : clampToInt32(writeSource_ * kHundredthsPerSecond / std::max(reader->sampleRate, 1));
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
        const std::uint32_t before = mapSeq_;
        if (before % 2 != 0) {
            std::this_thread::yield();
            continue;
        }
        const sound::Buffer::Clock c = mainBuffer->clock();
        const int half = c.position >= halfFrames ? 1 : 0;
        const double within = c.position - half * halfFrames;
        const HalfMap &map = maps_[static_cast<std::size_t>(half)];
        const int count = std::clamp(map.count.load(), 1, kMaxPieces);
        int k = 0;
        while (k + 1 < count && map.at[static_cast<std::size_t>(k + 1)] <= within)
            ++k;
        const double source = static_cast<double>(map.source[static_cast<std::size_t>(k)].load()) +
                              (within - map.at[static_cast<std::size_t>(k)]);
        // A write meanwhile may have given the half new audio: look again.
        if (mapSeq_ == before)
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
            const std::int64_t perFrame = reader->frameBytes / block;
            followReader_ = false;
            fadeFrames_ = fadeDone_ = 0;
            writeSource_ = target - target % perFrame;
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

bool DoublePlayer::JumpTo(double sourceFrame) {
    std::lock_guard lock(mutex_);
    if (!reader || !mainBuffer || !std::isfinite(sourceFrame))
        return false;
    const auto target = static_cast<std::int64_t>(std::llround(std::max(0.0, sourceFrame)));
    if (target >= streamLengthLocked())
        return false;
    const auto block = static_cast<std::uint32_t>(reader->channels * 2);
    const bool playing = mainBuffer->playing();
    // Playing: from the cursor the next period starts at. Paused: cued, from the buffer's start. A
    // period the mix plays while this rewrites still sounds the old place; the new audio then goes on
    // from where the jump put that frame, so the distance jumped (and with it the beat phase) holds.
    const std::uint32_t from = playing ? mainBuffer->cursor() / block : 0;
    if (!rewriteLocked(from, target, playing))
        return false;
    forgetNotificationsLocked();
    if (!playing) {
        // A cued deck's halves hold later audio in stream order: the worker refills after crossings.
        mainBuffer->setCursor(0);
        if (headBuffer)
            headBuffer->setCursor(0);
    }
    if (view) {
        view->setSeekPosition(writePositionBytesLocked());
        const std::int64_t ahead = writeSource_;
        writeSource_ = target;
        view->setTimeText(formatTimeLocked(timeMode, 0));
        writeSource_ = ahead;
    }
    return true;
}

bool DoublePlayer::SetLoop(double startFrame, double lengthFrames) {
    std::lock_guard lock(mutex_);
    if (!reader || !std::isfinite(startFrame) || !std::isfinite(lengthFrames) || lengthFrames <= 0)
        return false;
    const double start = std::max(0.0, startFrame);
    const auto length = static_cast<double>(streamLengthLocked());
    if (start >= length)
        return false;
    loop_.set(start, std::min(std::max(lengthFrames, kMinLoopFrames), length - start));
    // The cache holds true audio of the song: only a new start, or a longer loop than it was made
    // for, needs it anew.
    const auto room = static_cast<std::int64_t>(cache_.size()) / reader->channels;
    const auto need = static_cast<std::int64_t>(std::ceil(loop_.length())) + 2;
    if (loop_.startSample() != cacheFrom_ || cacheFrames_ < std::min(room, need))
        cacheValid_ = false;
    cacheFrom_ = loop_.startSample();
    cacheWanted_ = true;
    replanLocked();
    return true;
}

void DoublePlayer::ClearLoop() {
    std::lock_guard lock(mutex_);
    if (!loop_.engaged())
        return;
    loop_.disengage();
    cacheWanted_ = false;
    replanLocked();
}

std::optional<DoublePlayer::LoopState> DoublePlayer::Loop() const {
    std::lock_guard lock(mutex_);
    if (!loop_.known())
        return std::nullopt;
    return LoopState{loop_.start(), loop_.length(), loop_.engaged()};
}

void DoublePlayer::BeginRoll(double startFrame, double lengthFrames) {
    std::optional<PlayPoint> pressed;
    std::int64_t now = 0;
    {
        std::lock_guard lock(mutex_);
        if (!reader || !mainBuffer)
            return;
        const auto block = static_cast<std::uint32_t>(reader->channels * 2);
        const PlayPoint here = pointAtLocked(mainBuffer->cursor() / block);
        now = here.source;
        // A second press while rolling keeps the first one's shadow and the loop before it.
        if (!roll_)
            roll_ = Roll{here, loop_};
    }
    if (!SetLoop(startFrame, lengthFrames))
        return;
    const std::optional<LoopState> loop = Loop();
    if (loop && (now < std::llround(loop->start) || now >= std::llround(loop->start + loop->length)))
        JumpTo(loop->start);
}

void DoublePlayer::EndRoll() {
    double shadow = 0.0;
    {
        std::lock_guard lock(mutex_);
        if (!roll_ || !reader || !mainBuffer)
            return;
        const auto block = static_cast<std::uint32_t>(reader->channels * 2);
        const PlayPoint here = pointAtLocked(mainBuffer->cursor() / block);
        // Every stream sample played since the press moved the shadow on by one.
        shadow = static_cast<double>(roll_->pressed.source + (here.unfolded - roll_->pressed.unfolded));
        loop_ = roll_->before;
        cacheFrom_ = loop_.startSample();
        cacheValid_ = false;
        cacheWanted_ = loop_.engaged();
        roll_.reset();
    }
    if (!JumpTo(shadow)) {
        std::lock_guard lock(mutex_);
        replanLocked();
    }
}

bool DoublePlayer::Rolling() const {
    std::lock_guard lock(mutex_);
    return roll_.has_value();
}

int DoublePlayer::Seek(std::int32_t offset) {
    std::lock_guard lock(mutex_);
    if (!reader)
        return -1;
    forgetNotificationsLocked();
    endHalf_ = -1;
    const int result = reader->Seek(offset);
    followReaderLocked();
    return result;
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

std::optional<DoublePlayer::SongLength> DoublePlayer::Length() const {
    if (!reader)
        return std::nullopt;
    if (reader->IndexComplete()) {
        // Every frame of a stream decodes to the same number of samples: the index gives the exact length.
        const auto frames = reader->FrameOffsets().size();
        return SongLength{double(frames) * (reader->frameBytes / (reader->channels * 2)), true};
    }
    return SongLength{double(reader->durationSeconds.load()) * reader->sampleRate, false};
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
        view->setSeekPosition(writePositionBytesLocked());
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
