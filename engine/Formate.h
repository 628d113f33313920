// Mp3Player: the MP3 stream reader under each deck. It opens one file, learns the stream's
// figures once, and then hands out decoded audio in whole frames of one fixed size, together
// with the decoding position as a byte offset of the file and as a time code.
//
// It never plays memory it did not write: a slot whose frame cannot be decoded is silence, and
// a file that yields no decodable frame is refused at construction (Mp3Error), so no figure is
// ever zero for a reader that exists.
//
// Not thread-safe by itself: the deck player serialises every call.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace mixora::engine {

// Why a file cannot be read as MP3 (cannot be opened, empty, no decodable frame, not MP3), as a
// German sentence the window can show.
class Mp3Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Mp3Player {
public:
    // ReadFrames' result when the decoder met the end of the input on the last decode call.
    static constexpr int kEndOfInput = 10;
    // The deck's sound buffer holds this many decoded frames.
    static constexpr int kBufferFrames = 10;

    // Opens the file (UTF-8 path) and fills every figure; throws Mp3Error with the reason.
    explicit Mp3Player(const std::string &fileName);
    ~Mp3Player();
    Mp3Player(const Mp3Player &) = delete;
    Mp3Player &operator=(const Mp3Player &) = delete;

    // Decodes count frames into consecutive slots of frameBytes bytes each (destination holds
    // count × frameBytes bytes). Every slot is written; one whose frame fails is silence.
    // Returns kEndOfInput when the last of the count decodes met the end of the input, else 0.
    int ReadFrames(int count, void *destination);

    // Time code of the decoding position, hundredths of a second.
    std::int32_t CurrentTime() const;
    // Byte offset of the input: where the next frame to decode begins (the offset last sought
    // to right after a Seek, inputSize at the end of the input).
    std::int32_t Position() const;
    // The next decoded frame is the last one that starts at or before offset (the first frame
    // for offsets before it, the end of the input for offsets at or past inputSize).
    // Returns 0, or the decoder's (negative) error code.
    int Seek(std::int32_t offset);
    // Output samples (per channel) before the next frame to decode: the exact place in the
    // decoded stream, where beat-aligned starts need more than the time code's hundredths.
    std::int64_t SamplePosition() const { return samplePosition_; }
    // The next decoded frame is the one holding this sample (clamped to the stream).
    int SeekSample(std::int64_t sample);

    // The stream's figures, set once at construction (all positive).
    struct Decoder;
    std::unique_ptr<Decoder> decoder;
    std::int32_t sampleRate = 0;      // Hz of the decoded audio
    std::int32_t bitsPerSample = 0;   // always 16: the output is signed 16-bit
    std::int32_t bufferBytes = 0;     // kBufferFrames × frameBytes
    std::int32_t bufferTime = 0;      // playing time of bufferBytes, hundredths, truncated
    std::int32_t frameInputBytes = 0; // compressed size of the second frame (the first if alone)
    std::int32_t bytesPerSecond = 0;  // sampleRate × channels × bitsPerSample / 8
    std::int32_t frameBytes = 0;      // bytes of one decoded frame (samples per frame × channels × 2)
    std::int32_t channels = 0;        // 1 or 2
    std::int32_t durationSeconds = 0; // whole seconds of the stream
    std::int32_t inputSize = 0;       // file size in bytes

private:
    int decodeInto(std::uint8_t *slot);
    std::int32_t frameIndexFor(std::int32_t offset) const;

    std::vector<std::int64_t> frameOffsets_; // file offset of every audio frame (after the scan)
    std::int64_t position_ = 0;
    std::int64_t samplePosition_ = 0; // output samples before the next frame to decode
    int consecutiveFailures_ = 0;
};

} // namespace mixora::engine
