// Helpers for the engine tests: a reference decode straight through libmpg123, a deck view that
// records what the player reports, and a bounded wait for the worker.
#pragma once

#include "engine/DoublePlayer.h"
#include "engine/Mpg123Handle.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mixora::engine::testing {

using Frame = std::vector<std::uint8_t>;

// Every frame of the file as the bare library decodes it (gapless off, signed 16-bit).
inline std::vector<Frame> referenceFrames(const std::filesystem::path &file) {
    const Mpg123Handle handle = newMpg123Handle();
    mpg123_handle *mh = handle.get();
    std::vector<Frame> frames;
    if (mh && mpg123_open(mh, file.c_str()) == MPG123_OK) {
        off_t num = 0;
        unsigned char *audio = nullptr;
        size_t bytes = 0;
        for (;;) {
            const int r = mpg123_decode_frame(mh, &num, &audio, &bytes);
            if (r == MPG123_DONE || r == MPG123_ERR)
                break;
            if (bytes > 0)
                frames.emplace_back(audio, audio + bytes);
        }
    }
    return frames;
}

inline Frame concat(const std::vector<Frame> &frames, size_t first, size_t count) {
    Frame out;
    for (size_t i = first; i < first + count && i < frames.size(); ++i)
        out.insert(out.end(), frames[i].begin(), frames[i].end());
    return out;
}

// Records every report; safe to read while the worker writes.
class RecordingView : public DeckView {
public:
    void setSeekRange(std::int32_t maximum, int smallStep, int largeStep) override {
        std::lock_guard lock(mutex_);
        seekMaximum = maximum;
        seekSmall = smallStep;
        seekLarge = largeStep;
    }
    void setSeekPosition(std::int32_t position) override {
        std::lock_guard lock(mutex_);
        seekPositions.push_back(position);
    }
    void setTimeText(const std::string &text) override {
        std::lock_guard lock(mutex_);
        timeTexts.push_back(text);
    }
    void setStateWord(const std::string &word) override {
        std::lock_guard lock(mutex_);
        stateWords.push_back(word);
    }
    template <typename F> auto read(F f) const {
        std::lock_guard lock(mutex_);
        return f(*this);
    }

    std::int32_t seekMaximum = -1;
    int seekSmall = -1;
    int seekLarge = -1;
    std::vector<std::int32_t> seekPositions;
    std::vector<std::string> timeTexts;
    std::vector<std::string> stateWords;

private:
    mutable std::mutex mutex_;
};

// Waits for a condition the worker brings about; false after a generous limit (a hang guard,
// not a timing check).
inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace mixora::engine::testing
