// The sound layer across threads: events between threads, the offline device's refill handshake, the
// null device's clock, and buffers created, changed and destroyed while a device mixes.
#include "tests/sound/SoundTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

using namespace mixora::sound;
using mixora::sound::testing::makeBuffer;
using namespace std::chrono_literals;

namespace {

TEST(EventThreads, SetFromAnotherThreadWakesTheRightWaitOnce) {
    Event a, b;
    std::atomic<int> woke{-2};
    std::thread waiter([&] { woke = waitAny(a, b, 10s); });
    std::this_thread::sleep_for(5ms);
    b.set();
    waiter.join();
    EXPECT_EQ(woke.load(), 1);
    EXPECT_FALSE(b.isSet());
    EXPECT_EQ(waitAny(a, b, 1ms), kWaitTimeout);

    // Both set: the first in list order is taken, the other stays for the next wait.
    a.set();
    b.set();
    EXPECT_EQ(waitAny(a, b, 0ms), 0);
    EXPECT_EQ(waitAny(a, b, 0ms), 1);
    Event stop;
    stop.set();
    EXPECT_EQ(waitAny({&a, nullptr, &stop}, std::nullopt), 2);
}

TEST(EventThreads, ManySetsAcrossThreadsAreNeverLostWhileWaiting) {
    // A producer signals N times, each after the consumer consumed the previous one.
    Event request, reply;
    constexpr int kRounds = 2000;
    std::thread consumer([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_TRUE(request.wait(10s)) << "lost wake-up at round " << i;
            reply.set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        request.set();
        ASSERT_TRUE(reply.wait(10s)) << "lost reply at round " << i;
    }
    consumer.join();
}

// A deck-like worker: refills the half the cursor is not in with the next frames of an endless
// counter signal, taking a random while about it.
struct CounterDeck {
    static constexpr std::uint32_t kHalfFrames = 5760;
    std::unique_ptr<Buffer> buffer;
    std::shared_ptr<Event> half = std::make_shared<Event>();
    std::shared_ptr<Event> end = std::make_shared<Event>();
    Event stop;
    std::uint32_t nextFrame = 0;
    std::thread worker;
    unsigned seed;

    CounterDeck(Device &device, unsigned seed_) : seed(seed_) {
        buffer = device.createBuffer(PcmFormat{44100, 2, 16}, 4 * 2 * kHalfFrames);
        buffer->setNotifications({{4 * kHalfFrames, half}, {4 * 2 * kHalfFrames - 1, end}});
        fill(0);
        fill(4 * kHalfFrames);
    }
    void fill(std::uint32_t offset) {
        auto bytes = mixora::sound::testing::pcmBytes(2, kHalfFrames, [&](std::uint32_t f, int c) {
            int v = int((nextFrame + f) % 30000);
            return c ? -v : v;
        });
        nextFrame += kHalfFrames;
        buffer->write(offset, bytes.data(), std::uint32_t(bytes.size()));
    }
    void start() {
        buffer->play(true);
        worker = std::thread([this] {
            std::mt19937 random(seed);
            while (waitAny({half.get(), end.get(), &stop}) != 2) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
                fill(buffer->cursor() < 4 * kHalfFrames ? 4 * kHalfFrames : 0);
            }
        });
    }
    ~CounterDeck() {
        stop.set();
        if (worker.joinable())
            worker.join();
    }
};

TEST(OfflineDevice, WaitsForEachRefillSoOutputIsExactAndReproducible) {
    std::vector<std::int16_t> runs[2];
    for (int r = 0; r < 2; ++r) {
        auto device = Device::createOffline();
        CounterDeck deck(*device, unsigned(r + 1));
        deck.start();
        // Odd call lengths: the offline periods do not depend on them.
        for (std::size_t done = 0; done < 44100 * 3;) {
            std::size_t n = r == 0 ? 1000 : 333;
            auto out = device->render(n);
            runs[r].insert(runs[r].end(), out.begin(), out.end());
            done += n;
        }
    }
    ASSERT_GE(std::min(runs[0].size(), runs[1].size()), 2u * 44100 * 3);
    for (std::size_t i = 0; i < 44100 * 3; ++i) {
        // Every frame is the next one of the signal: no half was played stale or twice.
        ASSERT_EQ(runs[0][2 * i], int(i % 30000)) << "frame " << i;
        ASSERT_EQ(runs[0][2 * i + 1], -int(i % 30000)) << "frame " << i;
        ASSERT_EQ(runs[1][2 * i], runs[0][2 * i]) << "frame " << i;
    }
}

TEST(OfflineDevice, AWorkerThatNeverAnswersDoesNotFreezeRendering) {
    auto device = Device::createOffline();
    device->setRefillTimeout(20ms);
    auto buffer = device->createBuffer(PcmFormat{44100, 2, 16}, 4096);
    auto event = std::make_shared<Event>();
    buffer->setNotifications({{0, event}});
    buffer->play(true);
    device->render(4096); // signals twice; nobody waits
    EXPECT_TRUE(event->isSet());
}

TEST(NullDevice, ConsumesAudioAtRealTimePaceAndSignalsAnotherThread) {
    auto device = Device::createNull("Null", 256);
    auto buffer = makeBuffer(*device, 44100, 2, 4410, [](auto, int) { return 0; }); // 0.1 s
    auto half = std::make_shared<Event>();
    auto end = std::make_shared<Event>();
    buffer->setNotifications({{4410 * 2, half}, {4410 * 4 - 1, end}});
    auto started = std::chrono::steady_clock::now();
    buffer->play(true);
    int halves = 0, ends = 0;
    for (int i = 0; i < 8; ++i) {
        int w = waitAny(*half, *end, 5s);
        ASSERT_NE(w, kWaitTimeout) << "no notification from the null device's clock";
        (w == 0 ? halves : ends)++;
    }
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(halves, 4);
    EXPECT_EQ(ends, 4);
    // Eight notifications are 0.35 s of audio at least; a clock running free would take microseconds.
    EXPECT_GE(elapsed, 300ms);
}

TEST(NullDevice, BuffersComeAndGoAndChangeWhileItMixes) {
    auto device = Device::createNull("Null", 64);
    std::atomic<bool> stop{false};
    auto keeper = makeBuffer(*device, 44100, 2, 4096, [](std::uint32_t f, int) { return int(f); });
    keeper->play(true);
    std::thread changer([&] {
        std::mt19937 random(7);
        while (!stop) {
            keeper->setVolume(-int(random() % 10000));
            keeper->setFrequency(35300 + random() % 17600);
            keeper->setCursor(random() % 16384);
            std::this_thread::sleep_for(200us);
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto buffer = makeBuffer(*device, 22050, 1, 2048, [](auto, int) { return 100; });
        auto event = std::make_shared<Event>();
        buffer->setNotifications({{0, event}, {2000, event}});
        buffer->play(i % 2 == 0);
        std::this_thread::sleep_for(300us);
        buffer->stop();
    } // each destruction must wait for the mix to let go of the buffer
    stop = true;
    changer.join();
    EXPECT_GT(device->framesRendered(), 0u);
}

} // namespace

namespace {

TEST(NullDevice, SlaveOnAFastCardIsSlowedDownInRealTime) {
    // Two running cards with unrelated periods, the headphone card's clock 1,000 ppm fast.
    auto mainCard = Device::createNull("main", 512);
    auto headCard = Device::createNull("head", 441, 1.001);
    auto content = [](std::uint32_t f, int) { return int(f % 1000); };
    auto mainBuffer = makeBuffer(*mainCard, 44100, 2, 11025, content);
    auto headBuffer = makeBuffer(*headCard, 44100, 2, 11025, content);
    ASSERT_TRUE(headBuffer->slaveTo(mainBuffer.get()));
    mainBuffer->play(true);
    headBuffer->play(true);
    double sum = 0;
    int samples = 0;
    for (int i = 0; i < 80; ++i) {
        std::this_thread::sleep_for(100ms);
        if (i >= 40) { // after settling
            sum += headBuffer->slaveCorrection();
            ++samples;
        }
    }
    double mean = sum / samples;
    // Generous: a loaded machine delays the clocks' threads, but the direction and size must show.
    EXPECT_LT(mean, -0.0003);
    EXPECT_GE(mean, -kMaxSlaveCorrection);
}

} // namespace

#include "engine/sound/Grace.h"

namespace {

using mixora::sound::detail::Grace;

// The store-buffer race in its barest form: a pass that enters just after a replace() looked at the
// state must load the new pointer, else it reads what the writer frees next. The old object is
// poisoned before it is freed, so a reader that got it sees the poison even without a sanitizer.
TEST(Grace, APassNeverHoldsAPointerItsWriterWasToldIsFree) {
    struct Node {
        std::atomic<bool> alive{true};
    };
    Grace grace;
    std::atomic<Node *> slot{new Node};
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> stale{0}, passes{0};
    std::thread reader([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            Grace::ReadScope pass(grace);
            Node *node = Grace::read(slot);
            // Like the mix, which reaches a buffer's list only after resampling it.
            for (int k = 0; k < 64; ++k)
                passes.fetch_add(0, std::memory_order_relaxed);
            if (!node->alive.load(std::memory_order_relaxed))
                stale.fetch_add(1, std::memory_order_relaxed);
            passes.fetch_add(1, std::memory_order_relaxed);
        }
    });
    while (passes.load() == 0)
        std::this_thread::yield();
    for (int i = 0; i < 100000 || passes.load() < 200000; ++i) {
        Node *old = grace.replace(slot, new Node);
        old->alive.store(false, std::memory_order_relaxed);
        delete old;
    }
    stop = true;
    reader.join();
    delete slot.load();
    EXPECT_EQ(stale.load(), 0u);
}

// Deck-like traffic on a running device: a worker keeps replacing the notification list of a playing
// buffer, another keeps re-slaving a headphone buffer to a master that comes and goes. Under the
// sanitizers any read of a freed list or master by the mix is an error.
TEST(NullDevice, NotificationsAndSlavesReplacedWhileItMixes) {
    auto mainCard = Device::createNull("main", 32);
    auto headCard = Device::createNull("head", 48);
    auto content = [](std::uint32_t f, int) { return int(f % 2000); };
    auto deck = makeBuffer(*mainCard, 44100, 2, 2048, content);
    auto head = makeBuffer(*headCard, 44100, 2, 2048, content);
    deck->play(true);
    head->play(true);
    std::atomic<bool> stop{false};
    std::atomic<int> signalled{0};
    std::thread notifier([&] {
        std::mt19937 random(3);
        while (!stop) {
            auto event = std::make_shared<Event>();
            std::vector<Notification> list;
            for (int k = 0; k < 4; ++k)
                list.push_back({std::uint32_t(random() % 2048) * 4, event});
            ASSERT_TRUE(deck->setNotifications(std::move(list)));
            if (event->wait(std::chrono::milliseconds(random() % 2)))
                ++signalled;
        }
        deck->setNotifications({});
    });
    std::thread slaver([&] {
        std::mt19937 random(5);
        while (!stop) {
            auto master = makeBuffer(*mainCard, 44100, 2, 2048, content);
            master->play(true);
            for (int k = 0; k < 20 && !stop; ++k) {
                ASSERT_TRUE(head->slaveTo(random() % 4 ? master.get() : nullptr));
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
            }
        } // the master goes while the slave may still follow it
    });
    while (mainCard->framesRendered() < 44100 / 2 || headCard->framesRendered() < 44100 / 2)
        std::this_thread::sleep_for(10ms);
    stop = true;
    notifier.join();
    slaver.join();
    EXPECT_GT(signalled.load(), 0);
}

} // namespace

namespace {

TEST(NullDevice, CountsThePeriodsItsClockMixedLate) {
    // A clock ten thousand times too fast: no mix finishes a 0.15 µs period in time.
    auto late = Device::createNull("Zu schnell", 64, 10000.0);
    auto buffer = makeBuffer(*late, 44100, 2, 4096, [](std::uint32_t f, int) { return int(f); });
    buffer->play(true);
    auto manual = Device::createManual("Von Hand");
    manual->render(4096);
    while (late->framesRendered() < 64 * 100)
        std::this_thread::sleep_for(1ms);
    EXPECT_GT(late->underflows(), 0u);
    EXPECT_EQ(manual->underflows(), 0u);

    // The status lists open devices in the order they were opened, with their counts.
    std::vector<OpenDeviceStatus> mine;
    for (auto &s : openDeviceStatus())
        if (s.description == "Zu schnell" || s.description == "Von Hand")
            mine.push_back(s);
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(mine[0].backend, Backend::Null);
    EXPECT_GT(mine[0].underflows, 0u);
    EXPECT_EQ(mine[1].underflows, 0u);
    manual.reset();
    for (auto &s : openDeviceStatus())
        EXPECT_NE(s.description, "Von Hand") << "a closed device is still listed";
}

} // namespace
