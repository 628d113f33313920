// Engine figures: a deck's refill (FillBuffer) against the half-buffer's playing time with both
// decks running, the reader's throughput against a bare libmpg123 decode of the same file, and
// the cost of mixing two pitched decks with their headphone copies.
#include "engine/DoublePlayer.h"
#include "engine/Mpg123Handle.h"
#include "tests/support/Fixtures.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using mixora::engine::DoublePlayer;
using mixora::engine::Mp3Player;
namespace sound = mixora::sound;
namespace test = mixora::test;
namespace fs = std::filesystem;

// The decoding benchmarks' file: the corpus's 20 s stream where present, else a fixture.
const fs::path &decodeFile() {
    static test::TempDir dir;
    static const fs::path file = [] {
        const auto corpus = test::corpusDir();
        if (!corpus.empty() && fs::exists(corpus / "MIPSTest.mp3"))
            return corpus / "MIPSTest.mp3";
        const auto f = dir / "fixture.mp3";
        test::writeMp3(f, {.seconds = 20.0});
        return f;
    }();
    return file;
}

const fs::path &deckFile() {
    static test::TempDir dir;
    static const fs::path file = [] {
        const auto f = dir / "deck.mp3";
        test::writeMp3(f, {.seconds = 60.0});
        return f;
    }();
    return file;
}

void BM_ReadFrames(benchmark::State &state) {
    Mp3Player reader(decodeFile().string());
    std::vector<std::uint8_t> half(static_cast<size_t>(5 * reader.frameBytes));
    std::int64_t frames = 0;
    for (auto _ : state) {
        if (reader.ReadFrames(5, half.data()) == Mp3Player::kEndOfInput)
            reader.Seek(0);
        else
            frames += 5;
        benchmark::DoNotOptimize(half.data());
    }
    state.SetItemsProcessed(frames);
}
BENCHMARK(BM_ReadFrames)->MinTime(2.0);

void BM_BareLibraryDecode(benchmark::State &state) {
    const mixora::engine::Mpg123Handle handle = mixora::engine::newMpg123Handle();
    mpg123_handle *mh = handle.get();
    if (!mh || mpg123_open(mh, decodeFile().c_str()) != MPG123_OK) {
        state.SkipWithError("cannot open the file");
        return;
    }
    std::int64_t frames = 0;
    off_t num = 0;
    unsigned char *audio = nullptr;
    size_t bytes = 0;
    for (auto _ : state) {
        // Five frames per iteration, as a refill asks for.
        for (int i = 0; i < 5; ++i) {
            const int r = mpg123_decode_frame(mh, &num, &audio, &bytes);
            if (r == MPG123_DONE)
                mpg123_seek_frame(mh, 0, SEEK_SET);
            else if (bytes > 0)
                ++frames;
            benchmark::DoNotOptimize(audio);
        }
    }
    state.SetItemsProcessed(frames);
}
BENCHMARK(BM_BareLibraryDecode)->MinTime(2.0);

double threadCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto at = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    return v[at];
}

// Both decks play on a device with its own real-time clock, their workers refilling; the
// measured refills are deck A's, called as the window calls them after a cue or seek.
void BM_FillBufferBothDecksRunning(benchmark::State &state) {
    auto aux = sound::Device::createNull("Aux");
    auto head = sound::Device::createNull("Head");
    DoublePlayer a(aux.get(), head.get());
    DoublePlayer b(aux.get(), head.get());
    if (a.Open(deckFile().string()) != 0 || b.Open(deckFile().string()) != 0) {
        state.SkipWithError("cannot open the deck file");
        return;
    }
    for (auto *p : {&a, &b}) {
        p->SetVolume(0);
        p->SetHeadVolume(-600);
        p->SetPitch(37);
        p->Play();
    }
    const std::int32_t half = a.inside().reader->bufferBytes / 2;
    const double halfMs = 5.0 * a.inside().reader->frameBytes / a.inside().reader->bytesPerSecond * 1000.0;
    std::vector<double> micros;
    std::vector<double> cpuMicros;
    micros.reserve(100000);
    cpuMicros.reserve(100000);
    std::int32_t offset = 0;
    for (auto _ : state) {
        const double cpuStart = threadCpuMicros();
        const auto start = std::chrono::steady_clock::now();
        a.FillBuffer(offset);
        const auto end = std::chrono::steady_clock::now();
        cpuMicros.push_back(threadCpuMicros() - cpuStart);
        const double us = std::chrono::duration<double, std::micro>(end - start).count();
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
        offset = offset == 0 ? half : 0;
    }
    if (micros.empty())
        return;
    const double p50 = percentile(micros, 0.5), p99 = percentile(micros, 0.99),
                 p999 = percentile(micros, 0.999);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["p99.9_us"] = p999;
    state.counters["p99.9_of_half_%"] = p999 / 1000.0 / halfMs * 100.0;
    // The same refills in this thread's own CPU time: what they cost without the machine's load.
    state.counters["cpu_p50_us"] = percentile(cpuMicros, 0.5);
    state.counters["cpu_p99.9_us"] = percentile(cpuMicros, 0.999);
    state.counters["worker_refills"] =
        static_cast<double>(a.inside().workerRefills + b.inside().workerRefills);
}
BENCHMARK(BM_FillBufferBothDecksRunning)->UseManualTime()->Iterations(20000);

