// Tempo and beat grid: an onset-strength curve (band-wise spectral flux of a mono signal) and
// the steady grid that fits it, found by autocorrelation and refined by folding the whole song
// at candidate periods.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <optional>
#include <vector>

namespace mixora::analysis {

class OnsetDetector {
public:
    // sampleRate: the rate of the mono signal pushed in (a few kHz to 16 kHz is plenty).
    explicit OnsetDetector(double sampleRate);

    void push(const float *samples, std::size_t count);

    // Energy per band, one row per hop; row i belongs to time frameTime(i).
    using Bands = std::array<float, 7>; // kBands
    const std::vector<Bands> &bandEnergies() const { return energies_; }
    std::size_t frames() const { return energies_.size(); }
    double framesPerSecond() const { return sampleRate_ / kHop; }
    double frameTime(std::size_t i) const;

    static constexpr int kWindow = 256;
    static constexpr int kHop = 32;
    static constexpr int kBands = 7;
    static constexpr int kBodyBands = 5;
    // The curve keeps the first this many seconds: enough for any song's tempo, and a recording
    // of many hours costs no more memory or time than a long song.
    static constexpr double kMaxSeconds = 600.0;

private:
    void analyseWindow();

    double sampleRate_;
    std::vector<float> pending_; // samples not yet shifted out of the window
    std::vector<float> window_;
    std::vector<std::complex<float>> spectrum_;
    std::vector<std::complex<float>> twiddles_;
    std::vector<int> bitReverse_;
    std::array<int, kBands + 1> bandEdges_{};
    std::size_t maxFrames_;
    std::vector<Bands> energies_;
};

// What the onset curve shows of the beat; the song's beat grid is derived from it in Analysis.cpp.
struct SteadyBeat {
    double bpm = 0.0;
    // A grid line's time (seconds) in the onset curve's time base.
    double phaseSeconds = 0.0;
    // How far the onset curve folded at the period stands out of the same curve folded at
    // unrelated periods; low for music without a steady beat.
    double salience = 0.0;
};

// The steady beat of an onset curve, its tempo in the preferred range where half or double
// would fit as well; nothing where no steady beat stands out.
std::optional<SteadyBeat> findSteadyBeat(const OnsetDetector &onsets, double minBpm, double maxBpm);

} // namespace mixora::analysis
