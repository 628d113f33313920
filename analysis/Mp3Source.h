// Decodes an MP3 file front to back for the analysis, frame by frame, with the byte offset of
// each frame: the same frame positions the deck's reader uses for "StartZeit".
// Owns its own decoder (set up like the deck reader's), so a playing deck is not disturbed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace mixora::analysis {

class Mp3Source {
public:
    // Opens and checks the file; on failure ok() is false and error() says why in German.
    explicit Mp3Source(const std::string &path);
    ~Mp3Source();
    Mp3Source(const Mp3Source &) = delete;
    Mp3Source &operator=(const Mp3Source &) = delete;

    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }

    int sampleRate() const { return rate_; }
    int channels() const { return channels_; }
    // Samples per channel of the whole stream as the decoder will deliver them; 0 when unknown.
    std::int64_t lengthSamples() const { return length_; }

    struct Frame {
        const std::int16_t *samples = nullptr; // interleaved, channels() per sample
        int count = 0;                         // samples per channel
        std::int64_t byteOffset = 0;           // where the frame starts in the file
    };
    // The next decodable frame; false at the end of the stream (or when it cannot resync).
    bool next(Frame &frame);

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::string error_;
    int rate_ = 0;
    int channels_ = 0;
    std::int64_t length_ = 0;
    int failures_ = 0;
};

} // namespace mixora::analysis
