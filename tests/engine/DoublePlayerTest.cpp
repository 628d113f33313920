// The deck player on manual and offline devices: what Open prepares, which half the worker
// refills, the end of the stream, time texts, pitch and volume wiring, suspension, and
// destruction that always returns.
#include "engine/DoublePlayer.h"
#include "tests/engine/EngineTestUtil.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>

namespace {

using mixora::engine::DoublePlayer;
using mixora::engine::Mp3Player;
using mixora::engine::testing::concat;
using mixora::engine::testing::eventually;
using mixora::engine::testing::Frame;
using mixora::engine::testing::RecordingView;
using mixora::engine::testing::referenceFrames;
namespace sound = mixora::sound;
namespace test = mixora::test;

// A fixture file, two devices, a recording view and a player on them.
struct Rig {
    explicit Rig(const test::Mp3Options &options = {}, bool withHead = true, bool offline = false) {
        file = dir / "song.mp3";
        test::writeMp3(file, options);
        frames = referenceFrames(file);
        main = offline ? sound::Device::createOffline("Aux") : sound::Device::createManual("Aux");
        if (withHead)
            head = sound::Device::createManual("Head");
        player = std::make_unique<DoublePlayer>(main.get(), head.get());
        player->inside().view = &view;
    }
    ~Rig() { player.reset(); }

    std::uint32_t half() const {
        return static_cast<std::uint32_t>(player->inside().reader->bufferBytes / 2);
    }
    Frame mainHalf(int which) const { return player->inside().mainBuffer->read(which * half(), half()); }
    Frame headHalf(int which) const { return player->inside().headBuffer->read(which * half(), half()); }
    Frame framesFrom(size_t first) const { return concat(frames, first, DoublePlayer::kHalfFrames); }
    bool waitForRefills(std::uint64_t n) const {
        return eventually([&] { return player->inside().workerRefills.load() >= n; });
    }

    test::TempDir dir;
    std::filesystem::path file;
    std::vector<Frame> frames;
    std::shared_ptr<sound::Device> main;
    std::shared_ptr<sound::Device> head;
    RecordingView view;
    std::unique_ptr<DoublePlayer> player;
};

TEST(DoublePlayerOpen, PreparesSilentStoppedBuffersFilledFromTheStart) {
    Rig rig({.seconds = 10.0});
    DoublePlayer &p = *rig.player;
    EXPECT_EQ(p.inside().workerSuspended, 1);
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady) << p.openError();
    ASSERT_TRUE(p.inside().reader && p.inside().mainBuffer && p.inside().headBuffer);
    const Mp3Player &r = *p.inside().reader;

    for (const auto *b : {p.inside().mainBuffer.get(), p.inside().headBuffer.get()}) {
        EXPECT_EQ(b->bytes(), 46080u);
        EXPECT_EQ(b->format().sampleRate, 44100);
        EXPECT_EQ(b->format().channels, 2);
        EXPECT_EQ(b->volume(), sound::kSilenceHundredthsDb);
        EXPECT_FALSE(b->playing());
        EXPECT_EQ(b->cursor(), 0u);
    }
    EXPECT_EQ(rig.mainHalf(0), rig.framesFrom(0));
    EXPECT_EQ(rig.mainHalf(1), rig.framesFrom(5));
    EXPECT_EQ(p.inside().headBuffer->read(0, 46080), p.inside().mainBuffer->read(0, 46080));
    // The notification points: the middle and the last byte.
    EXPECT_EQ(p.inside().notifyPositions[0].offset, 23040u);
    EXPECT_EQ(p.inside().notifyPositions[1].offset, 46079u);

    rig.view.read([&](const RecordingView &v) {
        EXPECT_EQ(v.seekMaximum, r.inputSize);
        EXPECT_EQ(v.seekSmall, r.frameInputBytes);
        EXPECT_EQ(v.seekLarge, 10 * r.frameInputBytes);
        EXPECT_EQ(v.seekPositions, std::vector<std::int32_t>{0});
        EXPECT_EQ(v.timeTexts, std::vector<std::string>{"00:00:00:00"});
        EXPECT_TRUE(v.stateWords.empty());
        return 0;
    });
    EXPECT_EQ(p.inside().nearEnd, 0);
    EXPECT_EQ(p.inside().workerSuspended, 1);
}

