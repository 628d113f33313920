// The main window's search boxes, library grid, playlist and auto-play, driving the window's
// two decks: what the playlist library decides, the decks carry out.
#pragma once

#include "library/Decks.h"

#include <memory>

class TFormPlayList;

namespace mixora::library {
class SongCursor;
}
namespace mixora::playlist {
class PlaylistWiring;
} // namespace mixora::playlist

namespace mixora::app {

class Deck;
class TFormMixora;

// One deck as the search and auto-play see it. Loading a file refuses while the deck is
// "playing" or "seeking", exactly like its load button.
library::DeckFunctions deckFunctions(Deck &deck);

// Binds the window's four search boxes and grid, and its auto-play box to a once-a-second
// timer named TimerAutoPlay (a child of the window). The result must be destroyed before
// the decks, the song cursor and the playlist window.
std::unique_ptr<playlist::PlaylistWiring> wirePlaylist(TFormMixora &window, Deck &links, Deck &rechts,
                                                       library::SongCursor &songs, TFormPlayList &playlist);

} // namespace mixora::app
