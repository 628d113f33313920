#include "playlist/AutoPlay.h"

#include <filesystem>
#include <system_error>

namespace mixora::playlist {

using library::Deck;
using library::otherDeck;

bool playableFile(const std::string &path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

AutoPlay::AutoPlay(library::Decks &decks, library::SongCursor &songs, library::PlaylistAccess &playlist)
    : decks_(decks), songs_(songs), playlist_(playlist), fileCheck_(playableFile) {}

AutoPlay::Result AutoPlay::step() {
    for (const Deck trigger : {Deck::Links, Deck::Rechts}) {
        const Deck target = otherDeck(trigger);
        if (!decks_.hasPlayer(trigger) || !decks_.nearEnd(trigger) || decks_.playing(target))
            continue;
        // With nothing to play the flag stays raised, so an entry added in the last
        // seconds is still taken at the next step.
        if (!switchTo(target))
            return Result::NothingToPlay;
        decks_.clearNearEnd(trigger);
        return target == Deck::Links ? Result::StartedLinks : Result::StartedRechts;
    }
    return Result::Nothing;
}

bool AutoPlay::switchTo(Deck target) {
    if (!playlist_.isShown()) {
        decks_.loadCurrentRow(target);
        decks_.play(target);
        return true;
    }
    const int n = playlist_.count();
    int index = playlist_.nextIndex();
    for (int tries = 0; tries < n; ++tries) {
        if (index < 0 || index >= n)
            index = 0;
        const int taken = index;
        const std::string path = playlist_.entry(taken);
        index = taken + 1 > n - 1 ? 0 : taken + 1;
        if (fileCheck_ && !fileCheck_(path))
            continue; // a vanished file would leave the deck silent; the next entry plays instead
        playlist_.setNextIndex(index);
        playlist_.selectLine(taken);
        songs_.selectIndex("iDateiname");
        songs_.keySearch(path);
        // Only the entry's own row may be loaded; a path without a row is played as a file.
        if (songs_.hasCurrentRow() && library::samePath(songs_.field("DateiName"), path))
            decks_.loadCurrentRow(target);
        else
            decks_.loadFile(target, path);
        decks_.play(target);
        return true;
    }
    return false;
}

} // namespace mixora::playlist
