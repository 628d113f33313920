#include "analysis/Tempo.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

namespace mixora::analysis {

namespace {

// Band edges in Hz; the last band reaches up to half the sample rate. Separate bands keep a
// broadband hi-hat from outweighing a kick that lives in two bands.
constexpr std::array<double, OnsetDetector::kBands> kBandStartsHz = {40, 100, 200, 400, 800, 1600, 3200};
// Cymbals count half: the beat a DJ counts sits on kick and snare, not on the off-beat hat.
constexpr std::array<float, OnsetDetector::kBands> kBandWeights = {1, 1, 1, 1, 1, 0.5f, 0.5f};
// On whether the beat or the off-beat is the grid's line, the summed curve's say against one
// band's, and the first onset's (in the units of a band's vote, the log of a ratio).
constexpr double kSummedCurveVote = 4.0;
constexpr double kFirstOnsetVote = 1.0;
// The song's first onset: the first to reach this share of the curve's strongest (99.5th
// percentile), so a soft noise before the music does not count.
constexpr float kFirstOnsetShare = 0.35f;
// Each band's log energy is taken against this share of the band's mean energy: a rise well
// below what the band usually carries (hiss, reverb tails) barely counts.
constexpr double kEnergyFloor = 0.05;

// A faster pulse replaces a slower one when its extra beats, in the bands of kick and snare,
// reach this share of the main beat. A backbeat snare between kicks reaches it; off-beat
// bass notes and hats under a slow beat stay below it.
constexpr double kFasterPulseShare = 0.21;
// A pulse half as fast again replaces the beat when both its added beats reach this share.
constexpr double kThirdPulseShare = 0.5;
// In a swung beat the note after the beat comes late, two thirds of the way to the next beat,
// and can be louder than the beat itself. A second peak a third of a period after the
// strongest that reaches this share of it (with nothing as strong a third before) is the beat.
constexpr double kSwingPeakShare = 0.5;
// The bands from 800 Hz up time an attack closely; below, a window holds too few periods of
// the wave, and bass notes start anywhere. A peak of one of them earlier than the summed
// fold's marks the beat's attack when it lies more than kAttackSameSeconds (one attack's spread
// over the bands) and at most kAttackReachSeconds (less than a sixteenth note at 180 BPM)
// before it, and reaches this share of the band's own range.
constexpr std::size_t kAttackFirstBand = 4;
constexpr double kAttackSameSeconds = 0.015;
constexpr double kAttackReachSeconds = 0.07;
constexpr double kAttackPeakShare = 0.6;
// Below this the beat's fold does not stand out of the folds at unrelated periods: music with a
// steady beat stands out more than ten times, free timing and sounds at random times up to
// about three times.
constexpr double kMinSalience = 6.0;
// Comb peaks (at different tempos, octaves aside) tried for a steady beat.
constexpr std::size_t kCombCandidates = 3;
// Periods, as shares of the beat's, that hold none of its beats for long.
constexpr std::array<double, 8> kUnrelatedPeriods = {0.81, 0.86, 0.91, 0.95, 1.05, 1.1, 1.16, 1.23};

} // namespace

OnsetDetector::OnsetDetector(double sampleRate)
    : sampleRate_(sampleRate), maxFrames_(static_cast<std::size_t>(kMaxSeconds * sampleRate / kHop)) {
    window_.resize(kWindow);
    for (int i = 0; i < kWindow; ++i)
        window_[static_cast<std::size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kWindow));
    spectrum_.resize(kWindow);
    twiddles_.resize(kWindow / 2);
    for (int i = 0; i < kWindow / 2; ++i)
        twiddles_[static_cast<std::size_t>(i)] =
            std::polar(1.0f, static_cast<float>(-2 * std::numbers::pi * i / kWindow));
    bitReverse_.resize(kWindow);
    int bits = 0;
    while ((1 << bits) < kWindow)
        ++bits;
    for (int i = 0; i < kWindow; ++i) {
        int r = 0;
        for (int b = 0; b < bits; ++b)
            r |= ((i >> b) & 1) << (bits - 1 - b);
        bitReverse_[static_cast<std::size_t>(i)] = r;
    }
    const double binHz = sampleRate_ / kWindow;
    for (int b = 0; b < kBands; ++b)
        bandEdges_[static_cast<std::size_t>(b)] =
            std::clamp(static_cast<int>(std::lround(kBandStartsHz[static_cast<std::size_t>(b)] / binHz)), 1,
                       kWindow / 2);
    bandEdges_[kBands] = kWindow / 2;
    pending_.reserve(8192);
    energies_.reserve(std::min<std::size_t>(maxFrames_, 1 << 16));
}

