// The MP3 reader on the shared corpus: conformance streams against their reference output, and
// broken or unusual streams that must end in a clean error or in playable audio.
#include "engine/Formate.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace {

using mixora::engine::Mp3Error;
using mixora::engine::Mp3Player;
namespace fs = std::filesystem;
namespace test = mixora::test;

std::vector<fs::path> filesIn(const fs::path &dir, const std::string &extension) {
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().extension() == extension)
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t> &bytes) {
    std::vector<std::int16_t> s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
}

// Everything the deck would play, frame by frame up to the end code.
std::vector<std::int16_t> decodeAll(Mp3Player &reader) {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> frame(static_cast<size_t>(reader.frameBytes));
    while (reader.ReadFrames(1, frame.data()) != Mp3Player::kEndOfInput)
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    return samplesOf(bytes);
}

TEST(Mp3Conformance, EveryStreamMatchesItsReferenceWithinOneStep) {
    MIXORA_REQUIRE_CORPUS();
    const auto streams = filesIn(test::corpusDir() / "mpeg-conformance", ".bit");
    ASSERT_FALSE(streams.empty());
    for (const auto &stream : streams) {
        SCOPED_TRACE(stream.filename().string());
        auto pcm = stream;
        pcm.replace_extension(".pcm");
        ASSERT_TRUE(fs::exists(pcm));
        const auto reference = samplesOf(test::readFile(pcm));

        Mp3Player reader(stream.string());
        EXPECT_EQ(reader.bytesPerSecond, reader.sampleRate * reader.channels * 2);
        EXPECT_EQ(reader.bufferTime, reader.bufferBytes * 100 / reader.bytesPerSecond);
        const auto decoded = decodeAll(reader);
        const size_t frameSamples = static_cast<size_t>(reader.frameBytes / 2);

        // Leading frames whose bit reservoir lies before the stream are silence here and absent
        // from the reference: allow up to two such frames before comparing.
        size_t skip = 0;
        int worst = std::numeric_limits<int>::max();
        size_t worstAt = 0;
        for (size_t frames = 0; frames <= 2; ++frames) {
            const size_t s = frames * frameSamples;
            if (decoded.size() < reference.size() + s ||
                !std::all_of(decoded.begin(), decoded.begin() + static_cast<long>(s),
                             [](std::int16_t v) { return v == 0; }))
                break;
            int w = 0;
            size_t at = 0;
            for (size_t i = 0; i < reference.size(); ++i) {
                const int d = std::abs(decoded[s + i] - reference[i]);
                if (d > w) {
                    w = d;
                    at = i;
                }
            }
            if (w < worst) {
                worst = w;
                worstAt = at;
                skip = s;
            }
        }
        ASSERT_GE(decoded.size(), reference.size() + skip);
        // We may run one frame longer than the reference, never more.
        EXPECT_LE(decoded.size() - skip, reference.size() + frameSamples);
        EXPECT_LE(worst, 1) << "at sample " << worstAt;
    }
}

// Broken streams: a clean refusal, or figures a deck can use and an end that comes.
void expectCleanErrorOrPlayableAudio(const fs::path &file) {
    SCOPED_TRACE(file.filename().string());
    std::unique_ptr<Mp3Player> reader;
    try {
        reader = std::make_unique<Mp3Player>(file.string());
    } catch (const Mp3Error &e) {
        EXPECT_NE(std::string(e.what()), "");
        return;
    }
    EXPECT_GT(reader->sampleRate, 0);
    EXPECT_TRUE(reader->channels == 1 || reader->channels == 2);
    EXPECT_GT(reader->frameBytes, 0);
    EXPECT_GT(reader->bytesPerSecond, 0);
    EXPECT_GT(reader->frameInputBytes, 0);
    EXPECT_EQ(reader->inputSize, static_cast<std::int32_t>(fs::file_size(file)));

    std::vector<std::uint8_t> half(static_cast<size_t>(5 * reader->frameBytes));
    // Even a frame of the smallest size could not make more calls than this before the end.
    const int limit = reader->inputSize / 20 + 100;
    int calls = 0;
    while (reader->ReadFrames(5, half.data()) != Mp3Player::kEndOfInput)
        ASSERT_LT(++calls, limit) << "no end of input";
    // Seeking into the middle and reading on ends as well.
    reader->Seek(reader->inputSize / 2);
    calls = 0;
    while (reader->ReadFrames(5, half.data()) != Mp3Player::kEndOfInput)
        ASSERT_LT(++calls, limit) << "no end of input after a seek";
    EXPECT_GE(reader->CurrentTime(), 0);
}

