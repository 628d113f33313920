#include "engine/Formate.h"

#include "engine/Mpg123Handle.h"
#include "engine/ThreadPriority.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <type_traits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora::engine {

namespace {

static_assert(std::is_same_v<off_t, std::int64_t>, "frame offsets are handed to libmpg123 as they are");

// A frame that keeps failing this many times in a row is taken as the end of the input, so a
// stream that never resyncs cannot keep a deck playing silence for ever.
constexpr int kMaxConsecutiveFailures = 64;
// A format change reports itself with an empty result; the frame follows on the next call.
constexpr int kMaxFormatRetries = 8;
// The indexer hands its frames over in pieces of this many while it runs.
constexpr std::size_t kPublishFrames = 4096;
// A seek beyond the index looks for frame headers this far around the offset: behind it room for
// the preroll frames even at the largest frame size, ahead of it for the frame itself.
constexpr std::int64_t kEstimateBehindBytes = 64 * 1024;
constexpr std::int64_t kEstimateAheadBytes = 8 * 1024;
// Consecutive headers that make a sync word found in the middle of a file believable.
constexpr int kHeaderChain = 4;
// After a failed frame or a jump of the decoder, frames that decode are audio again only from a run
// of this many agreeing frames: junk decodes by chance now and then, but seldom three times in a row.
constexpr int kResumeChain = 3;

// The window, the deck's refills and its reads go first: on a busy machine or a slow stick the
// indexer must not delay them.
void yieldToTheDeck() {
    setThreadPriority(ThreadPriority::Low);
}

bool readAt(int fd, std::uint8_t *buffer, std::size_t bytes, std::int64_t at) {
    while (bytes > 0) {
        const ssize_t n = ::pread(fd, buffer, bytes, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        bytes -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

struct FrameHeader {
    int length = 0;
    int version = 0;
    int layer = 0;
    int rateIndex = 0;
    bool mono = false;
    double meanLength = 0; // over many frames of this bitrate, padding spread out

    bool sameStream(const FrameHeader &o) const {
        return version == o.version && layer == o.layer && rateIndex == o.rateIndex && mono == o.mono;
    }
};

// The MPEG audio frame header at p, if it is one whose frame length follows from it (free-format
// frames, whose length does not, are not recognised).
bool parseHeader(const std::uint8_t *p, FrameHeader &out) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    const int version = (p[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layer = (p[1] >> 1) & 3;   // 3 Layer I, 2 Layer II, 1 Layer III
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return false;
    static constexpr int kKbpsMpeg1[3][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
    static constexpr int kKbpsMpeg2[2][15] = {
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
    static constexpr int kRatesMpeg1[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int layerNumber = 4 - layer;
    const int kbps = mpeg1 ? kKbpsMpeg1[layerNumber - 1][bitrateIndex]
                           : kKbpsMpeg2[layerNumber == 1 ? 0 : 1][bitrateIndex];
    const int rate = kRatesMpeg1[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int bitsPerSecond = kbps * 1000;
    const int factor = layerNumber == 1 ? 48 : (layerNumber == 3 && !mpeg1) ? 72 : 144;
    if (layerNumber == 1)
        out.length = (12 * bitsPerSecond / rate + padding) * 4;
    else
        out.length = factor * bitsPerSecond / rate + padding;
    out.meanLength = static_cast<double>(factor) * bitsPerSecond / rate;
    out.version = version;
    out.layer = layer;
    out.rateIndex = rateIndex;
    out.mono = (p[3] >> 6) == 3;
    return out.length > 4;
}

// The decoders' seek callback over a file position they keep themselves (their reads use pread).
off_t seekIn(std::int64_t &position, std::int64_t size, off_t offset, int whence) {
    const std::int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? position : size;
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    position = base + offset;
    return static_cast<off_t>(position);
}

} // namespace

// The deck's decoder reads the file through a window of its own: the library asks for every frame's
// header and body separately, two system calls a frame, where one read now serves a second or more of
// audio. The window is only ever filled with pread, so the descriptor's position (which the indexer
// shares) plays no part.
struct Mp3Player::Decoder {
    static constexpr std::size_t kWindowBytes = 32 * 1024;

    Mpg123Handle handle;
    int fd = -1;
    std::int64_t fileSize = 0;
    std::int64_t position = 0;    // the library's file position
    std::int64_t windowStart = 0; // file offset of window[0]
    std::size_t windowFill = 0;   // bytes of the window that hold the file
    std::vector<std::uint8_t> window = std::vector<std::uint8_t>(kWindowBytes);

    ~Decoder() {
        handle.reset();
        if (fd >= 0)
            ::close(fd);
    }

    static mpg123_ssize_t read(void *io, void *buffer, size_t bytes) {
        auto *self = static_cast<Decoder *>(io);
        auto *out = static_cast<std::uint8_t *>(buffer);
        size_t done = 0;
        while (done < bytes) {
            const std::int64_t at = self->position;
            const auto end = self->windowStart + static_cast<std::int64_t>(self->windowFill);
            if (at >= self->windowStart && at < end) {
                const auto n = std::min<size_t>(bytes - done, static_cast<size_t>(end - at));
                std::memcpy(out + done, self->window.data() + (at - self->windowStart), n);
                done += n;
                self->position += static_cast<std::int64_t>(n);
                continue;
            }
            ssize_t n = 0;
            do
                n = ::pread(self->fd, self->window.data(), self->window.size(), at);
            while (n < 0 && errno == EINTR);
            if (n < 0) {
                self->windowFill = 0;
                return done > 0 ? static_cast<mpg123_ssize_t>(done) : -1;
            }
            self->windowStart = at;
            self->windowFill = static_cast<size_t>(n);
            if (n == 0)
                break; // the end of the file
        }
        return static_cast<mpg123_ssize_t>(done);
    }

    static off_t seek(void *io, off_t offset, int whence) {
        auto *self = static_cast<Decoder *>(io);
        return seekIn(self->position, self->fileSize, offset, whence);
    }
};

// Reads the whole file frame by frame with a decoder of its own and publishes the frames' offsets.
// Its reads use pread on the reader's descriptor, so they never move the deck decoder's position,
// and fail at once when cancelled, so destruction waits for one read at most.
struct Mp3Player::Indexer {
    int fd = -1;
    std::int64_t fileSize = 0;
    std::int64_t readPosition = 0; // the indexer's decoder's own file position
    std::atomic<bool> cancel{false};

    std::mutex mutex;
    std::condition_variable progressed;
    std::vector<std::int64_t> offsets; // published so far
    bool complete = false;

    std::thread thread;

    static mpg123_ssize_t read(void *io, void *buffer, size_t bytes) {
        auto *self = static_cast<Indexer *>(io);
        if (self->cancel.load(std::memory_order_relaxed)) {
            errno = ECANCELED;
            return -1;
        }
        ssize_t n = 0;
        do
            n = ::pread(self->fd, buffer, bytes, self->readPosition);
        while (n < 0 && errno == EINTR);
        if (n > 0)
            self->readPosition += n;
        return n;
    }

    static off_t seek(void *io, off_t offset, int whence) {
        auto *self = static_cast<Indexer *>(io);
        return seekIn(self->readPosition, self->fileSize, offset, whence);
    }

    void publish(mpg123_handle *mh, bool last) {
        off_t *data = nullptr;
        off_t step = 0;
        size_t fill = 0;
        const bool usable = mpg123_index(mh, &data, &step, &fill) == MPG123_OK && step == 1 && data;
        {
            std::lock_guard lock(mutex);
            if (usable && fill > offsets.size())
                offsets.insert(offsets.end(), data + offsets.size(), data + fill);
            complete = last;
        }
        // A seek with nothing to go by but the index waits for its progress.
        progressed.notify_all();
    }

    // Indexes every frame; sets durationSeconds when it got to the end.
    void run(long outputRate, std::atomic<std::int32_t> &durationSeconds) {
        yieldToTheDeck();
        std::string error;
        Mpg123Handle handle = newMpg123Handle(&error);
        mpg123_handle *mh = handle.get();
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (!mh || mpg123_replace_reader_handle(mh, &Indexer::read, &Indexer::seek, nullptr) != MPG123_OK ||
            mpg123_open_handle(mh, this) != MPG123_OK ||
            mpg123_getformat(mh, &rate, &channels, &encoding) != MPG123_OK) {
            publish(mh, true);
            return;
        }
        // Opening read the first frame; each further step reads (and indexes) one more.
        std::int64_t samples = 0;
        std::size_t frames = 0;
        for (int r = MPG123_OK; r == MPG123_OK || r == MPG123_NEW_FORMAT; r = mpg123_framebyframe_next(mh)) {
            mpg123_frameinfo info{};
            if (mpg123_info(mh, &info) == MPG123_OK && info.rate > 0)
                samples += static_cast<std::int64_t>(mpg123_spf(mh)) * outputRate / info.rate;
            if (++frames % kPublishFrames == 0)
                publish(mh, false);
            if (cancel.load(std::memory_order_relaxed))
                break;
        }
        if (!cancel.load(std::memory_order_relaxed) && samples > 0)
            durationSeconds.store(static_cast<std::int32_t>(samples / outputRate));
        publish(mh, true);
    }
};

Mp3Player::Mp3Player(const std::string &fileName, IndexStart indexStart)
    : decoder(std::make_unique<Decoder>()) {
    Decoder &d = *decoder;

    // Non-blocking open so that a FIFO or device node cannot stall the deck.
    d.fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (d.fd < 0)
        throw Mp3Error(fileName + " kann nicht geöffnet werden: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(d.fd, &st) != 0)
        throw Mp3Error(fileName + " kann nicht gelesen werden: " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw Mp3Error(fileName + " ist keine Datei");
    if (st.st_size == 0)
        throw Mp3Error(fileName + " ist leer");
    // Positions are 32-bit byte offsets (seek bar, stored cue points).
    if (st.st_size > std::numeric_limits<std::int32_t>::max())
        throw Mp3Error(fileName + " ist größer als 2 GB");
    ::fcntl(d.fd, F_SETFL, ::fcntl(d.fd, F_GETFL) & ~O_NONBLOCK);
    inputSize = static_cast<std::int32_t>(st.st_size);

    std::string error;
    d.handle = newMpg123Handle(&error);
    if (!d.handle)
        throw Mp3Error("Der MP3-Decoder kann nicht angelegt werden: " + error);
    mpg123_handle *mh = d.handle.get();
    d.fileSize = inputSize;
    if (mpg123_replace_reader_handle(mh, &Decoder::read, &Decoder::seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(mh, &d) != MPG123_OK)
        throw Mp3Error(fileName + " kann nicht gelesen werden: " + mpg123_strerror(mh));
    long rate = 0;
    int outChannels = 0;
    int encoding = 0;
    if (mpg123_getformat(mh, &rate, &outChannels, &encoding) != MPG123_OK || rate <= 0 || outChannels < 1 ||
        outChannels > 2)
        throw Mp3Error(fileName + " enthält keine MPEG-Audiodaten");

    // The sound buffer's format is the first frame's for the whole stream: later frames of another
    // channel count or rate are converted to it.
    keepOutputFormat(mh, rate, outChannels);

    sampleRate = static_cast<std::int32_t>(rate);
    channels = outChannels;
    bitsPerSample = 16;
    bytesPerSecond = sampleRate * channels * bitsPerSample / 8;

    // Learn the frame sizes from the first two frames that decode.
    off_t num = 0;
    unsigned char *audio = nullptr;
    size_t bytes = 0;
    int decoded = 0;
    std::int64_t frameEnd[2] = {0, 0};
    std::int32_t frameSize[2] = {0, 0};
    for (int calls = 0; decoded < 2 && calls < kMaxConsecutiveFailures; ++calls) {
        const int r = mpg123_decode_frame(mh, &num, &audio, &bytes);
        if (r == MPG123_DONE)
            break;
        if ((r != MPG123_OK && r != MPG123_NEW_FORMAT) || bytes == 0)
            continue;
        mpg123_frameinfo info{};
        mpg123_info(mh, &info);
        if (decoded == 0) {
            const int spf = mpg123_spf(mh);
            if (spf <= 0)
                continue;
            frameBytes = spf * channels * (bitsPerSample / 8);
        }
        if (num == static_cast<off_t>(frameOffsets_.size()))
            frameOffsets_.push_back(mpg123_framepos(mh));
        FrameHeader header;
        if (decoded == 0 && readAt(decoder->fd, streamHeader_.data(), 4, mpg123_framepos(mh)) &&
            !parseHeader(streamHeader_.data(), header))
            streamHeader_ = {}; // free format: no run to check against
        frameEnd[decoded] = mpg123_framepos(mh) + info.framesize;
        frameSize[decoded] = info.framesize;
        ++decoded;
    }
    if (decoded == 0 || frameBytes <= 0)
        throw Mp3Error(fileName + " enthält keinen dekodierbaren MPEG-Audio-Frame");
    frameInputBytes = decoded == 2 ? static_cast<std::int32_t>(frameEnd[1] - frameEnd[0]) : frameSize[0];
    if (frameInputBytes <= 0)
        frameInputBytes = std::max(frameSize[0], 1);
    samplesPerFrame_ = frameBytes / (channels * (bitsPerSample / 8));
    heldFrame_.resize(static_cast<size_t>(frameBytes));

    bufferBytes = kBufferFrames * frameBytes;
    bufferTime = static_cast<std::int32_t>(static_cast<std::int64_t>(bufferBytes) * 100 / bytesPerSecond);
    // The info frame's count, or a guess from the file size, until the index has every frame.
    const off_t samples = mpg123_length(mh);
    durationSeconds = samples > 0 ? static_cast<std::int32_t>(samples / rate) : 0;

    // The learning decodes must not cost the first frames: start again at byte 0.
    if (Seek(0) != 0)
        throw Mp3Error(fileName + " kann nicht an den Anfang gesetzt werden: " + mpg123_strerror(mh));
    if (indexStart == IndexStart::Now)
        StartIndex();
}

void Mp3Player::StartIndex() {
    if (indexer_)
        return;
    indexer_ = std::make_unique<Indexer>();
    indexer_->fd = decoder->fd;
    indexer_->fileSize = inputSize;
    indexer_->thread = std::thread([ix = indexer_.get(), rate = static_cast<long>(sampleRate), this] {
        ix->run(rate, durationSeconds);
    });
}

Mp3Player::~Mp3Player() {
    if (indexer_ && indexer_->thread.joinable()) {
        indexer_->cancel = true;
        indexer_->thread.join();
    }
}

bool Mp3Player::IndexComplete() const {
    if (!indexer_)
        return indexComplete_;
    std::lock_guard lock(indexer_->mutex);
    return indexer_->complete;
}

std::vector<std::int64_t> Mp3Player::FrameOffsets() {
    adoptIndex();
    return indexComplete_ ? frameOffsets_ : std::vector<std::int64_t>();
}

void Mp3Player::WaitForIndex() {
    StartIndex();
    {
        std::unique_lock lock(indexer_->mutex);
        indexer_->progressed.wait(lock, [this] { return indexer_->complete; });
    }
    adoptIndex();
}

void Mp3Player::adoptIndex() {
    if (indexComplete_ || !indexer_)
        return;
    std::lock_guard lock(indexer_->mutex);
    const auto &published = indexer_->offsets;
    if (published.size() > frameOffsets_.size()) {
        frameOffsets_.insert(frameOffsets_.end(), published.begin() + static_cast<long>(frameOffsets_.size()),
                             published.end());
        handleIndexStale_ = true;
    }
    indexComplete_ = indexer_->complete;
}

// One frame from the library into slot: MPG123_OK, MPG123_DONE, or the error of a failed frame.
int Mp3Player::decodeNext(std::uint8_t *slot) {
    mpg123_handle *mh = decoder->handle.get();
    off_t num = 0;
    unsigned char *audio = nullptr;
    size_t bytes = 0;
    int r = MPG123_OK;
    for (int tries = 0; tries < kMaxFormatRetries; ++tries) {
        r = mpg123_decode_frame(mh, &num, &audio, &bytes);
        if (!(r == MPG123_NEW_FORMAT && bytes == 0))
            break;
    }
    if (r == MPG123_DONE)
        return r;
    if (!((r == MPG123_OK || r == MPG123_NEW_FORMAT) && bytes > 0 && audio)) {
        doubt_ = true;
        return r == MPG123_OK || r == MPG123_NEW_FORMAT ? MPG123_ERR : r;
    }
    const std::int64_t start = mpg123_framepos(mh);
    // A frame the decoder found elsewhere than where the last one ended follows a resync.
    if (decodedSinceSeek_ && start != position_)
        doubt_ = true;
    if (doubt_) {
        if (!startsARun(start))
            return MPG123_ERR;
        doubt_ = false;
    }
    decodedSinceSeek_ = true;
    // Frames that came out another size (a rate change mid-stream) fill their slot as far as they
    // reach; the rest is silence.
    const auto slotBytes = static_cast<size_t>(frameBytes);
    const size_t n = std::min(bytes, slotBytes);
    std::memcpy(slot, audio, n);
    std::memset(slot + n, 0, slotBytes - n);
    mpg123_frameinfo info{};
    mpg123_info(mh, &info);
    if (!estimated_ && num == static_cast<off_t>(frameOffsets_.size()))
        frameOffsets_.push_back(start);
    position_ = std::min<std::int64_t>(start + std::max(info.framesize, 0), inputSize);
    // The library's sample position still points at the start of the frame just returned.
    samplePosition_ = std::max<std::int64_t>(mpg123_tell(mh), 0) +
                      static_cast<std::int64_t>(bytes / (2 * static_cast<size_t>(channels)));
    return MPG123_OK;
}

bool Mp3Player::startsARun(std::int64_t at) const {
    FrameHeader stream;
    if (!parseHeader(streamHeader_.data(), stream))
        return true;
    for (int k = 0; k < kResumeChain; ++k) {
        std::uint8_t bytes[4];
        // The run may end with the file or at its ID3v1 tag.
        if (k > 0 && at == inputSize)
            return true;
        if (!readAt(decoder->fd, bytes, sizeof bytes, at))
            return false;
        if (k > 0 && std::memcmp(bytes, "TAG", 3) == 0 && at + 128 == inputSize)
            return true;
        FrameHeader h;
        if (!parseHeader(bytes, h) || !h.sameStream(stream))
            return false;
        at += h.length;
    }
    return true;
}

int Mp3Player::endOfInput(std::uint8_t *slot) {
    std::memset(slot, 0, static_cast<size_t>(frameBytes));
    if (!atEnd_) {
        atEnd_ = true;
        position_ = inputSize;
        samplePosition_ = std::max<std::int64_t>(mpg123_tell(decoder->handle.get()), samplePosition_);
    }
    return MPG123_DONE;
}

int Mp3Player::decodeInto(std::uint8_t *slot) {
    const auto slotBytes = static_cast<size_t>(frameBytes);
    if (pendingSilence_ > 0) {
        --pendingSilence_;
        std::memset(slot, 0, slotBytes);
        return MPG123_OK;
    }
    if (held_) {
        held_ = false;
        std::memcpy(slot, heldFrame_.data(), slotBytes);
        position_ = heldPosition_;
        samplePosition_ = heldSamplePosition_;
        return MPG123_OK;
    }
    if (atEnd_)
        return endOfInput(slot);
    int r = decodeNext(slot);
    if (r == MPG123_OK)
        return r;
    if (r == MPG123_DONE)
        return endOfInput(slot);
    // A frame failed. If audio follows, each failed frame plays as silence; if the input ends
    // first (a cut-off download, a tail of zeros or garbage) the stream ends with the last good
    // frame instead of a stretch of added silence.
    const std::int64_t position = position_;
    const std::int64_t samplePosition = samplePosition_;
    for (int failures = 1; failures < kMaxConsecutiveFailures; ++failures) {
        r = decodeNext(heldFrame_.data());
        if (r == MPG123_DONE)
            break;
        if (r == MPG123_OK) {
            held_ = true;
            heldPosition_ = position_;
            heldSamplePosition_ = samplePosition_;
            position_ = position;
            samplePosition_ = samplePosition;
            pendingSilence_ = failures - 1;
            std::memset(slot, 0, slotBytes);
            return MPG123_OK;
        }
    }
    return endOfInput(slot);
}

int Mp3Player::ReadFrames(int count, void *destination) {
    correctEstimate();
    auto *out = static_cast<std::uint8_t *>(destination);
    int r = MPG123_OK;
    for (int i = 0; i < count; ++i)
        r = decodeInto(out + static_cast<size_t>(i) * static_cast<size_t>(frameBytes));
    if (r == MPG123_DONE) {
        position_ = inputSize;
        return kEndOfInput;
    }
    return 0;
}

std::int32_t Mp3Player::CurrentTime() const {
    if (samplePosition_ <= 0 || sampleRate <= 0)
        return 0;
    const std::int64_t hundredths = samplePosition_ * 100 / sampleRate;
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(hundredths, std::numeric_limits<std::int32_t>::max()));
}

std::int32_t Mp3Player::Position() const {
    return static_cast<std::int32_t>(position_);
}

std::int64_t Mp3Player::samplesAtEnd() const {
    if (indexComplete_)
        return static_cast<std::int64_t>(frameOffsets_.size()) * samplesPerFrame_;
    const off_t length = mpg123_length(decoder->handle.get());
    return length > 0 ? length : static_cast<std::int64_t>(durationSeconds) * sampleRate;
}

int Mp3Player::seekFrame(std::int64_t frame) {
    mpg123_handle *mh = decoder->handle.get();
    if (handleIndexStale_) {
        mpg123_set_index(mh, frameOffsets_.data(), 1, frameOffsets_.size());
        handleIndexStale_ = false;
    }
    estimated_ = false;
    const off_t r = mpg123_seek_frame(mh, static_cast<off_t>(frame), SEEK_SET);
    samplePosition_ = std::max<std::int64_t>(mpg123_tell(mh), 0);
    return r < 0 ? static_cast<int>(r) : 0;
}

bool Mp3Player::seekEstimated(std::int32_t offset, int &result) {
    const auto known = static_cast<std::int64_t>(frameOffsets_.size());
    const std::int64_t lastKnown = frameOffsets_.back();
    const std::int64_t from = std::max<std::int64_t>(lastKnown, offset - kEstimateBehindBytes);
    const std::int64_t to =
        std::min<std::int64_t>(inputSize, static_cast<std::int64_t>(offset) + kEstimateAheadBytes);
    if (to - from < 4)
        return false;
    std::vector<std::uint8_t> bytes(static_cast<size_t>(to - from));
    if (!readAt(decoder->fd, bytes.data(), bytes.size(), from))
        return false;
    const auto size = static_cast<std::int64_t>(bytes.size());
    auto headerAt = [&](std::int64_t at, FrameHeader &h) {
        return at + 4 <= size && parseHeader(&bytes[at], h);
    };

    // From the last known frame the walk is exact; elsewhere a sync word counts only as the start
    // of a run of consecutive frames of one stream.
    std::int64_t start = -1;
    if (from == lastKnown) {
        start = 0;
    } else {
        for (std::int64_t at = 0; at + 4 <= size && start < 0; ++at) {
            FrameHeader first;
            if (!headerAt(at, first))
                continue;
            FrameHeader h = first;
            std::int64_t next = at;
            int chain = 1;
            for (; chain < kHeaderChain; ++chain) {
                next += h.length;
                if (!headerAt(next, h) || !h.sameStream(first))
                    break;
            }
            if (chain == kHeaderChain)
                start = at;
        }
    }
    if (start < 0)
        return false;
    std::vector<std::int64_t> starts;
    FrameHeader first;
    if (!headerAt(start, first))
        return false;
    bool oneBitrate = true;
    for (std::int64_t at = start; from + at <= offset;) {
        FrameHeader h;
        if (!headerAt(at, h) || !h.sameStream(first))
            break;
        oneBitrate = oneBitrate && h.meanLength == first.meanLength;
        starts.push_back(from + at);
        at += h.length;
    }
    if (starts.empty())
        return false;

    if (from == lastKnown) {
        // Real frames following the known ones: the index simply grows.
        frameOffsets_.insert(frameOffsets_.end(), starts.begin() + 1, starts.end());
        handleIndexStale_ = true;
        result = seekFrame(static_cast<std::int64_t>(frameOffsets_.size()) - 1);
        return true;
    }
    const auto found = static_cast<std::int64_t>(starts.size());
    // The decoder starts its preroll this many frames early: they must be real frames too.
    if (found <= kMpg123SeekPrerollFrames)
        return false;
    // A constant bitrate gives the exact mean frame size (and so exact numbers); a variable one
    // the mean of the frames known so far.
    const double knownMean =
        known >= 2 ? static_cast<double>(lastKnown - frameOffsets_.front()) / static_cast<double>(known - 1)
                   : first.meanLength;
    const bool constantBitrate =
        oneBitrate && std::abs(knownMean - first.meanLength) < 0.01 * first.meanLength;
    const double meanBytes = constantBitrate ? first.meanLength : knownMean;
    std::int64_t target =
        known - 1 + std::llround(static_cast<double>(starts.back() - lastKnown) / std::max(meanBytes, 1.0));
    target = std::max(target, known - 1 + found);
    // The decoder seeks through its index: real entries, then a straight line up to the frames
    // found, which carry the estimated numbers.
    std::vector<std::int64_t> index(frameOffsets_);
    const std::int64_t firstFound = target - found + 1;
    const std::int64_t gap = firstFound - known + 1;
    for (std::int64_t k = known; k < firstFound; ++k)
        index.push_back(lastKnown + (starts.front() - lastKnown) * (k - known + 1) / gap);
    index.insert(index.end(), starts.begin(), starts.end());
    mpg123_handle *mh = decoder->handle.get();
    mpg123_set_index(mh, index.data(), 1, index.size());
    handleIndexStale_ = true;
    const off_t r = mpg123_seek_frame(mh, static_cast<off_t>(target), SEEK_SET);
    estimated_ = true;
    samplePosition_ = std::max<std::int64_t>(mpg123_tell(mh), 0);
    result = r < 0 ? static_cast<int>(r) : 0;
    return true;
}

int Mp3Player::Seek(std::int32_t offset) {
    adoptIndex();
    pendingSilence_ = 0;
    held_ = false;
    atEnd_ = false;
    decodedSinceSeek_ = false;
    doubt_ = false;
    position_ = std::clamp<std::int64_t>(offset, 0, inputSize);
    seekOffset_ = static_cast<std::int32_t>(position_);
    if (offset >= inputSize || frameOffsets_.empty()) {
        // At or past the end of the file: the end of the input, without reading up to it.
        estimated_ = !indexComplete_;
        atEnd_ = true;
        samplePosition_ = samplesAtEnd();
        return 0;
    }
    const auto it =
        std::upper_bound(frameOffsets_.begin(), frameOffsets_.end(), static_cast<std::int64_t>(offset));
    const std::int64_t frame = it == frameOffsets_.begin() ? 0 : (it - frameOffsets_.begin()) - 1;
    if (indexComplete_ || it != frameOffsets_.end())
        return seekFrame(frame);
    int result = 0;
    if (seekEstimated(offset, result))
        return result;
    // No frame header to go by (free format, damage): wait for the index to get there.
    StartIndex();
    {
        std::unique_lock lock(indexer_->mutex);
        indexer_->progressed.wait(lock, [&] {
            return indexer_->complete || (!indexer_->offsets.empty() && indexer_->offsets.back() > offset);
        });
    }
    return Seek(offset);
}

void Mp3Player::correctEstimate() {
    if (!estimated_ || held_ || pendingSilence_ > 0)
        return;
    adoptIndex();
    if (!decodedSinceSeek_) {
        if (indexComplete_ || (!frameOffsets_.empty() && frameOffsets_.back() > seekOffset_))
            Seek(seekOffset_);
        return;
    }
    if (atEnd_) {
        if (indexComplete_) {
            samplePosition_ = samplesAtEnd();
            estimated_ = false;
        }
        return;
    }
    // The next frame to decode starts at position_: once it is indexed, continue from the same
    // frame under its real number.
    const auto it = std::lower_bound(frameOffsets_.begin(), frameOffsets_.end(), position_);
    if (it == frameOffsets_.end())
        return;
    const std::int64_t position = position_;
    seekFrame(it - frameOffsets_.begin());
    position_ = position;
}

int Mp3Player::SeekSample(std::int64_t sample) {
    adoptIndex();
    const std::int64_t samplesPerFrame = frameBytes / (2 * channels);
    const std::int64_t frame = std::max<std::int64_t>(sample / samplesPerFrame, 0);
    // Only an indexed frame has an exact number (a beat-aligned start is off by whole frames
    // otherwise): wait for the index to reach it, a few milliseconds at most.
    if (!indexComplete_ && frame >= static_cast<std::int64_t>(frameOffsets_.size())) {
        StartIndex();
        {
            std::unique_lock lock(indexer_->mutex);
            indexer_->progressed.wait(lock, [&] {
                return indexer_->complete || static_cast<std::int64_t>(indexer_->offsets.size()) > frame;
            });
        }
        adoptIndex();
    }
    if (frame >= static_cast<std::int64_t>(frameOffsets_.size()))
        return Seek(inputSize);
    return Seek(static_cast<std::int32_t>(frameOffsets_[static_cast<std::size_t>(frame)]));
}

} // namespace mixora::engine