// Mixing cost of two decks with pitch and headphone copies, as a share of one core: the time
// to mix one period on both cards over the period's playing time. The workers are held so that
// only the mix is measured.
void BM_MixTwoPitchedDecksWithHeadphones(benchmark::State &state) {
    auto aux = sound::Device::createManual("Aux");
    auto head = sound::Device::createManual("Head");
    DoublePlayer a(aux.get(), head.get());
    DoublePlayer b(aux.get(), head.get());
    if (a.Open(deckFile().string()) != 0 || b.Open(deckFile().string()) != 0) {
        state.SkipWithError("cannot open the deck file");
        return;
    }
    a.SetPitch(37);
    b.SetPitch(-52);
    for (auto *p : {&a, &b}) {
        p->SetVolume(-300);
        p->SetHeadVolume(-600);
        p->Play();
        p->SuspendWorker();
    }
    constexpr std::size_t kPeriod = 512;
    std::vector<std::int16_t> out(2 * kPeriod);
    for (auto _ : state) {
        head->render(out.data(), kPeriod);
        aux->render(out.data(), kPeriod);
        benchmark::DoNotOptimize(out.data());
    }
    const double periodSeconds = static_cast<double>(kPeriod) / sound::kDeviceRate;
    state.counters["core_share_%"] = benchmark::Counter(
        periodSeconds / 100.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MixTwoPitchedDecksWithHeadphones)->MinTime(1.0);

// What one playing deck's worker costs: the song is rendered through an offline device, which waits
// for every refill it signals, and the worker's CPU time (the process's less this thread's, the index
// finished before) is set against the audio's playing time. The view keeps the last texts as a deck's
// window would, so the worker's reports are part of the figure.
class KeepingView : public mixora::engine::DeckView {
public:
    void setSeekRange(std::int32_t, int, int) override {}
    void setSeekPosition(std::int32_t position) override { benchmark::DoNotOptimize(position); }
    void setTimeText(const std::string &text) override { last = text; }
    void setStateWord(const std::string &) override {}
    std::string last = std::string(32, ' ');
};

double processCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

void BM_WorkerOneDeckPlaying(benchmark::State &state) {
    auto main = sound::Device::createOffline("Haupt");
    KeepingView view;
    DoublePlayer deck(main.get(), nullptr);
    deck.SetView(&view);
    if (deck.Open(deckFile().string()) != 0) {
        state.SkipWithError("cannot open the deck file");
        return;
    }
    while (!deck.IndexComplete())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    deck.SetVolume(0);
    deck.Play();
    constexpr std::size_t kSecond = sound::kDeviceRate;
    std::vector<std::int16_t> out(2 * kSecond);
    double workerMicros = 0.0;
    double audioSeconds = 0.0;
    for (auto _ : state) {
        const double process = processCpuMicros();
        const double own = threadCpuMicros();
        main->render(out.data(), kSecond);
        workerMicros += (processCpuMicros() - process) - (threadCpuMicros() - own);
        audioSeconds += 1.0;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["worker_core_share_%"] = workerMicros / 1e6 / audioSeconds * 100.0;
    state.counters["worker_refills"] = static_cast<double>(deck.inside().workerRefills);
}
// The 60 s song plays once through (without its end).
BENCHMARK(BM_WorkerOneDeckPlaying)->Iterations(50)->Unit(benchmark::kMillisecond);

// Keeps the reader's and the bare library's throughput to print their ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &run : runs) {
            const auto it = run.counters.find("items_per_second");
            if (it != run.counters.end())
                rates[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto reader = reporter.rates.find("BM_ReadFrames/min_time:2.000");
    const auto bare = reporter.rates.find("BM_BareLibraryDecode/min_time:2.000");
    if (reader != reporter.rates.end() && bare != reporter.rates.end() && bare->second > 0)
        std::printf("ReadFrames throughput: %.1f %% of the bare libmpg123 decode loop (%s)\n",
                    100.0 * reader->second / bare->second, decodeFile().filename().c_str());
    benchmark::Shutdown();
    return 0;
}
