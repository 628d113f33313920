// The tempo display, the Sync button and the auto-play trigger at the audible end, on the real
// window's decks with analysed songs from the library's store.
#include "tests/beat/BeatHarness.h"

#include "analysis/UserGrid.h"

#include <QAbstractButton>
#include <QLabel>

namespace mixora::test {
namespace {

SongRecipe shortSong(const std::string &name, double bpm) {
    SongRecipe recipe;
    recipe.name = name;
    recipe.bpm = bpm;
    recipe.seconds = 20;
    recipe.style = DrumStyle::FourOnTheFloor;
    return recipe;
}

double shownBpm(const QLabel *label) {
    QString text = label->text();
    EXPECT_TRUE(text.endsWith(QStringLiteral(" BPM"))) << text.toStdString();
    text.chop(4);
    bool ok = false;
    const double value = text.toDouble(&ok);
    EXPECT_TRUE(ok) << label->text().toStdString();
    return value;
}

class BeatDeck : public BeatHarness {
protected:
    // Rechts' beats against Links' in ms, by the songs' true grids (the decks hold by their analysed
    // ones: a constant offset).
    double phaseBetween(const Song &onLinks, const Song &onRechts) {
        const engine::PlayingDeck own{
            *rechts->player()->Clock(), 44100, {onRechts.recipe.bpm, onRechts.trueFirstBeat}};
        const engine::PlayingDeck other{
            *links->player()->Clock(), 44100, {onLinks.recipe.bpm, onLinks.trueFirstBeat}};
        return 1000.0 * engine::phaseError(own, other, 1.0).value_or(1.0);
    }
};

TEST_F(BeatDeck, TempoFollowsThePitchBarAndSyncMatchesTheOtherDeck) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    const Song b = addSuiteSong(shortSong("b126", 126.0));
    const Song none = addSuiteSong(shortSong("plain", 100.0), false);
    auto &ui = window->ui;
    EXPECT_EQ(ui.lbBpm_Links->text(), QString());
    loadInto(*links, a);
    loadInto(*rechts, b);
    EXPECT_NEAR(shownBpm(ui.lbBpm_Links), 120.0, 0.1);
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), 126.0, 0.1);

    ui.SBarPitchLinks->setValue(50); // 5 % faster
    EXPECT_NEAR(shownBpm(ui.lbBpm_Links), 126.0, 0.15);
    const QString before = ui.lbBpm_Links->text();
    QTest::mousePress(ui.SBtPlusSpeedLinks, Qt::LeftButton);
    EXPECT_EQ(ui.lbBpm_Links->text(), before) << "a nudge is not the tempo";
    QTest::mouseRelease(ui.SBtPlusSpeedLinks, Qt::LeftButton);

    // Sync on the right deck: its tempo becomes the left deck's, shown like a moved bar.
    ui.SBarPitchLinks->setValue(-30);
    QTest::mouseClick(ui.btSync_Rechts, Qt::LeftButton);
    EXPECT_TRUE(rechts->synced());
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), shownBpm(ui.lbBpm_Links), 0.1);
    EXPECT_NE(ui.SBarPitchRechts->value(), 0);
    EXPECT_EQ(ui.lbPitch_Rechts->text(),
              app::Deck::pitchText(ui.SBarPitchRechts->value(), QLocale::system().decimalPoint()));
    // The rate itself is exact, not the bar's step: the tempos agree far within 0.001 %.
    EXPECT_NEAR(*rechts->heardTempo() / *links->heardTempo(), 1.0, 1e-7);
    EXPECT_DOUBLE_EQ(rechts->player()->inside().mainBuffer->exactFrequency(), 44100 * rechts->baseRate());
    // A hand on the bar ends it.
    ui.SBarPitchRechts->setValue(ui.SBarPitchRechts->value() + 5);
    EXPECT_FALSE(rechts->synced());

    // A song without a known tempo shows none, and Sync says why instead of guessing.
    loadInto(*rechts, none);
    EXPECT_EQ(ui.lbBpm_Rechts->text(), QString());
    QTest::mouseClick(ui.btSync_Rechts, Qt::LeftButton);
    EXPECT_FALSE(rechts->synced());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, QStringLiteral("Warnung"));
}

