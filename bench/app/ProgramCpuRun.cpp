// The whole program's CPU time while both decks play: all windows built and shown as at a start,
// the main output on a null device (its own real-time clock, no sound card), two analysed songs
// loaded from the library and playing. Prints the process's CPU time over the run as a share of
// one core, and each thread's share.
//
//     xvfb-run -a -s "-screen 0 1280x1024x24" build/rel/bin/program_cpu_run [SECONDS] [--no-strips]
//
// --no-strips hides the decks' waveform strips (the same run without them, for comparison);
// --maximised runs the window at the screen's full size; --eq sets each deck's EQ and filter off
// their neutral positions, so the decks' processing runs;
// --song-seconds N makes the two songs N seconds long (default 240, a usual song; at least the run and
// half a minute more): the seek bars and waveform strips move a pixel the more often, the shorter a song;
// --shot FILE saves a picture of the main window at the end; --events also prints how many events of
// each kind each object received per second and how many pixels each widget painted per second (where
// the window thread's time goes).
// Setting up (encoding and analysing the songs) is not counted; with MIXORA_BENCH_SONGS=FOLDER it is done
// once, and later runs take the songs and their library from that folder.
#include "analysis/Analysis.h"
#include "analysis/Store.h"
#include "app/Application.h"
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "app/Program.h"
#include "engine/sound/Sound.h"
#include "library/Datamod.h"
#include "settings/Geraete.h"
#include "settings/IniFile.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SongSuite.h"
#include "util/UiSeam.h"

#include <QDir>
#include <QEvent>
#include <QMetaEnum>
#include <QPaintEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

using namespace mixora;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Thread id → (name, CPU seconds) from /proc.
std::map<long, std::pair<std::string, double>> threadCpu() {
    std::map<long, std::pair<std::string, double>> threads;
    const double tick = double(sysconf(_SC_CLK_TCK));
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(entry.path() / "stat");
        std::string line;
        std::getline(in, line);
        const auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::stoul(field);
            if (i == 15)
                stime = std::stoul(field);
        }
        threads[std::stol(entry.path().filename().string())] = {line.substr(open + 1, close - open - 1),
                                                                double(utime + stime) / tick};
    }
    return threads;
}

// Counts the events each object receives, by the object's name (or class) and the event's type, and
// the pixels each widget's paint events cover (a widget repainting more than what changed shows here).
class EventCensus : public QObject {
public:
    bool counting = false;
    std::map<std::string, long> counts;
    std::map<std::string, long long> paintedPixels;

    bool eventFilter(QObject *watched, QEvent *event) override {
        if (counting) {
            const QString name = watched->objectName().isEmpty()
                                     ? QString::fromLatin1(watched->metaObject()->className())
                                     : watched->objectName();
            const char *type = QMetaEnum::fromType<QEvent::Type>().valueToKey(event->type());
            ++counts[name.toStdString() + " " + (type ? type : std::to_string(int(event->type())))];
            if (event->type() == QEvent::Paint) {
                const QRect rect = static_cast<QPaintEvent *>(event)->rect();
                paintedPixels[name.toStdString()] += static_cast<long long>(rect.width()) * rect.height();
            }
        }
        return false;
    }
};

void writeSong(const std::filesystem::path &file, double bpm, unsigned seed, double seconds) {
    test::SongRecipe recipe;
    recipe.name = file.stem().string();
    recipe.bpm = bpm;
    recipe.seconds = seconds;
    recipe.seed = seed;
    recipe.arpeggio = true;
    test::writeFile(file, test::encodeSong(recipe).mp3);
}

} // namespace

