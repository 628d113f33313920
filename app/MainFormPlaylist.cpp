#include "app/MainFormPlaylist.h"

#include "app/Deck.h"
#include "app/MainForm.h"
#include "playlist/Playlist.h"
#include "playlist/Wiring.h"

#include <QTimer>

namespace mixora::app {

library::DeckFunctions deckFunctions(Deck &deck) {
    library::DeckFunctions f;
    f.hasPlayer = [&deck] { return deck.hasPlayer(); };
    // The player's worker raises the flag; it may be replaced or gone by the time we ask.
    f.nearEnd = [&deck] {
        const engine::DoublePlayer *p = deck.player();
        return p && p->NearEnd();
    };
    f.clearNearEnd = [&deck] {
        if (engine::DoublePlayer *p = deck.player())
            p->ClearNearEnd();
    };
    f.playing = [&deck] { return deck.state() == Deck::State::Playing; };
    f.loadCurrentRow = [&deck] { deck.load(); };
    f.loadFile = [&deck](const std::string &path) {
        if (deck.sounding())
            return;
        deck.loadFile(QString::fromStdString(path));
    };
    // Auto-play's start: on a beat of the ending song when that one's beat is known.
    f.play = [&deck] { deck.play(Deck::Start::OnBeat); };
    return f;
}

std::unique_ptr<playlist::PlaylistWiring> wirePlaylist(TFormMixora &window, Deck &links, Deck &rechts,
                                                       library::SongCursor &songs, TFormPlayList &playlist) {
    auto *timer = new QTimer(&window);
    timer->setObjectName(QStringLiteral("TimerAutoPlay"));
    auto wiring = std::make_unique<playlist::PlaylistWiring>(
        songs, playlist,
        playlist::SearchWidgets{window.ui.EditArtist, window.ui.EditSong, window.ui.EditGenre,
                                window.ui.EditJahr, window.ui.DBGrid1},
        window.ui.cbAutoPlay, timer);
    wiring->decks.links = deckFunctions(links);
    wiring->decks.rechts = deckFunctions(rechts);
    return wiring;
}

} // namespace mixora::app
