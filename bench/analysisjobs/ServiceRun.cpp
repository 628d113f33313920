// How long the program's analysis takes for a folder of songs, through the service the scan
// window uses: once with both decks silent, once with two decks playing on null devices (the
// analysis then steps aside to idle priority, off the first core). Reports wall and CPU time.
// Usage: analysis_service_run FOLDER [idle|playing]... (both, in that order, by default)
#include "analysis/Analysis.h"
#include "engine/DoublePlayer.h"
#include "library/Datamod.h"
#include "scan/AnalysisService.h"
#include "tests/support/Fixtures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace mixora;

namespace {

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void run(const std::vector<fs::path> &songs, bool playing) {
    test::TempDir dir;
    TDataModule1 data;
    data.openOrCreate(dir.path());
    for (const fs::path &song : songs) {
        SongRecord row{};
        row[kFieldDateiname] = song.string();
        row[kFieldAnalyse] = false;
        data.Table1.appendRecord(row);
    }
    AnalysisService service(data.Table1,
                            [](const std::string &path, const std::atomic<bool> *cancel, std::string *error) {
                                return analysis::analyseFile(path, analysis::Options{}, cancel, error);
                            });
    auto aux = sound::Device::createNull("Aux");
    auto head = sound::Device::createNull("Head");
    std::vector<std::unique_ptr<engine::DoublePlayer>> decks;
    if (playing) {
        for (int i = 0; i < 2; ++i) {
            auto deck = std::make_unique<engine::DoublePlayer>(aux.get(), head.get());
            if (deck->Open(songs[static_cast<std::size_t>(i)].string()) != 0) {
                std::fprintf(stderr, "cannot open %s\n", songs[static_cast<std::size_t>(i)].c_str());
                return;
            }
            deck->Play();
            decks.push_back(std::move(deck));
        }
        service.setDecksPlaying(true);
    }
    QElapsedTimer wall;
    const double cpu0 = processCpuSeconds();
    wall.start();
    bool done = false;
    QObject::connect(&service, &AnalysisService::libraryFinished, [&] { done = true; });
    const int waiting = service.analyseLibrary();
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    const double cpu = processCpuSeconds() - cpu0;
    const auto left = static_cast<int>(service.store().unanalysed().size());
    for (auto &deck : decks)
        deck->Stop();
    std::printf("%-8s songs %d  not analysed %d  wall %.1f s  cpu %.1f s  underflows %lld\n",
                playing ? "playing" : "idle", waiting, left, seconds, cpu,
                static_cast<long long>(aux->underflows() + head->underflows()));
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [idle|playing]...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> songs;
    for (const auto &entry : fs::directory_iterator(argv[1]))
        if (entry.path().extension() == ".mp3")
            songs.push_back(entry.path());
    std::sort(songs.begin(), songs.end());
    if (songs.size() < 2) {
        std::fprintf(stderr, "%s holds fewer than two songs\n", argv[1]);
        return 2;
    }
    std::vector<std::string> modes(argv + 2, argv + argc);
    if (modes.empty())
        modes = {"idle", "playing"};
    for (const std::string &mode : modes)
        run(songs, mode == "playing");
    return 0;
}
