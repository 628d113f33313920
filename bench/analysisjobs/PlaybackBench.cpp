// Playback beside a library's analysis: a deck's refill (FillBuffer) with both decks playing on
// a real-time null device, once alone and once while the job queue analyses songs without end
// on all cores but one. The refill's p99.9 is reported against the half-buffer's playing time,
// with the devices' underflows (periods their clock mixed late).
#include "analysis/Jobs.h"
#include "engine/DoublePlayer.h"
#include "tests/support/Fixtures.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

namespace {

using namespace mixora;
namespace fs = std::filesystem;

constexpr int kLibrarySongs = 8;

struct Library {
    test::TempDir dir;
    std::vector<fs::path> songs;
    fs::path deck;
    Library() {
        for (int i = 0; i < kLibrarySongs; ++i) {
            songs.push_back(dir / ("song" + std::to_string(i) + ".mp3"));
            test::writeMp3(songs.back(), {.seconds = 90.0, .frequencyHz = 220.0 + 40.0 * i});
        }
        deck = dir / "deck.mp3";
        test::writeMp3(deck, {.seconds = 60.0});
    }
};

const Library &library() {
    static const Library lib;
    return lib;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void BM_RefillBesideAnalysis(benchmark::State &state) {
    const bool analysing = state.range(0) != 0;
    const Library &lib = library();
    std::atomic<long> analysed{0};
    std::atomic<double> audioSeconds{0.0};
    std::atomic<std::int64_t> next{0};
    std::unique_ptr<analysis::JobQueue> queue;
    // The workers reach the queue through this while its destructor stops them (add then refuses).
    analysis::JobQueue *target = nullptr;
    // Every finished song is queued again under a new number, so the analysis never runs dry.
    auto again = [&](analysis::JobQueue &q) {
        const std::int64_t n = next++;
        q.add(analysis::SongRef{n, lib.songs[static_cast<std::size_t>(n % kLibrarySongs)].string()},
              analysis::Lane::Library);
    };
    if (analysing) {
        queue = std::make_unique<analysis::JobQueue>(
            [](const std::string &path, const std::atomic<bool> *cancel, std::string *error) {
                return analysis::analyseFile(path, analysis::Options{}, cancel, error);
            },
            [&](analysis::Outcome o) {
                ++analysed;
                if (o.result)
                    audioSeconds = audioSeconds + o.result->durationSeconds;
                again(*target);
            });
        target = queue.get();
        queue->setDecksPlaying(true); // as the program does while its decks play
        for (int i = 0; i < 2 * queue->threads(); ++i)
            again(*queue);
    }

    auto aux = sound::Device::createNull("Aux");
    auto head = sound::Device::createNull("Head");
    engine::DoublePlayer a(aux.get(), head.get());
    engine::DoublePlayer b(aux.get(), head.get());
    if (a.Open(lib.deck.string()) != 0 || b.Open(lib.deck.string()) != 0) {
        state.SkipWithError("cannot open the deck file");
        return;
    }
    for (auto *p : {&a, &b}) {
        p->SetPitch(37);
        p->Play();
    }
    const std::int32_t half = a.inside().reader->bufferBytes / 2;
    const double halfUs = 5.0 * a.inside().reader->frameBytes / a.inside().reader->bytesPerSecond * 1e6;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(state.max_iterations));
    std::int32_t offset = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        a.FillBuffer(offset);
        const double us =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
        offset = offset == 0 ? half : 0;
        // At the pace the decks refill (about four times a half-buffer), so the run lasts long
        // enough for many songs to be analysed beside it.
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(halfUs / 8)));
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    a.Stop();
    b.Stop();
    queue.reset();
    const double p999 = percentile(micros, 0.999);
    state.counters["p50_us"] = percentile(micros, 0.5);
    state.counters["p99.9_us"] = p999;
    state.counters["p99.9_of_half_%"] = p999 / halfUs * 100.0;
    state.counters["max_us"] = *std::max_element(micros.begin(), micros.end());
    state.counters["worker_refills"] =
        static_cast<double>(a.inside().workerRefills + b.inside().workerRefills);
    state.counters["underflows"] = static_cast<double>(aux->underflows() + head->underflows());
    state.counters["songs_analysed"] = static_cast<double>(analysed.load());
    state.counters["analysis_x_realtime"] = audioSeconds.load() / wall;
}
BENCHMARK(BM_RefillBesideAnalysis)->ArgName("analysing")->Arg(0)->Arg(1)->UseManualTime()->Iterations(4000);

} // namespace

BENCHMARK_MAIN();
