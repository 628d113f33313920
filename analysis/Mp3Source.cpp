#include "analysis/Mp3Source.h"

#include "engine/Mpg123Handle.h"

#include <mpg123.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora::analysis {

namespace {

// A stream that keeps failing this often in a row is taken as ended, so a file that never
// resyncs cannot keep an analysis busy.
constexpr int kMaxConsecutiveFailures = 64;

} // namespace

struct Mp3Source::Handle {
    engine::Mpg123Handle mh;
    int fd = -1;
    ~Handle() {
        mh.reset(); // the decoder lets go of the descriptor before it is closed
        if (fd >= 0)
            ::close(fd);
    }
};

Mp3Source::Mp3Source(const std::string &path) : handle_(std::make_unique<Handle>()) {
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

    std::string why;
    h.mh = engine::newMpg123Handle(&why);
    if (!h.mh) {
        error_ = "Der MP3-Decoder kann nicht angelegt werden: " + why;
        return;
    }
    mpg123_handle *mh = h.mh.get();
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
    engine::keepOutputFormat(mh, rate, channels);
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
    mpg123_handle *mh = handle_->mh.get();
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