TEST(DoublePlayerOpen, FailureLeavesNoReaderNoBuffersAndAHarmlessPlayer) {
    Rig rig;
    test::writeFile(rig.dir / "text.mp3", {'n', 'o', ' ', 'm', 'p', '3'});
    for (const char *name : {"missing.mp3", "text.mp3"}) {
        SCOPED_TRACE(name);
        auto player = std::make_unique<DoublePlayer>(rig.main.get(), rig.head.get());
        player->inside().view = &rig.view;
        EXPECT_EQ(player->Open((rig.dir / name).string()), DoublePlayer::kOpenFailed);
        EXPECT_NE(player->openError(), "");
        EXPECT_FALSE(player->inside().reader);
        EXPECT_FALSE(player->inside().mainBuffer);
        EXPECT_FALSE(player->inside().headBuffer);
        player->Play();
        player->SetPitch(100);
        player->SetVolume(0);
        EXPECT_EQ(player->FillBuffer(0), 0);
        EXPECT_NE(player->Seek(0), 0);
        EXPECT_EQ(player->FormatTime(1, 0), "00:00:00:00");
        EXPECT_EQ(player->inside().nearEnd, 0); // nothing loaded is never about to end
        EXPECT_EQ(player->Stop(), 0);
        player.reset(); // returns although the worker was resumed without buffers
    }
    // A player opens one file in its life.
    ASSERT_EQ(rig.player->Open(rig.file.string()), DoublePlayer::kOpenReady);
    EXPECT_EQ(rig.player->Open(rig.file.string()), DoublePlayer::kOpenFailed);
    EXPECT_TRUE(rig.player->inside().mainBuffer);
}

TEST(DoublePlayerOpen, WithoutHeadphonesEverythingActsOnTheMainBuffer) {
    Rig rig({}, false);
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    EXPECT_FALSE(p.inside().headBuffer);
    p.SetHeadVolume(0);
    p.SetVolume(-300);
    p.SetPitch(10);
    p.Play();
    p.Rewind();
    EXPECT_EQ(p.inside().mainBuffer->volume(), -300);
    EXPECT_EQ(p.inside().mainBuffer->frequency(), 44100u + 10 * 44);
    EXPECT_TRUE(p.inside().mainBuffer->playing());
    EXPECT_EQ(p.Stop(), 0);
    EXPECT_FALSE(p.inside().mainBuffer->playing());
}

TEST(DoublePlayerOpen, NoNotificationsMeansNoPrefillAndNoTime) {
    // A player without a main output has no buffer that could notify.
    Rig rig;
    auto player = std::make_unique<DoublePlayer>(nullptr, rig.head.get());
    player->inside().view = &rig.view;
    EXPECT_EQ(player->Open(rig.file.string()), DoublePlayer::kOpenNoNotification);
    ASSERT_TRUE(player->inside().headBuffer);
    const auto bytes = player->inside().headBuffer->read(0, player->inside().headBuffer->bytes());
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }));
    rig.view.read([](const RecordingView &v) {
        EXPECT_TRUE(v.timeTexts.empty());
        return 0;
    });
    player->Play();
    player.reset(); // no notification will ever come; destruction still returns
}

struct TimeCase {
    std::int32_t mode, current, duration, correction;
    const char *text;
    std::int32_t nearEnd;
};

TEST(DoublePlayerTime, TextsAndNearEndFollowTheRules) {
    const TimeCase cases[] = {
        {1, 12345, 600, 0, "00:02:03:45", 0},
        {1, 0, 600, 0, "00:00:00:00", 0},
        {0, 0, 205, 0, "-00:03:25:00", 0},
        {1, 372000, 4000, 0, "01:02:00:00", 0},
        {1, 3600000 + 372345, 40000, 0, "11:02:03:45", 0}, // hours of two digits
        {1, 100, 600, 150, "00:00:00:00", 0},              // shown −50: hundredths "00"
        {0, 100, 0, 1, "-00:00:00:00", 0},                 // remaining −99
        {1, 250, 600, 26, "00:00:02:24", 0},               // the Time button's correction
        {0, 250, 600, 26, "-00:09:57:76", 0},
        // nearEnd: 0 ≤ remaining < 700
        {1, 300, 10, 0, "00:00:03:00", 0},   // remaining 700
        {1, 301, 10, 0, "00:00:03:01", 1},   // 699
        {1, 1000, 10, 0, "00:00:10:00", 1},  // 0
        {1, 1001, 10, 0, "00:00:10:01", 0},  // −1
        {0, 1500, 10, 0, "-00:00:00:00", 0}, // decoder past the duration: negative parts show 00
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::int32_t nearEnd = -1;
        EXPECT_EQ(DoublePlayer::TimeText(c.mode, c.current, c.duration, c.correction, nearEnd), c.text);
        EXPECT_EQ(nearEnd, c.nearEnd);
    }
}