TEST_F(BeatDeck, SyncOutOfThePitchRangeChangesNothing) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    const Song b = addSuiteSong(shortSong("b90", 90.0)); // 120 is a third faster; 60 and 240 further
    loadInto(*links, a);
    loadInto(*rechts, b);
    auto &ui = window->ui;
    const QString pitchText = ui.lbPitch_Rechts->text();
    QTest::mouseClick(ui.btSync_Rechts, Qt::LeftButton);
    EXPECT_FALSE(rechts->synced());
    EXPECT_EQ(ui.SBarPitchRechts->value(), 0);
    EXPECT_EQ(ui.lbPitch_Rechts->text(), pitchText);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, QStringLiteral("Warnung"));

    // Double counts where the tempo itself is out of reach: 145 BPM beside 75 plays at 150.
    const Song slow = addSuiteSong(shortSong("d75", 75.0));
    const Song fast = addSuiteSong(shortSong("e145", 145.0));
    loadInto(*links, slow);
    loadInto(*rechts, fast);
    QTest::mouseClick(ui.btSync_Rechts, Qt::LeftButton);
    EXPECT_TRUE(rechts->synced());
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), 2 * shownBpm(ui.lbBpm_Links), 0.2);
}

TEST_F(BeatDeck, TheDjsCorrectedBeatsIsTheTempoTheDeckPlaysBy) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    const Song b = addSuiteSong(shortSong("b126", 126.0));
    auto &ui = window->ui;
    auto loadWithBeats = [&](int beats) {
        select(a.key);
        data.Table1.edit();
        data.Table1.setFieldInteger("Beats", beats);
        data.Table1.post();
        loadInto(*links, a);
        return shownBpm(ui.lbBpm_Links);
    };
    // Counted at half or two thirds: the analysed grid scaled; a figure no factor fits: itself.
    EXPECT_NEAR(loadWithBeats(60), 60.0, 0.1);
    EXPECT_NEAR(loadWithBeats(80), 80.0, 0.1);
    EXPECT_EQ(loadWithBeats(97), 97.0);

    // Sync matches the corrected tempo: 63 beside 126 is double counts at the bar's middle.
    EXPECT_EQ(loadWithBeats(63), 63.0);
    loadInto(*rechts, b);
    QTest::mouseClick(ui.btSync_Rechts, Qt::LeftButton);
    ASSERT_TRUE(rechts->synced());
    EXPECT_LE(std::abs(ui.SBarPitchRechts->value()), 1);
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), 2 * shownBpm(ui.lbBpm_Links), 0.2);
}

TEST_F(BeatDeck, TheDjsOwnGridWinsOverTheAnalysisAndOverALaterOne) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    auto &ui = window->ui;
    analysis::UserGrid grids(data.Table1);
    ASSERT_TRUE(grids.save(a.key, {61.3, 0.25})); // no factor of the analysed 120
    loadInto(*links, a);
    EXPECT_EQ(shownBpm(ui.lbBpm_Links), 61.3);
    const auto result = analysis->store().load(a.key);
    ASSERT_TRUE(result && analysis->store().save(analysis::SongRef{a.key, a.path}, *result));
    loadInto(*links, a);
    EXPECT_EQ(shownBpm(ui.lbBpm_Links), 61.3);
}

TEST_F(BeatDeck, SyncNeverJumpsOnAirAndNeverStaysOnAStaleTempo) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    const Song b = addSuiteSong(shortSong("b126", 126.0));
    const Song late = addSuiteSong(shortSong("c110", 110.0), false);
    const Song d = addSuiteSong(shortSong("d100", 100.0));
    auto &ui = window->ui;
    loadInto(*links, a);
    loadInto(*rechts, b);
    QTest::mouseClick(ui.btSync_Rechts, Qt::LeftButton);
    loadInto(*rechts, late); // its tempo still unknown: stays synced
    ASSERT_TRUE(rechts->synced());
    const int pitch = ui.SBarPitchRechts->value();
    rechts->play();
    render(0.5);

    // Its analysis arrives on air: the tempo heard does not jump; it matches once paused.
    const auto result = analysis::analyseFile(late.path, analysis::Options{});
    ASSERT_TRUE(result && analysis->store().save(analysis::SongRef{late.key, late.path}, *result));
    rechts->songAnalysed(late.key);
    EXPECT_EQ(ui.SBarPitchRechts->value(), pitch);
    EXPECT_EQ(rechts->player()->inside().mainBuffer->frequency(),
              engine::DoublePlayer::FrequencyFor(44100, pitch));
    rechts->play();
    ASSERT_EQ(rechts->state(), app::Deck::State::Paused);
    EXPECT_TRUE(rechts->synced());
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), shownBpm(ui.lbBpm_Links), 0.1);

    // The other's pitch bar moves: followed, silent or on air.
    ui.SBarPitchLinks->setValue(30);
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), shownBpm(ui.lbBpm_Links), 0.1);
    rechts->play();
    ui.SBarPitchLinks->setValue(-20);
    EXPECT_TRUE(rechts->synced());
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), shownBpm(ui.lbBpm_Links), 0.1);

    // Another song on the other deck while this one plays: followed too, never left on a stale tempo.
    loadInto(*links, d);
    EXPECT_TRUE(rechts->synced());
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), shownBpm(ui.lbBpm_Links), 0.1);
}

