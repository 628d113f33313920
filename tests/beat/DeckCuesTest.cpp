// Hot cue pads, beat loops and jumps and the DJ's grid edits on the window's deck, with analysed
// songs, measured on the deck's play clock.
#include "tests/beat/BeatHarness.h"

#include "analysis/UserGrid.h"
#include "app/DeckControls.h"
#include "engine/GridMath.h"
#include "library/HotCues.h"

#include <QComboBox>
#include <QPushButton>

#include <algorithm>
#include <utility>
#include <vector>

namespace mixora::test {
namespace {

constexpr double kRate = 44100.0;
constexpr double kMs = kRate / 1000;

SongRecipe song120(const std::string &name) {
    SongRecipe recipe;
    recipe.name = name;
    recipe.bpm = 120.0;
    recipe.seconds = 20;
    recipe.style = DrumStyle::FourOnTheFloor;
    return recipe;
}

class DeckCuesTest : public BeatHarness {
protected:
    app::DeckCues &cues() { return decks->linksCues; }
    app::DeckCuePanel &panel() { return *decks->linksPanel; }
    double at() { return *cues().playFrame(); }
    bool onGrid(double frame) {
        const double n = engine::beatNumberAt(*links->grid(), int(kRate), frame);
        return std::abs(n - std::round(n)) * beat() < 1.0;
    }
    // Where the deck plays after `seconds` more of the mix, less the time that passed.
    double afterPlaying(double seconds) {
        const std::uint64_t from = mainDevice->framesRendered();
        render(seconds);
        return at() - double(mainDevice->framesRendered() - from);
    }
    double beat() { return engine::beatSamples(*links->grid(), int(kRate)); }
};

TEST_F(DeckCuesTest, PadsSetJumpPreviewDeleteSurviveAReloadAndGreyPastTheEnd) {
    const Song a = addSuiteSong(song120("pads"));
    loadInto(*links, a);
    ASSERT_TRUE(links->grid());
    panel().quantizeButton()->click();
    press(links->widgets().play);
    render(1.3);

    const double pressedAt = at();
    QTest::mouseClick(panel().padButton(0), Qt::LeftButton);
    ASSERT_TRUE(cues().pad(0));
    const double cue = cues().pad(0)->frame;
    EXPECT_TRUE(onGrid(cue));
    EXPECT_LE(std::abs(cue - pressedAt), beat() / 2);
    std::vector<HotCue> stored = HotCueStore(data.Table1).load(a.key);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].sample, cue);

    // Playing: at once, a whole number of beats away, landing by the cue.
    render(3.1);
    const double before = at();
    QTest::mouseClick(panel().padButton(0), Qt::LeftButton);
    const double landed = afterPlaying(0.2);
    const double beats = (landed - before) / beat();
    EXPECT_NEAR(beats, std::round(beats), 1 * kMs / beat());
    EXPECT_LE(std::abs(landed - cue), beat() / 2);

    // Paused: cued there, heard while held, cued there again on release.
    press(links->widgets().play);
    QTest::mousePress(panel().padButton(0), Qt::LeftButton);
    EXPECT_EQ(links->stateWord(), app::Deck::kPlaying);
    render(0.5);
    EXPECT_GT(at(), cue + 0.4 * kRate);
    QTest::mouseRelease(panel().padButton(0), Qt::LeftButton);
    EXPECT_EQ(links->stateWord(), app::Deck::kCued);
    render(0.02); // a stopped deck's clock is read at the next period
    EXPECT_NEAR(at(), cue, 1.0);

    // The keys 1 … 8 are the pads of the deck last used.
    app::Controllers::Options options;
    options.alsa = false;
    options.jack = false;
    options.programDir = QString::fromStdString(dir.path().string());
    app::Controllers keys(*window, *decks, options);
    keys.start();
    QTest::keyClick(window.get(), Qt::Key_2);
    EXPECT_TRUE(cues().pad(1));
    EXPECT_FALSE(decks->rechtsCues.pad(1));

    // A hot cue past the end of the song (the file was shortened) is kept, not offered.
    HotCueStore(data.Table1).save(a.key, HotCue{3, 25.0 * kRate, std::nullopt, 0x4BE36A});
    loadInto(*links, a);
    EXPECT_EQ(cues().pad(0)->frame, cue);
    ASSERT_TRUE(cues().pad(2));
    EXPECT_FALSE(cues().offered(2));
    EXPECT_EQ(panel().padButton(2)->property("padState").toString(), "hinter dem Ende des Songs");
    const double standing = at();
    QTest::mouseClick(panel().padButton(2), Qt::LeftButton);
    EXPECT_EQ(at(), standing);
    EXPECT_TRUE(cues().pad(2));

    // Right-click or Shift+click deletes, in the store as well.
    QTest::mouseClick(panel().padButton(0), Qt::RightButton);
    QTest::mouseClick(panel().padButton(1), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_FALSE(cues().pad(0));
    EXPECT_FALSE(cues().pad(1));
    stored = HotCueStore(data.Table1).load(a.key);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].pad, 3);
}

