#include "library/Datamod.h"

#include "library/BytePositions.h"

#include <system_error>

namespace mixora {

TDataModule1::TDataModule1() {
    Table1.setTableName("data.db");
    Table1.setAfterPost([this] { Table1AfterPost(); });
}

TDataModule1::~TDataModule1() = default;

std::filesystem::path TDataModule1::dataFolder(const std::filesystem::path &programDir) {
    return programDir / "Data";
}

std::filesystem::path TDataModule1::tableFile(const std::filesystem::path &programDir) {
    return dataFolder(programDir) / "data.db";
}

bool TDataModule1::openOrCreate(const std::filesystem::path &programDir) {
    const auto folder = dataFolder(programDir);
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec)
            throw DatabaseError("Der Ordner " + folder.string() +
                                " kann nicht angelegt werden: " + ec.message());
    }
    Table1.close();
    Table1.setDatabaseName(folder);
    Table1.setTableName("data.db");
    bool created = false;
    if (!Table1.exists()) {
        Table1.createTable();
        created = true;
    }
    Table1.setIndexFieldNames("Interpret");
    Table1.open();
    // Write-backs a kill interrupted: their moves are made, their texts written again.
    std::vector<std::int64_t> unfinished;
    try {
        unfinished = settlePendingTagWrites(Table1.handle());
    } catch (const DatabaseError &) {
        // Left for the next start; the table itself is fine.
    }
    if (!unfinished.empty()) {
        const auto at = Table1.currentKey();
        for (const std::int64_t key : unfinished)
            if (Table1.gotoKey(key))
                writeTagsOf(key);
        Table1.refresh();
        if (!at || !Table1.gotoKey(*at))
            Table1.first();
    }
    return created;
}

void TDataModule1::Table1AfterPost() {
    if (!editorShown || !editorShown())
        return;
    writeTagsOf(Table1.currentKey());
}

void TDataModule1::writeTagsOf(std::optional<std::int64_t> key) {
    const std::filesystem::path file = Table1.fieldAsString("DateiName");
    TagTexts texts;
    texts.title = Table1.fieldAsString("Titel");
    texts.artist = Table1.fieldAsString("Interpret");
    texts.year = Table1.fieldAsString("Jahr");
    texts.genre = Table1.fieldAsString("Genre");
    writer_.submit(
        {file, std::move(texts), key ? Table1.filePath() : std::filesystem::path(), key.value_or(0)});
}

int TDataModule1::collectTagWrites() {
    auto done = writer_.takeDone();
    bool moved = false;
    for (auto &write : done) {
        lastTagWrite_ = write.result;
        moved = moved || write.result.status == TagWriteStatus::Written;
        if (!write.result.ok() && tagWriteFailed)
            tagWriteFailed(tagWriteMessage(write.job.file, write.result));
    }
    // A rewrite may have moved the row's positions through a connection of its own.
    if (moved && Table1.active() && Table1.state() == TableState::Browse)
        Table1.refresh();
    return static_cast<int>(done.size());
}

void TDataModule1::finishTagWrites() {
    writer_.waitIdle();
    collectTagWrites();
}

} // namespace mixora