TEST(DoublePlayerTime, FormatTimeReadsTheReaderAndSetsNearEnd) {
    Rig rig({.seconds = 10.0});
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    // Ten frames decoded: 11520 samples, 0.26 s ahead of what is heard.
    EXPECT_EQ(p.FormatTime(1, 0), "00:00:00:26");
    EXPECT_EQ(p.FormatTime(1, p.inside().reader->bufferTime), "00:00:00:00");
    const std::int32_t d = p.inside().reader->durationSeconds;
    ASSERT_EQ(d, 10);
    EXPECT_EQ(p.FormatTime(0, 0), "-00:00:09:74");
    EXPECT_EQ(p.inside().nearEnd, 0);
    // Seek to about 4 s before the end: now within seven seconds of it.
    p.Seek(p.inside().reader->inputSize * 6 / 10);
    p.FormatTime(1, 0);
    EXPECT_EQ(p.inside().nearEnd, 1);
    p.inside().nearEnd = 0; // the auto-play timer's reset
    p.Seek(0);
    p.FormatTime(0, 0);
    EXPECT_EQ(p.inside().nearEnd, 0);
}

TEST(DoublePlayerMix, PitchSetsTheFrequencyOfBothBuffers) {
    Rig rig;
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    const std::pair<int, std::uint32_t> cases[] = {
        {0, 44100}, {-200, 35300}, {200, 52900}, {1, 44144}, {-1, 44056}, {-5000, sound::kMinFrequencyHz}};
    for (auto [pitch, hz] : cases) {
        p.SetPitch(pitch);
        EXPECT_EQ(p.inside().mainBuffer->frequency(), hz) << pitch;
        EXPECT_EQ(p.inside().headBuffer->frequency(), hz) << pitch;
    }

    Rig mono({.sampleRate = 22050, .channels = 1, .bitrateKbps = 32});
    ASSERT_EQ(mono.player->Open(mono.file.string()), DoublePlayer::kOpenReady);
    mono.player->SetPitch(100);
    EXPECT_EQ(mono.player->inside().mainBuffer->frequency(), 24250u);
    mono.player->SetPitch(0);
    EXPECT_EQ(mono.player->inside().mainBuffer->frequency(), 22050u);
}

TEST(DoublePlayerMix, AnExactRateIsPlayedAsSetAndKeyLockReachesTheNextSongsBuffers) {
    // 123 BPM made 127 BPM: 3.252… % (45534.15 Hz), which neither a pitch step nor a whole hertz holds.
    Rig rig({.seconds = 30.0}, true, true);
    DoublePlayer &p = *rig.player;
    p.SetKeyLock(true); // before Open: the buffers Open makes get it
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    EXPECT_TRUE(p.inside().mainBuffer->keyLock() && p.inside().headBuffer->keyLock());
    p.SetKeyLock(false);
    EXPECT_FALSE(p.inside().mainBuffer->keyLock() || p.inside().headBuffer->keyLock());
    constexpr double kRatio = 127.0 / 123.0;
    p.SetRate(kRatio);
    EXPECT_DOUBLE_EQ(p.inside().headBuffer->exactFrequency(), 44100 * kRatio);
    p.Play();
    rig.main->render(512 * 4);
    const auto before = p.Clock();
    rig.main->render(512 * 2000); // 23 s
    const auto after = p.Clock();
    ASSERT_TRUE(before && after);
    const double heard =
        (after->sourceFrame - before->sourceFrame) / double(after->deviceFrame - before->deviceFrame);
    EXPECT_NEAR(heard / kRatio, 1.0, 1e-7); // far within 0.001 %
}

std::vector<std::int16_t> pcm(const Frame &bytes, size_t samples) {
    std::vector<std::int16_t> s(samples);
    std::memcpy(s.data(), bytes.data(), samples * 2);
    return s;
}

