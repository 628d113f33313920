// The disk import and the database check, free of any toolkit: the scan window's "Start"
// and the command-line import run exactly this code.
//
// Appends go into transactions committed every two thousand rows and at the end, so a large
// library imports in seconds and a crash or kill loses at most the rows of the open batch;
// every committed row stays. Rows are appended a few dozen to a statement. Each file costs one open, one stat
// and the reads of its tags (its first ten bytes, the ID3v2 tag they announce, its last bytes); the audio is
// never read.
//
// A file the table already holds adds no row; but a row with neither artist nor title (from
// an import that read only ID3v1) gets artist, title, year and genre from the file's tags.
//
// "Dateiname" holds the path's bytes exactly as the file system gives them, whole (no cut
// at 255 characters). A name that is not valid UTF-8 is kept byte for byte too: the row then
// names the file it came from, so the check keeps it and a deck can open it; only its
// display shows replacement characters.
#pragma once

#include "library/SongTable.h"
#include "library/SongTags.h"
#include "scan/ProgressSink.h"
#include "scan/Walker.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace mixora::scan {

inline constexpr const char *kCheckCaption = "überprüfe Datenbank";
inline constexpr const char *kScanCaption = "scanne Hardisk und integriere mp3-Dateien in DB";
// The scan's bar only shows that work goes on: it fills once every this many steps.
inline constexpr int kScanProgressMaximum = 10000;
inline constexpr int kDefaultBatchRows = 2000;

struct ScanCounts {
    std::int64_t removed = 0; // rows the check deleted
    std::int64_t missing = 0; // rows kept whose file lies on a file system not mounted now
    std::int64_t added = 0;   // rows the import appended
    std::int64_t refused = 0; // files whose path the table already holds
    std::int64_t filled = 0;  // of those, rows without artist and title that got the file's texts
};

// The row the import appends for a file: its path and the texts of its tags (ID3v2, then
// APE, then ID3v1, field by field), each cut to its field's width.
SongRecord importRecord(const std::string &path, const SongTags &tags);

class Scanner : private WalkHandler {
public:
    Scanner(SongTable &table, ProgressSink &progress);
    ~Scanner() override;
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    void setBatchRows(int rows) { batchRows_ = rows > 0 ? rows : 1; }
    // Walk a root's folders and read the tags on a helper thread while this thread appends
    // the rows (on by default). The table and the progress display are only ever touched
    // by the calling thread, in the same order as without the helper.
    void setParallelWalk(bool on) { parallelWalk_ = on; }

    // "Start": the check when the table holds rows, then every root (ending with '/')
    // walked and imported under the scan's progress bar, which is closed at the end.
    ScanCounts start(const std::vector<std::string> &roots);

    // Where the mounted file systems are listed (mountinfo format); the system's by default.
    void setMountTable(std::string mountInfoFile) { mountTable_ = std::move(mountInfoFile); }

    // Deletes every row whose "Dateiname" is known to name no file (nothing there, or a
    // folder); a file that cannot be looked at (no permission, I/O error) keeps its row, and so
    // does one below a mount point the library has seen that is not mounted now (a stick that
    // is away): it counts as missing and is found as it was once the drive is back. One
    // progress step per row, under its own caption; returns the rows deleted.
    std::int64_t CheckDatabase();
    // The root's own files, then everything below it.
    void scanRoot(const std::string &root);
    void ScanDirectory(const std::string &folder);
    void ImportMp3Files(const std::string &folder);
    // Reads the file's tag and appends its row; false when the table already holds the path
    // or the path names no regular file. Any other refusal of the table
    // throws DatabaseError, after committing the rows appended before it.
    bool ImportFile(const std::string &path);

    // Commits the rows appended so far (also done every batch and at the end of a walk).
    // When the commit fails, the batch is rolled back and counted out before the error goes on.
    void commitPending();
    const ScanCounts &counts() const { return counts_; }

private:
    void step() override;
    void file(int dirFd, const char *name, const std::string &path) override;
    bool append(const SongRecord &record);
    // Rows wait here until a statement or the batch is full.
    void queue(SongRecord &&record);
    void appendQueued();
    void startOwnTransaction();
    void commitBatch();
    static bool hasTexts(const SongRecord &record);
    // Runs a walk, then appends and commits what it queued; after a failure too, before it
    // goes on.
    template <class Walk> void finishWalk(Walk &&walk);
    void scanRootParallel(const std::string &root);
    // Commits the open batch when the file still takes it, else counts it out; never throws.
    void endOwnTransaction() noexcept;
    // The open batch is lost: count it out and leave the table outside any transaction.
    void dropBatch(int rows) noexcept;
    // Reads the mount table and adds its mount points to those data.db remembers.
    void rememberMounts();
    // A path whose file is gone: on a file system that is there (the row goes), or on one that
    // is away (the row stays).
    bool onAbsentFileSystem(const std::string &path) const;

    SongTable &table_;
    ProgressSink &progress_;
    Walker walker_;
    ScanCounts counts_;
    int batchRows_ = kDefaultBatchRows;
    int pendingRows_ = 0;
    std::vector<SongRecord> queued_;
    std::vector<bool> added_;
    bool ownTransaction_ = false;
    bool parallelWalk_ = true;
    std::string mountTable_;
    bool mountsRemembered_ = false;
    std::set<std::string> mounted_; // mounted now
    std::set<std::string> known_;   // ever seen, the mounted ones included
};

} // namespace mixora::scan
