// The command-line tools as users run them: dj-mixora-decode writes exactly the decoded frames
// and the stream figures; dj-mixora-render writes the same mix on every run.
#include "tests/engine/EngineTestUtil.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

namespace {

using mixora::engine::testing::concat;
using mixora::engine::testing::referenceFrames;
namespace fs = std::filesystem;
namespace test = mixora::test;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun run(const std::string &tool, const std::vector<std::string> &args, const fs::path &scratch) {
    std::string command = std::string(MIXORA_BIN_DIR) + "/" + tool;
    for (const auto &a : args)
        command += " '" + a + "'";
    const auto errFile = scratch / "stderr.txt";
    command += " 2>'" + errFile.string() + "'";
    ToolRun r;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return r;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        r.out.append(buf, n);
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto err = test::readFile(errFile);
    r.err.assign(err.begin(), err.end());
    return r;
}

std::map<std::string, std::string> figures(const std::string &out) {
    std::map<std::string, std::string> m;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (const auto eq = line.find('='); eq != std::string::npos)
            m[line.substr(0, eq)] = line.substr(eq + 1);
    return m;
}

std::uint32_t le32(const std::vector<std::uint8_t> &b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t le16(const std::vector<std::uint8_t> &b, size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

void expectWavHeader(const std::vector<std::uint8_t> &wav, int rate, int channels) {
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(le32(wav, 4), wav.size() - 8);
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(wav, 16), 16u);
    EXPECT_EQ(le16(wav, 20), 1);
    EXPECT_EQ(le16(wav, 22), channels);
    EXPECT_EQ(le32(wav, 24), static_cast<std::uint32_t>(rate));
    EXPECT_EQ(le32(wav, 28), static_cast<std::uint32_t>(rate * channels * 2));
    EXPECT_EQ(le16(wav, 32), channels * 2);
    EXPECT_EQ(le16(wav, 34), 16);
    EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
    EXPECT_EQ(le32(wav, 40), wav.size() - 44);
}

std::vector<std::int16_t> samples(const std::vector<std::uint8_t> &wav) {
    std::vector<std::int16_t> s((wav.size() - 44) / 2);
    std::memcpy(s.data(), wav.data() + 44, s.size() * 2);
    return s;
}

TEST(DecodeTool, WritesEveryFrameAndPrintsTheFigures) {
    test::TempDir dir;
    for (const auto &o :
         {test::Mp3Options{.seconds = 2.0},
          test::Mp3Options{.sampleRate = 22050, .channels = 1, .seconds = 2.0, .bitrateKbps = 32}}) {
        SCOPED_TRACE(o.sampleRate);
        const auto in = dir / "in.mp3";
        const auto out = dir / "out.wav";
        test::writeMp3(in, o);
        const ToolRun r = run("dj-mixora-decode", {in.string(), out.string()}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        auto f = figures(r.out);
        const int frameBytes = o.channels * 2 * (o.sampleRate == 44100 ? 1152 : 576);
        EXPECT_EQ(f["sampleRate"], std::to_string(o.sampleRate));
        EXPECT_EQ(f["channels"], std::to_string(o.channels));
        EXPECT_EQ(f["bitsPerSample"], "16");
        EXPECT_EQ(f["frameBytes"], std::to_string(frameBytes));
        EXPECT_EQ(f["bufferBytes"], std::to_string(10 * frameBytes));
        EXPECT_EQ(f["bufferTime"], "26");
        EXPECT_EQ(f["bytesPerSecond"], std::to_string(o.sampleRate * o.channels * 2));
        EXPECT_EQ(f["inputSize"], std::to_string(fs::file_size(in)));
        EXPECT_EQ(f["durationSeconds"], "2");
        EXPECT_GT(std::stoi(f["frameInputBytes"]), 0);

        const auto wav = test::readFile(out);
        expectWavHeader(wav, o.sampleRate, o.channels);
        const auto frames = referenceFrames(in);
        const auto expected = concat(frames, 0, frames.size());
        ASSERT_EQ(wav.size() - 44, expected.size());
        // The bare library's rounding may differ by one step where the output format is fixed.
        const auto got = samples(wav);
        int worst = 0;
        for (size_t i = 0; i < got.size(); ++i)
            worst = std::max(worst, std::abs(got[i] - static_cast<std::int16_t>(expected[2 * i] |
                                                                                (expected[2 * i + 1] << 8))));
        EXPECT_LE(worst, 1);
    }
}

TEST(DecodeTool, AFileItCannotReadIsOneLineOnStderrAndStatusOne) {
    test::TempDir dir;
    test::writeFile(dir / "text.mp3", {'h', 'e', 'l', 'l', 'o'});
    for (const char *name : {"missing.mp3", "text.mp3"}) {
        SCOPED_TRACE(name);
        const ToolRun r =
            run("dj-mixora-decode", {(dir / name).string(), (dir / "out.wav").string()}, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
    }
    EXPECT_EQ(run("dj-mixora-decode", {"only-one-argument"}, dir.path()).status, 2);
}

TEST(RenderTool, TheSameMixOnEveryRun) {
    test::TempDir dir;
    const auto in = dir / "in.mp3";
    test::writeMp3(in, {.seconds = 3.0});
    const auto a = dir / "a.wav";
    const auto b = dir / "b.wav";
    const std::vector<std::string> options = {"--pitch", "37",    "--volume",  "-150",
                                              "--seek",  "20000", "--seconds", "1.5"};
    auto args = [&](const fs::path &out) {
        std::vector<std::string> v = {in.string(), out.string()};
        v.insert(v.end(), options.begin(), options.end());
        return v;
    };
    ASSERT_EQ(run("dj-mixora-render", args(a), dir.path()).status, 0);
    ASSERT_EQ(run("dj-mixora-render", args(b), dir.path()).status, 0);
    const auto first = test::readFile(a);
    expectWavHeader(first, 44100, 2);
    EXPECT_EQ(first.size(), 44u + 66150u * 4);
    EXPECT_TRUE(first == test::readFile(b)) << "two renders differ";
    const auto s = samples(first);
    EXPECT_TRUE(std::any_of(s.begin(), s.end(), [](std::int16_t v) { return std::abs(v) > 1000; }));
}

TEST(RenderTool, HeadphoneCopyAndPlayingToTheEnd) {
    test::TempDir dir;
    const auto in = dir / "in.mp3";
    test::writeMp3(in, {.seconds = 2.0});
    const auto out = dir / "out.wav";
    const ToolRun r =
        run("dj-mixora-render", {in.string(), out.string(), "--head-volume", "-600"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto mainWav = test::readFile(out);
    const auto headWav = test::readFile(dir / "out.head.wav");
    expectWavHeader(mainWav, 44100, 2);
    expectWavHeader(headWav, 44100, 2);
    ASSERT_EQ(mainWav.size(), headWav.size());

    // Until the deck ended: the song less at most the buffer the end cuts off, plus one period.
    const auto frames = referenceFrames(in);
    const double songSeconds = frames.size() * 1152.0 / 44100.0;
    const double rendered = static_cast<double>(mainWav.size() - 44) / 4 / 44100.0;
    EXPECT_GT(rendered, songSeconds - 0.3);
    EXPECT_LT(rendered, songSeconds + 0.1);

    // The headphones hear the same audio at their own volume (−6 dB), sample for sample.
    const auto m = samples(mainWav);
    const auto h = samples(headWav);
    const double gain = std::pow(10.0, -600 / 2000.0);
    double worst = 0;
    for (size_t i = 0; i < m.size(); ++i)
        worst = std::max(worst, std::abs(h[i] - m[i] * gain));
    EXPECT_LE(worst, 1.5);
}

TEST(RenderTool, EqAndFilterReachTheDeckAndItsHeadphoneCopy) {
    test::TempDir dir;
    const auto in = dir / "in.mp3";
    test::writeMp3(in, {.seconds = 1.5});
    const auto plain = dir / "plain.wav";
    const auto shaped = dir / "shaped.wav";
    ASSERT_EQ(run("dj-mixora-render", {in.string(), plain.string(), "--seconds", "1"}, dir.path()).status, 0);
    const ToolRun r = run("dj-mixora-render",
                          {in.string(), shaped.string(), "--seconds", "1", "--eq", "kill:-3.5:kill",
                           "--filter", "0.2", "--head-volume", "0"},
                          dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto p = samples(test::readFile(plain));
    const auto m = samples(test::readFile(shaped));
    EXPECT_EQ(m, samples(test::readFile(dir / "shaped.head.wav")));
    ASSERT_EQ(p.size(), m.size());
    EXPECT_NE(p, m);
    for (const char *bad : {"1:2", "1:2:3:4", "0:loud:0", "::"})
        EXPECT_EQ(run("dj-mixora-render", {in.string(), shaped.string(), "--eq", bad}, dir.path()).status, 2)
            << bad;
    EXPECT_EQ(run("dj-mixora-render", {in.string(), shaped.string(), "--filter", "left"}, dir.path()).status,
              2);
}

TEST(RenderTool, ALoopOnTheGivenGridRepeatsOneBeat) {
    test::TempDir dir;
    const auto in = dir / "in.mp3";
    const auto out = dir / "out.wav";
    test::writeMp3(in, {.seconds = 3.0});
    // 1.0 s lies nearest the grid line at 1.02 s (frame 44982); one beat at 120 BPM is 22050 frames.
    const ToolRun r = run("dj-mixora-render",
                          {in.string(), out.string(), "--seconds", "2.6", "--loop", "1:1", "--bpm", "120",
                           "--first-beat", "0.02", "--dir", dir.path().string()},
                          dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("loop: start 44982 length 22050"), std::string::npos) << r.out;
    const auto s = samples(test::readFile(out));
    ASSERT_EQ(s.size(), 2u * 114660);
    // Past the wrap's fade each repeat is the first one again, sample for sample.
    for (std::size_t k = 1; k <= 2; ++k)
        EXPECT_TRUE(std::equal(s.begin() + 2 * (44982 + 200), s.begin() + 2 * (44982 + 22050),
                               s.begin() + 2 * (44982 + 200 + k * 22050)))
            << "repeat " << k;
    for (const char *bad : {"1", "1:0", "x:1", "1:1/0"})
        EXPECT_EQ(
            run("dj-mixora-render", {in.string(), out.string(), "--loop", bad, "--bpm", "120"}, dir.path())
                .status,
            2)
            << bad;
    // No grid on the line and none stored for the song.
    EXPECT_EQ(run("dj-mixora-render",
                  {in.string(), out.string(), "--loop", "1:1", "--dir", dir.path().string()}, dir.path())
                  .status,
              2);
}

TEST(RenderTool, RefusesWhatItCannotPlay) {
    test::TempDir dir;
    const ToolRun r =
        run("dj-mixora-render", {(dir / "missing.mp3").string(), (dir / "out.wav").string()}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());
    test::writeMp3(dir / "in.mp3", {.seconds = 1.0});
    EXPECT_EQ(run("dj-mixora-render",
                  {(dir / "in.mp3").string(), (dir / "o.wav").string(), "--pitch", "fast"}, dir.path())
                  .status,
              2);
}

} // namespace
