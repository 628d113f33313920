// A deck's hot cues, loops, beat jumps, quantize switch and the DJ's corrections of its beat grid:
// what the pads, the loop and jump buttons and the grid buttons under the deck (and their named
// controls) do. Positions are samples of the song's decoded stream.
//
// Hot cues and grid edits of a library song go to data.db as they are made, so a crash loses
// none; a file outside the library keeps them for as long as it stays loaded.
//
// Never does: touch a widget (the panel shows what it reports), or keep a position across songs.
#pragma once

#include "engine/BeatSync.h"
#include "engine/GridMath.h"

#include <QColor>
#include <QElapsedTimer>
#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace mixora {
class SongTable;
}

namespace mixora::app {

class Deck;

class DeckCues : public QObject {
    Q_OBJECT

public:
    static constexpr int kPads = 8;
    // Beat loop sizes (the selector's entries) and beat jump sizes, in beats.
    static constexpr std::array<double, 9> kLoopBeats{0.125, 0.25, 0.5, 1, 2, 4, 8, 16, 32};
    static constexpr std::array<double, 4> kJumpBeats{1, 4, 16, 32};
    static constexpr int kDefaultLoopSize = 5; // 4 beats
    static constexpr int kDefaultJumpSize = 1; // 4 beats

    struct Pad {
        double frame = 0.0;
        std::optional<double> loopFrames; // a saved loop starting at frame
        QColor colour;
    };

    // table: the library (null when absent or closed), where hot cues and grid edits are kept.
    DeckCues(Deck &deck, std::function<SongTable *()> table, QObject *parent = nullptr);
    ~DeckCues() override;

    // --- hot cues (pad 0 … 7)
    // An empty pad sets a hot cue at the play position; a set pad jumps there (playing) or cues
    // the deck there and previews it until the release (not playing).
    void padPressed(int pad);
    void padReleased(int pad);
    void clearPad(int pad);
    const std::optional<Pad> &pad(int pad) const;
    // Set and within the song as it is now (a hot cue past the end of a shortened file is kept,
    // not offered).
    bool offered(int pad) const;

    // --- loops
    void setLoopSize(int index); // into kLoopBeats, clamped
    int loopSize() const { return loopSize_; }
    // The loop button: a beat loop of the chosen size from the play position, or off again.
    void beatLoop();
    void halveLoop();
    void doubleLoop();
    void loopIn();
    void loopOut();
    // Back into the last loop (jumping to its start), or out of the one playing.
    void reloop();
    void rollPressed();
    void rollReleased();
    bool looping() const;
    // The loop the deck holds (active or not): start and length in samples.
    std::optional<std::pair<double, double>> loop() const;

    // --- beat jumps
    void setJumpSize(int index); // into kJumpBeats, clamped
    int jumpSize() const { return jumpSize_; }
    void jump(int direction); // -1 back, +1 forward

    void setQuantize(bool on);
    bool quantize() const { return quantize_; }

    // --- the beat grid (refused with a "Warnung" where the tempo leaves 30 … 300 BPM)
    void gridHalve();
    void gridDouble();
    void gridShift(double ms); // positive: later
    void beatHere();           // the nearest grid line moves to the play position
    void tap();                // four or more taps set the tempo

    // The deck's play position now (samples); none without a song.
    std::optional<double> playFrame() const;
    // The song's length in samples as the reader knows it now (0 without a song).
    double songFrames() const;

signals:
    void padsChanged();
    void loopChanged();
    void settingsChanged(); // loop size, jump size, quantize

private:
    void songChanged();
    double snap(double frame) const;
    std::optional<double> beatFrames() const;
    int rate() const;
    bool playing() const;
    void saveGrid(engine::BeatGrid grid);
    void storePad(int pad);
    void setLoopAt(double start, double length);
    SongTable *table() const;

    Deck &deck_;
    std::function<SongTable *()> table_;
    std::array<std::optional<Pad>, kPads> pads_{};
    int loopSize_ = kDefaultLoopSize;
    int jumpSize_ = kDefaultJumpSize;
    bool quantize_ = false;
    std::optional<double> loopInFrame_;
    int previewPad_ = -1;
    bool rolling_ = false;
    mutable double lengthFrames_ = 0.0; // songFrames, once the reader's index is complete
    mutable bool lengthExact_ = false;
    engine::TapTempo tapper_;
    QElapsedTimer tapClock_;
};

} // namespace mixora::app
