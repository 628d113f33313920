// The MP3 reader on fixtures made with libmp3lame: stream figures, the first frames after
// construction, the end code, byte-offset seeking, time codes, and files it must refuse.
#include "engine/Formate.h"
#include "tests/engine/EngineTestUtil.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include <sys/stat.h>

namespace {

using mixora::engine::Mp3Error;
using mixora::engine::Mp3Player;
using mixora::engine::testing::concat;
using mixora::engine::testing::Frame;
using mixora::engine::testing::referenceFrames;
namespace test = mixora::test;

struct StreamCase {
    const char *name;
    test::Mp3Options options;
    int frameBytes;
    int bytesPerSecond;
    int channels;
    int samplesPerFrame;
};

class ReaderFigures : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ReaderFigures, MatchTheStream) {
    const StreamCase &c = GetParam();
    test::TempDir dir;
    const auto file = dir / "song.mp3";
    test::writeMp3(file, c.options);
    const auto frames = referenceFrames(file);
    ASSERT_GT(frames.size(), 10u);

    Mp3Player reader(file.string());
    EXPECT_EQ(reader.sampleRate, c.options.sampleRate);
    EXPECT_EQ(reader.channels, c.channels);
    EXPECT_EQ(reader.bitsPerSample, 16);
    EXPECT_EQ(reader.frameBytes, c.frameBytes);
    EXPECT_EQ(reader.bufferBytes, 10 * c.frameBytes);
    EXPECT_EQ(reader.bytesPerSecond, c.bytesPerSecond);
    EXPECT_EQ(reader.bufferTime, 26);
    EXPECT_EQ(reader.inputSize, static_cast<std::int32_t>(std::filesystem::file_size(file)));
    EXPECT_EQ(reader.durationSeconds,
              static_cast<std::int32_t>(frames.size() * c.samplesPerFrame / c.options.sampleRate));
    // A compressed frame at this bitrate: within a few bytes of bitrate × samples / 8 / rate.
    if (!c.options.vbr) {
        const int nominal = c.options.bitrateKbps * 1000 / 8 * c.samplesPerFrame / c.options.sampleRate;
        EXPECT_NEAR(reader.frameInputBytes, nominal, 2);
    } else {
        EXPECT_GT(reader.frameInputBytes, 20);
    }

    // The learning decodes do not cost the first frames.
    EXPECT_EQ(reader.Position(), 0);
    EXPECT_EQ(reader.CurrentTime(), 0);
    Frame block(static_cast<size_t>(5 * reader.frameBytes));
    EXPECT_EQ(reader.ReadFrames(5, block.data()), 0);
    EXPECT_EQ(block, concat(frames, 0, 5));
    EXPECT_EQ(reader.CurrentTime(), 5 * c.samplesPerFrame * 100 / c.options.sampleRate);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ReaderFigures,
    ::testing::Values(
        StreamCase{"Cbr44Stereo", {44100, 2, 3.0, false, 128, 440.0, 0.5, true}, 4608, 176400, 2, 1152},
        StreamCase{"Vbr44Stereo", {44100, 2, 3.0, true, 128, 440.0, 0.5, true}, 4608, 176400, 2, 1152},
        StreamCase{"Cbr22Mono", {22050, 1, 3.0, false, 32, 440.0, 0.5, true}, 1152, 44100, 1, 576}),
    [](const auto &info) { return std::string(info.param.name); });

// Reads the file frame by frame; returns the offsets where each frame starts (Position before it).
std::vector<std::int32_t> frameStarts(Mp3Player &reader, std::vector<Frame> *frames = nullptr) {
    std::vector<std::int32_t> starts;
    reader.Seek(0);
    Frame frame(static_cast<size_t>(reader.frameBytes));
    for (int guard = 0; guard < 100000; ++guard) {
        const std::int32_t at = reader.Position();
        if (reader.ReadFrames(1, frame.data()) == Mp3Player::kEndOfInput)
            break;
        starts.push_back(at);
        if (frames)
            frames->push_back(frame);
    }
    return starts;
}

