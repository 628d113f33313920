// The mixer controls of the main window: per deck three EQ knobs with their kill buttons, a
// filter knob and a level meter, in a row of the deck's own (where its pads and loop buttons
// will join them); and the main output's meter. Each control is one call on its deck, each
// deck's change is shown on its controls, so a controller moving a deck's EQ moves the knob too.
//
// Never does: decide anything a deck decides (ranges, dead zones, ramps), or poll the meters
// faster than a screen shows them.
#pragma once

#include <QFrame>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>

class QAbstractButton;
class QLabel;
class QWidget;

namespace mixora::sound {
struct PeakReading;
}

namespace mixora::app {

class Deck;
class LevelMeter;
class MixKnob;
class TFormMixora;

// Knob travel: positions -100 … 100, the centre at 0 dB (or the filter off).
constexpr int kKnobHalfTravel = 100;
// The EQ knob's taper: the upper half boosts linearly in dB up to +6 dB; the lower half cuts with
// the gain falling linearly to nothing, so its bottom is the kill and half-way down is -6 dB.
double eqDbAt(int position);
int eqPositionOf(double dB);
QString eqText(double dB);
QString filterText(int position);

class DeckMixControls : public QObject {
    Q_OBJECT

public:
    static constexpr int kBands = 3;
    static inline const QString kBandNames[kBands] = {QStringLiteral("Tief"), QStringLiteral("Mitte"),
                                                      QStringLiteral("Hoch")};

    // Builds the deck's control row as a child of `area` (not yet placed).
    DeckMixControls(Deck &deck, QWidget *area, QObject *parent = nullptr);
    ~DeckMixControls() override;

    // The deck's control row: a frame whose layout later controls can be added to.
    QFrame *row() const { return row_.data(); }
    MixKnob *eqKnob(int band) const { return eq_[band]; }
    QAbstractButton *killButton(int band) const { return kill_[band]; }
    MixKnob *filterKnob() const { return filter_; }
    LevelMeter *meter() const { return meter_; }
    QLabel *valueLabel(int knob) const { return values_[knob]; } // bands 0-2, then the filter

    // Reads the deck's levels into the meter.
    void pollMeter();

private:
    void showDeck();
    void showEq(int band);
    void showFilter();

    Deck &deck_;
    QPointer<QFrame> row_;
    std::array<MixKnob *, kBands> eq_{};
    std::array<QAbstractButton *, kBands> kill_{};
    MixKnob *filter_ = nullptr;
    std::array<QLabel *, kBands + 1> values_{};
    LevelMeter *meter_ = nullptr;
};

// Both decks' controls and the main meter in the main window, placed by its layout.
class WindowMix : public QObject {
    Q_OBJECT

public:
    static constexpr int kMeterIntervalMs = 50;

    // mainPeak: the main output's level since the last call (none without an output).
    WindowMix(TFormMixora &window, Deck &links, Deck &rechts, std::function<sound::PeakReading()> mainPeak);
    ~WindowMix() override;

    DeckMixControls links;
    DeckMixControls rechts;
    LevelMeter *mainMeter() const { return mainMeter_; }
    // The meters follow another timer of the same interval from now on (see Deck::followTick); what
    // goes out on them repaints on the ticks the decks' displays repaint on.
    void followTick(QTimer &tick);

private:
    void poll();
    int ticks_ = 0; // since following a tick
    std::function<sound::PeakReading()> mainPeak_;
    QPointer<QWidget> mainPanel_;
    LevelMeter *mainMeter_ = nullptr;
    QTimer timer_;
};

} // namespace mixora::app
