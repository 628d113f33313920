// Stand-ins for the song table and the decks, so the search and auto-play decisions can be
// checked without SQLite or audio. The table behaves like the song table's cursor: one
// active index, key search to the nearest row compared without regard to ASCII case.
#pragma once

#include "library/Decks.h"
#include "library/PlaylistAccess.h"
#include "library/SongCursor.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

namespace mixora::test {

struct Song {
    std::string interpret, titel, genre, jahr, dateiname;
};

inline std::string lower(std::string s) {
    for (auto &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class FakeSongs : public library::SongCursor {
public:
    std::vector<Song> songs;
    std::string index = "iInterpret";
    int current = -1;             // position in songs
    std::vector<std::string> log; // "index:<name>", "search:<value>"

    explicit FakeSongs(std::vector<Song> s = {}) : songs(std::move(s)) {
        if (!songs.empty())
            current = order().front();
    }

    std::string keyOf(const Song &s) const {
        const std::string i = lower(index);
        if (i == "ititel")
            return s.titel;
        if (i == "igenre")
            return s.genre;
        if (i == "ijahr")
            return s.jahr;
        if (i == "idateiname")
            return s.dateiname;
        return s.interpret;
    }
    std::vector<int> order() const {
        std::vector<int> o(songs.size());
        for (std::size_t i = 0; i < o.size(); ++i)
            o[i] = static_cast<int>(i);
        std::stable_sort(o.begin(), o.end(), [&](int a, int b) {
            return lower(keyOf(songs[static_cast<std::size_t>(a)])) <
                   lower(keyOf(songs[static_cast<std::size_t>(b)]));
        });
        return o;
    }

    void selectIndex(const std::string &name) override {
        index = name;
        log.push_back("index:" + name);
    }
    void keySearch(const std::string &value) override {
        log.push_back("search:" + value);
        const auto o = order();
        if (o.empty()) {
            current = -1;
            return;
        }
        current = o.back();
        for (int i : o)
            if (lower(keyOf(songs[static_cast<std::size_t>(i)])) >= lower(value)) {
                current = i;
                break;
            }
    }
    std::string field(const std::string &name) const override {
        if (current < 0)
            return {};
        const Song &s = songs[static_cast<std::size_t>(current)];
        const std::string n = lower(name);
        if (n == "interpret")
            return s.interpret;
        if (n == "titel")
            return s.titel;
        if (n == "genre")
            return s.genre;
        if (n == "jahr")
            return s.jahr;
        if (n == "dateiname")
            return s.dateiname;
        return {};
    }
    bool hasCurrentRow() const override { return current >= 0; }
    long recordCount() const override { return static_cast<long>(songs.size()); }
};

class FakeDecks : public library::Decks {
public:
    struct State {
        bool player = false;
        bool nearEnd = false;
        std::string word;
        std::string file; // what was loaded last
    };
    std::map<library::Deck, State> deck{{library::Deck::Links, {}}, {library::Deck::Rechts, {}}};
    library::SongCursor *songs = nullptr; // loadCurrentRow reads its "DateiName"
    std::vector<std::string> log;         // "load L <file>", "file R <path>", "play L"

    static char name(library::Deck d) { return d == library::Deck::Links ? 'L' : 'R'; }

    bool hasPlayer(library::Deck d) const override { return deck.at(d).player; }
    bool nearEnd(library::Deck d) const override { return deck.at(d).nearEnd; }
    void clearNearEnd(library::Deck d) override { deck[d].nearEnd = false; }
    bool playing(library::Deck d) const override { return deck.at(d).word == "playing"; }
    void loadCurrentRow(library::Deck d) override {
        const std::string file = songs ? songs->field("DateiName") : std::string();
        log.push_back(std::string("load ") + name(d) + " " + file);
        if (deck[d].word == "playing" || deck[d].word == "seeking")
            return;
        deck[d] = {true, false, "loaded", file};
    }
    void loadFile(library::Deck d, const std::string &path) override {
        log.push_back(std::string("file ") + name(d) + " " + path);
        if (deck[d].word == "playing" || deck[d].word == "seeking")
            return;
        deck[d] = {true, false, "loaded", path};
    }
    void play(library::Deck d) override {
        log.push_back(std::string("play ") + name(d));
        auto &s = deck[d];
        if (!s.player)
            return;
        s.word = s.word == "playing" ? "paused" : "playing";
    }
};

class FakePlaylist : public library::PlaylistAccess {
public:
    bool shown = true;
    std::vector<std::string> files;
    std::vector<std::string> lines;
    int next = 0;
    std::vector<int> selected;

    bool isShown() const override { return shown; }
    int count() const override { return static_cast<int>(files.size()); }
    std::string entry(int i) const override { return files.at(static_cast<std::size_t>(i)); }
    int nextIndex() const override { return next; }
    void setNextIndex(int i) override { next = i; }
    void selectLine(int i) override { selected.push_back(i); }
    void append(const std::string &path, const std::string &line) override {
        files.push_back(path);
        lines.push_back(line);
    }
};

} // namespace mixora::test
