// How much of the machine a background thread may take: the one place where the program lowers
// a thread (the frame indexer, the song analysis). Linux only; elsewhere nothing changes.
//
// Never does: raise a thread above the ordinary priority it was started with.
#pragma once

namespace mixora::engine {

enum class ThreadPriority {
    // Nice 10 and the lowest best-effort disk class, on every core: work that may use a free
    // machine but gives way to anything ordinary.
    Low,
    // Scheduled only when a core would idle, idle disk class, kept off the first core: work that
    // must never delay a playing deck.
    Idle,
};

// The kernel's id of the calling thread (0 where there is none).
int currentThreadId();

// Applies the priority to a thread of this process (its kernel id; 0 is the calling thread).
// False where the system refused part of it: an unprivileged thread cannot leave Idle for Low.
bool setThreadPriority(ThreadPriority priority, int threadId = 0);

} // namespace mixora::engine
