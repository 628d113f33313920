// Playlist files of a long set, and search keystrokes on a library of 20,000 songs.
#include "library/LibrarySearch.h"
#include "library/TableCursor.h"
#include "playlist/PlaylistFile.h"

#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

using namespace mixora;

namespace {

std::vector<std::string> paths(int n) {
    std::vector<std::string> v;
    v.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        v.push_back("/home/dj/Musik/Interpret " + std::to_string(i % 977) + "/Album/" + std::to_string(i) +
                    " - Titel mit Ümlaut.mp3");
    return v;
}

void BM_SaveAndLoadMxp(benchmark::State &state) {
    test::TempDir dir;
    const auto entries = paths(static_cast<int>(state.range(0)));
    const std::string file = (dir / "set.mxp").string();
    for (auto _ : state) {
        playlist::writeMxp(file, entries);
        auto back = playlist::readPlaylistLines(file);
        benchmark::DoNotOptimize(back);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SaveAndLoadMxp)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Large enough for the index lookups to be real; the table's own benchmark covers 100,000.
constexpr int kLibraryRows = 20000;

struct Library {
    test::TempDir dir;
    TDataModule1 data;
    Library() {
        data.openOrCreate(dir.path());
        data.Table1.startTransaction();
        for (int i = 0; i < kLibraryRows; ++i) {
            SongRecord r{};
            r[kFieldInterpret] = "Interpret " + std::to_string((i * 7919) % kLibraryRows);
            r[kFieldTitel] = "Titel " + std::to_string((i * 104729) % kLibraryRows);
            r[kFieldJahr] = std::to_string(1950 + i % 70);
            r[kFieldDateiname] = "/music/" + std::to_string(i) + ".mp3";
            data.Table1.appendRecord(r);
            // Batches as the import commits them; one huge transaction is slower.
            if (i % 500 == 499) {
                data.Table1.commit();
                data.Table1.startTransaction();
            }
        }
        data.Table1.commit();
    }
};

Library &library() {
    static Library lib;
    return lib;
}

struct NoPlaylist : library::PlaylistAccess {
    bool isShown() const override { return false; }
    int count() const override { return 0; }
    std::string entry(int) const override { return {}; }
    int nextIndex() const override { return 0; }
    void setNextIndex(int) override {}
    void selectLine(int) override {}
    void append(const std::string &, const std::string &) override {}
};

struct NoDecks : library::Decks {
    bool hasPlayer(library::Deck) const override { return false; }
    bool nearEnd(library::Deck) const override { return false; }
    void clearNearEnd(library::Deck) override {}
    bool playing(library::Deck) const override { return false; }
    void loadCurrentRow(library::Deck) override {}
    void loadFile(library::Deck, const std::string &) override {}
    void play(library::Deck) override {}
};

// One keystroke in a search box: the box's index is selected, then the key search runs.
void BM_SearchKeystroke(benchmark::State &state) {
    auto &lib = library();
    library::TableCursor cursor(lib.data.Table1);
    NoPlaylist list;
    NoDecks decks;
    library::LibrarySearch search(cursor, list, decks);
    const std::vector<std::string> typed = {"i", "in", "int", "interpret 4", "interpret 45", "interpret 456"};
    std::size_t k = 0;
    for (auto _ : state) {
        search.change(library::SearchBox::Artist, typed[k++ % typed.size()]);
        benchmark::DoNotOptimize(cursor.hasCurrentRow());
    }
}
BENCHMARK(BM_SearchKeystroke)->Unit(benchmark::kMicrosecond);

// Display lines of a 500-entry playlist loaded against the library.
void BM_DisplayLines500(benchmark::State &state) {
    auto &lib = library();
    library::TableCursor cursor(lib.data.Table1);
    std::vector<std::string> entries;
    for (int i = 0; i < 500; ++i)
        entries.push_back("/music/" + std::to_string(i * 37) + ".mp3");
    for (auto _ : state) {
        cursor.selectIndex("iDateiName");
        std::size_t n = 0;
        for (const auto &e : entries) {
            cursor.keySearch(e);
            n += library::displayLine(cursor.field("Interpret"), cursor.field("Titel")).size();
        }
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_DisplayLines500)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
