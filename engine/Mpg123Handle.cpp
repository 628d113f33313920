#include "engine/Mpg123Handle.h"

#include <mutex>

namespace mixora::engine {

void Mpg123Deleter::operator()(mpg123_handle *handle) const {
    mpg123_close(handle);
    mpg123_delete(handle);
}

Mpg123Handle newMpg123Handle(std::string *error) {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
    int err = MPG123_OK;
    Mpg123Handle handle(mpg123_new(nullptr, &err));
    if (!handle) {
        if (error)
            *error = mpg123_plain_strerror(err);
        return handle;
    }
    mpg123_handle *mh = handle.get();
    mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // Grows by 1000 entries when full instead of thinning out: byte offsets map to frames exactly.
    mpg123_param(mh, MPG123_INDEX_SIZE, -1000, 0);
    mpg123_param(mh, MPG123_PREFRAMES, kMpg123SeekPrerollFrames, 0);
    mpg123_format_none(mh);
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    return handle;
}

void keepOutputFormat(mpg123_handle *handle, long rate, int channels) {
    mpg123_format_none(handle);
    mpg123_format(handle, rate, channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16);
}

} // namespace mixora::engine
