// What the playlist, the search boxes and auto-play need of the two decks. The main window
// implements it with its deck handlers, so the decision logic runs in tests without audio.
#pragma once

#include <string>

namespace mixora::playlist {

enum class Deck { Links, Rechts };

inline Deck otherDeck(Deck d) {
    return d == Deck::Links ? Deck::Rechts : Deck::Links;
}

class Decks {
public:
    virtual ~Decks() = default;
    virtual bool hasPlayer(Deck deck) const = 0;
    virtual bool nearEnd(Deck deck) const = 0;
    virtual void clearNearEnd(Deck deck) = 0;
    // The deck's state word ("playing", "loaded", …; empty before the first load).
    virtual std::string stateWord(Deck deck) const = 0;
    // The deck's load button: loads the song table's current row unless the deck is
    // "playing" or "seeking".
    virtual void loadCurrentRow(Deck deck) = 0;
    // Loads a file that has no library row, refusing like the load button does.
    virtual void loadFile(Deck deck, const std::string &path) = 0;
    // A left-button press on the play panel: pauses a playing deck, else starts it.
    virtual void play(Deck deck) = 0;
};

} // namespace mixora::playlist
