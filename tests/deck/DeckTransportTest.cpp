// Transport of a deck in the main window: load, cue, play, seek, time, and what the player's
// reports do to the display.
#include "DeckHarness.h"

#include "app/QuietDisplay.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleOptionSlider>

#include <functional>
#include <thread>

namespace mixora::test {
namespace {

using app::Deck;

class DeckTransport : public DeckHarness {
protected:
    bool lit(QFrame *panel) const { return panel->frameShape() != QFrame::NoFrame; }
    QScrollBar *seekBar() const { return links->widgets().seekBar; }
    void clickArrowRight() {
        QScrollBar *bar = seekBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() - 4, bar->height() / 2));
    }
};

TEST_F(DeckTransport, StateWordsFollowLoadPlayPauseCueAndSeek) {
    const auto song = addSong("a", "Artist", "Title", {.seconds = 3});
    const auto other = addSong("b", "", "Other", {.seconds = 3});
    const auto &w = links->widgets();
    select(song);
    press(w.load);
    ASSERT_EQ(links->stateWord(), Deck::kLoaded) << (messages.empty() ? "" : messages[0].text.toStdString());
    EXPECT_EQ(links->songText(), "Artist - Title");
    EXPECT_TRUE(lit(w.cue));
    EXPECT_FALSE(lit(w.play));
    EXPECT_EQ(w.timeLabel->text(), "00:00:00:00");

    press(w.play);
    EXPECT_EQ(links->stateWord(), Deck::kPlaying);
    EXPECT_TRUE(lit(w.play));
    EXPECT_FALSE(lit(w.cue));
    mainDevice->render(3000);
    press(w.playImage); // the symbol on the panel is part of it
    EXPECT_EQ(links->stateWord(), Deck::kPaused);
    EXPECT_FALSE(lit(w.play));
    const auto cursor = links->player()->inside().mainBuffer->cursor();
    EXPECT_GT(cursor, 0u);
    press(w.play, Qt::RightButton); // any button, and the third press continues in place
    EXPECT_EQ(links->stateWord(), Deck::kPlaying);
    EXPECT_EQ(links->player()->inside().mainBuffer->cursor(), cursor);
    EXPECT_TRUE(links->player()->inside().mainBuffer->playing());

    // A sounding deck keeps its song.
    const auto *player = links->player();
    select(other);
    press(w.load);
    EXPECT_EQ(links->player(), player);
    EXPECT_EQ(links->songText(), "Artist - Title");

    press(w.cue);
    EXPECT_EQ(links->stateWord(), Deck::kCued);
    EXPECT_FALSE(links->player()->inside().mainBuffer->playing());
    EXPECT_EQ(links->player()->inside().mainBuffer->cursor(), 0u);
    EXPECT_TRUE(lit(w.cue));

    clickArrowRight();
    EXPECT_EQ(links->stateWord(), Deck::kSeeking);
    press(w.load); // a searching deck keeps its song too
    EXPECT_EQ(links->player(), player);
    press(w.play);
    EXPECT_EQ(links->stateWord(), Deck::kPlaying);
    press(w.play);
    press(w.load); // paused: replaced
    EXPECT_EQ(links->stateWord(), Deck::kLoaded);
    EXPECT_EQ(links->songText(), " - Other");
    EXPECT_EQ(links->loadedKey(), other);
}

TEST_F(DeckTransport, EmptyDeckIgnoresTransportAndMixerControls) {
    const auto &w = links->widgets();
    press(w.cue);
    press(w.play);
    press(w.time);
    clickArrowRight();
    press(w.zero);
    press(w.headCue);
    w.pitchBar->setValue(40);
    press(w.zero);
    EXPECT_EQ(links->stateWord(), "");
    EXPECT_EQ(w.timeLabel->text(), "00:00:00:00");
    EXPECT_EQ(links->timeMode(), 1);
    EXPECT_EQ(w.pitchLabel->text(), "0 %");
    EXPECT_EQ(w.pitchBar->value(), 40);
    EXPECT_EQ(w.headCue->property("glyph").toString(), "LED_OFF");
    EXPECT_FALSE(links->hasPlayer());
}

