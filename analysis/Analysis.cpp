#include "analysis/Analysis.h"

#include "analysis/Mp3Source.h"
#include "analysis/Tempo.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace mixora::analysis {

namespace {

// -60 dBFS of a 16-bit sample.
constexpr int kAudibleThreshold = 33;
// The tempo analysis needs no more than this rate; the mono mix is averaged down towards it.
constexpr int kTempoRate = 11025;
// Overview levels are first gathered in blocks at least this long, then spread over the columns
// once the real length is known.
constexpr int kBlockSamples = 64;
// Blocks kept at most: when they fill up, neighbours merge in pairs and later blocks are twice as
// long, so a recording of any length costs the same few hundred kilobytes.
constexpr std::size_t kMaxBlocks = 4 * kOverviewColumns;
// Decoding checks the cancel flag this often (frames).
constexpr int kCancelCheckFrames = 64;

struct Block {
    std::uint16_t peak = 0;
    double squares = 0.0;
    std::uint32_t count = 0;
};

std::vector<std::uint8_t> overviewOf(const std::vector<Block> &blocks) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(kOverviewColumns) * 2, 0);
    if (blocks.empty())
        return out;
    const std::size_t n = blocks.size();
    for (std::size_t c = 0; c < static_cast<std::size_t>(kOverviewColumns); ++c) {
        // Each column takes the blocks whose start falls into it; a song shorter than the
        // columns repeats blocks so the overview still spans the whole bar.
        std::size_t lo = c * n / kOverviewColumns;
        std::size_t hi = (c + 1) * n / kOverviewColumns;
        if (hi <= lo)
            hi = lo + 1;
        int peak = 0;
        double squares = 0.0;
        double count = 0.0;
        for (std::size_t b = lo; b < hi && b < n; ++b) {
            peak = std::max<int>(peak, blocks[b].peak);
            squares += blocks[b].squares;
            count += blocks[b].count;
        }
        const double rms = count > 0 ? std::sqrt(squares / count) : 0.0;
        out[2 * c] = static_cast<std::uint8_t>(std::min(255L, std::lround(peak * 255.0 / 32768.0)));
        out[2 * c + 1] = static_cast<std::uint8_t>(std::min(255L, std::lround(rms * 255.0 / 32768.0)));
    }
    return out;
}

// Level blocks in time order whose length doubles whenever kMaxBlocks of them are full.
class BlockList {
public:
    BlockList() { blocks_.reserve(kMaxBlocks); }

    void add(int peak, double squares) {
        current_.peak = static_cast<std::uint16_t>(std::max<int>(current_.peak, peak));
        current_.squares += squares;
        if (++current_.count == blockSamples_)
            flush();
    }
    const std::vector<Block> &finish() {
        if (current_.count > 0)
            flush();
        return blocks_;
    }

private:
    void flush() {
        if (blocks_.size() == kMaxBlocks) {
            for (std::size_t i = 0; i < kMaxBlocks / 2; ++i) {
                const Block &a = blocks_[2 * i];
                const Block &b = blocks_[2 * i + 1];
                blocks_[i] = {std::max(a.peak, b.peak), a.squares + b.squares, a.count + b.count};
            }
            blocks_.resize(kMaxBlocks / 2);
            blockSamples_ *= 2;
            // The block being filled has the old length; it still counts as one block.
        }
        blocks_.push_back(current_);
        current_ = Block{};
    }

    std::vector<Block> blocks_;
    Block current_;
    std::uint32_t blockSamples_ = kBlockSamples;
};

struct Ebur128Deleter {
    void operator()(ebur128_state *s) const {
        if (s)
            ebur128_destroy(&s);
    }
};

} // namespace