double OnsetDetector::frameTime(std::size_t i) const {
    return (static_cast<double>(i) * kHop + kWindow / 2.0) / sampleRate_;
}

void OnsetDetector::push(const float *samples, std::size_t count) {
    if (energies_.size() >= maxFrames_)
        return;
    pending_.insert(pending_.end(), samples, samples + count);
    std::size_t start = 0;
    while (pending_.size() - start >= static_cast<std::size_t>(kWindow)) {
        for (int i = 0; i < kWindow; ++i) {
            const auto k = static_cast<std::size_t>(i);
            spectrum_[static_cast<std::size_t>(bitReverse_[k])] = {pending_[start + k] * window_[k], 0.0f};
        }
        analyseWindow();
        start += kHop;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
}

void OnsetDetector::analyseWindow() {
    // In-place radix-2 FFT; the input was placed in bit-reversed order.
    for (int size = 2; size <= kWindow; size *= 2) {
        const int half = size / 2;
        const int step = kWindow / size;
        for (int base = 0; base < kWindow; base += size) {
            for (int j = 0; j < half; ++j) {
                const std::complex<float> t = twiddles_[static_cast<std::size_t>(j * step)] *
                                              spectrum_[static_cast<std::size_t>(base + j + half)];
                std::complex<float> &u = spectrum_[static_cast<std::size_t>(base + j)];
                spectrum_[static_cast<std::size_t>(base + j + half)] = u - t;
                u += t;
            }
        }
    }
    Bands energy{};
    for (int b = 0; b < kBands; ++b)
        for (int k = bandEdges_[static_cast<std::size_t>(b)]; k < bandEdges_[static_cast<std::size_t>(b) + 1];
             ++k)
            energy[static_cast<std::size_t>(b)] += std::norm(spectrum_[static_cast<std::size_t>(k)]);
    energies_.push_back(energy);
}

namespace {

// The curve folded at a period (in frames): the mean per phase bin, phase 0 at frame 0.
std::vector<double> fold(const std::vector<float> &curve, double period, int bins) {
    std::vector<double> sum(static_cast<std::size_t>(bins), 0.0);
    std::vector<double> weight(static_cast<std::size_t>(bins), 0.0);
    const double binsPerFrame = bins / period;
    for (std::size_t i = 0; i < curve.size(); ++i) {
        const double x = std::fmod(static_cast<double>(i), period) * binsPerFrame;
        const auto lo = static_cast<int>(x);
        const double f = x - lo;
        const auto a = static_cast<std::size_t>(lo % bins);
        const auto b = static_cast<std::size_t>((lo + 1) % bins);
        sum[a] += (1 - f) * curve[i];
        weight[a] += 1 - f;
        sum[b] += f * curve[i];
        weight[b] += f;
    }
    for (std::size_t m = 0; m < sum.size(); ++m)
        sum[m] = weight[m] > 0 ? sum[m] / weight[m] : 0.0;
    return sum;
}

// How sharply the curve folds at a period: the variance of the phase-bin means. Largest at the
// true period, since every beat then lands in the same bins.
double foldSharpness(const std::vector<float> &curve, double period) {
    const int bins = std::max(8, static_cast<int>(period / 2));
    const std::vector<double> f = fold(curve, period, bins);
    const double mean = std::accumulate(f.begin(), f.end(), 0.0) / bins;
    double var = 0.0;
    for (double v : f)
        var += (v - mean) * (v - mean);
    return var / bins;
}

std::vector<double> smoothCircular(const std::vector<double> &f) {
    const std::size_t n = f.size();
    std::vector<double> out(n);
    for (std::size_t m = 0; m < n; ++m)
        out[m] = 0.25 * f[(m + n - 1) % n] + 0.5 * f[m] + 0.25 * f[(m + 1) % n];
    return out;
}

double percentile(std::vector<double> v, double q) {
    const auto k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// Whether the beats half-way between the main beats of a period are strong enough to count
// the faster pulse as the beat (snare between kicks, not just a hat on the off-beat).
bool halfBeatsStrong(const std::vector<float> &curve, double period) {
    const int bins = std::max(16, static_cast<int>(std::lround(period)));
    const std::vector<double> f = smoothCircular(fold(curve, period, bins));
    const double base = percentile(f, 0.25);
    const auto top = static_cast<int>(std::max_element(f.begin(), f.end()) - f.begin());
    const double main = f[static_cast<std::size_t>(top)] - base;
    if (main <= 0)
        return false;
    const int reach = std::max(1, bins / 16);
    double half = 0.0;
    for (int d = -reach; d <= reach; ++d)
        half =
            std::max(half, f[static_cast<std::size_t>(((top + bins / 2 + d) % bins + bins) % bins)] - base);
    return half >= kFasterPulseShare * main;
}

// The strongest value of a circular fold within reach bins of a position, above a base.
double peakNear(const std::vector<double> &f, int at, int reach, double base, int *where = nullptr) {
    const int bins = static_cast<int>(f.size());
    double best = -1e300;
    for (int d = -reach; d <= reach; ++d) {
        const int i = ((at + d) % bins + bins) % bins;
        if (f[static_cast<std::size_t>(i)] > best) {
            best = f[static_cast<std::size_t>(i)];
            if (where)
                *where = i;
        }
    }
    return best - base;
}

// Whether the two beats a third and two thirds of the way through each period are as real as
// the main one: then the period holds three beats (a 6/4 or 3/4 song read at its half bar),
// and the pulse half as fast again is the beat. A swing or a triplet fill marks only one of
// the two thirds, or marks them weakly, so the share asked for is high.
bool thirdBeatsStrong(const std::vector<float> &curve, double period) {
    const int bins = std::max(24, static_cast<int>(std::lround(period)));
    const std::vector<double> f = smoothCircular(fold(curve, period, bins));
    const double base = percentile(f, 0.25);
    const auto top = static_cast<int>(std::max_element(f.begin(), f.end()) - f.begin());
    const double main = f[static_cast<std::size_t>(top)] - base;
    if (main <= 0)
        return false;
    const int reach = std::max(1, bins / 24);
    return std::min(peakNear(f, top + bins / 3, reach, base), peakNear(f, top + 2 * bins / 3, reach, base)) >=
           kThirdPulseShare * main;
}

// How far the top of the curve folded at a period stands above the fold's mean, in means.
double peakOverMean(const std::vector<float> &curve, double period) {
    const int bins = static_cast<int>(std::lround(period));
    const std::vector<double> f = smoothCircular(fold(curve, period, bins));
    const double mean = std::accumulate(f.begin(), f.end(), 0.0) / bins;
    return mean > 0 ? (*std::max_element(f.begin(), f.end()) - mean) / mean : 0.0;
}

// Peaks above the local mean: sustained texture cancels, attacks remain.
std::vector<float> peaksOf(const std::vector<float> &raw, double fps) {
    const std::size_t n = raw.size();
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        prefix[i + 1] = prefix[i] + raw[i];
    const auto halfWidth = static_cast<std::size_t>(fps * 0.15);
    std::vector<float> curve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i > halfWidth ? i - halfWidth : 0;
        const std::size_t hi = std::min(n, i + halfWidth + 1);
        const double mean = (prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo);
        curve[i] = static_cast<float>(std::max(0.0, raw[i] - mean));
    }
    return curve;
}

using Floors = std::array<double, OnsetDetector::kBands>;

// Each band's log energy is taken against a share of its own mean, so a rise counts by how much
// it stands out of what that band usually carries, and a kick in a bass-heavy band weighs no
// more than a snare.
Floors floorsOf(const std::vector<OnsetDetector::Bands> &energies) {
    Floors floor{};
    for (const auto &e : energies)
        for (std::size_t b = 0; b < floor.size(); ++b)
            floor[b] += e[b];
    for (double &f : floor)
        f = std::max(1e-9, kEnergyFloor * f / static_cast<double>(std::max<std::size_t>(1, energies.size())));
    return floor;
}

float levelOf(float energy, double floor) {
    return static_cast<float>(std::log1p(energy / floor));
}

// Onset strength: the rise of each band's log energy, summed over the first bands.
std::vector<float> fluxOf(const std::vector<OnsetDetector::Bands> &energies, int bands) {
    const Floors floor = floorsOf(energies);
    std::vector<float> flux(energies.size(), 0.0f);
    std::array<float, OnsetDetector::kBands> previous{};
    for (std::size_t i = 0; i < energies.size(); ++i) {
        float sum = 0.0f;
        for (std::size_t b = 0; b < static_cast<std::size_t>(bands); ++b) {
            const float level = levelOf(energies[i][b], floor[b]);
            if (i > 0)
                sum += kBandWeights[b] * std::max(0.0f, level - previous[b]);
            previous[b] = level;
        }
        flux[i] = sum;
    }
    return flux;
}

// The rise of one band's log energy.
std::vector<float> riseOf(const std::vector<OnsetDetector::Bands> &energies, const Floors &floor,
                          std::size_t band) {
    std::vector<float> rise(energies.size(), 0.0f);
    float previous = 0.0f;
    for (std::size_t i = 0; i < energies.size(); ++i) {
        const float level = levelOf(energies[i][band], floor[band]);
        if (i > 0)
            rise[i] = std::max(0.0f, level - previous);
        previous = level;
    }
    return rise;
}

// How far one position of a circular fold stands above another, as the log of their heights
// above the fold's base: positive where `later` is the higher. A position that barely rises
// counts as a twentieth of the fold's range, so a band quiet at both says little either way.
double logRatio(const std::vector<double> &f, int top, int later, int reach) {
    const double base = percentile(f, 0.25);
    const double spread = *std::max_element(f.begin(), f.end()) - base;
    if (!(spread > 0))
        return 0.0;
    const double least = 0.05 * spread;
    return std::log((std::max(0.0, peakNear(f, later, reach, base)) + least) /
                    (std::max(0.0, peakNear(f, top, reach, base)) + least));
}

// Each band's onsets folded at the beat's period, smoothed, in the summed fold's bins.
using BandFolds = std::array<std::vector<double>, OnsetDetector::kBands>;

BandFolds bandFoldsOf(const std::vector<OnsetDetector::Bands> &energies, double fps, double period,
                      int bins) {
    const Floors floor = floorsOf(energies);
    BandFolds out;
    for (std::size_t b = 0; b < out.size(); ++b)
        out[b] = smoothCircular(fold(peaksOf(riseOf(energies, floor, b), fps), period, bins));
    return out;
}

// Where the beat's attack begins, at or before the summed fold's peak at top. Instruments with
// a slow attack (a bass, a piano, pads) keep rising for tens of milliseconds after the note
// starts, so where they sound with every beat the summed peak lands late, while the upper
// bands (a ride, a stick, a kick's click) still peak on the beat. Where such a band's strongest
// moment around the beat comes well before the summed peak, the earliest of them is the beat.
// Returns its bin, and the band that marks it in *band (-1: the summed peak stays).
int attackBefore(const BandFolds &bands, int top, double binsPerSecond, int *band) {
    const int bins = static_cast<int>(bands[0].size());
    const int earliest = static_cast<int>(std::lround(kAttackReachSeconds * binsPerSecond));
    const int least = static_cast<int>(std::lround(kAttackSameSeconds * binsPerSecond));
    int at = top;
    *band = -1;
    for (std::size_t b = kAttackFirstBand; b < bands.size(); ++b) {
        const std::vector<double> &f = bands[b];
        const double base = percentile(f, 0.25);
        const double spread = *std::max_element(f.begin(), f.end()) - base;
        if (!(spread > 0))
            continue;
        int where = top;
        double best = -1.0;
        for (int d = earliest; d >= -least; --d) {
            const double y = f[static_cast<std::size_t>(((top - d) % bins + bins) % bins)];
            if (y > best) {
                best = y;
                where = top - d;
            }
        }
        if (where < top - least && where < at && best - base >= kAttackPeakShare * spread) {
            at = where;
            *band = static_cast<int>(b);
        }
    }
    return (at % bins + bins) % bins;
}

// Whether the beat lies half a period after the summed curve's strongest peak rather than on
// it. Hats, an off-beat bass or a shaker can fold higher than the beat in the summed curve,
// while the other bands still mark the beat. Each band votes by how far one position stands
// above the other in it (a ratio, so a quiet band counts as much as a loud one). Bass lines on
// the off-beat are as common as kicks on the beat, so the lowest bands get no more say than
// the others. The summed curve keeps a say of its own, and where the votes are close the
// song's first onset decides: music mostly starts on a beat.
bool beatIsHalfAPeriodLater(const BandFolds &bands, const std::vector<float> &curve,
                            const std::vector<double> &summed, double period, int top, int later) {
    const int bins = static_cast<int>(summed.size());
    const int reach = std::max(1, bins / 24);
    double vote = kSummedCurveVote * logRatio(summed, top, later, reach);
    for (const std::vector<double> &band : bands)
        vote += logRatio(band, top, later, reach);

    std::vector<float> sorted(curve);
    const auto q = static_cast<std::ptrdiff_t>(0.995 * static_cast<double>(sorted.size() - 1));
    std::nth_element(sorted.begin(), sorted.begin() + q, sorted.end());
    const float strong = kFirstOnsetShare * sorted[static_cast<std::size_t>(q)];
    std::size_t first = 0;
    while (first < curve.size() && !(curve[first] > 0 && curve[first] >= strong))
        ++first;
    if (first < curve.size()) {
        const double at = std::fmod(static_cast<double>(first), period) * bins / period;
        auto near = [&](int position) {
            const double d = std::abs(std::remainder(at - position, static_cast<double>(bins)));
            return d <= bins / 8.0;
        };
        if (near(later) && !near(top))
            vote += kFirstOnsetVote;
        else if (near(top) && !near(later))
            vote -= kFirstOnsetVote;
    }
    return vote > 0;
}

// The steady beat whose tempo the comb found near bestBpm, if it stands out.
std::optional<SteadyBeat> beatAt(const OnsetDetector &onsets, const std::vector<float> &curve, double bestBpm,
                                 double minBpm, double maxBpm);

} // namespace

std::optional<SteadyBeat> findSteadyBeat(const OnsetDetector &onsets, double minBpm, double maxBpm) {
    // Any range from the settings file keeps the work bounded: music has no beat outside this.
    minBpm = std::max(minBpm, 30.0);
    maxBpm = std::min(maxBpm, 300.0);
    const double fps = onsets.framesPerSecond();
    const std::size_t n = onsets.frames();
    if (!(minBpm > 0) || !(maxBpm > minBpm) || n < static_cast<std::size_t>(fps * 8))
        return std::nullopt;
    const std::vector<float> curve = peaksOf(fluxOf(onsets.bandEnergies(), OnsetDetector::kBands), fps);

    // Autocorrelation up to four periods of the slowest preferred tempo.
    const double slowestPeriod = 60.0 * fps / minBpm;
    const auto maxLag = std::min(n - 1, static_cast<std::size_t>(4 * slowestPeriod) + 4);
    std::vector<double> ac(maxLag + 1, 0.0);
    for (std::size_t lag = 1; lag <= maxLag; ++lag) {
        double s = 0.0;
        for (std::size_t i = 0; i + lag < n; ++i)
            s += static_cast<double>(curve[i]) * curve[i + lag];
        ac[lag] = s / static_cast<double>(n - lag);
    }
    std::vector<double> acSmooth(ac.size(), 0.0);
    for (std::size_t lag = 2; lag + 2 < ac.size(); ++lag)
        acSmooth[lag] = (ac[lag - 2] + 2 * ac[lag - 1] + 3 * ac[lag] + 2 * ac[lag + 1] + ac[lag + 2]) / 9;
    auto acAt = [&](double lag) {
        const auto i = static_cast<std::size_t>(lag);
        if (i + 1 >= acSmooth.size())
            return 0.0;
        const double f = lag - static_cast<double>(i);
        return (1 - f) * acSmooth[i] + f * acSmooth[i + 1];
    };
    // A comb over four multiples of the period favours the period the whole pattern repeats in.
    auto comb = [&](double bpm) {
        const double period = 60.0 * fps / bpm;
        double s = 0.0;
        for (int k = 1; k <= 4; ++k)
            s += acAt(k * period);
        return s;
    };
    // The comb's peaks, strongest first. Where the strongest gives no steady beat (a bar of
    // five beats can comb best at a period that is no beat of the song), the next ones are tried.
    const double coarseStep = 0.1;
    std::vector<double> combs;
    for (double bpm = minBpm; bpm <= maxBpm; bpm = minBpm + static_cast<double>(combs.size()) * coarseStep)
        combs.push_back(comb(bpm));
    std::vector<std::pair<double, double>> peaks; // comb, BPM
    for (std::size_t i = 0; i < combs.size(); ++i)
        if (combs[i] > 0 && (i == 0 || combs[i] > combs[i - 1]) &&
            (i + 1 == combs.size() || combs[i] >= combs[i + 1]))
            peaks.emplace_back(combs[i], minBpm + static_cast<double>(i) * coarseStep);
    std::sort(peaks.begin(), peaks.end(), std::greater<>());
    std::vector<double> tried;
    std::optional<SteadyBeat> best;
    for (const auto &[value, coarseBpm] : peaks) {
        if (tried.size() == kCombCandidates)
            break;
        // A peak at the octave of one already tried leads to the same beat.
        bool same = false;
        for (double t : tried)
            for (double r : {0.5, 1.0, 2.0})
                same = same || std::abs(coarseBpm / (t * r) - 1) < 0.03;
        if (same)
            continue;
        tried.push_back(coarseBpm);
        const auto beat = beatAt(onsets, curve, coarseBpm, minBpm, maxBpm);
        if (beat && tried.size() == 1 && beat->salience >= kMinSalience)
            return beat;
        if (beat && beat->salience >= kMinSalience && (!best || beat->salience > best->salience))
            best = beat;
    }
    return best;
}

namespace {

std::optional<SteadyBeat> beatAt(const OnsetDetector &onsets, const std::vector<float> &curve, double bestBpm,
                                 double minBpm, double maxBpm) {
    const double fps = onsets.framesPerSecond();
    // Refine the period by folding the whole song: a wrong period smears the beats over the
    // phase bins, the right one stacks them.
    auto sharpness = [&](double bpm) { return foldSharpness(curve, 60.0 * fps / bpm); };
    const double span = 0.006 * bestBpm;
    const double step = 1e-4 * bestBpm;
    double fineBpm = bestBpm;
    double fineScore = -1.0;
    for (double bpm = bestBpm - span; bpm <= bestBpm + span; bpm += step) {
        const double s = sharpness(bpm);
        if (s > fineScore) {
            fineScore = s;
            fineBpm = bpm;
        }
    }
    // Golden-section search inside the best grid step.
    double a = fineBpm - step;
    double b = fineBpm + step;
    const double g = (std::sqrt(5.0) - 1) / 2;
    double c = b - g * (b - a);
    double d = a + g * (b - a);
    double sc = sharpness(c);
    double sd = sharpness(d);
    while (b - a > 1e-4) {
        if (sc > sd) {
            b = d;
            d = c;
            sd = sc;
            c = b - g * (b - a);
            sc = sharpness(c);
        } else {
            a = c;
            c = d;
            sc = sd;
            d = a + g * (b - a);
            sd = sharpness(d);
        }
    }
    double bpm = (a + b) / 2;

    // The octave: start at the slowest member of the family in range and take the faster pulse
    // as long as its added beats are real beats.
    while (bpm > maxBpm)
        bpm /= 2;
    while (bpm < minBpm)
        bpm *= 2;
    while (bpm / 2 >= minBpm)
        bpm /= 2;
    const std::vector<float> body = peaksOf(fluxOf(onsets.bandEnergies(), OnsetDetector::kBodyBands), fps);
    while (bpm * 2 <= maxBpm && halfBeatsStrong(body, 60.0 * fps / bpm))
        bpm *= 2;
    if (bpm * 1.5 <= maxBpm && thirdBeatsStrong(body, 60.0 * fps / bpm))
        bpm *= 1.5;

    // The phase: the strongest bin of the curve folded at the final period, moved to the swung
    // beat or to the beat half a period later where the bands say so, interpolated.
    const double period = 60.0 * fps / bpm;
    const int bins = static_cast<int>(std::lround(period));
    const std::vector<double> f = smoothCircular(fold(curve, period, bins));
    auto top = static_cast<int>(std::max_element(f.begin(), f.end()) - f.begin());
    const BandFolds bands = bandFoldsOf(onsets.bandEnergies(), fps, period, bins);
    int attackBand = -1;
    {
        const double base = percentile(f, 0.25);
        const double main = f[static_cast<std::size_t>(top)] - base;
        const int reach = std::max(1, bins / 24);
        int later = top;
        const double after = peakNear(f, top + bins / 3, reach, base, &later);
        const double before = peakNear(f, top - bins / 3, reach, base);
        const double half = peakNear(f, top + bins / 2, reach, base);
        if (main > 0 && after >= kSwingPeakShare * main && before < kSwingPeakShare * main &&
            half < kSwingPeakShare * main)
            top = later;
        int opposite = top;
        peakNear(f, top + bins / 2, reach, base, &opposite);
        if (beatIsHalfAPeriodLater(bands, curve, f, period, top, opposite))
            top = opposite;
        top = attackBefore(bands, top, fps * bins / period, &attackBand);
    }
    // Interpolated on the fold that marks the beat's line.
    const std::vector<double> &marks = attackBand >= 0 ? bands[static_cast<std::size_t>(attackBand)] : f;
    const double ym = marks[static_cast<std::size_t>((top + bins - 1) % bins)];
    const double y0 = marks[static_cast<std::size_t>(top)];
    const double yp = marks[static_cast<std::size_t>((top + 1) % bins)];
    const double denom = ym - 2 * y0 + yp;
    const double offset = denom < 0 ? 0.5 * (ym - yp) / denom : 0.0;
    const double phaseFrames = (top + offset) * period / bins;
    const double mean = std::accumulate(f.begin(), f.end(), 0.0) / bins;
    if (!(mean > 0))
        return std::nullopt;

    SteadyBeat grid;
    grid.bpm = std::round(bpm * 100) / 100;
    // Sparse notes fold to high peaks at any period, so the peak is judged against what the same
    // curve gives at periods that share no beats with this one.
    std::vector<double> unrelated;
    for (double r : kUnrelatedPeriods)
        unrelated.push_back(peakOverMean(curve, period * r));
    const double chance = percentile(unrelated, 0.5);
    grid.salience = chance > 0 ? peakOverMean(curve, period) / chance : 0.0;
    grid.phaseSeconds =
        (phaseFrames * OnsetDetector::kHop + OnsetDetector::kWindow / 2.0) / (fps * OnsetDetector::kHop);
    return grid;
}

} // namespace

} // namespace mixora::analysis
