// The main window's four search boxes over the song table, and taking the current song
// into the playlist or the free decks. Each box searches in its own index: it selects
// that index before every key search, so a search still works after auto-play or the
// playlist loader switched the table to file-name order.
#pragma once

#include "library/Decks.h"
#include "library/PlaylistAccess.h"
#include "library/SongCursor.h"

#include <string>

namespace mixora::library {

enum class SearchBox { Artist, Song, Genre, Jahr };

struct SearchKey {
    const char *index; // selected when the box gains the focus
    const char *field; // searched on every change of the box's text
};
SearchKey searchKeyOf(SearchBox box);

// "<count> Titel vorhanden"
std::string countText(long recordCount);

// artist " - " title
std::string displayLine(const std::string &artist, const std::string &title);

class LibrarySearch {
public:
    LibrarySearch(SongCursor &songs, PlaylistAccess &playlist, Decks &decks);

    // The box gained the focus: the grid re-sorts by its field, the current song stays.
    void enter(SearchBox box);
    // The box's text changed: the cursor goes to the first row at or after the text.
    void change(SearchBox box, const std::string &text);
    // Enter in a box or the grid, double-click on the grid: the current song goes into the
    // playlist when it is shown, else into every deck that is neither playing nor seeking.
    void takeCurrentRow();

    std::string countText() const;

private:
    SongCursor &songs_;
    PlaylistAccess &playlist_;
    Decks &decks_;
};

} // namespace mixora::library