TEST(Mp3Reader, EndCodeComesWhenTheLastOfTheCallsMeetsTheEnd) {
    test::TempDir dir;
    const auto file = dir / "song.mp3";
    test::writeMp3(file, {.seconds = 1.0});
    Mp3Player reader(file.string());
    std::vector<Frame> frames;
    auto starts = frameStarts(reader, &frames);
    const auto n = starts.size();
    ASSERT_GT(n, 10u);
    // Position after a frame is where the next begins: reading from it repeats nothing.
    reader.Seek(0);
    Frame frame(static_cast<size_t>(reader.frameBytes));
    reader.ReadFrames(1, frame.data());
    EXPECT_EQ(reader.Position(), starts[1]);

    Frame block(static_cast<size_t>(5 * reader.frameBytes), 0xAB);
    reader.Seek(starts[n - 3]);
    EXPECT_EQ(reader.ReadFrames(5, block.data()), Mp3Player::kEndOfInput);
    EXPECT_EQ(Frame(block.begin(), block.begin() + 3 * reader.frameBytes), concat(frames, n - 3, 3));
    // The slots past the end hold silence, never stale or foreign bytes.
    EXPECT_TRUE(
        std::all_of(block.begin() + 3 * reader.frameBytes, block.end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(reader.Position(), reader.inputSize);

    reader.Seek(starts[n - 5]);
    EXPECT_EQ(reader.ReadFrames(5, block.data()), 0);
    EXPECT_EQ(block, concat(frames, n - 5, 5));
    EXPECT_EQ(reader.ReadFrames(5, block.data()), Mp3Player::kEndOfInput);
    // And again at the end: the end code stays.
    EXPECT_EQ(reader.ReadFrames(1, frame.data()), Mp3Player::kEndOfInput);
}

TEST(Mp3Reader, SeekLandsOnTheFrameThatStartsAtOrBeforeTheOffset) {
    for (bool vbr : {false, true}) {
        SCOPED_TRACE(vbr ? "VBR" : "CBR");
        test::TempDir dir;
        const auto file = dir / "song.mp3";
        test::writeMp3(file, {.seconds = 2.0, .vbr = vbr});
        Mp3Player reader(file.string());
        std::vector<Frame> frames;
        const auto starts = frameStarts(reader, &frames);
        ASSERT_GT(starts.size(), 40u);
        Frame frame(static_cast<size_t>(reader.frameBytes));
        const std::int32_t spf = reader.frameBytes / (2 * reader.channels);
        for (size_t k : {size_t(0), size_t(1), size_t(17), starts.size() / 2, starts.size() - 1}) {
            SCOPED_TRACE(k);
            // Exactly at the frame, and inside it.
            for (std::int32_t offset : {starts[k], starts[k] + 7}) {
                EXPECT_EQ(reader.Seek(offset), 0);
                EXPECT_EQ(reader.Position(), offset);
                EXPECT_EQ(reader.CurrentTime(), static_cast<std::int32_t>(k * spf * 100 / reader.sampleRate));
                ASSERT_EQ(reader.ReadFrames(1, frame.data()), 0);
                EXPECT_EQ(frame, frames[k]);
                EXPECT_EQ(reader.Position(), k + 1 < starts.size() ? starts[k + 1] : reader.inputSize);
            }
        }
        // Before the first frame (the info frame's bytes) plays the first frame; at or past the
        // end of the file is the end of the input.
        reader.Seek(-100);
        ASSERT_EQ(reader.ReadFrames(1, frame.data()), 0);
        EXPECT_EQ(frame, frames[0]);
        reader.Seek(reader.inputSize);
        EXPECT_EQ(reader.ReadFrames(1, frame.data()), Mp3Player::kEndOfInput);
        reader.Seek(std::numeric_limits<std::int32_t>::max());
        EXPECT_EQ(reader.ReadFrames(1, frame.data()), Mp3Player::kEndOfInput);
    }
}

TEST(Mp3Reader, OffsetsCountTheTagBeforeTheAudio) {
    test::TempDir dir;
    const auto file = dir / "tagged.mp3";
    // An ID3v2 tag of 2000 bytes (header + padding) before the stream.
    std::vector<std::uint8_t> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0x0F, 0x46};
    tag.resize(2000, 0);
    test::writeFile(file, tag);
    test::appendFile(file, test::makeMp3({.seconds = 1.0}));
    Mp3Player reader(file.string());
    std::vector<Frame> frames;
    const auto starts = frameStarts(reader, &frames);
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts[0], 0); // Position after Seek(0) is the offset asked for
    ASSERT_GT(starts.size(), 2u);
    EXPECT_GT(starts[1], 2000);
    Frame frame(static_cast<size_t>(reader.frameBytes));
    reader.Seek(1000);
    reader.ReadFrames(1, frame.data());
    EXPECT_EQ(frame, frames[0]);
    reader.Seek(starts[2]);
    reader.ReadFrames(1, frame.data());
    EXPECT_EQ(frame, frames[2]);
}