std::optional<Result> analyseFile(const std::string &path, const Options &options,
                                  const std::atomic<bool> *cancel, std::string *error) {
    auto fail = [&](const std::string &message) -> std::optional<Result> {
        if (error)
            *error = message;
        return std::nullopt;
    };
    auto cancelled = [&] { return cancel && cancel->load(std::memory_order_relaxed); };

    Mp3Source source(path);
    if (!source.ok())
        return fail(source.error());
    const int rate = source.sampleRate();
    const int channels = source.channels();

    std::unique_ptr<ebur128_state, Ebur128Deleter> loudness(
        ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate), EBUR128_MODE_I));
    if (!loudness)
        return fail("Die Lautheitsmessung kann nicht angelegt werden");

    const int decimation = std::max(1, static_cast<int>(std::lround(static_cast<double>(rate) / kTempoRate)));
    OnsetDetector onsets(static_cast<double>(rate) / decimation);
    std::vector<float> mono;
    float monoSum = 0.0f;
    int monoCount = 0;

    BlockList blocks;

    std::int64_t samples = 0;
    std::int64_t firstAudible = -1;
    std::int64_t lastAudible = -1;
    std::int64_t firstAudibleByte = 0;
    std::int64_t lastAudibleByte = 0;
    std::int64_t lastFrameByte = 0;
    bool anyFrame = false;

    Mp3Source::Frame frame;
    for (int frames = 0; source.next(frame); ++frames) {
        if (frames % kCancelCheckFrames == 0 && cancelled())
            return std::nullopt;
        anyFrame = true;
        lastFrameByte = frame.byteOffset;
        ebur128_add_frames_short(loudness.get(), frame.samples, static_cast<std::size_t>(frame.count));
        mono.clear();
        for (int i = 0; i < frame.count; ++i) {
            const std::int16_t *s = frame.samples + static_cast<std::ptrdiff_t>(i) * channels;
            int peak = std::abs(static_cast<int>(s[0]));
            int sum = s[0];
            double squares = static_cast<double>(s[0]) * s[0];
            if (channels == 2) {
                peak = std::max(peak, std::abs(static_cast<int>(s[1])));
                sum += s[1];
                squares = 0.5 * (squares + static_cast<double>(s[1]) * s[1]);
            }
            if (peak >= kAudibleThreshold) {
                if (firstAudible < 0) {
                    firstAudible = samples + i;
                    firstAudibleByte = frame.byteOffset;
                }
                lastAudible = samples + i;
                lastAudibleByte = frame.byteOffset;
            }
            blocks.add(peak, squares);
            monoSum += static_cast<float>(sum) / (32768.0f * static_cast<float>(channels));
            if (++monoCount == decimation) {
                mono.push_back(monoSum / static_cast<float>(decimation));
                monoSum = 0.0f;
                monoCount = 0;
            }
        }
        onsets.push(mono.data(), mono.size());
        samples += frame.count;
    }
    if (cancelled())
        return std::nullopt;
    if (!anyFrame)
        return fail(path + " enthält keinen dekodierbaren MPEG-Audio-Frame");

    Result result;
    result.durationSeconds = static_cast<double>(samples) / rate;
    if (firstAudible >= 0) {
        result.audibleStartSeconds = static_cast<double>(firstAudible) / rate;
        result.audibleEndSeconds = static_cast<double>(lastAudible + 1) / rate;
        result.audibleStartByte = firstAudibleByte;
        result.audibleEndByte = lastAudibleByte;
    } else {
        result.audibleEndSeconds = result.durationSeconds;
        result.audibleEndByte = lastFrameByte;
    }

    double lufs = 0.0;
    if (ebur128_loudness_global(loudness.get(), &lufs) == EBUR128_SUCCESS && std::isfinite(lufs))
        result.loudnessLufs = lufs;

    if (auto grid = findSteadyBeat(onsets, options.minBpm, options.maxBpm)) {
        // The grid's first line at the music's start; a line a little before the first audible
        // sample still counts, since an attack's first samples can lie below the threshold.
        const double period = 60.0 / grid->bpm;
        const double earliest = result.audibleStartSeconds - period / 4;
        const double k = std::ceil((earliest - grid->phaseSeconds) / period);
        result.bpm = grid->bpm;
        double first = grid->phaseSeconds + k * period;
        // A line just before the file's first sample is the beat the file starts on.
        if (first < 0)
            first = first > -0.02 ? 0.0 : first + period;
        result.firstBeatSeconds = first;
    }
    result.overview = overviewOf(blocks.finish());
    return result;
}

} // namespace mixora::analysis