TEST(Mp3Corpus, MalformedStreamsEndInAnErrorOrPlayableAudio) {
    MIXORA_REQUIRE_CORPUS();
    const auto files = filesIn(test::corpusDir() / "malformed", ".bit");
    ASSERT_FALSE(files.empty());
    for (const auto &f : files)
        expectCleanErrorOrPlayableAudio(f);
}

TEST(Mp3Corpus, UnusualStreamsEndInAnErrorOrPlayableAudio) {
    MIXORA_REQUIRE_CORPUS();
    const auto files = filesIn(test::corpusDir() / "stress", ".bit");
    ASSERT_FALSE(files.empty());
    for (const auto &f : files)
        expectCleanErrorOrPlayableAudio(f);
}

TEST(Mp3Corpus, FormatChangesMidStreamKeepTheFirstFramesFormat) {
    MIXORA_REQUIRE_CORPUS();
    // Mono first, stereo in the middle; and 44.1 kHz first, 48 kHz later.
    for (const char *name : {"l3-he_mode.bit", "l3-nonstandard-he_44_48khz.bit"}) {
        SCOPED_TRACE(name);
        const auto file = test::corpusDir() / "stress" / name;
        if (!fs::exists(file))
            GTEST_SKIP() << file << " is absent";
        Mp3Player reader(file.string());
        EXPECT_EQ(reader.channels, 1);
        EXPECT_EQ(reader.sampleRate, 44100);
        const auto samples = decodeAll(reader);
        // Audio all the way through: no stretch of a second is silent.
        const size_t second = 44100;
        for (size_t at = 0; at + second <= samples.size(); at += second) {
            const bool sounding = std::any_of(samples.begin() + static_cast<long>(at),
                                              samples.begin() + static_cast<long>(at + second),
                                              [](std::int16_t s) { return std::abs(s) > 100; });
            EXPECT_TRUE(sounding) << "silent second at " << at / second;
        }
    }
}

TEST(Mp3Corpus, SeekAheadOfTheIndexInAFreeFormatStreamWaitsForTheIndex) {
    MIXORA_REQUIRE_CORPUS();
    // Free-format frames give no length in their headers: nothing to estimate from.
    const auto file = test::corpusDir() / "mpeg-conformance" / "l3-he_free.bit";
    Mp3Player indexed(file.string());
    indexed.WaitForIndex();
    std::vector<std::int32_t> starts;
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> frame(static_cast<size_t>(indexed.frameBytes));
    for (std::int32_t at = indexed.Position(); indexed.ReadFrames(1, frame.data()) == 0;
         at = indexed.Position()) {
        starts.push_back(at);
        frames.push_back(frame);
    }
    ASSERT_GT(starts.size(), 20u);
    const size_t k = starts.size() * 3 / 4;

    Mp3Player reader(file.string(), Mp3Player::IndexStart::Later);
    EXPECT_EQ(reader.Seek(starts[k]), 0);
    EXPECT_TRUE(reader.IndexComplete());
    EXPECT_EQ(reader.CurrentTime(),
              static_cast<std::int32_t>(k * static_cast<size_t>(reader.frameBytes / (2 * reader.channels)) *
                                        100 / static_cast<size_t>(reader.sampleRate)));
    ASSERT_EQ(reader.ReadFrames(1, frame.data()), 0);
    EXPECT_TRUE(frame == frames[k]);
}

} // namespace
