#include "scan/AnalysisService.h"

#include "library/SongTable.h"

#include <QMetaObject>

using mixora::TableChange;
using mixora::TableState;
using mixora::analysis::JobQueue;
using mixora::analysis::Lane;
using mixora::analysis::Outcome;

AnalysisService::AnalysisService(mixora::SongTable &table, JobQueue::AnalyseFn analyse, int threads,
                                 QObject *parent)
    : QObject(parent), table_(table), store_(table) {
    refresh_.setSingleShot(true);
    refresh_.setInterval(500);
    connect(&refresh_, &QTimer::timeout, this, [this] {
        if (!table_.active())
            return;
        if (table_.state() == TableState::Browse)
            table_.refresh();
        else
            refresh_.start(); // after the edit
    });
    listener_ = table_.addListener([this](TableChange change) {
        if (change == TableChange::State && !held_.empty() && table_.state() == TableState::Browse)
            QMetaObject::invokeMethod(this, &AnalysisService::flushHeld, Qt::QueuedConnection);
    });
    // Outcomes come on the workers; posted to this object, they are dropped if it is gone.
    queue_ = std::make_unique<JobQueue>(
        std::move(analyse),
        [this](Outcome outcome) {
            QMetaObject::invokeMethod(
                this, [this, o = std::move(outcome)]() mutable { arrive(std::move(o)); },
                Qt::QueuedConnection);
        },
        threads);
}

AnalysisService::~AnalysisService() {
    queue_.reset();
    table_.removeListener(listener_);
}

// Cheap enough to repeat, and the table may have been reopened on another file meanwhile.
void AnalysisService::attach() {
    store_.attach();
}

int AnalysisService::analyseLibrary() {
    attach();
    const auto songs = store_.unanalysed();
    if (libraryWaiting_.empty())
        libraryTotal_ = 0;
    for (const auto &song : songs)
        if (libraryWaiting_.insert(song.index).second)
            ++libraryTotal_;
    queue_->add(songs, Lane::Library);
    emit libraryProgress(libraryDone(), libraryTotal_);
    if (libraryWaiting_.empty())
        emit libraryFinished();
    return static_cast<int>(libraryWaiting_.size());
}

void AnalysisService::cancelLibrary() {
    queue_->cancel(Lane::Library);
    libraryWaiting_.clear();
    libraryTotal_ = 0;
}

bool AnalysisService::songLoaded(std::int64_t index) {
    try {
        attach();
        const auto song = store_.unanalysed(index);
        if (!song)
            return false;
        queue_->add(*song, Lane::Deck);
        return true;
    } catch (const mixora::DatabaseError &e) {
        emit storeFailed(QString::fromStdString(e.what()));
        return false;
    }
}

void AnalysisService::arrive(Outcome outcome) {
    if (table_.active() && table_.state() != TableState::Browse)
        held_.push_back(std::move(outcome));
    else
        storeNow(outcome);
}

void AnalysisService::flushHeld() {
    if (!table_.active() || table_.state() != TableState::Browse)
        return;
    auto outcomes = std::move(held_);
    held_.clear();
    for (const auto &outcome : outcomes)
        storeNow(outcome);
}

void AnalysisService::storeNow(const Outcome &outcome) {
    bool stored = false;
    if (table_.active()) {
        try {
            attach();
            if (outcome.result)
                stored = store_.save(outcome.song, *outcome.result);
            else
                store_.saveFailure(outcome.song); // not again at every scan and load
        } catch (const mixora::DatabaseError &e) {
            emit storeFailed(QString::fromStdString(e.what()));
        }
    }
    if (stored && !refresh_.isActive())
        refresh_.start();
    emit songFinished(outcome.song.index, stored);
    if (libraryWaiting_.erase(outcome.song.index) > 0) {
        emit libraryProgress(libraryDone(), libraryTotal_);
        if (libraryWaiting_.empty())
            emit libraryFinished();
    }
}
