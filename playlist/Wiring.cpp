#include "playlist/Wiring.h"

#include "playlist/Playlist.h"

#include "util/UiSeam.h"

#include <QTimer>

namespace mixora::playlist {

using library::SearchBox;

PlaylistWiring::PlaylistWiring(library::SongCursor &songs, TFormPlayList &playlist,
                               const SearchWidgets &widgets, QAbstractButton *cbAutoPlay,
                               QTimer *timerAutoPlay, QObject *parent)
    : QObject(parent), search(songs, playlist, decks), binder(search, this), autoPlay(decks, songs, playlist),
      timer(timerAutoPlay ? timerAutoPlay : new QTimer(this)) {
    if (!timerAutoPlay)
        timer->setObjectName(QStringLiteral("TimerAutoPlay"));
    for (auto [edit, box] : {std::pair{widgets.artist, SearchBox::Artist},
                             {widgets.song, SearchBox::Song},
                             {widgets.genre, SearchBox::Genre},
                             {widgets.jahr, SearchBox::Jahr}})
        if (edit)
            binder.bindBox(edit, box);
    if (widgets.grid)
        binder.bindGrid(widgets.grid);
    // A refused search is told to the user instead of vanishing.
    binder.onError = [](const std::string &message) {
        mixora::ui::message(nullptr, QStringLiteral("Fehler"), QString::fromStdString(message));
    };
    autoPlayTimer_ = cbAutoPlay ? new AutoPlayTimer(cbAutoPlay, timer, autoPlay, this) : nullptr;
}

} // namespace mixora::playlist
