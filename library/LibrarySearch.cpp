#include "library/LibrarySearch.h"

namespace mixora::library {

SearchKey searchKeyOf(SearchBox box) {
    switch (box) {
    case SearchBox::Artist:
        return {"iInterpret", "Interpret"};
    case SearchBox::Song:
        return {"iTitel", "Titel"};
    case SearchBox::Genre:
        return {"iGenre", "Genre"};
    case SearchBox::Jahr:
        return {"iJahr", "Jahr"};
    }
    return {"iInterpret", "Interpret"};
}

std::string countText(long recordCount) {
    return std::to_string(recordCount) + " Titel vorhanden";
}

std::string displayLine(const std::string &artist, const std::string &title) {
    return artist + " - " + title;
}

LibrarySearch::LibrarySearch(SongCursor &songs, PlaylistAccess &playlist, Decks &decks)
    : songs_(songs), playlist_(playlist), decks_(decks) {}

void LibrarySearch::enter(SearchBox box) {
    songs_.selectIndex(searchKeyOf(box).index);
}

void LibrarySearch::change(SearchBox box, const std::string &text) {
    songs_.selectIndex(searchKeyOf(box).index);
    songs_.keySearch(text);
}

void LibrarySearch::takeCurrentRow() {
    // An empty library has no song to take; an empty entry would only fail later.
    if (!songs_.hasCurrentRow())
        return;
    if (playlist_.isShown()) {
        playlist_.append(songs_.field("DateiName"),
                         displayLine(songs_.field("Interpret"), songs_.field("Titel")));
        return;
    }
    decks_.loadCurrentRow(Deck::Links);
    decks_.loadCurrentRow(Deck::Rechts);
}

std::string LibrarySearch::countText() const {
    return library::countText(songs_.recordCount());
}

} // namespace mixora::library
