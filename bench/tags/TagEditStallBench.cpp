// The longest stall of the editor window's event loop while a post rewrites the tags of a 100 MB
// file (an ID3v2 tag in front, so the whole file is copied into a new one and synced). A 1 ms
// timer on the window thread notes the longest gap between its ticks from the post until the
// file holds the new title (and a little beyond). For comparison, the same rewrite called on the
// window thread itself, as the write-back once ran.
#include "library/SongTableModel.h"
#include "library/SongTags.h"
#include "library/Suche.h"
#include "tests/support/Fixtures.h"
#include "tests/tags/TagBuilders.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QToolButton>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

using namespace mixora;
namespace fs = std::filesystem;
using namespace mixora::test::tagbytes;

constexpr int kMinutes = 42; // at 320 kbps: about 100 MB
constexpr qint64 kTailMs = 200;
constexpr qint64 kGiveUpMs = 120000;

struct Library {
    test::TempDir dir;
    fs::path file = dir / "long.mp3";
    TDataModule1 data;
    Library() {
        const auto minute = test::makeMp3({.seconds = 60.0, .bitrateKbps = 320, .writeInfoTag = false});
        const Bytes v2 = tag(3, {text(3, "TIT2", "Old"), text(3, "TPE1", "Artist")}, 512);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(v2.data()), static_cast<std::streamsize>(v2.size()));
        for (int i = 0; i < kMinutes; ++i)
            out.write(reinterpret_cast<const char *>(minute.data()),
                      static_cast<std::streamsize>(minute.size()));
        out.close();
        data.openOrCreate(dir.path());
        SongRecord r;
        r[kFieldDateiname] = file.string();
        r[kFieldTitel] = std::string("Old");
        r[kFieldInterpret] = std::string("Artist");
        data.Table1.appendRecord(r);
    }
};

// Runs the window's loop with the ticker; `act` starts 5 ms in, `finished` ends the measurement.
double longestStallMs(const std::function<void()> &act, const std::function<bool()> &finished,
                      double &doneAfterMs) {
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, worst = 0, doneAt = -1;
    QEventLoop loop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    bool started = false;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worst = std::max(worst, now - lastTick);
        lastTick = now;
        const qint64 ms = now / 1000000;
        if (started && doneAt < 0 && finished())
            doneAt = ms;
        if ((doneAt >= 0 && ms > doneAt + kTailMs) || ms > kGiveUpMs)
            loop.quit();
    });
    QTimer::singleShot(5, [&] {
        act();
        started = true;
    });
    lastTick = clock.nsecsElapsed();
    ticker.start();
    loop.exec();
    doneAfterMs = static_cast<double>(doneAt);
    return static_cast<double>(worst) / 1e6;
}

// The same loop for half a second with nothing to do: the machine's own jitter, for comparison.
void BM_IdleEventLoop(benchmark::State &state) {
    double worst = 0, done = 0;
    for (auto _ : state) {
        QElapsedTimer since;
        since.start();
        worst = std::max(worst, longestStallMs([] {}, [&] { return since.elapsed() > 500; }, done));
    }
    state.counters["longest_stall_ms"] = worst;
    std::printf("idle event loop: longest stall %.1f ms\n", worst);
}
BENCHMARK(BM_IdleEventLoop)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_EditorPostOf100MbFile(benchmark::State &state) {
    ui::setMessageHandler([](const ui::MessageRequest &) { return ui::Answer::Ok; });
    Library lib;
    TFormDatenBearbeiten form(lib.data);
    form.show();
    double worst = 0, done = 0;
    int round = 0;
    for (auto _ : state) {
        const QString title = QStringLiteral("Title %1").arg(++round);
        const double stall = longestStallMs(
            [&] {
                auto &model = form.model();
                model.sync();
                model.setData(model.index(model.currentRow(), 1), title);
                form.findChild<QToolButton *>("nbPost")->click();
            },
            [&] { return !lib.data.tagWritesPending(); }, done);
        worst = std::max(worst, stall);
        if (readSongTags(lib.file).title != title.toStdString())
            state.SkipWithError("the post did not reach the file");
    }
    state.counters["longest_stall_ms"] = worst;
    state.counters["written_after_ms"] = done;
    std::printf("editor post, background write: longest window stall %.1f ms; file written after %.0f ms "
                "(%lld bytes)\n",
                worst, done, static_cast<long long>(fs::file_size(lib.file)));
}
BENCHMARK(BM_EditorPostOf100MbFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_RewriteOnTheWindowThread(benchmark::State &state) {
    Library lib;
    double worst = 0, done = 0;
    int round = 0;
    for (auto _ : state) {
        const std::string title = "Inline " + std::to_string(++round);
        bool written = false;
        const double stall = longestStallMs(
            [&] {
                written = writeId3Tag(lib.file, {title, "Artist", "", ""}).ok();
            },
            [&] { return true; }, done);
        worst = std::max(worst, stall);
        if (!written)
            state.SkipWithError("the rewrite failed");
    }
    state.counters["longest_stall_ms"] = worst;
    std::printf("the same rewrite on the window thread: longest window stall %.1f ms\n", worst);
}
BENCHMARK(BM_RewriteOnTheWindowThread)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
