// Library of 100,000 songs: opening it up to the first row a grid shows, the memory that
// costs, a key search per keystroke, and walking the cursor.
#include "library/Datamod.h"
#include "library/SongTableModel.h"
#include "tests/support/Fixtures.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <random>
#include <unistd.h>

using namespace mixora;
namespace t = mixora::test;

namespace {

constexpr int kRows = 100000;

const std::vector<std::string> &syllables() {
    static const std::vector<std::string> s{"ab", "ba", "ce", "dö", "el", "fa", "gi", "hä", "io", "ju",
                                            "ka", "lü", "mo", "ne", "or", "pa", "qu", "ri", "sa", "to",
                                            "ur", "vi", "wa", "xe", "yo", "ze", "Äl", "Öz", "Ün", "ß"};
    return s;
}

std::string word(std::mt19937 &rng, int parts) {
    std::string w;
    for (int i = 0; i < parts; ++i)
        w += syllables()[rng() % syllables().size()];
    w[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[0])));
    return w;
}

// The library file, made once per run.
const std::filesystem::path &libraryDir() {
    static t::TempDir dir;
    static bool made = false;
    if (!made) {
        TDataModule1 module;
        module.openOrCreate(dir.path());
        std::mt19937 rng(42);
        auto &table = module.Table1;
        table.startTransaction();
        for (int i = 0; i < kRows; ++i) {
            SongRecord r;
            r[kFieldInterpret] = word(rng, 2) + " " + word(rng, 3);
            r[kFieldTitel] = word(rng, 4);
            r[kFieldGenre] = word(rng, 2);
            r[kFieldJahr] = std::to_string(1950 + static_cast<int>(rng() % 75));
            r[kFieldDateiname] = "/music/" + std::to_string(i % 500) + "/" + std::to_string(i) + ".mp3";
            r[kFieldStartzeit] = std::int64_t{0};
            r[kFieldAnalyse] = false;
            table.appendRecord(r);
            if (i % 500 == 499) {
                table.commit();
                table.startTransaction();
            }
        }
        table.commit();
        made = true;
    }
    return dir.path();
}

double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Opening the table and building the main grid's model, up to the text of the first row.
void BM_OpenToFirstShownRow(benchmark::State &state) {
    const auto &dir = libraryDir();
    const double before = residentMegabytes();
    double grown = 0;
    for (auto _ : state) {
        auto module = std::make_unique<TDataModule1>();
        module->openOrCreate(dir);
        SongTableModel model(module->Table1, SongTableModel::mainGridColumns());
        const auto text = model.data(model.index(model.currentRow(), 0)).toString();
        benchmark::DoNotOptimize(text);
        grown = residentMegabytes() - before;
        if (model.rowCount() != kRows)
            state.SkipWithError("wrong row count");
    }
    state.counters["rows"] = kRows;
    state.counters["resident_MB"] = residentMegabytes();
    state.counters["grown_MB"] = grown;
}
BENCHMARK(BM_OpenToFirstShownRow)->Unit(benchmark::kMillisecond);

// One keystroke in "Suche Interpret": key search with the text typed so far.
void BM_KeySearchPerKeystroke(benchmark::State &state) {
    TDataModule1 module;
    module.openOrCreate(libraryDir());
    SongTableModel model(module.Table1, SongTableModel::mainGridColumns());
    std::mt19937 rng(7);
    std::vector<std::string> typed;
    for (int i = 0; i < 200; ++i) {
        const std::string w = word(rng, 3);
        for (std::size_t n = 1; n <= w.size(); ++n)
            typed.push_back(w.substr(0, n));
    }
    std::size_t k = 0;
    int row = 0;
    for (auto _ : state) {
        module.Table1.findNearest(typed[k++ % typed.size()]);
        row = model.currentRow(); // the grid asks where to scroll
        benchmark::DoNotOptimize(row);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeySearchPerKeystroke)->Unit(benchmark::kMicrosecond);

// Switching the index, as focusing a search box does: the grid re-reads the order.
void BM_SelectIndexWithGrid(benchmark::State &state) {
    TDataModule1 module;
    module.openOrCreate(libraryDir());
    SongTableModel model(module.Table1, SongTableModel::mainGridColumns());
    bool flip = false;
    for (auto _ : state) {
        module.Table1.setIndexName(flip ? "iInterpret" : "iTitel");
        flip = !flip;
    }
}
BENCHMARK(BM_SelectIndexWithGrid)->Unit(benchmark::kMillisecond);

// Walking the cursor row by row, as the database check does.
void BM_NextRow(benchmark::State &state) {
    TDataModule1 module;
    module.openOrCreate(libraryDir());
    module.Table1.first();
    for (auto _ : state) {
        module.Table1.next();
        if (module.Table1.eof())
            module.Table1.first();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextRow)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::benchmark::Initialize(&argc, argv);
    if (::benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