TEST(DoublePlayerMix, TheDeviceSoundsExactlyTheDecodedSamplesAtTheSetVolumes) {
    {
        // Silent until the window sets the volumes.
        Rig rig;
        ASSERT_EQ(rig.player->Open(rig.file.string()), DoublePlayer::kOpenReady);
        rig.player->Play();
        const auto out = rig.main->render(2048);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::int16_t s) { return s == 0; }));
    }
    Rig rig;
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    p.SetVolume(0);
    p.SetHeadVolume(-2000); // a tenth
    p.Play();
    const size_t n = 1000;
    // The headphone card first: it follows the main buffer's cursor and must not see it ahead.
    const auto headOut = rig.head->render(n);
    const auto mainOut = rig.main->render(n);
    const auto expected = pcm(rig.frames[0], 2 * n);
    EXPECT_EQ(mainOut, expected);
    int worst = 0;
    for (size_t i = 0; i < 2 * n; ++i)
        worst = std::max(worst, std::abs(headOut[i] - static_cast<int>(std::lround(expected[i] * 0.1))));
    EXPECT_LE(worst, 1);

    // The pitch is the playback rate: 52900 Hz moves 1.2 buffer frames per device frame.
    p.Stop();
    p.Rewind();
    rig.main->render(16);
    EXPECT_EQ(p.inside().mainBuffer->cursor(), 0u);
    p.SetPitch(200);
    p.Play();
    rig.main->render(1000);
    EXPECT_NEAR(static_cast<double>(p.inside().mainBuffer->cursor()) / 4, 1000 * 52900.0 / 44100.0, 1.0);
}

TEST(DoublePlayerWorker, RefillsTheHalfThePlayingCursorLeft) {
    Rig rig({.seconds = 10.0});
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    const auto positionAfterTenFrames = p.inside().reader->Position();
    p.SetVolume(0);
    p.Play();
    EXPECT_EQ(p.inside().workerSuspended, 0);

    // Over the middle: the first half gets frames 10..14, the second keeps 5..9.
    rig.main->render(rig.half() / 4 + 64);
    ASSERT_TRUE(rig.waitForRefills(1));
    EXPECT_EQ(rig.mainHalf(0), rig.framesFrom(10));
    EXPECT_EQ(rig.mainHalf(1), rig.framesFrom(5));
    EXPECT_EQ(rig.headHalf(0), rig.mainHalf(0));
    // Reported before the refill: where the decoder stood, and its time.
    rig.view.read([&](const RecordingView &v) {
        EXPECT_EQ(v.seekPositions.back(), positionAfterTenFrames);
        EXPECT_EQ(v.timeTexts.back(), "00:00:00:26");
        return 0;
    });

    // Over the end: the second half gets frames 15..19.
    rig.main->render(rig.half() / 4);
    ASSERT_TRUE(rig.waitForRefills(2));
    EXPECT_EQ(rig.mainHalf(1), rig.framesFrom(15));
    EXPECT_EQ(rig.mainHalf(0), rig.framesFrom(10));
    EXPECT_EQ(p.inside().headBuffer->read(0, 46080), p.inside().mainBuffer->read(0, 46080));
}

TEST(DoublePlayerWorker, TheCursorDecidesTheHalfWhicheverNotificationFired) {
    Rig rig({.seconds = 10.0});
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    p.Play();
    p.Stop(); // the worker runs, the buffers stand still

    // Cursor exactly at the middle: the first half is refilled.
    p.inside().mainBuffer->setCursor(rig.half());
    p.inside().halfEvent->set();
    ASSERT_TRUE(rig.waitForRefills(1));
    EXPECT_EQ(rig.mainHalf(0), rig.framesFrom(10));
    EXPECT_EQ(rig.mainHalf(1), rig.framesFrom(5));

    // Cursor back at the start (a rewind) when the middle's notification arrives: the second.
    p.inside().mainBuffer->setCursor(0);
    p.inside().halfEvent->set();
    ASSERT_TRUE(rig.waitForRefills(2));
    EXPECT_EQ(rig.mainHalf(1), rig.framesFrom(15));
    EXPECT_EQ(rig.mainHalf(0), rig.framesFrom(10));

    // Short of the middle, the other half holds what is still to be heard: nothing is refilled.
    p.inside().mainBuffer->setCursor(rig.half() - 4);
    p.inside().halfEvent->set();
    ASSERT_TRUE(rig.waitForRefills(3));
    EXPECT_EQ(rig.mainHalf(0), rig.framesFrom(10));
    EXPECT_EQ(rig.mainHalf(1), rig.framesFrom(15));
    EXPECT_EQ(p.inside().headBuffer->read(0, 46080), p.inside().mainBuffer->read(0, 46080));
}