TEST_F(DeckTransport, SearchedPlaceBecomesCuePointOfTheLoadedSong) {
    const auto song = addSong("a", "A", "Song", {.seconds = 4});
    const auto other = addSong("b", "B", "Other", {.seconds = 4});
    select(song);
    press(links->widgets().load);
    select(other); // the user moves on in the library after loading
    for (int i = 0; i < 3; ++i)
        seekBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QTest::mouseRelease(seekBar(), Qt::LeftButton); // the end of the scroll action seeks
    const int searched = seekBar()->value();
    ASSERT_GT(searched, 0);
    EXPECT_EQ(links->stateWord(), Deck::kSeeking);
    EXPECT_NE(links->widgets().timeLabel->text(), "00:00:00:00");

    press(links->widgets().cue);
    EXPECT_EQ(links->stateWord(), Deck::kCued);
    EXPECT_EQ(storedStart(song), searched);
    EXPECT_EQ(storedStart(other), std::nullopt);
    EXPECT_EQ(data.Table1.currentKey(), other);

    // Cue on a cued deck does nothing, wherever the library stands.
    press(links->widgets().cue);
    EXPECT_EQ(storedStart(other), std::nullopt);

    // Playing, then Cue: back to the cue point.
    press(links->widgets().play);
    mainDevice->render(20000);
    press(links->widgets().cue);
    EXPECT_EQ(seekBar()->value(), searched);

    // Autocue loads at the stored point; a song without one is cued at its start.
    window->ui.cbAutoCue->setChecked(true);
    select(song);
    press(links->widgets().load);
    EXPECT_EQ(links->stateWord(), Deck::kCued);
    EXPECT_EQ(seekBar()->value(), searched);
    EXPECT_NE(links->widgets().timeLabel->text(), "00:00:00:00");
    select(other);
    press(links->widgets().load);
    EXPECT_EQ(links->stateWord(), Deck::kCued);
    EXPECT_EQ(seekBar()->value(), 0);
}

TEST_F(DeckTransport, CueWithoutALibraryRowStoresNothing) {
    const auto song = addSong("a", "A", "Song", {.seconds = 4}, 5000);
    select(song);
    press(links->widgets().load);
    select(song);
    data.Table1.deleteRecord();
    const auto rows = data.Table1.recordCount();

    press(links->widgets().play);
    press(links->widgets().cue); // the stored 5000 went with the row
    EXPECT_EQ(links->stateWord(), Deck::kCued);
    EXPECT_EQ(seekBar()->value(), 0);

    seekBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QTest::mouseRelease(seekBar(), Qt::LeftButton);
    const int searched = seekBar()->value();
    press(links->widgets().cue); // cued there, kept for this load only
    EXPECT_EQ(seekBar()->value(), searched);
    press(links->widgets().play);
    press(links->widgets().cue);
    EXPECT_EQ(seekBar()->value(), searched);
    EXPECT_EQ(data.Table1.recordCount(), rows);

    // A file outside the library behaves alike, and shows its name.
    const auto file = dir / "loose.mp3";
    writeMp3(file, {.seconds = 2});
    ASSERT_TRUE(rechts->loadFile(QString::fromStdString(file.string())));
    EXPECT_EQ(rechts->stateWord(), Deck::kLoaded);
    EXPECT_EQ(rechts->songText(), "loose.mp3");
    EXPECT_EQ(rechts->loadedKey(), std::nullopt);
}

