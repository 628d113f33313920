// The program's analysis: owns the job queue and the result store, and stores every outcome on
// the window thread (the song table's thread) as soon as it arrives, so a killed program loses
// only the songs in progress. The scan window asks it for the library's unanalysed songs, a
// deck for the song it has just loaded.
//
// Never does: store while the table is being edited (the user's post would overwrite what was
// stored, and a refresh would post for them); such outcomes wait until the edit has ended.
#pragma once

#include "analysis/Jobs.h"
#include "analysis/Store.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

namespace mixora {
class SongTable;
}

namespace mixora::scan {
inline constexpr const char *kAnalysisCaption = "analysiere mp3-Dateien";
}

class AnalysisService : public QObject {
    Q_OBJECT

public:
    // threads 0: one per core.
    AnalysisService(mixora::SongTable &table, mixora::analysis::JobQueue::AnalyseFn analyse, int threads = 0,
                    QObject *parent = nullptr);
    ~AnalysisService() override;

    // Queues every song whose "Analyse" is not true; returns how many the library now waits for.
    // Throws DatabaseError when the table is closed or cannot be read.
    int analyseLibrary();
    // "Abbruch": stops the library's analysis; what was stored stays.
    void cancelLibrary();
    bool libraryBusy() const { return !libraryWaiting_.empty(); }
    int libraryTotal() const { return libraryTotal_; }
    int libraryDone() const { return libraryTotal_ - static_cast<int>(libraryWaiting_.size()); }

    // A deck has loaded the row with this "Index": analysed at once, before the library's songs,
    // unless it is analysed already. False when nothing was queued.
    bool songLoaded(std::int64_t index);

    // Whether a deck plays: the analysis steps aside to idle priority while one does.
    void setDecksPlaying(bool playing) { queue_->setDecksPlaying(playing); }

    // How long the grids may show a stored result late; refreshing them for every song would
    // reread a large library's order several times a second.
    void setRefreshDelayMs(int ms) { refresh_.setInterval(ms); }

    mixora::analysis::Store &store() { return store_; }
    // Outcomes that wait for an edit to end.
    int held() const { return static_cast<int>(held_.size()); }

signals:
    // A song's results were stored (or its file could not be analysed: stored false).
    void songFinished(qint64 index, bool stored);
    void libraryProgress(int done, int total);
    // The library's songs are all done (not sent after cancelLibrary).
    void libraryFinished();
    // Storing failed (a German message); the analysis goes on.
    void storeFailed(const QString &message);

private:
    void attach();
    void arrive(mixora::analysis::Outcome outcome);
    void storeNow(const mixora::analysis::Outcome &outcome);
    void flushHeld();

    mixora::SongTable &table_;
    mixora::analysis::Store store_;
    int listener_ = 0;
    std::vector<mixora::analysis::Outcome> held_;
    std::set<std::int64_t> libraryWaiting_;
    int libraryTotal_ = 0;
    QTimer refresh_;
    // Last: its workers stop before anything they deliver to goes away.
    std::unique_ptr<mixora::analysis::JobQueue> queue_;
};