TEST(DoublePlayerWorker, SuspendedWorkerNeitherRefillsNorReportsUntilPlay) {
    Rig rig({.seconds = 10.0});
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    p.Play();
    p.SuspendWorker();
    p.SuspendWorker(); // never nests deeper than one
    EXPECT_EQ(p.inside().workerSuspended, 1);
    const auto reportsBefore = rig.view.read([](const RecordingView &v) { return v.timeTexts.size(); });

    // The buffers loop on: notifications arrive but nothing is refilled.
    rig.main->render(rig.half() / 2 + 64);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(p.inside().workerRefills, 0u);
    EXPECT_EQ(rig.view.read([](const RecordingView &v) { return v.timeTexts.size(); }), reportsBefore);
    EXPECT_EQ(rig.mainHalf(0), rig.framesFrom(0));
    EXPECT_TRUE(p.inside().mainBuffer->playing());

    // Play resumes it (one resume for two suspends); the next crossing is served.
    p.Play();
    EXPECT_EQ(p.inside().workerSuspended, 0);
    rig.main->render(rig.half() / 4);
    ASSERT_TRUE(rig.waitForRefills(1));
    rig.view.read([&](const RecordingView &v) {
        EXPECT_GT(v.timeTexts.size(), reportsBefore);
        return 0;
    });
}

TEST(DoublePlayerWorker, TheEndStopsRewindsReportsEndedAndPlayStartsOver) {
    Rig rig({.seconds = 1.0}, true, true);
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    p.SetVolume(0);
    p.Play();
    auto ended = [&] { return rig.view.read([](const RecordingView &v) { return !v.stateWords.empty(); }); };
    for (int i = 0; i < 400 && !ended(); ++i)
        rig.main->render(sound::Device::offlinePeriodFrames());
    ASSERT_TRUE(ended());
    rig.view.read([](const RecordingView &v) {
        EXPECT_EQ(v.stateWords, std::vector<std::string>{"ended"});
        EXPECT_EQ(v.seekPositions.back(), 0);
        EXPECT_EQ(v.timeTexts.back(), "00:00:00:00");
        return 0;
    });
    EXPECT_FALSE(p.inside().mainBuffer->playing());
    EXPECT_FALSE(p.inside().headBuffer->playing());
    EXPECT_EQ(p.inside().reader->Position(), 0);
    EXPECT_EQ(p.inside().reader->CurrentTime(), 0);
    EXPECT_EQ(p.inside().headBuffer->read(0, 46080), p.inside().mainBuffer->read(0, 46080));

    // Stopped: no more notifications, nothing changes.
    const auto refills = p.inside().workerRefills.load();
    rig.main->render(8 * sound::Device::offlinePeriodFrames());
    EXPECT_EQ(p.inside().workerRefills, refills);

    // Play: the buffer's remaining half sounds, then the file continues from its start.
    p.Play();
    for (int i = 0; i < 100 && p.inside().workerRefills == refills; ++i)
        rig.main->render(sound::Device::offlinePeriodFrames());
    ASSERT_GT(p.inside().workerRefills, refills);
    const bool firstHalfRefilled = p.inside().mainBuffer->cursor() >= rig.half();
    EXPECT_EQ(rig.mainHalf(firstHalfRefilled ? 0 : 1), rig.framesFrom(0));
}

// The whole song as the device plays it at pitch 0: interleaved stereo samples.
std::vector<std::int16_t> song(const Rig &rig) {
    const Frame all = concat(rig.frames, 0, rig.frames.size());
    return pcm(all, all.size() / 2);
}

// Whether the device's output from out[at] on is the song from sample `from` on, for `frames`.
::testing::AssertionResult soundsFrom(const std::vector<std::int16_t> &out, std::size_t at,
                                      const std::vector<std::int16_t> &reference, std::int64_t from,
                                      std::size_t frames) {
    for (std::size_t i = 0; i < 2 * frames; ++i)
        if (out.at(2 * at + i) != reference.at(2 * static_cast<std::size_t>(from) + i))
            return ::testing::AssertionFailure() << "differs " << i / 2 << " frames after the start";
    return ::testing::AssertionSuccess();
}

