// What the search boxes, the playlist and auto-play need of the two decks. It lives with the
// library search, the lowest layer that loads decks; the main window implements it with its
// deck handlers, so the decision logic runs in tests without audio.
#pragma once

#include <functional>
#include <string>

namespace mixora::library {

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
    // Whether the deck is playing (not paused, cued, searching or ended).
    virtual bool playing(Deck deck) const = 0;
    // The deck's load button: loads the song table's current row unless the deck is
    // "playing" or "seeking".
    virtual void loadCurrentRow(Deck deck) = 0;
    // Loads a file that has no library row, refusing like the load button does.
    virtual void loadFile(Deck deck, const std::string &path) = 0;
    // A left-button press on the play panel: pauses a playing deck, else starts it.
    virtual void play(Deck deck) = 0;
};

// Decks given as one set of functions per deck, so the main window wires its two decks with
// a few lambdas. A missing function counts as "no player" / does nothing.
struct DeckFunctions {
    std::function<bool()> hasPlayer;
    std::function<bool()> nearEnd;
    std::function<void()> clearNearEnd;
    std::function<bool()> playing;
    std::function<void()> loadCurrentRow;
    std::function<void(const std::string &)> loadFile;
    std::function<void()> play;
};

class FunctionDecks : public Decks {
public:
    DeckFunctions links, rechts;

    bool hasPlayer(Deck d) const override { return call(of(d).hasPlayer, false); }
    bool nearEnd(Deck d) const override { return call(of(d).nearEnd, false); }
    void clearNearEnd(Deck d) override { run(of(d).clearNearEnd); }
    bool playing(Deck d) const override { return call(of(d).playing, false); }
    void loadCurrentRow(Deck d) override { run(of(d).loadCurrentRow); }
    void loadFile(Deck d, const std::string &path) override {
        if (of(d).loadFile)
            of(d).loadFile(path);
    }
    void play(Deck d) override { run(of(d).play); }

private:
    const DeckFunctions &of(Deck d) const { return d == Deck::Links ? links : rechts; }
    template <typename T> static T call(const std::function<T()> &f, T fallback) {
        return f ? f() : fallback;
    }
    static void run(const std::function<void()> &f) {
        if (f)
            f();
    }
};

} // namespace mixora::library
