// From a click on a deck's play panel to the first audible sample leaving the main device,
// counted in device periods of a manual device (512 frames, as the null device and a typical
// sound card run), with the deck cued inside the song so the encoder's silent lead-in does not
// count. Also the cost of the click's handler on the window thread.
#include "app/Deck.h"
#include "app/MainForm.h"
#include "engine/sound/Sound.h"
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QScrollBar>
#include <QTest>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

namespace {

using namespace mixora;

constexpr std::size_t kPeriodFrames = 512;
constexpr int kMaxPeriods = 64;

struct Setup {
    test::TempDir dir;
    std::shared_ptr<sound::Device> device = sound::Device::createManual("Haupt");
    TDataModule1 data;
    app::TFormMixora window;
    std::unique_ptr<app::Deck> deck;

    Setup() {
        ui::setMessageHandler([](const ui::MessageRequest &) { return ui::Answer::Ok; });
        data.openOrCreate(dir.path());
        const auto file = dir / "tone.mp3";
        test::writeMp3(file, {.seconds = 20});
        SongRecord row{};
        row[kFieldDateiname] = file.string();
        data.Table1.appendRecord(row);
        app::DeckContext context;
        context.window = &window;
        context.table = [this] { return &data.Table1; };
        context.mainDevice = [this] { return device.get(); };
        context.headDevice = [] { return nullptr; };
        deck = std::make_unique<app::Deck>(app::DeckSide::Links,
                                           app::DeckWidgets::find(&window, app::DeckSide::Links), context);
        deck->load();
        // Cue well inside the song: search there and press Cue.
        QScrollBar *bar = deck->widgets().seekBar;
        bar->setValue(bar->maximum() / 3);
        deck->seekScroll(app::Deck::EndScroll);
        deck->cue();
    }
};

void BM_PlayClickToFirstSound(benchmark::State &state) {
    Setup s;
    QWidget *playPanel = s.deck->widgets().play;
    std::int64_t periodsTotal = 0, framesTotal = 0, clicks = 0;
    double handlerSeconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (s.deck->stateWord() != app::Deck::kCued) {
            s.deck->play(); // pause, then back to the cue point
            s.deck->cue();
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        QTest::mousePress(playPanel, Qt::LeftButton);
        handlerSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        int periods = 0;
        std::int64_t firstFrame = -1;
        while (firstFrame < 0 && periods < kMaxPeriods) {
            const auto samples = s.device->render(kPeriodFrames);
            ++periods;
            for (std::size_t i = 0; i < samples.size(); ++i)
                if (samples[i] != 0) {
                    firstFrame = static_cast<std::int64_t>((periods - 1) * kPeriodFrames + i / 2);
                    break;
                }
        }
        if (firstFrame < 0) {
            state.SkipWithError("no sound after the Play click");
            break;
        }
        periodsTotal += periods;
        framesTotal += firstFrame;
        ++clicks;
        QTest::mouseRelease(playPanel, Qt::LeftButton);
        state.ResumeTiming();
    }
    if (clicks > 0) {
        state.counters["periods_to_sound"] = static_cast<double>(periodsTotal) / static_cast<double>(clicks);
        state.counters["frames_to_sound"] = static_cast<double>(framesTotal) / static_cast<double>(clicks);
        state.counters["handler_us"] = 1e6 * handlerSeconds / static_cast<double>(clicks);
    }
}
BENCHMARK(BM_PlayClickToFirstSound)->Unit(benchmark::kMicrosecond)->Iterations(200);

} // namespace