TEST(Mp3Reader, DamagedStreamsEndAndNeverPlayForeignBytes) {
    const auto good = test::makeMp3({.seconds = 2.0});
    std::mt19937 rng(7);
    auto randomBytes = [&](size_t n) {
        std::vector<std::uint8_t> v(n);
        for (auto &b : v)
            b = static_cast<std::uint8_t>(rng());
        return v;
    };
    struct Damage {
        const char *name;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Damage> cases;
    cases.push_back(
        {"cut inside a frame", {good.begin(), good.begin() + static_cast<long>(good.size() / 2 + 77)}});
    auto holed = good;
    const auto noise = randomBytes(5000);
    std::copy(noise.begin(), noise.end(), holed.begin() + static_cast<long>(holed.size() / 3));
    cases.push_back({"noise over the middle", holed});
    auto garbageTail = good;
    const auto tail = randomBytes(70000);
    garbageTail.insert(garbageTail.end(), tail.begin(), tail.end());
    cases.push_back({"long garbage after the audio", garbageTail});

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto file = dir / "damaged.mp3";
        test::writeFile(file, c.bytes);
        Mp3Player reader(file.string());
        Frame block(static_cast<size_t>(5 * reader.frameBytes));
        int calls = 0;
        while (reader.ReadFrames(5, block.data()) != Mp3Player::kEndOfInput)
            ASSERT_LT(++calls, 1000) << "the end of the input never came";
        EXPECT_GT(calls, 2);
        EXPECT_EQ(reader.Position(), reader.inputSize);
    }
}

// Everything the reader delivers up to the end code, frame by frame.
std::vector<Frame> framesToTheEnd(Mp3Player &reader) {
    std::vector<Frame> frames;
    Frame frame(static_cast<size_t>(reader.frameBytes));
    while (reader.ReadFrames(1, frame.data()) != Mp3Player::kEndOfInput && frames.size() < 100000)
        frames.push_back(frame);
    return frames;
}

bool silent(const Frame &frame) {
    return std::all_of(frame.begin(), frame.end(), [](auto b) { return b == 0; });
}

TEST(Mp3Reader, FailedFramesAtTheEndEndTheStreamAndInTheMiddlePlayAsSilence) {
    test::TempDir dir;
    const auto good = test::makeMp3({.seconds = 2.0});
    // A download cut off inside a frame, into a file of its full size: zeros from there on.
    const auto cut = static_cast<long>(good.size() / 2 + 77);
    auto zeroTail = good;
    std::fill(zeroTail.begin() + cut, zeroTail.end(), 0);
    const auto cutOff = dir / "cutoff.mp3";
    test::writeFile(cutOff, zeroTail);
    {
        Mp3Player reader(cutOff.string());
        const auto frames = framesToTheEnd(reader);
        // The frames up to the first that fails, the one cut through included.
        const auto expected = referenceFrames(cutOff);
        ASSERT_EQ(frames.size(), expected.size());
        EXPECT_TRUE(frames == expected);
    }

    // The same hole in the middle: silence where it is, then the rest of the song.
    auto holed = good;
    std::fill(holed.begin() + cut, holed.begin() + cut + 3000, 0);
    const auto holedFile = dir / "holed.mp3";
    test::writeFile(holedFile, holed);
    test::writeFile(dir / "good.mp3", good);
    const auto intact = referenceFrames(dir / "good.mp3");
    Mp3Player reader(holedFile.string());
    const auto frames = framesToTheEnd(reader);
    const auto firstSilent = std::find_if(frames.begin(), frames.end(), silent);
    ASSERT_NE(firstSilent, frames.end());
    EXPECT_GT(firstSilent - frames.begin(), static_cast<long>(intact.size() / 3));
    ASSERT_GT(frames.size(), 10u);
    EXPECT_TRUE(std::equal(frames.end() - 10, frames.end(), intact.end() - 10));
}

TEST(Mp3Reader, ACutFollowedByRandomBytesEndsWithTheLastFrameOfTheStream) {
    test::TempDir dir;
    const auto good = test::makeMp3({.seconds = 2.0});
    const std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<long>(good.size() / 2 + 77));
    test::writeFile(dir / "cut.mp3", cut);
    Mp3Player cutOnly((dir / "cut.mp3").string());
    const auto expected = framesToTheEnd(cutOnly);
    for (unsigned seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto bytes = cut;
        for (int i = 0; i < 40000; ++i)
            bytes.push_back(static_cast<std::uint8_t>(rng()));
        test::writeFile(dir / "junk.mp3", bytes);
        Mp3Player reader((dir / "junk.mp3").string());
        const auto frames = framesToTheEnd(reader);
        // What the cut file alone gives, and at most the frame cut through, its end now junk.
        ASSERT_GE(frames.size(), expected.size());
        EXPECT_LE(frames.size(), expected.size() + 1);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frames.begin()));
    }
}

// Bytes this process has read through read and pread so far.
long long bytesReadByProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