int main(int argc, char **argv) {
    int seconds = 60;
    bool strips = true;
    const char *shot = nullptr;
    bool events = false;
    bool maximised = false;
    bool eq = false;
    double songSeconds = 240.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-strips") == 0)
            strips = false;
        else if (std::strcmp(argv[i], "--shot") == 0 && i + 1 < argc)
            shot = argv[++i];
        else if (std::strcmp(argv[i], "--events") == 0)
            events = true;
        else if (std::strcmp(argv[i], "--maximised") == 0)
            maximised = true;
        else if (std::strcmp(argv[i], "--eq") == 0)
            eq = true;
        else if (std::strcmp(argv[i], "--song-seconds") == 0 && i + 1 < argc)
            songSeconds = std::atof(argv[++i]);
        else
            seconds = std::max(1, std::atoi(argv[i]));
    }
    setenv("MIXORA_SOUND", "null", 0);
    ui::setMessageHandler([](const ui::MessageRequest &request) {
        std::fprintf(stderr, "message: %s\n", request.text.toStdString().c_str());
        return ui::Answer::Ok;
    });

    test::TempDir dir;
    songSeconds = std::max(songSeconds, seconds + 30.0);
    // MIXORA_BENCH_SONGS names a folder that keeps the songs and their analysed library between runs.
    const char *kept = std::getenv("MIXORA_BENCH_SONGS");
    const std::filesystem::path songs = kept ? std::filesystem::path(kept) : dir.path();
    const auto keptLibrary = songs / ("library-" + std::to_string(int(songSeconds)) + ".db");
    const auto library = dir / "Data" / "data.db";
    if (kept && std::filesystem::exists(keptLibrary)) {
        std::filesystem::create_directories(library.parent_path());
        std::filesystem::copy_file(keptLibrary, library);
    } else {
        std::fprintf(stderr, "making two songs of %.0f s ...\n", songSeconds);
        std::filesystem::create_directories(songs);
        TDataModule1 data;
        data.openOrCreate(dir.path());
        analysis::Store store(data.Table1);
        store.attach();
        const char *names[] = {"A", "B"};
        for (int i = 0; i < 2; ++i) {
            const auto file =
                songs / (std::string(names[i]) + "-" + std::to_string(int(songSeconds)) + ".mp3");
            writeSong(file, i == 0 ? 124.0 : 128.0, unsigned(i + 1), songSeconds);
            SongRecord row{};
            row[kFieldInterpret] = std::string(names[i]);
            row[kFieldTitel] = std::string("Song ") + names[i];
            row[kFieldDateiname] = file.string();
            data.Table1.appendRecord(row);
            const auto result = analysis::analyseFile(file.string(), analysis::Options{});
            for (const auto &song : store.unanalysed())
                if (song.path == file.string() && result)
                    store.save(song, *result);
        }
    }
    if (kept && !std::filesystem::exists(keptLibrary))
        std::filesystem::copy_file(library, keptLibrary);
    {
        settings::IniFile ini(dir / "kelox.ini");
        for (const auto &device : sound::enumerateDevices())
            if (device.guid)
                ini.writeString(settings::kCardsSection, device.description, device.guid->toString());
        ini.writeString(settings::kDeviceSection, settings::kAuxKey, "Null-Ausgabe 1");
    }
    QDir::setCurrent(QString::fromStdString(dir.path().string()));

    app::TApplication application(argc, argv);
    EventCensus census;
    if (events)
        application.installEventFilter(&census);
    app::Program program;
    app::TFormMixora &window = program.FormMixora();
    if (maximised) {
        // Without a window manager a maximised window keeps its size: give it the screen's.
        if (const QScreen *screen = window.screen())
            window.setGeometry(screen->availableGeometry());
        window.showMaximized();
    } else {
        window.show();
    }
    SongTable &table = program.DataModule1().Table1;
    table.first();
    program.Decks().Links.load();
    table.next();
    program.Decks().Rechts.load();
    if (eq) {
        program.Decks().Links.setEq(sound::kEqLow, -10.0);
        program.Decks().Links.setEq(sound::kEqHigh, 3.0);
        program.Decks().Rechts.setEqKill(sound::kEqLow, true);
        program.Decks().Rechts.setFilter(0.4);
    }
    program.Decks().Links.play();
    program.Decks().Rechts.play();
    for (QWidget *strip :
         window.findChildren<QWidget *>(QStringLiteral("WaveStrip"), Qt::FindChildrenRecursively))
        strip->setVisible(strips);
    std::fprintf(stderr, "both decks: %s / %s\n", program.Decks().Links.stateWord().toStdString().c_str(),
                 program.Decks().Rechts.stateWord().toStdString().c_str());

    // Let the start settle (first paints, the first refills) before counting.
    double cpuStart = 0;
    std::map<long, std::pair<std::string, double>> threadsStart;
    QTimer::singleShot(2000, [&] {
        cpuStart = processCpuSeconds();
        threadsStart = threadCpu();
        census.counting = true;
        QTimer::singleShot(seconds * 1000, [&] {
            const double cpu = processCpuSeconds() - cpuStart;
            std::printf("run=%ds songs=%.0fs strips=%s eq=%s size=%dx%d states=%s/%s\n", seconds, songSeconds,
                        strips ? "visible" : "hidden", eq ? "set" : "neutral", window.width(),
                        window.height(), program.Decks().Links.stateWord().toStdString().c_str(),
                        program.Decks().Rechts.stateWord().toStdString().c_str());
            std::printf("cpu_percent_of_one_core=%.2f\n", 100.0 * cpu / seconds);
            for (const auto &[tid, thread] : threadCpu()) {
                const auto before = threadsStart.find(tid);
                const double used =
                    thread.second - (before == threadsStart.end() ? 0.0 : before->second.second);
                if (used > 0)
                    std::printf("  thread %-16s %.2f %%\n",
                                tid == getpid() ? "(window)" : thread.first.c_str(), 100.0 * used / seconds);
            }
            census.counting = false;
            for (const auto &[what, count] : census.counts)
                if (count >= seconds)
                    std::printf("  events %-48s %.1f/s\n", what.c_str(), double(count) / seconds);
            for (const auto &[what, pixels] : census.paintedPixels)
                if (census.counts[what + " Paint"] >= seconds)
                    std::printf("  painted %-47s %.0f pixels/s\n", what.c_str(), double(pixels) / seconds);
            if (shot)
                window.grab().save(QString::fromLocal8Bit(shot));
            application.quit();
        });
    });
    application.exec();
    return 0;
}