TEST_F(DeckTransport, ArrowClickOnPausedDeckLoopsTheNewPlaceWithoutRefilling) {
    select(addSong("a", "A", "Song", {.seconds = 4}));
    press(links->widgets().load);
    press(links->widgets().play);
    press(links->widgets().play);
    ASSERT_EQ(links->stateWord(), Deck::kPaused);
    ASSERT_FALSE(links->player()->inside().workerSuspended);
    const int before = seekBar()->value();

    clickArrowRight(); // a line event and the end of scrolling
    EXPECT_EQ(links->stateWord(), Deck::kSeeking);
    EXPECT_EQ(seekBar()->value(), before + seekBar()->singleStep());
    auto *player = links->player();
    EXPECT_TRUE(player->inside().mainBuffer->playing());
    EXPECT_TRUE(player->inside().workerSuspended);
    const auto refills = player->inside().workerRefills.load();
    const auto bufferFrames = static_cast<std::size_t>(player->inside().reader->bufferBytes / 4);
    for (int i = 0; i < 3; ++i)
        EXPECT_GT(rms(mainDevice->render(bufferFrames)), 1000) << "loop " << i;
    EXPECT_EQ(player->inside().workerRefills.load(), refills);
}

TEST_F(DeckTransport, DraggingTheThumbSeeksWhereItIsLetGo) {
    select(addSong("a", "A", "Song", {.seconds = 4}));
    press(links->widgets().load);
    QScrollBar *bar = seekBar();
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    const QRect thumb =
        bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar);
    QTest::mousePress(bar, Qt::LeftButton, {}, thumb.center());
    EXPECT_EQ(links->stateWord(), Deck::kSeeking); // grabbing holds the worker already
    QTest::mouseMove(bar, QPoint(bar->width() / 2, thumb.center().y()));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, thumb.center().y()));
    EXPECT_GT(bar->value(), bar->maximum() / 4);
    EXPECT_EQ(links->stateWord(), Deck::kSeeking);
    EXPECT_NE(links->widgets().timeLabel->text(), "00:00:00:00");
    EXPECT_TRUE(links->player()->inside().mainBuffer->playing()); // a never played deck loops the new place
    EXPECT_GT(rms(mainDevice->render(4096)), 1000);
}

TEST_F(DeckTransport, TimeButtonFlipsModeAndKeepsItForLaterLoads) {
    const auto song = addSong("a", "A", "Song", {.seconds = 2});
    press(links->widgets().time); // no song: nothing changes
    EXPECT_EQ(links->timeMode(), 1);
    select(song);
    press(links->widgets().load);
    QLabel *label = links->widgets().timeLabel;
    press(links->widgets().time);
    EXPECT_TRUE(label->text().startsWith('-')) << label->text().toStdString();
    EXPECT_EQ(links->player()->inside().timeMode, 0);
    press(links->widgets().time);
    EXPECT_FALSE(label->text().startsWith('-'));
    press(links->widgets().time);
    press(links->widgets().load);
    EXPECT_TRUE(label->text().startsWith('-'));
    EXPECT_EQ(rechts->timeMode(), 1);
}

TEST_F(DeckTransport, LoadFailuresAreToldAndLeaveTheDeckAsItWas) {
    const auto song = addSong("a", "A", "Song", {.seconds = 2});
    const auto broken = dir / "broken.mp3";
    writeFile(broken, std::vector<std::uint8_t>(5000, 0x41));
    SongRecord row{};
    row[kFieldInterpret] = std::string("X");
    row[kFieldDateiname] = broken.string();
    data.Table1.appendRecord(row);
    const auto brokenKey = *data.Table1.currentKey();

    press(links->widgets().load); // empty deck, broken file
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Fehler");
    EXPECT_EQ(messages[0].text,
              QString::fromStdString("Datei " + broken.string() + " kann nicht geöffnet werden"));
    EXPECT_FALSE(links->hasPlayer());

    // A paused song survives a load that fails: same player, place, cue point and state word.
    select(song);
    press(links->widgets().load);
    seekBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QTest::mouseRelease(seekBar(), Qt::LeftButton);
    const int cuePoint = seekBar()->value();
    ASSERT_GT(cuePoint, 0);
    press(links->widgets().cue);
    press(links->widgets().play);
    press(links->widgets().play);
    ASSERT_EQ(links->stateWord(), Deck::kPaused);
    const auto *paused = links->player();
    const QString pausedText = links->songText();
    const int pausedAt = seekBar()->value();
    const QString pausedTime = links->widgets().timeLabel->text();
    select(brokenKey);
    messages.clear();
    press(links->widgets().load);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Fehler");
    EXPECT_EQ(links->player(), paused);
    EXPECT_EQ(links->stateWord(), Deck::kPaused);
    EXPECT_EQ(links->songText(), pausedText);
    EXPECT_EQ(seekBar()->value(), pausedAt);
    EXPECT_EQ(links->widgets().timeLabel->text(), pausedTime);
    EXPECT_EQ(links->loadedKey(), song);
    press(links->widgets().cue);
    EXPECT_EQ(seekBar()->value(), cuePoint);

    // Without a main output nothing is loaded and the deck stays as it was.
    select(song);
    press(rechts->widgets().load);
    const auto *player = rechts->player();
    window->AuxDevice.reset();
    messages.clear();
    press(rechts->widgets().load);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Warnung");
    EXPECT_EQ(rechts->player(), player);
    EXPECT_EQ(rechts->stateWord(), Deck::kLoaded);
}

