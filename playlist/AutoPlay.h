// One auto-play step: when one deck plays its last seconds and the other is not playing,
// the next song goes into the other deck and starts. The next song is the playlist's entry
// at NextIndex while the playlist is shown, otherwise the library's current song.
// Auto-play only loads and starts; it never touches a fader.
#pragma once

#include "library/Decks.h"
#include "library/PlaylistAccess.h"
#include "library/SongCursor.h"

#include <functional>
#include <string>

namespace mixora::playlist {

class AutoPlay {
public:
    // Whether an entry's file can be played; entries failing it are skipped.
    using FileCheck = std::function<bool(const std::string &path)>;

    AutoPlay(library::Decks &decks, library::SongCursor &songs, library::PlaylistAccess &playlist);

    void setFileCheck(FileCheck check) { fileCheck_ = std::move(check); }

    // Runs the two checks in order (left nearing its end, then right); at most one acts.
    // Returns the deck that was loaded and started, if any.
    enum class Result { Nothing, StartedLinks, StartedRechts, NothingToPlay };
    Result step();

private:
    bool switchTo(library::Deck target);

    library::Decks &decks_;
    library::SongCursor &songs_;
    library::PlaylistAccess &playlist_;
    FileCheck fileCheck_;
};

// A regular file that exists (the default file check).
bool playableFile(const std::string &path);

} // namespace mixora::playlist