TEST_F(BeatDeck, ASyncedDecksBeatsPulledOffArePulledBackGentlyAndHeld) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    const Song b = addSuiteSong(shortSong("b126", 126.0));
    loadInto(*links, a);
    loadInto(*rechts, b);
    QTest::mouseClick(window->ui.btSync_Rechts, Qt::LeftButton);
    ASSERT_TRUE(rechts->synced());
    links->play();
    render(0.5);
    rechts->play(); // lands on the beat
    const auto phaseMs = [&] { return phaseBetween(a, b); };
    auto hold = [&](double seconds) {
        for (double t = 0; t < seconds; t += 0.05) {
            render(0.05);
            rechts->holdPhase();
            const double rate = rechts->player()->inside().mainBuffer->exactFrequency() / 44100;
            ASSERT_NEAR(rate / rechts->baseRate(), 1.0, 0.001 + 1e-9) << "a pull stays inaudible";
        }
    };
    hold(1.0);
    const double held = phaseMs();
    // 1 % fast for a third of a second: about 3 ms ahead.
    rechts->player()->SetRate(rechts->baseRate() * 1.01);
    render(0.33);
    const double off = phaseMs();
    ASSERT_GT(off - held, 2.0);
    hold(8.0);
    EXPECT_NEAR(phaseMs(), held, 1.0);
    EXPECT_TRUE(rechts->synced());
    // A jump off the grid (a third of a beat): the next look jumps back in phase, and the deck plays on.
    const double beatFrames = 44100 * 60.0 / b.recipe.bpm;
    ASSERT_TRUE(rechts->player()->JumpTo(rechts->player()->Clock()->sourceFrame + beatFrames / 3));
    render(0.05);
    ASSERT_GT(std::abs(phaseMs() - held), 20.0);
    hold(0.5);
    EXPECT_NEAR(phaseMs(), held, 1.0);
    EXPECT_EQ(rechts->state(), app::Deck::State::Playing);
}

TEST_F(BeatDeck, WithBothDecksOnSyncTheOnePlayingFirstLeads) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    const Song b = addSuiteSong(shortSong("b126", 126.0));
    auto &ui = window->ui;
    loadInto(*links, a);
    loadInto(*rechts, b);
    QTest::mouseClick(ui.btSync_Rechts, Qt::LeftButton);
    links->play();
    render(0.5);
    rechts->play();
    QTest::mouseClick(ui.btSync_Links, Qt::LeftButton);
    ASSERT_TRUE(links->synced() && rechts->synced());
    const auto phaseMs = [&] { return phaseBetween(a, b); };
    // Both look at the phase, as their timers do: only the later one moves.
    auto hold = [&](double seconds) {
        for (double t = 0; t < seconds; t += 0.05) {
            render(0.05);
            links->holdPhase();
            rechts->holdPhase();
            ASSERT_DOUBLE_EQ(links->player()->inside().mainBuffer->exactFrequency(),
                             44100 * links->baseRate())
                << "the leader is pulled";
        }
    };
    hold(0.5);
    const double held = phaseMs();
    rechts->player()->SetRate(rechts->baseRate() * 1.01);
    render(0.33);
    ASSERT_GT(phaseMs() - held, 2.0);
    hold(8.0);
    EXPECT_NEAR(phaseMs(), held, 1.0);

    // The leader's pitch bar: the other follows it.
    ui.SBarPitchLinks->setValue(40);
    EXPECT_NEAR(shownBpm(ui.lbBpm_Rechts), shownBpm(ui.lbBpm_Links), 0.1);
    EXPECT_NEAR(shownBpm(ui.lbBpm_Links), 124.8, 0.1);
    EXPECT_TRUE(rechts->synced());
}

TEST_F(BeatDeck, LastSecondsCountFromTheAudibleEndOfAnAnalysedSong) {
    const Song a = addSuiteSong(shortSong("a120", 120.0));
    const Song plain = addSuiteSong(shortSong("plain", 120.0), false);
    // The song's sound ends at 10 s of its 20: the rest is silence a DJ would not wait for.
    auto result = *analysis->store().load(a.key);
    result.audibleEndSeconds = 10.0;
    ASSERT_TRUE(analysis->store().save(analysis::SongRef{a.key, a.path}, result));
    loadInto(*links, a);
    loadInto(*rechts, plain);
    links->play();
    rechts->play();
    render(2.0);
    EXPECT_EQ(links->player()->inside().nearEnd.load(), 0);
    render(2.5); // 4.5 s: within 7 s of the audible end, far from the file's end
    EXPECT_EQ(links->player()->inside().nearEnd.load(), 1);
    EXPECT_EQ(rechts->player()->inside().nearEnd.load(), 0);
}

} // namespace
} // namespace mixora::test
