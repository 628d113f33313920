// Every byte position the library keeps of a song's file, and the one place that moves them
// when a tag rewrite moves the file's audio: the cue point ("StartZeit"), "EndZeit" and the
// analysis' audible start and end. A table that adds positions of its own moves them here.
// Positions in the decoded stream (hot cues, loops, the beat grid: samples or seconds) do not
// move: a tag rewrite moves the audio as a whole, and the stream it decodes to stays the same.
//
// A write-back in progress is noted in data.db ("PendingTagWrites") before its file is touched, and
// with the move its positions will make before the file is renamed; the move and the end of the note
// are one transaction after the rename. A kill anywhere between leaves the note, and the next open
// settles it (settlePendingTagWrites), so row and file agree again without another post.
#pragma once

#include "library/Id3Tag.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct sqlite3;

namespace mixora {

// Moves the byte positions of the row `index` in one statement per table, inside whatever
// transaction the caller holds: a position at or after `from` (the old start of the audio)
// moves by `delta`; one before it (in the old tag: "from the first frame") stays, but never
// beyond the new start of the audio. Empty positions stay empty. Throws DatabaseError.
void moveBytePositions(sqlite3 *db, std::int64_t index, std::uint64_t from, std::int64_t delta);

// The positions of one row, moved through a connection of its own to data.db (so a writer
// off the window thread may use it): prepare() opens a write transaction and moves them,
// finish() commits or rolls back. A row that no longer names `file` has nothing to move.
class RowPositionsMove : public AudioMove {
public:
    RowPositionsMove(std::filesystem::path database, std::int64_t index, std::string file);
    ~RowPositionsMove() override;
    // Notes the write-back before the file is touched; false when data.db could not take the note.
    bool begin();
    bool prepare(std::uint64_t from, std::int64_t delta, std::string &reason) override;
    void finish(bool replaced) override;
    // The write-back is over, written or not: its note goes.
    void end();

private:
    bool connect(std::string &reason);
    void close();
    std::filesystem::path database_;
    std::int64_t index_;
    std::string file_;
    sqlite3 *db_ = nullptr;
};

// Settles the write-backs a kill interrupted, on data.db's own connection: where the file already has
// its new layout, the noted move is made now. Returns the rows of every note, whose texts are to be
// written again (a file that has them already is left as it is). Throws DatabaseError.
std::vector<std::int64_t> settlePendingTagWrites(sqlite3 *db);

} // namespace mixora