TEST(DoublePlayerWorker, TheSongPlaysToItsLastSampleBeforeItEnds) {
    Rig rig({.seconds = 1.0}, false, true);
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    p.SetVolume(0);
    p.Play();
    auto ended = [&] { return rig.view.read([](const RecordingView &v) { return !v.stateWords.empty(); }); };
    std::vector<std::int16_t> out;
    while (!ended() && out.size() < 4u * sound::kDeviceRate) {
        const auto period = rig.main->render(sound::Device::offlinePeriodFrames());
        out.insert(out.end(), period.begin(), period.end());
    }
    const auto reference = song(rig);
    ASSERT_TRUE(ended());
    ASSERT_GE(out.size(), reference.size()) << "ended before its last sample was heard";
    EXPECT_TRUE(soundsFrom(out, 0, reference, 0, reference.size() / 2));
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(reference.size()), out.end(),
                            [](std::int16_t v) { return v == 0; }));
}

// A timed start in the middle of a 6 s song, heard over three halves.
struct StartRig : Rig {
    StartRig() : Rig({.seconds = 6.0}, false, true) {
        EXPECT_EQ(player->Open(file.string()), DoublePlayer::kOpenReady);
        player->SetVolume(0);
        reference = song(*this);
    }
    std::vector<std::int16_t> reference;
    static constexpr std::int64_t kSource = 100 * 1152 + 1000; // 1000 frames into its frame
    static constexpr std::size_t kHeard = 3 * 5760;
};

TEST(DoublePlayerStart, ATimedStartAfterASearchSoundsTheSongFromItsPlace) {
    StartRig rig;
    DoublePlayer &p = *rig.player;
    p.Play();
    // Whole periods of the offline device, so that what comes out next is its frame count.
    rig.main->render(34 * 512);
    // The search: the worker held, the buffers loop over what they hold, notifications pile up.
    rig.main->setRefillTimeout(std::chrono::milliseconds(1));
    p.SuspendWorker();
    rig.main->render(45 * 512);
    p.Seek(p.inside().reader->inputSize / 2);
    p.FillBuffer(0);
    p.FillBuffer(static_cast<std::int32_t>(rig.half()));
    rig.main->render(23 * 512);
    rig.main->setRefillTimeout(std::chrono::seconds(10));

    const std::uint64_t start = rig.main->framesRendered() + 2048;
    ASSERT_TRUE(p.PlayAt(start, StartRig::kSource));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // room for a wrong refill to happen
    const auto out = rig.main->render(2048 + StartRig::kHeard);
    EXPECT_TRUE(soundsFrom(out, 2048, rig.reference, StartRig::kSource, StartRig::kHeard));
}

TEST(DoublePlayerStart, ALateStartJoinsWhereItWouldBeAndRefillsWhatItSkipped) {
    StartRig rig;
    DoublePlayer &p = *rig.player;
    rig.main->render(39 * 512);
    // 5000 frames late: where it would be now lies past the middle of the buffer.
    ASSERT_TRUE(p.PlayAt(rig.main->framesRendered() - 5000, StartRig::kSource));
    const auto out = rig.main->render(StartRig::kHeard);
    EXPECT_TRUE(soundsFrom(out, 0, rig.reference, StartRig::kSource + 5000, StartRig::kHeard));
}

// Frames where bursts (a 5 ms tone after quiet) sound in a left channel, each by its energy centroid.
std::vector<double> burstCentroids(const std::vector<std::int16_t> &stereo) {
    std::vector<double> at;
    const std::size_t frames = stereo.size() / 2;
    for (std::size_t i = 2000; i + 2500 < frames; ++i) {
        if (std::abs(int(stereo[2 * i])) < 8000)
            continue;
        double e = 0, t = 0;
        for (std::size_t k = i - 2000; k < i + 2500; ++k) {
            const double v = stereo[2 * k];
            e += v * v;
            t += double(k) * v * v;
        }
        at.push_back(t / e);
        i += 5000; // bursts lie 11025 source frames apart
    }
    return at;
}

