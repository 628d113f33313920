// Mp3Player: the MP3 stream reader under each deck. It opens one file, learns the stream's
// figures once, and then hands out decoded audio in whole frames of one fixed size, together
// with the decoding position as a byte offset of the file and as a time code.
//
// It never plays memory it did not write: a slot whose frame cannot be decoded is silence, and
// a file that yields no decodable frame is refused at construction (Mp3Error), so no figure is
// ever zero for a reader that exists. Failed frames at the end of the file are no audio: the
// stream ends with the last frame that decodes. After a failure or a resync, audio resumes only
// from a run of frames whose headers agree with the stream's, so junk that decodes by chance
// (random bytes after a cut-off download) is never played.
//
// Construction reads only the first frames, so that loading a long file never holds up the
// window. A helper thread of the reader's own then indexes every frame of the file with its own
// decoder. Until the index reaches an offset, a seek there finds the frame by its header and
// numbers it from the mean frame size so far: the audio is exact at once, the time code is an
// estimate that the next refill corrects once the index has the frame. durationSeconds is the
// library's estimate until the index is complete, then exact.
//
// Not thread-safe by itself: the deck player serialises every call.
#pragma once

#include <array>
#include <atomic>
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

    // When the helper thread starts indexing: at once, or at StartIndex (the deck starts it after
    // its first refills, so that the index's reads do not delay them).
    enum class IndexStart { Now, Later };

    // Opens the file (UTF-8 path) and fills every figure; throws Mp3Error with the reason.
    // Returns after the first frames; the frame index is built behind it.
    explicit Mp3Player(const std::string &fileName, IndexStart indexStart = IndexStart::Now);
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

    void StartIndex();
    // Whether every frame of the file is indexed (and durationSeconds exact).
    bool IndexComplete() const;
    // The file offset of every frame in stream order once the index is complete; empty before.
    std::vector<std::int64_t> FrameOffsets();
    // Blocks until the index is complete (starting it if need be): for tools and tests that need
    // exact figures at once.
    void WaitForIndex();

    // The stream's figures, set once at construction (all positive); durationSeconds may be
    // corrected once, from the helper thread, when the index is complete.
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
    std::atomic<std::int32_t> durationSeconds{0}; // whole seconds of the stream
    std::int32_t inputSize = 0;                   // file size in bytes

private:
    struct Indexer;

    int decodeInto(std::uint8_t *slot);
    int decodeNext(std::uint8_t *slot);
    bool startsARun(std::int64_t at) const;
    int endOfInput(std::uint8_t *slot);
    void adoptIndex();
    void correctEstimate();
    int seekFrame(std::int64_t frame);
    bool seekEstimated(std::int32_t offset, int &result);
    std::int64_t samplesAtEnd() const;

    std::unique_ptr<Indexer> indexer_;
    std::vector<std::int64_t> frameOffsets_; // file offsets of the frames known, from the first on
    bool indexComplete_ = false;             // frameOffsets_ holds every frame
    bool handleIndexStale_ = true;           // the decoder's own index differs from frameOffsets_
    bool estimated_ = false;                 // frame numbers since the last seek are estimates
    bool atEnd_ = false;
    bool decodedSinceSeek_ = false;
    bool doubt_ = false; // a frame failed or the decoder resynced: audio only from a run again
    std::array<std::uint8_t, 4> streamHeader_{}; // the first frame's header (zeros: free format)
    std::int32_t seekOffset_ = 0;
    std::int32_t samplesPerFrame_ = 0;
    std::int64_t position_ = 0;
    std::int64_t samplePosition_ = 0; // output samples before the next frame to decode
    // A frame decoded past failed ones: their silence plays first, then the frame.
    int pendingSilence_ = 0;
    bool held_ = false;
    std::vector<std::uint8_t> heldFrame_;
    std::int64_t heldPosition_ = 0;
    std::int64_t heldSamplePosition_ = 0;
};

} // namespace mixora::engine
