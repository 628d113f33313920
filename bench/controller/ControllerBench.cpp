// Controllers on JACK MIDI against the real window, both decks playing on null devices (their own
// real-time clocks):
//  1. Message to engine: a 14-bit pitch or crossfader pair, or a 7-bit EQ knob, arrives in the
//     program's JACK process callback; the time until the engine's value is written and until a
//     thread watching the deck's sound buffer sees it. Median, 99th percentile and worst.
//  2. Flood: 10,000 messages a second for 10 s (mapped pitch pairs, unmapped controllers and
//     notes, the monitor window open) beside 10 s without: underflows of the main device, and the
//     longest gap between the ticks of a 1 ms timer on the window thread.
// Runs its own JACK server (tests/controller/JackPeer); prints "skipped" where jackd is missing.
#include "app/DeckControls.h"
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "engine/DSBasicObject.h"
#include "library/Datamod.h"
#include "tests/controller/JackPeer.h"
#include "tests/support/Fixtures.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace {

using namespace mixora;
using controller::MidiBytes;
using Clock = std::chrono::steady_clock;

constexpr int kLatencyRuns = 400;
constexpr int kFloodPerSecond = 10000;
constexpr int kFloodSeconds = 10;

const char *kMapping = R"({"name": "Bench", "ports": ["Benchpult"], "bindings": [
  {"control": "Links.pitch", "midi": "cc14", "channel": 1, "number": 0, "lsb": 32},
  {"control": "Mixer.crossfader", "midi": "cc14", "channel": 1, "number": 1, "lsb": 33},
  {"control": "Links.eq.tief", "midi": "cc", "channel": 1, "number": 20}]})";

// Runs the window's event loop as the program does (sleeping until an event comes) for ms, or
// until done() holds, checked every millisecond.
void runFor(int ms, const std::function<bool()> &done = {}) {
    QEventLoop loop;
    QTimer end;
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer check;
    if (done) {
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        check.start(1);
    }
    end.start(ms);
    loop.exec();
}

void sendPair(test::JackPeer &peer, int msb, int value14) {
    peer.send(MidiBytes::of(0xB0, static_cast<std::uint8_t>(msb), static_cast<std::uint8_t>(value14 >> 7)));
    peer.send(
        MidiBytes::of(0xB0, static_cast<std::uint8_t>(msb + 32), static_cast<std::uint8_t>(value14 & 0x7F)));
}

void sendPitch(test::JackPeer &peer, int value14) {
    sendPair(peer, 0, value14);
}

double micros(Clock::rep at, Clock::duration since) {
    return std::chrono::duration<double, std::micro>(Clock::duration(at) - since).count();
}

std::string spread(std::vector<double> v) {
    if (v.empty())
        return "-";
    std::sort(v.begin(), v.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.0f us, p99 %.0f us, worst %.0f us", v[v.size() / 2],
                  v[v.size() * 99 / 100], v.back());
    return text;
}

// One thread that, once armed, watches a value of the engine and notes when it first differs from
// what it was when armed; it sleeps while disarmed.
class Watcher {
public:
    Watcher() : thread_([this] { run(); }) {}
    ~Watcher() {
        stop_ = true;
        generation_.fetch_add(1);
        generation_.notify_one();
        thread_.join();
    }
    void arm(std::function<std::int64_t()> state) {
        state_ = std::move(state);
        before_ = state_();
        seen_ = 0;
        armed_ = true;
        generation_.fetch_add(1);
        generation_.notify_one();
    }
    void disarm() {
        armed_ = false;
        while (busy_.load())
            std::this_thread::yield();
    }
    Clock::rep seen() const { return seen_.load(); }

private:
    void run() {
        int known = 0;
        while (!stop_) {
            generation_.wait(known);
            known = generation_.load();
            busy_ = true;
            while (armed_.load() && !stop_) {
                if (state_() != before_) {
                    seen_ = Clock::now().time_since_epoch().count();
                    break;
                }
                std::this_thread::yield(); // two cores: leave the MIDI thread its turn
            }
            busy_ = false;
        }
    }
    std::function<std::int64_t()> state_;
    std::int64_t before_ = 0;
    std::atomic<int> generation_{0};
    std::atomic<bool> armed_{false}, busy_{false}, stop_{false};
    std::atomic<Clock::rep> seen_{0};
    std::thread thread_;
};

