// How well a second deck's start lands on the playing deck's beats, measured on the rendered
// output of both decks with songs of the generated suite at many tempos: the synced start
// (beats on beats, tempo matched) and auto-play's start on a beat of the ending song.
#include "tests/beat/BeatHarness.h"
#include "tests/beat/PhaseProbe.h"

#include "app/MainFormPlaylist.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace mixora::test {
namespace {

constexpr double kSongSeconds = 30.0;
// Past the silent lead-in some songs have before their first beat: silence says nothing of where
// a deck plays.
constexpr double kMeasureAfterSeconds = 3.0;

struct Decoded {
    std::vector<float> mono;
    int rate = 0;
};

// Songs that beat from their first bar, paired where their tempos (or half or double) lie
// within 15 %, each song in one pair, so the pairs spread over the suite's tempos.
std::vector<std::pair<SongRecipe, SongRecipe>> suitePairs(std::size_t wanted) {
    std::vector<SongRecipe> songs;
    for (SongRecipe recipe : songSuite())
        if (recipe.steadyBeat && recipe.introBars == 0 && recipe.jitterMs <= 2.0) {
            recipe.seconds = kSongSeconds;
            songs.push_back(recipe);
        }
    std::vector<int> uses(songs.size(), 0);
    std::vector<std::pair<SongRecipe, SongRecipe>> pairs;
    for (std::size_t i = 0; i < songs.size() && pairs.size() < wanted; ++i)
        for (std::size_t j = i + 1; j < songs.size() && uses[i] < 1 && pairs.size() < wanted; ++j) {
            const double r = songs[j].bpm / songs[i].bpm;
            const double nearest = std::exp2(std::round(std::log2(r)));
            if (uses[j] < 1 && std::abs(r / nearest - 1) <= 0.15 && std::abs(r - 1) > 0.005) {
                pairs.emplace_back(songs[i], songs[j]);
                ++uses[i];
                ++uses[j];
            }
        }
    return pairs;
}

class BeatPhase : public BeatHarness {
protected:
    // The beat distance (ms) between deck B's beat near output frame x (its first beat after
    // its start when firstAfter is set) and the nearest beat of deck A, from where each
    // deck's output comes from at x.
    double phaseErrorMs(const Song &a, const Decoded &da, const std::vector<float> &outA, const Song &b,
                        const Decoded &db, const std::vector<float> &outB, std::size_t x, double startSourceB,
                        bool firstAfter, std::uint64_t deviceBase) {
        // The players' clocks are those of the last render, whose frame x is device frame base + x.
        const auto guess = [&x, deviceBase](const engine::DoublePlayer &p) {
            const auto c = *p.Clock();
            return c.sourceFrame +
                   (static_cast<double>(deviceBase + x) - static_cast<double>(c.deviceFrame)) * c.rate;
        };
        // Silence (a lead-in, a break) says nothing of where a deck plays: measure where both sound.
        const auto sounding = [](const std::vector<float> &out, std::size_t at) {
            double sum = 0;
            for (std::size_t i = at; i < std::min(out.size(), at + 8192); ++i)
                sum += static_cast<double>(out[i]) * out[i];
            return sum / 8192 > 300.0 * 300.0;
        };
        const std::size_t quarter = sound::kDeviceRate / 4;
        while (x + 8192 + quarter < outA.size() && !(sounding(outA, x) && sounding(outB, x)))
            x += quarter;
        const double stepA = links->player()->Clock()->rate;
        const double stepB = rechts->player()->Clock()->rate;
        const double sA = locateSource(outA, x, da.mono, stepA, guess(*links->player()));
        const double sB = locateSource(outB, x, db.mono, stepB, guess(*rechts->player()));
        const double periodA = 60.0 / a.recipe.bpm * da.rate; // source frames
        const double periodB = 60.0 / b.recipe.bpm * db.rate;
        const double beatsB = (sB - b.trueFirstBeat * db.rate) / periodB;
        const double kB =
            firstAfter ? std::ceil((startSourceB - b.trueFirstBeat * db.rate) / periodB) : std::round(beatsB);
        const double xb = static_cast<double>(x) + (kB - beatsB) * periodB / stepB; // output frame
        // A deck heard twice as fast as the other beats between its beats as well.
        const double heardRatio = (b.recipe.bpm * stepB * sound::kDeviceRate / db.rate) /
                                  (a.recipe.bpm * stepA * sound::kDeviceRate / da.rate);
        const double sub = heardRatio > 1.5 ? 2.0 : 1.0;
        const double sAatB = sA + (xb - static_cast<double>(x)) * stepA;
        const double beatsA = (sAatB - a.trueFirstBeat * da.rate) / periodA * sub;
        const double off = beatsA - std::round(beatsA);
        return off * periodA / sub / stepA / sound::kDeviceRate * 1000.0;
    }

