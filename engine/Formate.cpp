#include "engine/Formate.h"

#include <mpg123.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora::engine {

namespace {

// A frame that keeps failing this many times in a row is taken as the end of the input, so a
// stream that never resyncs cannot keep a deck playing silence for ever.
constexpr int kMaxConsecutiveFailures = 64;
// A format change reports itself with an empty result; the frame follows on the next call.
constexpr int kMaxFormatRetries = 8;
constexpr long kSeekPreroll = 12;

void initLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

} // namespace

struct Mp3Player::Decoder {
    mpg123_handle *handle = nullptr;
    int fd = -1;

    ~Decoder() {
        if (handle) {
            mpg123_close(handle);
            mpg123_delete(handle);
        }
        if (fd >= 0)
            ::close(fd);
    }
};

Mp3Player::Mp3Player(const std::string &fileName) : decoder(std::make_unique<Decoder>()) {
    initLibraryOnce();
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

    int err = MPG123_OK;
    d.handle = mpg123_new(nullptr, &err);
    if (!d.handle)
        throw Mp3Error(std::string("Der MP3-Decoder kann nicht angelegt werden: ") +
                       mpg123_plain_strerror(err));
    mpg123_handle *mh = d.handle;
    mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // A growing index with one entry per frame makes byte offsets map to frames exactly.
    mpg123_param(mh, MPG123_INDEX_SIZE, -1000, 0);
    // A frame's main data may begin up to 511 bytes back, spread over many small frames of a VBR
    // stream: decode enough frames ahead after a seek that the first frame played is complete.
    mpg123_param(mh, MPG123_PREFRAMES, kSeekPreroll, 0);
    mpg123_format_none(mh);
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);

    if (mpg123_open_fd(mh, d.fd) != MPG123_OK)
        throw Mp3Error(fileName + " kann nicht gelesen werden: " + mpg123_strerror(mh));
    long rate = 0;
    int outChannels = 0;
    int encoding = 0;
    if (mpg123_getformat(mh, &rate, &outChannels, &encoding) != MPG123_OK || rate <= 0 || outChannels < 1 ||
        outChannels > 2)
        throw Mp3Error(fileName + " enthält keine MPEG-Audiodaten");

    // The sound buffer's format is the first frame's for the whole stream: later frames of another
    // channel count or rate are converted to it.
    mpg123_format_none(mh);
    mpg123_format(mh, rate, outChannels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16);

    mpg123_scan(mh);
    off_t *offsets = nullptr;
    off_t step = 0;
    size_t fill = 0;
    if (mpg123_index(mh, &offsets, &step, &fill) == MPG123_OK && step == 1 && offsets)
        frameOffsets_.assign(offsets, offsets + fill);

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
        frameEnd[decoded] = mpg123_framepos(mh) + info.framesize;
        frameSize[decoded] = info.framesize;
        ++decoded;
    }
    if (decoded == 0 || frameBytes <= 0)
        throw Mp3Error(fileName + " enthält keinen dekodierbaren MPEG-Audio-Frame");
    frameInputBytes = decoded == 2 ? static_cast<std::int32_t>(frameEnd[1] - frameEnd[0]) : frameSize[0];
    if (frameInputBytes <= 0)
        frameInputBytes = std::max(frameSize[0], 1);

    bufferBytes = kBufferFrames * frameBytes;
    bufferTime = static_cast<std::int32_t>(static_cast<std::int64_t>(bufferBytes) * 100 / bytesPerSecond);
    const off_t samples = mpg123_length(mh);
    durationSeconds = samples > 0 ? static_cast<std::int32_t>(samples / rate) : 0;

    // The learning decodes must not cost the first frames: start again at byte 0.
    if (Seek(0) != 0)
        throw Mp3Error(fileName + " kann nicht an den Anfang gesetzt werden: " + mpg123_strerror(mh));
}

Mp3Player::~Mp3Player() = default;

int Mp3Player::decodeInto(std::uint8_t *slot) {
    mpg123_handle *mh = decoder->handle;
    const auto slotBytes = static_cast<size_t>(frameBytes);
    if (consecutiveFailures_ >= kMaxConsecutiveFailures) {
        std::memset(slot, 0, slotBytes);
        return MPG123_DONE;
    }
    off_t num = 0;
    unsigned char *audio = nullptr;
    size_t bytes = 0;
    int r = MPG123_OK;
    for (int tries = 0; tries < kMaxFormatRetries; ++tries) {
        r = mpg123_decode_frame(mh, &num, &audio, &bytes);
        if (!(r == MPG123_NEW_FORMAT && bytes == 0))
            break;
    }
    if ((r == MPG123_OK || r == MPG123_NEW_FORMAT) && bytes > 0 && audio) {
        // Frames that came out another size (a rate change mid-stream) fill their slot as far
        // as they reach; the rest is silence.
        const size_t n = std::min(bytes, slotBytes);
        std::memcpy(slot, audio, n);
        std::memset(slot + n, 0, slotBytes - n);
        mpg123_frameinfo info{};
        mpg123_info(mh, &info);
        position_ = std::min<std::int64_t>(mpg123_framepos(mh) + std::max(info.framesize, 0), inputSize);
        // The library's sample position still points at the start of the frame just returned.
        samplePosition_ = std::max<std::int64_t>(mpg123_tell(mh), 0) +
                          static_cast<std::int64_t>(bytes / (2 * static_cast<size_t>(channels)));
        consecutiveFailures_ = 0;
        return MPG123_OK;
    }
    std::memset(slot, 0, slotBytes);
    if (r == MPG123_DONE) {
        position_ = inputSize;
        samplePosition_ = std::max<std::int64_t>(mpg123_tell(mh), samplePosition_);
        return MPG123_DONE;
    }
    ++consecutiveFailures_;
    return r;
}

int Mp3Player::ReadFrames(int count, void *destination) {
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

std::int32_t Mp3Player::frameIndexFor(std::int32_t offset) const {
    const auto frames = static_cast<std::int32_t>(frameOffsets_.size());
    if (offset >= inputSize)
        return frames;
    const auto it =
        std::upper_bound(frameOffsets_.begin(), frameOffsets_.end(), static_cast<std::int64_t>(offset));
    if (it == frameOffsets_.begin())
        return 0;
    return static_cast<std::int32_t>(it - frameOffsets_.begin()) - 1;
}

int Mp3Player::Seek(std::int32_t offset) {
    mpg123_handle *mh = decoder->handle;
    const std::int32_t frame = frameIndexFor(offset);
    const off_t r = mpg123_seek_frame(mh, frame, SEEK_SET);
    consecutiveFailures_ = 0;
    position_ = std::clamp<std::int64_t>(offset, 0, inputSize);
    samplePosition_ = std::max<std::int64_t>(mpg123_tell(mh), 0);
    return r < 0 ? static_cast<int>(r) : 0;
}

int Mp3Player::SeekSample(std::int64_t sample) {
    const std::int64_t samplesPerFrame = frameBytes / (2 * channels);
    const auto frames = static_cast<std::int64_t>(frameOffsets_.size());
    const std::int64_t frame =
        std::clamp<std::int64_t>(sample / samplesPerFrame, 0, std::max<std::int64_t>(frames - 1, 0));
    return Seek(frames > 0 ? static_cast<std::int32_t>(frameOffsets_[static_cast<std::size_t>(frame)]) : 0);
}

} // namespace mixora::engine
