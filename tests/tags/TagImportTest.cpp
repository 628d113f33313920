// The scan's import through the tag reader: what a row gets, and rows of earlier imports
// that had no artist and no title.
#include "scan/Scanner.h"
#include "tests/scan/ScanTestSupport.h"
#include "tests/tags/TagBuilders.h"

#include <gtest/gtest.h>

using namespace mixora;
namespace t = mixora::test;
using namespace mixora::test::tagbytes;

namespace {

SongRecord rowOf(SongTable &table, const std::string &path) {
    table.setIndexName("iDateiname");
    table.findNearest(path);
    EXPECT_EQ(table.fieldAsString("DateiName"), path);
    return table.currentRecord();
}

std::string textOf(const SongRecord &row, SongField f) {
    return fieldValueText(row[static_cast<std::size_t>(f)]);
}

} // namespace

TEST(TagImport, RowsTakeWholeId3v2TextsAndKnownRowsWithoutArtistAndTitleAreFilled) {
    t::Library lib;
    const std::string longTitle(120, 'T');
    const Bytes v2 =
        tag(4, {text(4, "TIT2", longTitle), text(4, "TPE1", "Ärzte", kUtf8),
                text(4, "TCON", "Progressive Breakbeat Electro"), text(4, "TDRC", "2019-02-01")});
    t::writeSong(lib.music("new.mp3"));
    t::appendFile(lib.music("new.mp3"), v2); // the tag after some bytes is no tag: empty row
    t::writeFile(lib.music("v2.mp3"), v2 + Bytes(400, 0x55));
    t::writeFile(lib.music("Known.mp3"), v2 + Bytes(400, 0x55));
    t::writeFile(lib.music("named.mp3"), v2 + Bytes(400, 0x55));

    // Rows of an earlier import: one without artist and title, with a year, a cue point and
    // beats, and one with a title.
    SongRecord known{};
    known[kFieldDateiname] = lib.music("Known.mp3").string();
    known[kFieldBeats] = std::int64_t{128};
    known[kFieldStartzeit] = std::int64_t{4711};
    known[kFieldJahr] = std::string("1990");
    lib.table().appendRecord(known);
    const auto knownIndex = *lib.table().currentKey();
    SongRecord named{};
    named[kFieldDateiname] = lib.music("named.mp3").string();
    named[kFieldTitel] = std::string("Mine");
    lib.table().appendRecord(named);

    scan::SilentProgress progress;
    scan::Scanner scanner(lib.table(), progress);
    const auto counts = scanner.start({lib.root()});
    EXPECT_EQ(counts.added, 2);
    EXPECT_EQ(counts.filled, 1);

    const auto v2row = rowOf(lib.table(), lib.music("v2.mp3").string());
    EXPECT_EQ(textOf(v2row, kFieldTitel), longTitle);
    EXPECT_EQ(textOf(v2row, kFieldInterpret), "Ärzte");
    EXPECT_EQ(textOf(v2row, kFieldGenre), "Progressive Breakbeat Electro");
    EXPECT_EQ(textOf(v2row, kFieldJahr), "2019");
    EXPECT_EQ(textOf(rowOf(lib.table(), lib.music("new.mp3").string()), kFieldTitel), "");

    const auto filled = rowOf(lib.table(), lib.music("Known.mp3").string());
    EXPECT_EQ(textOf(filled, kFieldTitel), longTitle);
    EXPECT_EQ(textOf(filled, kFieldInterpret), "Ärzte");
    EXPECT_EQ(textOf(filled, kFieldJahr), "2019");
    EXPECT_EQ(std::get<std::int64_t>(filled[kFieldIndex]), knownIndex);
    EXPECT_EQ(std::get<std::int64_t>(filled[kFieldBeats]), 128);
    EXPECT_EQ(std::get<std::int64_t>(filled[kFieldStartzeit]), 4711);

    const auto kept = rowOf(lib.table(), lib.music("named.mp3").string());
    EXPECT_EQ(textOf(kept, kFieldTitel), "Mine");
    EXPECT_EQ(textOf(kept, kFieldInterpret), "");
}