TEST(Mp3Reader, OpeningALongFileReadsOnlyItsStart) {
    if (bytesReadByProcess() < 0)
        GTEST_SKIP() << "/proc/self/io is not readable here";
    test::TempDir dir;
    const auto file = dir / "long.mp3";
    const auto part = test::makeMp3({.seconds = 30.0, .writeInfoTag = false});
    for (int i = 0; i < 20; ++i)
        test::appendFile(file, part);
    const long long before = bytesReadByProcess();
    Mp3Player reader(file.string(), Mp3Player::IndexStart::Later);
    EXPECT_LT(bytesReadByProcess() - before, 256 * 1024);
    Frame block(static_cast<size_t>(5 * reader.frameBytes));
    EXPECT_EQ(reader.ReadFrames(5, block.data()), 0);
    EXPECT_FALSE(reader.IndexComplete());

    // Ahead of the index, a constant bitrate still gives the exact time.
    Mp3Player indexed(file.string());
    indexed.WaitForIndex();
    const auto starts = frameStarts(indexed);
    const size_t k = starts.size() * 9 / 10;
    reader.Seek(starts[k] + 100);
    EXPECT_EQ(reader.CurrentTime(), static_cast<std::int32_t>(k * 1152 * 100 / 44100));
    EXPECT_FALSE(reader.IndexComplete());

    reader.WaitForIndex();
    EXPECT_EQ(reader.durationSeconds, static_cast<std::int32_t>(starts.size() * 1152 / 44100));
}

TEST(Mp3Reader, SeekAheadOfTheIndexPlaysTheRightFramesAndTheIndexCorrectsTheTime) {
    test::TempDir dir;
    const auto file = dir / "song.mp3";
    test::writeMp3(file, {.seconds = 20.0, .vbr = true});
    Mp3Player indexed(file.string());
    indexed.WaitForIndex();
    std::vector<Frame> frames;
    const auto starts = frameStarts(indexed, &frames);
    ASSERT_GT(starts.size(), 500u);
    const std::int32_t spf = indexed.frameBytes / (2 * indexed.channels);
    auto timeOf = [&](size_t frame) {
        return static_cast<std::int32_t>(frame * spf * 100 / indexed.sampleRate);
    };

    Mp3Player reader(file.string(), Mp3Player::IndexStart::Later);
    const size_t k = starts.size() * 3 / 4;
    EXPECT_EQ(reader.Seek(starts[k] + 3), 0);
    Frame frame(static_cast<size_t>(reader.frameBytes));
    ASSERT_EQ(reader.ReadFrames(1, frame.data()), 0);
    EXPECT_EQ(frame, frames[k]);
    EXPECT_EQ(reader.Position(), starts[k + 1]);
    EXPECT_FALSE(reader.IndexComplete());

    reader.WaitForIndex();
    EXPECT_EQ(reader.durationSeconds, indexed.durationSeconds);
    // The next frames follow on without a gap or a repeat, now under their real numbers.
    Frame block(static_cast<size_t>(5 * reader.frameBytes));
    ASSERT_EQ(reader.ReadFrames(5, block.data()), 0);
    EXPECT_EQ(block, concat(frames, k + 1, 5));
    EXPECT_EQ(reader.CurrentTime(), timeOf(k + 6));
    // Seeks are exact from now on, before and after the first one.
    for (size_t j : {size_t(3), k - 100, k + 50}) {
        reader.Seek(starts[j]);
        EXPECT_EQ(reader.CurrentTime(), timeOf(j));
        ASSERT_EQ(reader.ReadFrames(1, frame.data()), 0);
        EXPECT_EQ(frame, frames[j]);
    }
}

TEST(Mp3Reader, RefusesWhatIsNoPlayableMp3WithAReason) {
    test::TempDir dir;
    std::mt19937 rng(11);
    std::vector<std::uint8_t> random(100000);
    for (auto &b : random)
        b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> id3Only = {'I', 'D', '3', 3, 0, 0, 0, 0, 0x02, 0x00};
    id3Only.resize(266, 0);
    const std::string text = "This is a text file that pretends to be an MP3.\n";

    test::writeFile(dir / "empty.mp3", {});
    test::writeFile(dir / "text.mp3", {text.begin(), text.end()});
    test::writeFile(dir / "random.mp3", random);
    test::writeFile(dir / "id3only.mp3", id3Only);
    test::writeFile(dir / "onebyte.mp3", {0xFF});
    test::writeFile(dir / "plainfile", {1, 2, 3});
    std::filesystem::create_directory(dir / "folder.mp3");
    ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);

    for (const char *name : {"missing.mp3", "empty.mp3", "text.mp3", "random.mp3", "id3only.mp3",
                             "onebyte.mp3", "folder.mp3", "plainfile/below.mp3", "pipe.mp3"}) {
        SCOPED_TRACE(name);
        try {
            Mp3Player reader((dir / name).string());
            ADD_FAILURE() << "opened";
        } catch (const Mp3Error &e) {
            EXPECT_NE(std::string(e.what()), "");
        }
    }
}

} // namespace
