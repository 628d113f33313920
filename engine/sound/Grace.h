// Grace periods between a device's mix and the threads that swap what it reads (a minimal RCU).
//
// The mix brackets each pass with a ReadScope and loads every shared pointer through read(). A thread
// that takes something away from the mix calls replace() (or publishes and then calls synchronize()):
// when it returns, no pass that may still hold the old pointer is running, and the caller may free it.
// The read side is wait-free: two atomic increments per pass and plain loads, no lock, no allocation.
//
// Why it holds: every operation here is sequentially consistent, so the publication, a pass's entry and
// that pass's pointer load all sit in one total order. Either synchronize() reads the state before the
// pass enters (then the pass's load comes after the publication and sees the new pointer), or it sees
// the pass inside and waits until it leaves. A release store followed by a load of another atomic gives
// no such order (the store may wait in a store buffer while the load goes ahead), so nothing here is
// weaker than sequentially consistent, and nobody outside this class orders the steps by hand.
//
// One reader at a time: a device mixes its periods one after another. Writers may be many.
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>

namespace mixora::sound::detail {

class Grace {
public:
    class ReadScope {
    public:
        explicit ReadScope(Grace &grace) : grace_(grace) {
            [[maybe_unused]] std::uint64_t before = grace_.state_.fetch_add(1, std::memory_order_seq_cst);
            assert((before & 1) == 0 && "two passes of one mix at once");
        }
        ~ReadScope() { grace_.state_.fetch_add(1, std::memory_order_seq_cst); }
        ReadScope(const ReadScope &) = delete;
        ReadScope &operator=(const ReadScope &) = delete;

    private:
        Grace &grace_;
    };

    // The reader's load of a pointer that writers replace.
    template <class T> static T *read(const std::atomic<T *> &slot) {
        return slot.load(std::memory_order_seq_cst);
    }

    // Publishes next and returns the previous pointer once no pass can still be reading it.
    template <class T> T *replace(std::atomic<T *> &slot, T *next) {
        T *old = slot.exchange(next, std::memory_order_seq_cst);
        synchronize();
        return old;
    }

    // Returns once every pass that was running at the call has left. Blocks: never call it from the mix.
    void synchronize() const;

private:
    // Odd while a pass runs; every entry and every exit adds one.
    std::atomic<std::uint64_t> state_{0};
};

} // namespace mixora::sound::detail
