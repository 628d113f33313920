#include "analysis/Mp3Source.h"

#include <mpg123.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora::analysis {

namespace {

// A stream that keeps failing this often in a row is taken as ended, so a file that never
// resyncs cannot keep an analysis busy.
constexpr int kMaxConsecutiveFailures = 64;

void initLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

} // namespace

struct Mp3Source::Handle {
    mpg123_handle *mh = nullptr;
    int fd = -1;
    ~Handle() {
        if (mh) {
            mpg123_close(mh);
            mpg123_delete(mh);
        }
        if (fd >= 0)
            ::close(fd);
    }
};

Mp3Source::Mp3Source(const std::string &path) : handle_(std::make_unique<Handle>()) {
    initLibraryOnce();
    Handle &h = *handle_;
    // Non-blocking open so a FIFO or device node cannot stall the analysis thread.
    h.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (h.fd < 0) {
        error_ = path + " kann nicht geöffnet werden: " + std::strerror(errno);
        return;
    }
    struct stat st {};
    if (::fstat(h.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = path + " ist keine lesbare Datei";
        return;
    }
    if (st.st_size == 0) {
        error_ = path + " ist leer";
        return;
    }
    ::fcntl(h.fd, F_SETFL, ::fcntl(h.fd, F_GETFL) & ~O_NONBLOCK);

    int err = MPG123_OK;
    h.mh = mpg123_new(nullptr, &err);
    if (!h.mh) {
        error_ = std::string("Der MP3-Decoder kann nicht angelegt werden: ") + mpg123_plain_strerror(err);
        return;
    }
    mpg123_handle *mh = h.mh;
    // The same stream the deck plays: no gapless trimming, so times and byte offsets agree.
    mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(mh);
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open_fd(mh, h.fd) != MPG123_OK) {
        error_ = path + " kann nicht gelesen werden: " + mpg123_strerror(mh);
        return;
    }
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(mh, &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels < 1 ||
        channels > 2) {
        error_ = path + " enthält keine MPEG-Audiodaten";
        return;
    }
    // Later frames of another rate or channel count are converted to the first frame's format.
    mpg123_format_none(mh);
    mpg123_format(mh, rate, channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16);
    rate_ = static_cast<int>(rate);
    channels_ = channels;
    mpg123_scan(mh);
    const off_t length = mpg123_length(mh);
    length_ = length > 0 ? static_cast<std::int64_t>(length) : 0;
    if (mpg123_seek(mh, 0, SEEK_SET) < 0) {
        error_ = path + " kann nicht an den Anfang gesetzt werden: " + mpg123_strerror(mh);
        return;
    }
}

Mp3Source::~Mp3Source() = default;

bool Mp3Source::next(Frame &frame) {
    if (!ok())
        return false;
    mpg123_handle *mh = handle_->mh;
    while (failures_ < kMaxConsecutiveFailures) {
        off_t num = 0;
        unsigned char *audio = nullptr;
        size_t bytes = 0;
        const int r = mpg123_decode_frame(mh, &num, &audio, &bytes);
        if (r == MPG123_DONE)
            return false;
        if ((r != MPG123_OK && r != MPG123_NEW_FORMAT) || !audio || bytes == 0) {
            // A format report comes with an empty frame; the audio follows on the next call.
            ++failures_;
            continue;
        }
        failures_ = 0;
        frame.samples = reinterpret_cast<const std::int16_t *>(audio);
        frame.count = static_cast<int>(bytes / (2 * static_cast<size_t>(channels_)));
        frame.byteOffset = static_cast<std::int64_t>(mpg123_framepos(mh));
        return frame.count > 0;
    }
    return false;
}

} // namespace mixora::analysis
