// The tag write-back off the window thread: posted rows' texts go into their files on one
// worker thread at idle I/O priority, so rewriting a large file never stalls the window and a
// deck's reads come first. Jobs run in the order given; a row posted again while its job still
// waits replaces that job, so the file ends with the row's last texts. The owner collects the
// results on its own thread (takeDone) after the wake call. Destruction finishes every job.
#pragma once

#include "library/Id3Tag.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace mixora {

struct TagJob {
    std::filesystem::path file;
    TagTexts texts;
    // data.db and the row whose byte positions move with the audio; no database: none kept.
    std::filesystem::path database;
    std::int64_t index = 0;
};

struct TagJobDone {
    TagJob job;
    TagWriteResult result;
};

class TagWriter {
public:
    TagWriter();
    ~TagWriter();
    TagWriter(const TagWriter &) = delete;
    TagWriter &operator=(const TagWriter &) = delete;

    // Called on the worker thread whenever a result is ready; it must not block. Once
    // setWake returns, the wake it replaced is no longer running or called.
    void setWake(std::function<void()> wake);
    void submit(TagJob job);
    // The results since the last call, in order.
    std::vector<TagJobDone> takeDone();
    // True while a job waits or runs.
    bool busy() const;
    // Waits until no job waits or runs.
    void waitIdle();

private:
    void run();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<TagJob> queue_;
    std::vector<TagJobDone> done_;
    std::mutex wakeMutex_; // held while the wake runs
    std::function<void()> wake_;
    bool running_ = false; // a job is being written
    bool stop_ = false;
    std::thread thread_;
};

} // namespace mixora
