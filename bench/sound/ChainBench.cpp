// The deck chain's figures. "ChainCost": one deck rendered in 512-frame periods with its EQ and filter at
// work and at rest; "chain_core_percent" is the difference, as a share of one core, per deck (main buffer;
// the headphone copy costs the same again where it plays). "ChainFigures" prints the isolator's response
// at 0 dB and with each kill, measured on sines through the mix, and the worst click measure: the largest
// sample step around knob-to-kill moves, kill switches and filter moves over the tone's own largest step.
#include "engine/sound/Sound.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <vector>

using namespace mixora::sound;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kPeriod = 512;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::unique_ptr<Buffer> makeBuffer(Device &device, std::uint32_t frames,
                                   const std::function<double(std::uint32_t)> &sample) {
    auto buffer = device.createBuffer(PcmFormat{44100, 2, 16}, frames * 4);
    std::vector<std::int16_t> pcm(std::size_t(frames) * 2);
    for (std::uint32_t f = 0; f < frames; ++f)
        pcm[2 * f] = pcm[2 * f + 1] = std::int16_t(std::lround(sample(f)));
    buffer->write(0, pcm.data(), frames * 4);
    return buffer;
}

std::unique_ptr<Buffer> sine(Device &device, double hz, std::uint32_t frames = 44100 * 2) {
    return makeBuffer(device, frames,
                      [=](std::uint32_t f) { return 12000 * std::sin(2 * kPi * hz * f / 44100.0); });
}

double secondCost(Device &device) {
    const double c0 = threadCpuSeconds();
    for (std::size_t done = 0; done < 44100; done += kPeriod)
        benchmark::DoNotOptimize(device.render(kPeriod));
    return threadCpuSeconds() - c0;
}

void ChainCost(benchmark::State &state) {
    std::mt19937 random(1);
    std::uniform_real_distribution<double> noise(-8000, 8000);
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 46080 / 4, [&](auto) { return noise(random); });
    buffer->setFrequency(44100 + 37 * 44);
    buffer->play(true);
    double atWork = 0, atRest = 0;
    for (auto _ : state) {
        buffer->setEq(kEqLow, kEqKillDb);
        buffer->setEq(kEqMid, 3.0f);
        buffer->setEqKill(kEqHigh, true);
        buffer->setFilter(-0.5f);
        atWork += secondCost(*device);
        for (int band = 0; band < kEqBands; ++band) {
            buffer->setEq(band, 0.0f);
            buffer->setEqKill(band, false);
        }
        buffer->setFilter(0.0f);
        device->render(kPeriod * 16); // back in the bypass
        atRest += secondCost(*device);
    }
    const double n = double(state.iterations());
    state.counters["work_core_percent"] = atWork / n * 100;
    state.counters["rest_core_percent"] = atRest / n * 100;
    state.counters["chain_core_percent"] = (atWork - atRest) / n * 100;
}
BENCHMARK(ChainCost)->Unit(benchmark::kMillisecond)->MinTime(3.0);

double levelDb(double hz, int killed) {
    auto device = Device::createManual();
    auto buffer = sine(*device, hz);
    if (killed >= 0)
        buffer->setEqKill(killed, true);
    buffer->play(false);
    double sum = 0;
    std::size_t count = 0;
    for (int p = 0; p < 30; ++p) {
        auto out = device->render(kPeriod);
        if (p >= 17)
            for (auto s : out) {
                sum += double(s) * s;
                ++count;
            }
    }
    return 20 * std::log10(std::max(std::sqrt(sum / double(count)), 1e-3) / (12000 / std::sqrt(2.0)));
}

double clickRatio(double hz, const std::function<void(Buffer &, int)> &change, int periods) {
    auto device = Device::createManual();
    auto buffer = sine(*device, hz, 44100 * 4);
    buffer->play(false);
    std::vector<std::int16_t> out;
    for (int p = 0; p < periods; ++p) {
        change(*buffer, p);
        auto o = device->render(kPeriod);
        out.insert(out.end(), o.begin(), o.end());
    }
    int step = 0;
    for (std::size_t i = 2; i < out.size(); ++i)
        step = std::max(step, std::abs(out[i] - out[i - 2]));
    return step / (12000 * 2 * std::sin(kPi * hz / 44100.0));
}

void ChainFigures(benchmark::State &state) {
    const double freqs[] = {30, 60, 125, 250, 500, 1000, 2500, 5000, 10000, 16000};
    const char *names[] = {"0 dB", "Tief kill", "Mitte kill", "Hoch kill"};
    double eqWorst = 0, filterWorst = 0;
    for (auto _ : state) {
        std::printf("\n%-11s", "Hz");
        for (double hz : freqs)
            std::printf("%8g", hz);
        std::printf("\n");
        for (int killed = -1; killed < kEqBands; ++killed) {
            std::printf("%-11s", names[killed + 1]);
            for (double hz : freqs)
                std::printf("%8.1f", levelDb(hz, killed));
            std::printf("\n");
        }
        for (double hz : {60.0, 1000.0}) {
            for (int band = 0; band < kEqBands; ++band) {
                eqWorst = std::max(eqWorst, clickRatio(
                                                hz,
                                                [band](Buffer &b, int p) {
                                                    if (p == 4)
                                                        b.setEq(band, kEqKillDb);
                                                    if (p == 10)
                                                        b.setEq(band, 0);
                                                    if (p == 22)
                                                        b.setEqKill(band, true);
                                                    if (p == 28)
                                                        b.setEqKill(band, false);
                                                },
                                                40));
            }
            filterWorst = std::max(filterWorst, clickRatio(
                                                    hz,
                                                    [](Buffer &b, int p) {
                                                        const float k = p <= 40    ? -p / 40.0f
                                                                        : p <= 120 ? -1.0f + (p - 40) / 40.0f
                                                                                   : 1.0f - (p - 120) / 40.0f;
                                                        b.setFilter(p == 162 ? 1.0f : p == 164 ? -1.0f : k);
                                                    },
                                                    166));
        }
        std::printf("worst click measure (largest step / the tone's own): EQ %.4f, filter %.4f\n", eqWorst,
                    filterWorst);
    }
    state.counters["eq_click_ratio"] = eqWorst;
    state.counters["filter_click_ratio"] = filterWorst;
}
BENCHMARK(ChainFigures)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
