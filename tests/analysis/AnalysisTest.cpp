// The analysis of single files: audible start and end (times and the byte offsets a deck seeks
// to), loudness, the overview, tempo on a short generated song, and files that are not music.
#include "analysis/Analysis.h"
#include "engine/Formate.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SongSuite.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

namespace mixora::analysis {
namespace {

constexpr int kRate = 44100;

// Stereo PCM: silence, a tone of the given amplitude, silence.
std::vector<std::int16_t> toneBetweenSilences(double before, double tone, double after, double amplitude) {
    const auto at = [](double s) { return static_cast<std::size_t>(s * kRate); };
    std::vector<std::int16_t> pcm(2 * at(before + tone + after), 0);
    for (std::size_t i = at(before); i < at(before + tone); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const auto v =
            static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(2 * M_PI * 1000 * t)));
        pcm[2 * i] = v;
        pcm[2 * i + 1] = v;
    }
    return pcm;
}

// Whether one frame decoded by the deck's reader at a byte offset holds an audible sample.
bool deckFrameAudible(const std::filesystem::path &file, std::int64_t offset) {
    engine::Mp3Player player(file.string());
    EXPECT_EQ(player.Seek(static_cast<std::int32_t>(offset)), 0);
    std::vector<std::int16_t> slot(static_cast<std::size_t>(player.frameBytes / 2));
    player.ReadFrames(1, slot.data());
    for (std::int16_t s : slot)
        if (std::abs(static_cast<int>(s)) >= 33)
            return true;
    return false;
}

TEST(Analysis, AudibleStartAndEndAreTheFramesADeckSeeksTo) {
    test::TempDir dir;
    const auto file = dir / "tone.mp3";
    const test::EncodedSong song = test::encodePcm(toneBetweenSilences(1.0, 2.0, 1.5, 0.5), kRate);
    // An ID3v2 block ahead of the audio: byte offsets must be file offsets, not audio offsets.
    std::vector<std::uint8_t> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 7, 0x68}; // 1000 bytes follow
    tag.resize(1010, 0);
    test::writeFile(file, tag);
    test::appendFile(file, song.mp3);

    std::string error;
    const auto r = analyseFile(file.string(), Options{}, nullptr, &error);
    ASSERT_TRUE(r) << error;
    // The encoder's look-ahead may spread a little sound one block ahead of the tone.
    EXPECT_NEAR(r->audibleStartSeconds, 1.0 + song.delaySeconds, 0.015);
    EXPECT_NEAR(r->audibleEndSeconds, 3.0 + song.delaySeconds, 0.03);
    EXPECT_NEAR(r->durationSeconds, 4.5 + song.delaySeconds, 0.06);
    EXPECT_GT(r->audibleStartByte, 1010);
    EXPECT_LT(r->audibleStartByte, r->audibleEndByte);
    EXPECT_TRUE(deckFrameAudible(file, r->audibleStartByte));
    EXPECT_FALSE(deckFrameAudible(file, r->audibleStartByte - 1)); // the frame before
    EXPECT_TRUE(deckFrameAudible(file, r->audibleEndByte));
    EXPECT_FALSE(r->bpm) << "a steady tone has no beat";

    // The overview spans the whole song: quiet, the tone, quiet again.
    ASSERT_EQ(r->overview.size(), 2u * kOverviewColumns);
    const auto column = [&](double seconds) {
        return static_cast<std::size_t>(seconds / r->durationSeconds * kOverviewColumns);
    };
    for (double s : {0.5, 4.0}) {
        EXPECT_EQ(r->overview[2 * column(s)], 0) << s;
        EXPECT_EQ(r->overview[2 * column(s) + 1], 0) << s;
    }
    const std::uint8_t peak = r->overview[2 * column(2.0)];
    const std::uint8_t rms = r->overview[2 * column(2.0) + 1];
    EXPECT_NEAR(peak, 0.5 * 255, 6);
    EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0) * 255, 6);
}

TEST(Analysis, SilentSongSpansItsWholeLengthWithoutLoudnessOrTempo) {
    test::TempDir dir;
    const auto file = dir / "silence.mp3";
    test::writeFile(file, test::encodePcm(std::vector<std::int16_t>(2 * 20 * kRate, 0), kRate).mp3);
    const auto r = analyseFile(file.string(), Options{});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->audibleStartSeconds, 0.0);
    EXPECT_EQ(r->audibleStartByte, 0);
    EXPECT_DOUBLE_EQ(r->audibleEndSeconds, r->durationSeconds);
    EXPECT_GT(r->audibleEndByte, 0);
    EXPECT_FALSE(r->loudnessLufs);
    EXPECT_FALSE(r->bpm);
    EXPECT_FALSE(r->firstBeatSeconds);
    EXPECT_EQ(r->overview, std::vector<std::uint8_t>(2 * kOverviewColumns, 0));
}

TEST(Analysis, ShortSongGetsItsTempoAndFirstBeatAndThePreferredOctave) {
    test::TempDir dir;
    test::SongRecipe recipe;
    recipe.bpm = 93.37;
    recipe.seconds = 30;
    recipe.firstBeatSeconds = 1.3;
    recipe.style = test::DrumStyle::Rock;
    const auto file = dir / "song.mp3";
    const test::EncodedSong song = test::encodeSong(recipe);
    test::writeFile(file, song.mp3);

    const auto r = analyseFile(file.string(), Options{});
    ASSERT_TRUE(r && r->bpm && r->firstBeatSeconds);
    EXPECT_NEAR(*r->bpm, recipe.bpm, 0.05);
    EXPECT_NEAR(*r->firstBeatSeconds, recipe.firstBeatSeconds + song.delaySeconds, 0.010);

    // A range that leaves out the song's own tempo reports the octave inside it.
    Options fast;
    fast.minBpm = 150;
    fast.maxBpm = 200;
    const auto doubled = analyseFile(file.string(), fast);
    ASSERT_TRUE(doubled && doubled->bpm);
    EXPECT_NEAR(*doubled->bpm, 2 * recipe.bpm, 0.1);
}

// Music without a steady beat that still has clear attacks: a solo piano played with free
// timing (notes at drifting intervals, phrases that speed up and slow down) and a drone under
// percussion hits at random times. Neither may get a grid.
std::vector<std::int16_t> beatlessSong(bool piano, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::size_t frames = 60 * kRate;
    std::vector<float> mix(frames, 0.0f);
    if (!piano)
        for (std::size_t i = 0; i < frames; ++i)
            mix[i] =
                0.15f * static_cast<float>(std::sin(2 * M_PI * 55.0 * static_cast<double>(i) / kRate) +
                                           0.5 * std::sin(2 * M_PI * 82.5 * static_cast<double>(i) / kRate));
    double at = 0.3;
    double interval = 0.5;
    while (at < 59.0) {
        const auto start = static_cast<std::size_t>(at * kRate);
        const double pitch = piano ? 110.0 * std::pow(2.0, std::floor(unit(rng) * 36) / 12) : 0.0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(1.5 * kRate) && start + i < frames; ++i) {
            const double t = static_cast<double>(i) / kRate;
            double v = 0.0;
            if (piano) {
                for (int h = 1; h <= 4; ++h)
                    v += std::sin(2 * M_PI * pitch * h * t) / h;
                v *= 0.3 * std::exp(-t / 0.4);
            } else {
                v = (unit(rng) - 0.5) * std::exp(-t / 0.05) +
                    0.6 * std::sin(2 * M_PI * 70 * t) * std::exp(-t / 0.12);
            }
            mix[start + i] += static_cast<float>(v);
        }
        if (piano) { // rubato: each interval drifts from the last, within a wide range
            interval = std::clamp(interval * (0.75 + 0.5 * unit(rng)), 0.18, 1.4);
            at += interval;
        } else {
            at += -0.6 * std::log(1.0 - unit(rng)); // hits at random times, 0.6 s apart on average
        }
    }
    std::vector<std::int16_t> pcm(2 * frames);
    for (std::size_t i = 0; i < frames; ++i)
        pcm[2 * i] = pcm[2 * i + 1] =
            static_cast<std::int16_t>(std::lround(std::clamp(mix[i], -1.0f, 1.0f) * 20000));
    return pcm;
}

TEST(Analysis, FreeTimingAndRandomHitsGetNoTempo) {
    test::TempDir dir;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        for (const bool piano : {true, false}) {
            const auto file = dir / "beatless.mp3";
            test::writeFile(file, test::encodePcm(beatlessSong(piano, seed), kRate).mp3);
            const auto r = analyseFile(file.string(), Options{});
            ASSERT_TRUE(r);
            EXPECT_FALSE(r->bpm) << (piano ? "free piano" : "drone with random hits") << ", seed " << seed
                                 << ": " << r->bpm.value_or(0) << " BPM";
        }
    }
}

TEST(Analysis, LoudnessOfAToneInBothChannelsAndCancel) {
    test::TempDir dir;
    const auto file = dir / "tone.mp3";
    test::writeFile(file, test::encodePcm(toneBetweenSilences(0, 10, 0, 0.1), kRate).mp3);
    // 1 kHz at -20 dBFS in both channels reads -20 LUFS.
    const auto r = analyseFile(file.string(), Options{});
    ASSERT_TRUE(r && r->loudnessLufs);
    EXPECT_NEAR(*r->loudnessLufs, -20.0, 0.4);

    const std::atomic<bool> cancel{true};
    EXPECT_FALSE(analyseFile(file.string(), Options{}, &cancel));
}

TEST(Analysis, FilesThatAreNotMusicFailWithAReason) {
    test::TempDir dir;
    test::writeFile(dir / "empty.mp3", {});
    test::writeFile(dir / "text.mp3", std::vector<std::uint8_t>(3000, 'x'));
    for (const char *name : {"empty.mp3", "text.mp3", "missing.mp3"}) {
        std::string error;
        EXPECT_FALSE(analyseFile((dir / name).string(), Options{}, nullptr, &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    std::string error;
    EXPECT_FALSE(analyseFile(dir.path().string(), Options{}, nullptr, &error)) << "a folder";
}

// Broken and unusual streams end in a result or a reason, never a crash or a hang; what they
// report stays within the file and the audio.
TEST(Analysis, CorpusStreamsEndCleanly) {
    MIXORA_REQUIRE_CORPUS();
    for (const char *folder : {"malformed", "stress"}) {
        for (const auto &entry : std::filesystem::directory_iterator(test::corpusDir() / folder)) {
            std::string error;
            const auto r = analyseFile(entry.path().string(), Options{}, nullptr, &error);
            if (!r) {
                EXPECT_FALSE(error.empty()) << entry.path();
                continue;
            }
            const auto size = static_cast<std::int64_t>(std::filesystem::file_size(entry.path()));
            EXPECT_LE(r->audibleStartSeconds, r->audibleEndSeconds) << entry.path();
            EXPECT_LE(r->audibleEndSeconds, r->durationSeconds + 1e-9) << entry.path();
            EXPECT_LE(r->audibleStartByte, r->audibleEndByte) << entry.path();
            EXPECT_LT(r->audibleEndByte, size) << entry.path();
            EXPECT_EQ(r->overview.size(), 2u * kOverviewColumns) << entry.path();
        }
    }
}

} // namespace
} // namespace mixora::analysis