// Longest gap between the ticks of a 1 ms timer while it runs.
struct Stall {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0, worst = 0;
    Stall() {
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            worst = std::max(worst, now - last);
            last = now;
        });
    }
    void start() {
        clock.start();
        last = 0;
        worst = 0;
        timer.start();
    }
    double stopMs() {
        timer.stop();
        return worst / 1e6;
    }
};

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    test::JackServer jack;
    if (!jack.running()) {
        std::printf("controller bench skipped: %s\n", jack.why().c_str());
        return 0;
    }
    ui::setMessageHandler([](const ui::MessageRequest &r) {
        std::printf("message: %s\n", r.text.toStdString().c_str());
        return ui::Answer::Ok;
    });
    test::TempDir dir;
    TDataModule1 data;
    data.openOrCreate(dir.path());
    auto provider = std::make_shared<sound::VirtualProvider>(std::vector<sound::VirtualDevice>{
        {"Null 1", sound::Backend::Null}, {"Null 2", sound::Backend::Null}});
    sound::setProviderForTesting(provider);
    auto window = std::make_unique<app::TFormMixora>();
    window->SetDataModule(&data);
    const auto devices = provider->enumerate();
    window->AuxDevice = std::make_unique<DSBasicObject>(*devices[1].guid);
    window->HeadDevice = std::make_unique<DSBasicObject>(*devices[2].guid);
    auto decks = std::make_unique<app::WindowDecks>(*window);
    QDir().mkpath(QString::fromStdString((dir.path() / "Controller").string()));
    QFile mapping(QString::fromStdString((dir.path() / "Controller" / "Bench.json").string()));
    mapping.open(QIODevice::WriteOnly);
    mapping.write(kMapping);
    mapping.close();
    auto controllers = std::make_unique<app::Controllers>(
        *window, *decks,
        app::Controllers::Options{false, true, QString::fromStdString(dir.path().string()), "bench"});
    controllers->start();

    for (int i = 0; i < 2; ++i) {
        const auto file = dir.path() / ("song" + std::to_string(i) + ".mp3");
        test::writeMp3(file, {.seconds = 60, .frequencyHz = 300.0 + 200 * i});
        app::Deck &deck = i == 0 ? decks->Links : decks->Rechts;
        deck.loadFile(QString::fromStdString(file.string()));
        deck.play();
    }
    sound::Device &main = *window->AuxDevice->device;

    auto peer = std::make_unique<test::JackPeer>("Benchpult");
    const auto plugged = Clock::now();
    runFor(5000, [&] {
        const auto d = controllers->hub().devices();
        return !d.empty() && d[0].present;
    });
    std::printf("hot-plug: port appeared -> bound to its mapping: %.1f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - plugged).count());

    // 1. message to engine, for each kind of control that reaches the sound: the time until the
    // engine's value is written (taken on the writing thread; "-" where the value only reaches the
    // engine by way of the window) and until a thread watching the buffer sees it (that thread
    // may itself wait for a core, so it can only add).
    sound::Buffer *buffer = decks->Links.player()->inside().mainBuffer.get();
    Watcher watcher;
    struct Case {
        const char *name;
        const char *control;
        std::function<void(int run)> send;
        std::function<std::int64_t()> state;
    };
    const Case cases[] = {
        {"pitch (14-bit)", "Links.pitch", [&](int run) { sendPair(*peer, 0, run % 2 ? 8192 : 8192 + 410); },
         [&] { return std::int64_t(buffer->frequency()); }},
        {"crossfader (14-bit)", "Mixer.crossfader",
         [&](int run) { sendPair(*peer, 1, run % 2 ? 8192 : 8192 + 4096); },
         [&] { return std::int64_t(buffer->volume()); }},
        {"EQ low (7-bit)", "Links.eq.tief",
         [&](int run) { peer->send(MidiBytes::of(0xB0, 20, run % 2 ? 64 : 96)); },
         [&] { return std::int64_t(std::lround(buffer->eq(sound::kEqLow) * 100)); }},
    };
    std::atomic<Clock::rep> written{0};
    for (const Case &c : cases) {
        controller::Control *control = controllers->controls().find(c.control);
        const bool direct = control && control->engine();
        if (direct)
            control->setEngine([e = control->engine(), &written](double v) {
                e(v);
                written = Clock::now().time_since_epoch().count();
            });
        c.send(1); // where the program stands: soft takeover engages
        runFor(300);
        std::vector<double> toWrite, toSeen;
        for (int run = 0; run < kLatencyRuns; ++run) {
            written = 0;
            watcher.arm(c.state);
            c.send(run);
            runFor(1000, [&] { return watcher.seen() != 0; });
            watcher.disarm();
            const auto arrival = controllers->hub().lastArrival().time_since_epoch();
            if (watcher.seen() != 0)
                toSeen.push_back(micros(watcher.seen(), arrival));
            if (written.load() != 0)
                toWrite.push_back(micros(written.load(), arrival));
            runFor(3 + run % 7);
        }
        std::printf("message -> engine, %s, %zu of %d runs (from the arrival in the JACK callback):\n",
                    c.name, toSeen.size(), kLatencyRuns);
        std::printf("  value written: %s\n", spread(toWrite).c_str());
        std::printf("  seen by the watching thread: %s\n", spread(toSeen).c_str());
    }
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("load average during the runs: %.2f (on %u cores)\n", load[0],
                std::thread::hardware_concurrency());

    // 2. flood
    controllers->showWindow();
    Stall stall;
    const auto measure = [&](bool flood) {
        const std::uint64_t under = main.underflows();
        const std::uint64_t received = controllers->hub().messagesReceived();
        stall.start();
        const auto start = Clock::now();
        std::atomic<bool> done{false};
        std::thread sender([&] {
            if (!flood)
                return;
            // One burst per millisecond, kept on the clock.
            int i = 0;
            for (auto next = start; !done; next += std::chrono::milliseconds(1)) {
                std::this_thread::sleep_until(next);
                for (int k = 0; k < kFloodPerSecond / 1000; k += 2, i += 2) {
                    if (i % 4 == 0) {
                        sendPitch(*peer, 8192 + (i % 40) * 4);
                    } else {
                        peer->send(MidiBytes::of(0xB3, static_cast<std::uint8_t>(i % 100),
                                                 static_cast<std::uint8_t>(i % 128)));
                        peer->send(MidiBytes::of(0x95, static_cast<std::uint8_t>(i % 128), 100));
                    }
                }
            }
        });
        runFor(kFloodSeconds * 1000);
        done = true;
        sender.join();
        runFor(200);
        std::printf("%s: %llu underflows of the main device, %llu messages received, window's longest stall "
                    "%.1f ms\n",
                    flood ? "flood (10,000 msgs/s, 10 s)" : "no flood (10 s)",
                    static_cast<unsigned long long>(main.underflows() - under),
                    static_cast<unsigned long long>(controllers->hub().messagesReceived() - received),
                    stall.stopMs());
    };
    measure(false);
    measure(true);

    peer.reset();
    controllers.reset();
    decks.reset();
    window.reset();
    sound::setProviderForTesting(nullptr);
    return 0;
}