TEST_F(DeckTransport, WorkerReportsAreDroppedOnceStale) {
    select(addSong("a", "A", "Song", {.seconds = 3}));
    press(links->widgets().load);
    auto fromWorker = [this](std::int32_t position) {
        auto *view = links->player()->inside().view;
        std::thread([view, position] { view->setSeekPosition(position); }).join();
    };
    fromWorker(1234);
    EXPECT_NE(seekBar()->value(), 1234); // posted, not applied on the worker
    settle();
    EXPECT_EQ(seekBar()->value(), 1234);

    fromWorker(999);
    press(links->widgets().cue); // the user moved since the report was made
    settle();
    EXPECT_EQ(seekBar()->value(), 0);

    fromWorker(777);
    press(links->widgets().load); // a new player: the old one's reports are void
    settle();
    EXPECT_EQ(seekBar()->value(), 0);
}

// The worker's reports are held and shown together; none may be lost, least of all the last one
// before the deck stops.
TEST_F(DeckTransport, HeldWorkerReportsShowTheLatestPositionAndTime) {
    select(addSong("a", "A", "Song", {.seconds = 3}));
    press(links->widgets().load);
    auto fromWorker = [view = links->player()->inside().view](std::int32_t position, const char *text) {
        std::thread([=] {
            view->setSeekPosition(position);
            if (text)
                view->setTimeText(text);
        }).join();
    };
    press(links->widgets().play);
    fromWorker(1000, "00:00:01:00");
    fromWorker(3000, "00:00:03:00");
    press(links->widgets().play); // paused before the display's next tick: shown at once
    EXPECT_EQ(seekBar()->value(), 3000);
    EXPECT_EQ(links->widgets().timeLabel->text(), "00:00:03:00");

    fromWorker(4000, "00:00:04:00");
    fromWorker(5000, nullptr); // a position alone keeps the text held before it
    settle();
    EXPECT_EQ(seekBar()->value(), 5000);
    EXPECT_EQ(links->widgets().timeLabel->text(), "00:00:04:00");
}

// A seek bar counts as opaque only where its style paints all of it: behind a see-through one the old
// thumb would stay on screen.
TEST_F(DeckTransport, OnlyASeekBarPaintedEdgeToEdgeCountsAsOpaque) {
    EXPECT_TRUE(seekBar()->testAttribute(Qt::WA_OpaquePaintEvent));
    struct SeeThrough : QProxyStyle {
        void drawComplexControl(ComplexControl, const QStyleOptionComplex *, QPainter *,
                                const QWidget *) const override {}
    } seeThrough;
    QWidget panel;
    QScrollBar glass(Qt::Horizontal, &panel);
    glass.setStyle(&seeThrough);
    glass.resize(seekBar()->size());
    app::keepBarOpaque(&glass);
    EXPECT_FALSE(glass.testAttribute(Qt::WA_OpaquePaintEvent));
}

