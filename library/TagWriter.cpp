#include "library/TagWriter.h"

#include "library/BytePositions.h"

#include <utility>

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace mixora {
namespace {

// Copying a whole file would otherwise compete with the decks' reads of theirs.
void lowerIoPriority() {
#ifdef __linux__
    constexpr int kIoprioClassIdle = 3;
    constexpr int kIoprioClassShift = 13;
    constexpr int kIoprioWhoProcess = 1; // with 0: the calling thread
    ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift);
#endif
}

} // namespace

TagWriter::TagWriter() {
    thread_ = std::thread([this] { run(); });
}

TagWriter::~TagWriter() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void TagWriter::setWake(std::function<void()> wake) {
    std::lock_guard lock(wakeMutex_);
    wake_ = std::move(wake);
}

void TagWriter::submit(TagJob job) {
    {
        std::lock_guard lock(mutex_);
        bool replaced = false;
        for (auto &waiting : queue_)
            if (waiting.file == job.file && waiting.database == job.database) {
                waiting = job;
                replaced = true;
            }
        if (!replaced)
            queue_.push_back(std::move(job));
    }
    changed_.notify_all();
}

std::vector<TagJobDone> TagWriter::takeDone() {
    std::lock_guard lock(mutex_);
    return std::exchange(done_, {});
}

bool TagWriter::busy() const {
    std::lock_guard lock(mutex_);
    return running_ || !queue_.empty();
}

void TagWriter::waitIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !running_ && queue_.empty(); });
}

void TagWriter::run() {
    lowerIoPriority();
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopping, every job written
        TagJob job = std::move(queue_.front());
        queue_.pop_front();
        running_ = true;
        lock.unlock();

        TagWriteResult result;
        if (job.database.empty()) {
            result = writeId3Tag(job.file, job.texts);
        } else {
            RowPositionsMove positions(job.database, job.index, job.file.string());
            positions.begin();
            result = writeId3Tag(job.file, job.texts, &positions);
            positions.end();
        }

        lock.lock();
        done_.push_back({std::move(job), std::move(result)});
        running_ = false;
        lock.unlock();
        changed_.notify_all();
        {
            std::lock_guard wakeLock(wakeMutex_);
            if (wake_)
                wake_();
        }
        lock.lock();
    }
}

} // namespace mixora
