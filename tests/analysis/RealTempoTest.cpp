// Tempo and beat grid on real music: songs composed by people (tracker modules and MIDI songs),
// rendered and encoded at test time into the build folder (kept there for later runs), with
// their tempo and first beat known exactly from the files.
#include "analysis/Analysis.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace mixora::analysis {
namespace {

namespace fs = std::filesystem;

// lame's encoder delay plus libmpg123's decoder delay, without gapless trimming.
constexpr double kCodecDelaySeconds = (576 + 529) / 44100.0;

struct Truth {
    std::string name;
    double bpm = 0.0;
    double firstBeat = 0.0;
    bool octaveUnambiguous = false;
};

std::vector<Truth> readTruth(const fs::path &file) {
    std::vector<Truth> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string path, bpm, first, unambiguous;
        std::getline(fields, path, '\t');
        std::getline(fields, bpm, '\t');
        std::getline(fields, first, '\t');
        std::getline(fields, unambiguous, '\t');
        out.push_back(
            {fs::path(path).filename().string(), std::stod(bpm), std::stod(first), unambiguous == "1"});
    }
    return out;
}

bool near(double ratio, double factor, double share) {
    return std::abs(ratio / factor - 1) <= share;
}

TEST(RealTempo, DevelopmentSetMeetsTheFourRates) {
    const fs::path corpus = test::corpusDir();
    const fs::path set = corpus.empty() ? fs::path() : corpus / "realtempo-dev";
    if (set.empty() || !fs::exists(set / "truth.tsv"))
        GTEST_SKIP() << "the real-music set realtempo-dev is absent beside the project";
    const fs::path out = fs::path(MIXORA_BIN_DIR).parent_path() / "realtempo-dev";
    const test::CommandRun render =
        test::runCommand("bash '" + (set / "render.sh").string() + "' '" + out.string() + "' 2>&1");
    if (render.status != 0)
        GTEST_SKIP() << "the set could not be rendered (its renderer is absent): " << render.out;

    int songs = 0, found = 0, unambiguous = 0, sameOctave = 0, accuracy2 = 0, beatOk = 0;
    for (const Truth &t : readTruth(set / "truth.tsv")) {
        const fs::path mp3 = out / (t.name + ".mp3");
        ASSERT_TRUE(fs::exists(mp3)) << mp3;
        std::string error;
        const auto r = analyseFile(mp3.string(), Options{}, nullptr, &error);
        ASSERT_TRUE(r) << t.name << ": " << error;
        ++songs;
        unambiguous += t.octaveUnambiguous;
        std::printf("%-40s %7.2f -> ", t.name.c_str(), t.bpm);
        if (!r->bpm) {
            std::printf("no tempo\n");
            continue;
        }
        const double bpm = *r->bpm;
        const double ratio = bpm / t.bpm;
        bool family = false;
        for (double f : {0.5, 1.0, 2.0})
            family = family || std::abs(bpm - f * t.bpm) <= 0.05;
        found += family;
        sameOctave += t.octaveUnambiguous && std::abs(bpm - t.bpm) <= 0.05;
        bool close = false;
        for (double f : {1.0 / 3, 0.5, 2.0 / 3, 1.0, 1.5, 2.0, 3.0})
            close = close || near(ratio, f, 0.02);
        accuracy2 += close;
        // The first beat's distance from the nearest beat of the truth's grid.
        const double period = 60.0 / t.bpm;
        double errorMs = 1e9;
        if (r->firstBeatSeconds) {
            const double d = *r->firstBeatSeconds - (t.firstBeat + kCodecDelaySeconds);
            errorMs = 1000 * (d - period * std::round(d / period));
        }
        if (family)
            beatOk += std::abs(errorMs) <= 15.0;
        std::printf("%7.2f (x%.3f)%s first beat %7.3f s, %+7.1f ms%s\n", bpm, ratio, family ? "" : " WRONG",
                    r->firstBeatSeconds.value_or(-1), errorMs,
                    family && std::abs(errorMs) > 15.0 ? " OFF" : "");
    }
    const auto share = [](int n, int of) { return of > 0 ? static_cast<double>(n) / of : 0.0; };
    std::printf("%d songs: tempo (any octave) %.1f %%, own octave %.1f %% of %d, accuracy 2 %.1f %%, "
                "first beat within 15 ms %.1f %% of %d found\n",
                songs, 100 * share(found, songs), 100 * share(sameOctave, unambiguous), unambiguous,
                100 * share(accuracy2, songs), 100 * share(beatOk, found), found);
    ASSERT_GE(songs, 40);
    EXPECT_GE(share(found, songs), 0.95);
    EXPECT_GE(share(sameOctave, unambiguous), 0.95);
    EXPECT_GE(share(accuracy2, songs), 0.99);
    EXPECT_GE(share(beatOk, found), 0.95);
}

} // namespace
} // namespace mixora::analysis
