// The two decks and the mixer of the main window, built over its controls and its state: the
// players, time modes and headphone flags stay the window's members, so closing the window
// destroys the players before the devices whatever the decks are doing.
#pragma once

#include "app/Deck.h"
#include "app/DeckAnalysis.h"
#include "app/DeckCuePanel.h"
#include "app/DeckCues.h"
#include "app/MixControls.h"
#include "app/Mixer.h"

#include <QTimer>

class QAction;

namespace mixora::app {

class TFormMixora;

class WindowDecks {
public:
    // Each deck and the mixer connect their own controls' signals.
    explicit WindowDecks(TFormMixora &window);
    WindowDecks(const WindowDecks &) = delete;
    WindowDecks &operator=(const WindowDecks &) = delete;

    Deck Links;
    Deck Rechts;
    Mixer mixer;
    // Waveform strips and Auto-Gain of the two decks, and the switch in "Einstellungen".
    DeckAnalysis linksAnalysis;
    DeckAnalysis rechtsAnalysis;
    QAction *autoGain = nullptr;
    // Hot cues, loops, jumps and grid edits of the two decks; their buttons sit in the decks' rows.
    DeckCues linksCues;
    DeckCues rechtsCues;
    // EQ, filter and meters of both decks, and the main output's meter.
    WindowMix mix;
    DeckCuePanel *linksPanel = nullptr;
    DeckCuePanel *rechtsPanel = nullptr;

private:
    void setAutoGain(bool on);
    TFormMixora &window_;
    AutoGainSettings autoGainSettings_;
    QTimer tick_; // both decks' and the meters' 50 ms tick
};

} // namespace mixora::app
