// Speed of the whole analysis, decoding included, as a multiple of real time on one core, and
// the stored overview's size. The songs come from the generated suite.
#include "analysis/Analysis.h"
#include "analysis/Mp3Source.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SongSuite.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

namespace {

using namespace mixora;

struct Songs {
    test::TempDir dir;
    std::filesystem::path fiveMinutes;
    std::filesystem::path fiveMinutesVbr;
    Songs() {
        test::SongRecipe recipe = test::songSuite()[30];
        recipe.seconds = 300;
        fiveMinutes = dir / "five-minutes.mp3";
        test::writeFile(fiveMinutes, test::encodeSong(recipe).mp3);
        recipe.vbr = true;
        fiveMinutesVbr = dir / "five-minutes-vbr.mp3";
        test::writeFile(fiveMinutesVbr, test::encodeSong(recipe).mp3);
    }
};

Songs &songs() {
    static Songs s;
    return s;
}

void analyse(benchmark::State &state, const std::filesystem::path &file) {
    double audioSeconds = 0.0;
    std::size_t overviewBytes = 0;
    for (auto _ : state) {
        const auto r = analysis::analyseFile(file.string(), analysis::Options{});
        if (!r) {
            state.SkipWithError("analysis failed");
            return;
        }
        audioSeconds += r->durationSeconds;
        overviewBytes = r->overview.size();
        benchmark::DoNotOptimize(r->bpm);
    }
    // Audio seconds per CPU second: the multiple of real time on one core.
    state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
    state.counters["overview_bytes"] = static_cast<double>(overviewBytes);
}

void BM_AnalyseFiveMinuteSong(benchmark::State &state) {
    analyse(state, songs().fiveMinutes);
}
BENCHMARK(BM_AnalyseFiveMinuteSong)->Unit(benchmark::kMillisecond);

void BM_AnalyseFiveMinuteVbrSong(benchmark::State &state) {
    analyse(state, songs().fiveMinutesVbr);
}
BENCHMARK(BM_AnalyseFiveMinuteVbrSong)->Unit(benchmark::kMillisecond);

// Decoding alone, for the share the analysis adds on top of it.
void BM_DecodeFiveMinuteSong(benchmark::State &state) {
    double audioSeconds = 0.0;
    for (auto _ : state) {
        analysis::Mp3Source source(songs().fiveMinutes.string());
        analysis::Mp3Source::Frame frame;
        std::int64_t samples = 0;
        while (source.next(frame))
            samples += frame.count;
        audioSeconds += static_cast<double>(samples) / source.sampleRate();
    }
    state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeFiveMinuteSong)->Unit(benchmark::kMillisecond);

void BM_AnalyseCorpusSong(benchmark::State &state) {
    const auto dir = test::corpusDir();
    if (dir.empty()) {
        state.SkipWithError("test corpus ../shared/corpus is absent beside the project");
        return;
    }
    analyse(state, dir / "MIPSTest.mp3");
}
BENCHMARK(BM_AnalyseCorpusSong)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