    // A suite song in the library, analysed, with its decoded audio; made once per song.
    const std::pair<Song, Decoded> &prepared(const SongRecipe &recipe) {
        auto found = songs.find(recipe.name);
        if (found == songs.end()) {
            std::pair<Song, Decoded> entry{addSuiteSong(recipe), Decoded{}};
            entry.second.mono = decodeMono(entry.first.path, entry.second.rate);
            found = songs.emplace(recipe.name, std::move(entry)).first;
        }
        return found->second;
    }
    std::map<std::string, std::pair<Song, Decoded>> songs;

    // One start of B beside a playing A; the output once with only A audible, once with only B.
    struct Render {
        std::vector<float> onlyA, onlyB;
        std::size_t playFrame = 0;
        std::uint64_t lastBase = 0; // device frame of the last render's first frame
    };
    // Whole periods of the offline device, so the two renders of a start meet every action at
    // the same place of a period and come out alike.
    std::vector<std::int16_t> renderPeriods(double seconds) {
        const std::size_t period = sound::Device::offlinePeriodFrames();
        const auto frames =
            static_cast<std::size_t>(seconds * sound::kDeviceRate + period - 1) / period * period;
        returned += frames;
        return mainDevice->render(frames);
    }
    std::uint64_t returned = 0;
    Render renderStart(const Song &a, const Song &b, bool sync, double lead) {
        Render r;
        for (const bool hearA : {true, false}) {
            loadInto(*links, a);
            loadInto(*rechts, b);
            window->ui.btSync_Rechts->setChecked(false);
            window->ui.SBarPitchRechts->setValue(0);
            window->ui.SBVolume_Links->setValue(hearA ? 0 : 10000);
            window->ui.SBVolume_Rechts->setValue(hearA ? 10000 : 0);
            r.lastBase = returned;
            std::vector<std::int16_t> out = renderPeriods(0.05);
            links->play();
            const auto more = renderPeriods(lead);
            out.insert(out.end(), more.begin(), more.end());
            if (sync) {
                QTest::mouseClick(window->ui.btSync_Rechts, Qt::LeftButton);
                EXPECT_TRUE(rechts->synced()) << a.recipe.name << " / " << b.recipe.name;
            }
            r.playFrame = out.size() / 2;
            if (sync)
                rechts->play();
            else
                app::deckFunctions(*rechts).play(); // as auto-play starts the next song
            const auto after = renderPeriods(4.0);
            out.insert(out.end(), after.begin(), after.end());
            (hearA ? r.onlyA : r.onlyB) = toMono(out);
        }
        return r;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

TEST_F(BeatPhase, SyncedAndAutoPlayStartsLandOnTheOtherDecksBeats) {
    const auto pairs = suitePairs(22);
    ASSERT_GE(pairs.size(), 20u);
    std::vector<double> syncErrors, beatErrors;
    int index = 0;
    for (const auto &[recipeA, recipeB] : pairs) {
        const auto &[a, da] = prepared(recipeA);
        const auto &[b, db] = prepared(recipeB);
        // Start B at a different moment of A each time, so every phase of A's beat is met.
        const double lead = 2.0 + 0.173 * index++;

        const Render synced = renderStart(a, b, true, lead);
        const std::size_t x =
            synced.playFrame + static_cast<std::size_t>(kMeasureAfterSeconds * sound::kDeviceRate);
        const double syncMs =
            phaseErrorMs(a, da, synced.onlyA, b, db, synced.onlyB, x, 0, false, synced.lastBase);

        const Render onBeat = renderStart(a, b, false, lead);
        const std::size_t y =
            onBeat.playFrame + static_cast<std::size_t>(kMeasureAfterSeconds * sound::kDeviceRate);
        const double beatMs =
            phaseErrorMs(a, da, onBeat.onlyA, b, db, onBeat.onlyB, y, 0, true, onBeat.lastBase);

        std::printf("%-8s %6.2f BPM + %-8s %6.2f BPM: sync %+6.2f ms, auto-play %+6.2f ms\n",
                    a.recipe.name.c_str(), a.recipe.bpm, b.recipe.name.c_str(), b.recipe.bpm, syncMs, beatMs);
        syncErrors.push_back(std::abs(syncMs));
        beatErrors.push_back(std::abs(beatMs));
    }
    const double syncMax = *std::max_element(syncErrors.begin(), syncErrors.end());
    const double beatMax = *std::max_element(beatErrors.begin(), beatErrors.end());
    std::printf(
        "%zu pairs: sync start median %.2f ms, max %.2f ms; auto-play start median %.2f ms, max %.2f ms\n",
        syncErrors.size(), median(syncErrors), syncMax, median(beatErrors), beatMax);
    EXPECT_LE(median(syncErrors), 3.0);
    EXPECT_LE(syncMax, 10.0);
    EXPECT_LE(median(beatErrors), 3.0);
    EXPECT_LE(beatMax, 10.0);
    EXPECT_TRUE(messages.empty());
}

} // namespace
} // namespace mixora::test
