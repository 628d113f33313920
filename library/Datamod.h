// The data module: owns the song table (Table1) and writes ID3v1 tags back into the MP3
// files while the editor window is shown (Table1AfterPost), in the background: the row is
// saved at once, its file follows. Qt-free; the windows hook in through the callbacks.
#pragma once

#include "library/Id3Tag.h"
#include "library/SongTable.h"
#include "library/TagWriter.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace mixora {

class TDataModule1 {
public:
    using ID3Tag = mixora::ID3Tag;

    TDataModule1();
    ~TDataModule1();
    TDataModule1(const TDataModule1 &) = delete;
    TDataModule1 &operator=(const TDataModule1 &) = delete;

    SongTable Table1;

    // The start-up steps of the table: creates ProgramDir/Data when missing, creates the
    // table when data.db is missing, and opens it in artist order. Returns true when it
    // created the table (the caller then shows the scan window). Throws DatabaseError
    // with a message for the user (not a database, locked, cannot be created); an
    // existing file is never replaced.
    bool openOrCreate(const std::filesystem::path &programDir);

    static std::filesystem::path dataFolder(const std::filesystem::path &programDir);
    static std::filesystem::path tableFile(const std::filesystem::path &programDir);

    // Whether the editor window is shown; posts write tags only then. Unset: never.
    std::function<bool()> editorShown;
    // Told when a write-back failed, with a German message for the user; the row itself is
    // saved. Unset: the failure is only kept in lastTagWrite().
    std::function<void(const std::string &message)> tagWriteFailed;

    // The after-post step: hands the posted row's title, artist, year and genre to the
    // background writer for the file its "DateiName" names, when the editor window is shown.
    void Table1AfterPost();
    // Called off the window thread when written tags wait to be collected; must not block.
    void setTagWritesReady(std::function<void()> ready) { writer_.setWake(std::move(ready)); }
    // On the window thread: takes the finished writes, tells failures (tagWriteFailed) and
    // shows positions a rewrite moved. Returns how many it took.
    int collectTagWrites();
    // True while a tag is waiting to be written or being written.
    bool tagWritesPending() const { return writer_.busy(); }
    // Waits until every posted row is in its file, then collects.
    void finishTagWrites();
    // The result of the last write collected.
    const TagWriteResult &lastTagWrite() const { return lastTagWrite_; }

private:
    // Hands the current row's texts to the writer (its positions move with the audio when it has a key).
    void writeTagsOf(std::optional<std::int64_t> key);

    TagWriteResult lastTagWrite_;
    TagWriter writer_; // last: finishes its jobs while the table is still open
};

} // namespace mixora