TEST_F(DeckCuesTest, BeatLoopsSitOnTheGridJumpsKeepThePhaseAndMoveTheLoop) {
    const Song a = addSuiteSong(song120("loops"));
    loadInto(*links, a);
    ASSERT_TRUE(links->grid());
    panel().quantizeButton()->click();
    press(links->widgets().play);
    render(1.37);

    panel().loopSizeBox()->setCurrentIndex(5); // 4 beats
    const double pressedAt = at();
    panel().loopButton()->click();
    ASSERT_TRUE(cues().looping());
    EXPECT_TRUE(panel().loopButton()->isChecked());
    auto [start, length] = *cues().loop();
    EXPECT_DOUBLE_EQ(length, 4 * beat());
    EXPECT_TRUE(onGrid(start));
    EXPECT_LE(start, pressedAt);
    EXPECT_GT(start + length, pressedAt);
    render(3.0); // longer than the loop: it wraps
    EXPECT_GE(at(), start);
    EXPECT_LT(at(), start + length);

    // A jump while looping takes the loop along.
    panel().jumpSizeBox()->setCurrentIndex(2); // 16 beats
    window->findChild<QPushButton *>(QStringLiteral("JumpForward_Links"))->click();
    ASSERT_TRUE(cues().looping());
    EXPECT_NEAR(cues().loop()->first, start + 16 * beat(), 1e-6);
    EXPECT_NEAR(cues().loop()->second, length, 1e-6);

    panel().loopButton()->click(); // out of the loop
    EXPECT_FALSE(cues().looping());
    render(0.5);
    const double before = at();
    window->findChild<QPushButton *>(QStringLiteral("JumpBack_Links"))->click();
    EXPECT_NEAR(afterPlaying(0.2) - before, -16 * beat(), 1 * kMs);

    // "Links.loop.8" starts an 8-beat loop, a second press ends it.
    app::Controllers::Options options;
    options.alsa = false;
    options.jack = false;
    app::Controllers controls(*window, *decks, options);
    controller::Control *loop8 = controls.controls().find(QStringLiteral("Links.loop.8"));
    ASSERT_TRUE(loop8);
    for (int press = 0; press < 2; ++press) {
        loop8->set(1);
        loop8->set(0);
        QCoreApplication::processEvents();
        ASSERT_EQ(cues().looping(), press == 0);
    }
    EXPECT_NEAR(cues().loop()->second, 8 * beat(), 1e-6);

    // What a controller's lamps are sent: the loop and key lock as the window's buttons set them.
    std::vector<std::pair<QString, double>> lamps;
    QObject::connect(&controls.controls(), &controller::ControlSet::changed,
                     [&](controller::Control *c, double v) { lamps.emplace_back(c->name(), v); });
    const auto reported = [&](const QString &name, double value) {
        QCoreApplication::processEvents();
        const bool seen = std::find(lamps.begin(), lamps.end(), std::pair{name, value}) != lamps.end();
        lamps.clear();
        return seen;
    };
    panel().loopButton()->click();
    EXPECT_TRUE(reported(QStringLiteral("Links.loop"), 1));
    panel().loopButton()->click();
    EXPECT_TRUE(reported(QStringLiteral("Links.loop"), 0));
    links->widgets().keyLock->click();
    EXPECT_TRUE(reported(QStringLiteral("Links.keyLock"), 1));
    links->widgets().keyLock->click();
    EXPECT_TRUE(reported(QStringLiteral("Links.keyLock"), 0));
}

TEST_F(DeckCuesTest, GridEditsAreStoredAndWinAfterAReloadAbsurdTemposAreRefused) {
    const Song a = addSuiteSong(song120("grid"));
    loadInto(*links, a);
    ASSERT_TRUE(links->grid());
    const engine::BeatGrid analysed = *links->grid();
    auto click = [this](const char *name) {
        window->findChild<QPushButton *>(QString::fromLatin1(name) + QStringLiteral("_Links"))->click();
    };

    click("GridDouble");
    click("GridLater10");
    EXPECT_DOUBLE_EQ(links->grid()->bpm, analysed.bpm * 2);
    EXPECT_NEAR(links->grid()->firstBeatSeconds, analysed.firstBeatSeconds + 0.010, 1e-9);
    const std::optional<engine::BeatGrid> stored = analysis::UserGrid(data.Table1).load(a.key);
    ASSERT_TRUE(stored);
    EXPECT_DOUBLE_EQ(stored->bpm, links->grid()->bpm);
    EXPECT_TRUE(messages.empty());

    click("GridDouble"); // to ~480 BPM
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Warnung");
    EXPECT_DOUBLE_EQ(links->grid()->bpm, analysed.bpm * 2);

    loadInto(*links, a);
    ASSERT_TRUE(links->grid());
    EXPECT_DOUBLE_EQ(links->grid()->bpm, analysed.bpm * 2);
    EXPECT_NEAR(links->grid()->firstBeatSeconds, analysed.firstBeatSeconds + 0.010, 1e-9);
    EXPECT_NEAR(*links->heardTempo(), analysed.bpm * 2, 1e-9);
}

} // namespace
} // namespace mixora::test
