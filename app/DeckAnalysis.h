// What a deck does with its song's stored analysis: draws the waveform strip under its seek bar
// and, with Auto-Gain on, levels the song's loudness in the mix. Results are read through the
// analysis store when a song is loaded and again when its analysis has just been stored.
//
// A level found while the deck is sounding waits until it is silent (paused, cued, ended), so the
// audience never hears a song jump in loudness; switching Auto-Gain itself acts at once, ramped.
#pragma once

#include "app/AutoGain.h"
#include "app/WaveStrip.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>

namespace mixora::analysis {
struct Result;
}

namespace mixora::app {

class Deck;

class DeckAnalysis : public QObject {
    Q_OBJECT

public:
    // The stored results of a library row; nothing when it has none (or there is no library).
    using LoadFn = std::function<std::optional<analysis::Result>(std::int64_t index)>;

    // Puts the strip under the deck's seek bar, in the seek bar's panel.
    DeckAnalysis(Deck &deck, LoadFn load, QObject *parent = nullptr);
    ~DeckAnalysis() override;

    void setAutoGain(bool on, double referenceLufs);
    // The level the song on the deck gets (1 with Auto-Gain off or nothing known).
    float gain() const { return appliedGain_; }
    WaveStrip *strip() const { return strip_; }

    // The analysis stored results for this library row.
    void resultsStored(std::int64_t index);

private:
    void reload(bool newSong);
    void placeColumns();
    void applyGain(bool evenWhileSounding);
    bool sounding() const;

    Deck &deck_;
    LoadFn load_;
    QPointer<WaveStrip> strip_;
    QTimer columnTimer_; // asks for the columns' file positions until the reader has them
    bool autoGainOn_ = false;
    double referenceLufs_ = kDefaultReferenceLufs;
    std::optional<double> loudness_;
    std::optional<double> peak_;
    float appliedGain_ = 1.0f;
    bool gainPending_ = false;
};

} // namespace mixora::app