TEST(DoublePlayerKeyLock, AbuseLeavesTheDeckPlayingWhereItsClockSays) {
    // Every period for two seconds: the rate across the whole ±20 %, key lock switched, and a seek.
    // Then, held at +6 % with key lock on, the bursts must sound where the deck's clock says (within
    // 1 ms), and the output must never blow up.
    Rig rig({.seconds = 12.0, .frequencyHz = 2000, .burstEverySeconds = 0.25}, false, true);
    DoublePlayer &p = *rig.player;
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    p.SetVolume(0);
    p.SetKeyLock(true);
    p.Play();
    constexpr std::size_t kPeriod = sound::Device::offlinePeriodFrames();
    rig.main->render(kPeriod * 8);
    std::uint32_t seed = 99;
    for (int k = 0; k < 2 * 44100 / int(kPeriod); ++k) {
        p.SetRate(k % 2 ? 1.2 : 0.8);
        p.SetKeyLock(k % 2 == 0);
        seed = seed * 1664525u + 1013904223u;
        ASSERT_TRUE(p.JumpTo(double((seed >> 8) % (9 * 44100))));
        for (std::int16_t v : rig.main->render(kPeriod))
            ASSERT_LT(std::abs(int(v)), 24000) << "period " << k;
        ASSERT_TRUE(std::isfinite(p.Clock()->sourceFrame));
    }
    p.SetKeyLock(true);
    p.SetRate(1.06);
    rig.main->render(kPeriod * 4);
    const auto clock = p.Clock();
    ASSERT_TRUE(clock && clock->playing);
    const std::uint64_t heardFrom = rig.main->framesRendered();
    const auto out = rig.main->render(kPeriod * 200);

    const double first = burstCentroids(song(rig)).at(0); // the song's bursts: from here every 11025
    const auto heard = burstCentroids(out);
    ASSERT_GT(heard.size(), 6u) << "it plays on";
    std::vector<double> errors;
    for (double h : heard) {
        const double source =
            clock->sourceFrame + (double(heardFrom + h) - double(clock->deviceFrame)) * clock->rate;
        errors.push_back(std::remainder(source - first, 11025.0) / clock->rate);
    }
    std::sort(errors.begin(), errors.end());
    EXPECT_NEAR(errors[errors.size() / 2], 0.0, 44.1) << "median of " << errors.size() << " bursts (frames)";
}

// Destroys the player on another thread; a destruction that hangs fails instead of blocking.
void expectPromptDestruction(std::unique_ptr<DoublePlayer> player) {
    auto done = std::async(std::launch::async, [p = std::move(player)]() mutable { p.reset(); });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "destruction did not return";
        std::quick_exit(1);
    }
}

TEST(DoublePlayerLife, DestructionAlwaysReturns) {
    Rig rig;
    auto make = [&] { return std::make_unique<DoublePlayer>(rig.main.get(), rig.head.get()); };

    expectPromptDestruction(make()); // never opened, worker still suspended

    auto opened = make();
    ASSERT_EQ(opened->Open(rig.file.string()), DoublePlayer::kOpenReady);
    expectPromptDestruction(std::move(opened)); // never played

    auto failed = make();
    EXPECT_EQ(failed->Open((rig.dir / "missing.mp3").string()), DoublePlayer::kOpenFailed);
    failed->Play();
    expectPromptDestruction(std::move(failed)); // running worker, no buffer to wake it

    auto suspended = make();
    ASSERT_EQ(suspended->Open(rig.file.string()), DoublePlayer::kOpenReady);
    suspended->Play();
    suspended->SuspendWorker();
    expectPromptDestruction(std::move(suspended));

    auto paused = make();
    ASSERT_EQ(paused->Open(rig.file.string()), DoublePlayer::kOpenReady);
    paused->Play();
    paused->Stop(); // worker waiting for a notification that never comes
    expectPromptDestruction(std::move(paused));

    // Playing on a device that runs by itself, worker busy refilling.
    auto clock = sound::Device::createNull("Null");
    auto playing = std::make_unique<DoublePlayer>(clock.get(), nullptr);
    ASSERT_EQ(playing->Open(rig.file.string()), DoublePlayer::kOpenReady);
    playing->Play();
    ASSERT_TRUE(eventually([&] { return playing->inside().workerRefills > 0; }));
    expectPromptDestruction(std::move(playing));
}

} // namespace
