// The longest stall of the window's event loop while a deck loads a 2-hour 320 kbps file (288 MB),
// is moved to nine tenths of the song at once and played, from a warm and from a cold page cache.
// A 1 ms timer on the window thread notes the longest gap between its ticks until the file's
// frame index is complete (and a little beyond); the deck plays on a device with its own clock so
// that the worker's refills run meanwhile.
//
// The file is made at run time (a minute encoded once, its frames repeated) and removed after.
// Cold: the file's pages are evicted with posix_fadvise; and, where permitted (root), the whole
// system cache is dropped, the program's code included; the output says which.
#include "app/Deck.h"
#include "app/MainForm.h"
#include "engine/sound/Sound.h"
#include "tests/support/Fixtures.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScrollBar>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace mixora;
namespace fs = std::filesystem;

constexpr int kMinutes = 120;
constexpr int kBitrateKbps = 320;
// After the index is complete the loop runs this much longer, to catch a late stall.
constexpr qint64 kTailMs = 300;
constexpr qint64 kGiveUpMs = 120000;

const fs::path &longFile() {
    static test::TempDir dir;
    static const fs::path file = [] {
        const auto minute =
            test::makeMp3({.seconds = 60.0, .bitrateKbps = kBitrateKbps, .writeInfoTag = false});
        const auto f = dir / "two-hours.mp3";
        std::ofstream out(f, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < kMinutes; ++i)
            out.write(reinterpret_cast<const char *>(minute.data()),
                      static_cast<std::streamsize>(minute.size()));
        return f;
    }();
    return file;
}

// Drops the file's pages from the cache, and with everything the whole system's cache (the
// program's own code included) where permitted; returns how.
const char *dropCache(const fs::path &file, bool everything) {
    ::sync();
    if (everything) {
        std::ofstream drop("/proc/sys/vm/drop_caches");
        if (drop && (drop << "3\n") && drop.flush())
            return "drop_caches, code included";
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "none";
    ::fdatasync(fd);
    const int r = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    return r == 0 ? "posix_fadvise(DONTNEED) of the file" : "none";
}

struct Window {
    std::shared_ptr<sound::Device> device = sound::Device::createNull("Haupt");
    app::TFormMixora window;
    std::unique_ptr<app::Deck> deck;

    Window() {
        ui::setMessageHandler([](const ui::MessageRequest &) { return ui::Answer::Ok; });
        app::DeckContext context;
        context.window = &window;
        context.table = [] { return nullptr; };
        context.mainDevice = [this] { return device.get(); };
        context.headDevice = [] { return nullptr; };
        deck = std::make_unique<app::Deck>(app::DeckSide::Links,
                                           app::DeckWidgets::find(&window, app::DeckSide::Links), context);
    }
};

enum class Cache { Warm, ColdFile, ColdSystem };

void measureLoad(benchmark::State &state, Cache cache) {
    const bool cold = cache != Cache::Warm;
    const fs::path &file = longFile();
    double worstStallMs = 0, loadMs = 0, seekPlayMs = 0, indexMs = 0;
    const char *how = "warm";
    for (auto _ : state) {
        state.PauseTiming();
        auto window = std::make_unique<Window>();
        Window &w = *window;
        if (cold)
            how = dropCache(file, cache == Cache::ColdSystem);
        else
            std::ifstream(file, std::ios::binary).ignore(std::numeric_limits<std::streamsize>::max());
        state.ResumeTiming();

        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0, worst = 0, loadedAt = -1, indexedAt = -1;
        QEventLoop loop;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            worst = std::max(worst, now - lastTick);
            lastTick = now;
            const qint64 ms = now / 1000000;
            engine::DoublePlayer *player = w.deck->player();
            if (indexedAt < 0 && player && player->inside().reader &&
                player->inside().reader->IndexComplete())
                indexedAt = ms;
            if ((indexedAt >= 0 && ms > indexedAt + kTailMs) || ms > kGiveUpMs)
                loop.quit();
        });
        auto since = [&](qint64 start) { return static_cast<double>(clock.nsecsElapsed() - start) / 1e6; };
        QTimer::singleShot(5, [&] {
            const qint64 start = clock.nsecsElapsed();
            loadedAt = start / 1000000;
            w.deck->loadFile(QString::fromStdString(file.string()));
            loadMs = std::max(loadMs, since(start));
        });
        // The user drags the seek bar far into the song right after loading, and plays.
        QTimer::singleShot(30, [&] {
            const qint64 start = clock.nsecsElapsed();
            QScrollBar *bar = w.deck->widgets().seekBar;
            bar->setValue(bar->maximum() / 10 * 9);
            w.deck->seekScroll(app::Deck::EndScroll);
            w.deck->play();
            seekPlayMs = std::max(seekPlayMs, since(start));
        });
        lastTick = clock.nsecsElapsed();
        ticker.start();
        loop.exec();
        ticker.stop();
        worstStallMs = std::max(worstStallMs, static_cast<double>(worst) / 1e6);
        if (indexedAt >= 0 && loadedAt >= 0)
            indexMs = std::max(indexMs, static_cast<double>(indexedAt - loadedAt));
        if (w.deck->stateWord() != app::Deck::kPlaying || indexedAt < 0)
            state.SkipWithError("the deck does not play the long file");
        state.PauseTiming();
        window.reset();
        state.ResumeTiming();
    }
    state.counters["longest_stall_ms"] = worstStallMs;
    state.counters["load_ms"] = loadMs;
    state.counters["seek_play_ms"] = seekPlayMs;
    state.counters["index_complete_ms"] = indexMs;
    std::printf("%s cache (%s): longest window stall %.1f ms; load %.1f ms, seek and play %.1f ms; index "
                "complete after %.0f ms (%s, %lld bytes)\n",
                cold ? "cold" : "warm", how, worstStallMs, loadMs, seekPlayMs, indexMs,
                file.filename().c_str(), static_cast<long long>(fs::file_size(file)));
}

// The same loop for a second with nothing to load: the machine's own jitter, for comparison.
void BM_IdleEventLoop(benchmark::State &state) {
    qint64 worst = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0;
        QEventLoop loop;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            worst = std::max(worst, now - lastTick);
            lastTick = now;
            if (now > 1000000000)
                loop.quit();
        });
        ticker.start();
        loop.exec();
    }
    state.counters["longest_stall_ms"] = static_cast<double>(worst) / 1e6;
}
BENCHMARK(BM_IdleEventLoop)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadLongFileWarm(benchmark::State &state) {
    measureLoad(state, Cache::Warm);
}
BENCHMARK(BM_LoadLongFileWarm)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadLongFileColdFile(benchmark::State &state) {
    measureLoad(state, Cache::ColdFile);
}
BENCHMARK(BM_LoadLongFileColdFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadLongFileColdSystem(benchmark::State &state) {
    measureLoad(state, Cache::ColdSystem);
}
BENCHMARK(BM_LoadLongFileColdSystem)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
