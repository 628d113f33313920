// Everything the main window needs for searching, taking songs and auto-play, in one
// object: construct it with the window's controls, then fill in the two decks' functions.
//
//   wiring = std::make_unique<PlaylistWiring>(*songCursor, *FormPlayList,
//       SearchWidgets{ui.EditArtist, ui.EditSong, ui.EditGenre, ui.EditJahr, ui.DBGrid1},
//       ui.cbAutoPlay, nullptr, this);
//   wiring->decks.links = {hasPlayer, nearEnd, clearNearEnd, playing, load, loadFile, play};
#pragma once

#include "library/LibrarySearch.h"
#include "library/SearchBinder.h"
#include "playlist/AutoPlay.h"
#include "playlist/AutoPlayTimer.h"

#include <QObject>

class QAbstractButton;
class QAbstractItemView;
class QLineEdit;
class QTimer;
class TFormPlayList;

namespace mixora::playlist {

struct SearchWidgets {
    QLineEdit *artist = nullptr;
    QLineEdit *song = nullptr;
    QLineEdit *genre = nullptr;
    QLineEdit *jahr = nullptr;
    QAbstractItemView *grid = nullptr;
};

class PlaylistWiring : public QObject {
    Q_OBJECT

public:
    // timerAutoPlay may be null: the wiring then keeps its own timer.
    PlaylistWiring(library::SongCursor &songs, TFormPlayList &playlist, const SearchWidgets &widgets,
                   QAbstractButton *cbAutoPlay, QTimer *timerAutoPlay, QObject *parent = nullptr);

    library::FunctionDecks decks;
    library::LibrarySearch search;
    library::SearchBinder binder;
    AutoPlay autoPlay;
    QTimer *timer;

private:
    AutoPlayTimer *autoPlayTimer_;
};

} // namespace mixora::playlist