// Hands out the virtual devices through a deleter that records, when the window lets a device
// go, whether a deck player still existed then.
class WatchingProvider : public sound::DeviceProvider {
public:
    WatchingProvider(std::shared_ptr<sound::DeviceProvider> inner, std::function<bool()> playerAlive)
        : inner_(std::move(inner)), playerAlive_(std::move(playerAlive)) {}
    std::vector<sound::DeviceInfo> enumerate() override { return inner_->enumerate(); }
    std::shared_ptr<sound::Device> open(const sound::DeviceInfo &info) override {
        auto device = inner_->open(info);
        return {device.get(), [device, this](sound::Device *) { endedWithPlayer.push_back(playerAlive_()); }};
    }
    std::vector<bool> endedWithPlayer;

private:
    std::shared_ptr<sound::DeviceProvider> inner_;
    std::function<bool()> playerAlive_;
};

TEST_F(DeckTransport, ClosingTheWindowEndsBothPlayersFirst) {
    auto watching = std::make_shared<WatchingProvider>(
        provider, [this] { return window->PlayerLinks != nullptr || window->PlayerRechts != nullptr; });
    sound::setProviderForTesting(watching);
    const auto devices = watching->enumerate();
    window->AuxDevice = std::make_unique<DSBasicObject>(*devices[1].guid);
    window->HeadDevice = std::make_unique<DSBasicObject>(*devices[2].guid);
    mainDevice.reset(); // the window's objects hold the only references
    headDevice.reset();

    select(addSong("a", "A", "Song", {.seconds = 2}));
    press(links->widgets().load);
    press(rechts->widgets().load);
    press(links->widgets().play);
    window->FormClose();
    EXPECT_FALSE(links->hasPlayer());
    EXPECT_FALSE(rechts->hasPlayer());
    EXPECT_EQ(window->AuxDevice, nullptr);
    EXPECT_EQ(watching->endedWithPlayer, (std::vector<bool>{false, false}));
    press(links->widgets().play); // a late click finds no player and does nothing
    EXPECT_EQ(links->stateWord(), Deck::kPlaying);
}

// Played on a running (null) device from start to end: the time counts up with the sound,
// the deck ends at 0, and Play starts the song again.
TEST_F(DeckTransport, NullDevicePlaysSongToTheEndAndAgain) {
    useDevices(sound::Backend::Null, false);
    select(addSong("a", "A", "Song", {.seconds = 1.2}));
    press(links->widgets().load);
    press(links->widgets().play);
    std::vector<int> times;
    auto hundredths = [](const QString &text) {
        const auto parts = text.split(':');
        return ((parts[0].toInt() * 60 + parts[1].toInt()) * 60 + parts[2].toInt()) * 100 + parts[3].toInt();
    };
    int maxPosition = 0;
    ASSERT_TRUE(waitFor([&] {
        times.push_back(hundredths(links->widgets().timeLabel->text()));
        maxPosition = std::max(maxPosition, seekBar()->value());
        return links->stateWord() == Deck::kEnded;
    })) << "state "
        << links->stateWord().toStdString();
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end() - 1));
    EXPECT_GE(*std::max_element(times.begin(), times.end()), 80);
    EXPECT_GT(maxPosition, seekBar()->maximum() / 2);
    EXPECT_EQ(seekBar()->value(), 0);
    EXPECT_FALSE(links->player()->inside().mainBuffer->playing());

    press(links->widgets().play);
    EXPECT_EQ(links->stateWord(), Deck::kPlaying);
    EXPECT_TRUE(waitFor([&] { return seekBar()->value() > 0; }));
}

TEST_F(DeckTransport, ARowWhoseDriveIsAwayGivesTheCannotOpenMessage) {
    const auto away = dir / "stick" / "away.mp3"; // kept by the scan while its drive is not mounted
    SongRecord row{};
    row[kFieldInterpret] = std::string("X");
    row[kFieldDateiname] = away.string();
    data.Table1.appendRecord(row);
    press(links->widgets().load);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Fehler");
    EXPECT_EQ(messages[0].text,
              QString::fromStdString("Datei " + away.string() + " kann nicht geöffnet werden"));
    EXPECT_FALSE(links->hasPlayer());
}

} // namespace
} // namespace mixora::test
