// Helpers shared by the scan tests: small MP3-like files with ID3v1 tags, and a song table
// in a temporary program folder.
#pragma once

#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <filesystem>
#include <string>
#include <vector>

namespace mixora::test {

// A few hundred bytes of stand-in audio and, when tag is given, the 128 tag bytes after it.
inline void writeSong(const std::filesystem::path &file, const std::vector<std::uint8_t> &tag = {},
                      std::size_t audioBytes = 400) {
    std::filesystem::create_directories(file.parent_path());
    std::vector<std::uint8_t> bytes;
    bytes.reserve(audioBytes + tag.size());
    bytes.assign(audioBytes, 0x55);
    for (const std::uint8_t b : tag) // not insert(): GCC 12 warns falsely about its memmove
        bytes.push_back(b);
    writeFile(file, bytes);
}

inline std::vector<std::uint8_t> tagOf(const std::string &title, const std::string &artist,
                                       const std::string &year = "", const std::string &comment = "") {
    return makeId3v1(title, artist, "", year, comment);
}

// A program folder with an open song table.
struct Library {
    TempDir dir;
    TDataModule1 data;
    Library() { data.openOrCreate(dir.path()); }
    SongTable &table() { return data.Table1; }
    std::filesystem::path music(const std::string &rel = "") const { return dir.path() / "music" / rel; }
    std::string root() const { return (dir.path() / "music").string() + "/"; }
    // The rows' paths in the order of their "Index" (the order they were appended).
    std::vector<std::string> pathsInImportOrder() {
        table().setIndexName("");
        std::vector<std::string> paths;
        for (auto key : table().keysInOrder())
            paths.push_back(std::get<std::string>((*table().readRecord(key))[kFieldDateiname]));
        return paths;
    }
};

} // namespace mixora::test
