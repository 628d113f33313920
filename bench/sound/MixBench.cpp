// Cost of the mix as a share of one core: two decks playing with pitch on the main card, each with its
// headphone copy slaved to it on a second card. One iteration renders one second on both cards in
// periods of 512 frames; "core_percent" is the time that takes, as a percentage of that second.
// The same two decks on running null cards give the underflows this machine causes ("underflows": periods
// mixed late on either card over five seconds of 256-frame periods).
#include "engine/sound/Sound.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <thread>
#include <vector>

using namespace mixora::sound;

namespace {

constexpr std::uint32_t kDeckBytes = 46080; // ten decoded frames of 44.1 kHz stereo
constexpr std::size_t kPeriod = 512;

std::vector<std::uint8_t> tone(double hz) {
    std::vector<std::uint8_t> bytes(kDeckBytes);
    for (std::uint32_t i = 0; i < kDeckBytes / 2; ++i) {
        auto v = std::uint16_t(std::int16_t(12000 * std::sin(2 * 3.14159265358979 * hz * (i / 2) / 44100.0)));
        bytes[2 * i] = std::uint8_t(v & 0xFF);
        bytes[2 * i + 1] = std::uint8_t(v >> 8);
    }
    return bytes;
}

struct Deck {
    std::unique_ptr<Buffer> main, head;
    Deck(Device &mainCard, Device &headCard, int pitch, double hz) {
        PcmFormat format{44100, 2, 16};
        main = mainCard.createBuffer(format, kDeckBytes);
        head = headCard.createBuffer(format, kDeckBytes);
        auto data = tone(hz);
        main->write(0, data.data(), kDeckBytes);
        head->write(0, data.data(), kDeckBytes);
        head->slaveTo(main.get());
        std::uint32_t frequency = std::uint32_t(44100 + pitch * (44100 / 1000));
        main->setFrequency(frequency);
        head->setFrequency(frequency);
        main->setVolume(-300);
        head->setVolume(-1200);
        main->play(true);
        head->play(true);
    }
};

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Wall and CPU time of the whole loop: on a shared machine the CPU figure is the cost, the wall
// figure its upper bound.
struct ShareTimer {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpu = threadCpuSeconds();
};

void reportShare(benchmark::State &state, const ShareTimer &t) {
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t.wall).count();
    double cpu = threadCpuSeconds() - t.cpu;
    double seconds = double(state.iterations()); // one rendered second per iteration
    state.counters["core_percent_cpu"] = 100 * cpu / seconds;
    state.counters["core_percent_wall"] = 100 * wall / seconds;
}

void renderSecond(Device &a, Device &b, std::vector<std::int16_t> &out) {
    for (std::size_t done = 0; done < 44100; done += kPeriod) {
        a.render(out.data(), kPeriod);
        b.render(out.data(), kPeriod);
    }
    benchmark::DoNotOptimize(out.data());
}

void TwoDecksWithPitchAndHeadphoneCopy(benchmark::State &state) {
    auto mainCard = Device::createManual("main");
    auto headCard = Device::createManual("head");
    Deck left(*mainCard, *headCard, 37, 440);
    Deck right(*mainCard, *headCard, -21, 330);
    std::vector<std::int16_t> out(kPeriod * 2);
    ShareTimer timer;
    for (auto _ : state)
        renderSecond(*mainCard, *headCard, out);
    reportShare(state, timer);
}
BENCHMARK(TwoDecksWithPitchAndHeadphoneCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

void TwoDecksAtOriginalRateNoHeadphones(benchmark::State &state) {
    auto mainCard = Device::createManual("main");
    auto idle = Device::createManual("idle");
    PcmFormat format{44100, 2, 16};
    auto a = mainCard->createBuffer(format, kDeckBytes);
    auto b = mainCard->createBuffer(format, kDeckBytes);
    a->play(true);
    b->play(true);
    std::vector<std::int16_t> out(kPeriod * 2);
    ShareTimer timer;
    for (auto _ : state)
        renderSecond(*mainCard, *idle, out);
    reportShare(state, timer);
}
BENCHMARK(TwoDecksAtOriginalRateNoHeadphones)->Unit(benchmark::kMillisecond)->UseRealTime();

void TwoDecksOnRunningNullCards(benchmark::State &state) {
    double underflows = 0, periods = 0;
    for (auto _ : state) {
        auto mainCard = Device::createNull("main", 256);
        auto headCard = Device::createNull("head", 256);
        Deck left(*mainCard, *headCard, 37, 440);
        Deck right(*mainCard, *headCard, -21, 330);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        underflows += double(mainCard->underflows() + headCard->underflows());
        periods += double(mainCard->framesRendered() + headCard->framesRendered()) / 256;
    }
    state.counters["underflows"] = underflows;
    state.counters["periods"] = periods;
}
BENCHMARK(TwoDecksOnRunningNullCards)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace
