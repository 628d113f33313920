// Pitch, nudge, volume, crossfader and headphone path, checked on the players and, through the
// manual devices, on what is heard.
#include "DeckHarness.h"
#include "settings/IniFile.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLocale>
#include <QSignalSpy>

#include <cmath>
#include <fstream>

namespace mixora::test {
namespace {

using app::Deck;

class DeckMixer : public DeckHarness {
protected:
    // Loads a song into a deck and starts it.
    void start(app::Deck &deck, double hz) {
        select(addSong("tone" + std::to_string(static_cast<int>(hz)), "A", "T",
                       {.seconds = 3, .frequencyHz = hz}));
        press(deck.widgets().load);
        press(deck.widgets().play);
        ASSERT_EQ(deck.stateWord(), Deck::kPlaying);
    }
    QScrollBar *fader() const { return mixer->widgets().fader; }
    static QString sys(const char *text) {
        return QString::fromLatin1(text).replace('.', QLocale::system().decimalPoint());
    }
};

TEST(DeckPitchText, ShortestFormWithTheGivenSeparator) {
    EXPECT_EQ(Deck::pitchText(15, ","), "1,5%");
    EXPECT_EQ(Deck::pitchText(15, "."), "1.5%");
    EXPECT_EQ(Deck::pitchText(-200, ","), "-20%");
    EXPECT_EQ(Deck::pitchText(0, "."), "0%");
    EXPECT_EQ(Deck::pitchText(3, "."), "0.3%"); // not 0.30000000000000004
    EXPECT_EQ(Deck::pitchText(-7, ","), "-0,7%");
    EXPECT_EQ(Deck::pitchText(300, "."), "30%");
}

TEST_F(DeckMixer, PitchBarNudgeAndZeroSetTheFrequency) {
    const auto &w = links->widgets();
    w.pitchBar->setValue(50); // before any song: label untouched, but Load applies it
    EXPECT_EQ(w.pitchLabel->text(), "0 %");
    start(*links, 440);
    auto *buffer = links->player()->inside().mainBuffer.get();
    EXPECT_EQ(buffer->frequency(), 44100u + 50 * 44);
    EXPECT_EQ(links->player()->inside().headBuffer->frequency(), 44100u + 50 * 44);
    EXPECT_EQ(w.pitchLabel->text(), sys("5%"));

    w.pitchBar->setValue(15);
    EXPECT_EQ(w.pitchLabel->text(), sys("1.5%"));
    w.pitchBar->setValue(200);
    EXPECT_EQ(buffer->frequency(), 52900u);
    QTest::mousePress(w.plusSpeed, Qt::LeftButton);
    EXPECT_EQ(buffer->frequency(), 44100u + 300 * 44); // beyond the bar, which stays
    EXPECT_EQ(w.pitchBar->value(), 200);
    EXPECT_EQ(w.pitchLabel->text(), sys("20%"));
    QTest::mouseRelease(w.plusSpeed, Qt::LeftButton);
    EXPECT_EQ(buffer->frequency(), 52900u);

    w.pitchBar->setValue(-200);
    EXPECT_EQ(w.pitchLabel->text(), "-20%");
    QTest::mousePress(w.minusSpeed, Qt::RightButton);
    EXPECT_EQ(buffer->frequency(), 44100u - 300 * 44);
    QTest::mouseRelease(w.minusSpeed, Qt::RightButton);
    EXPECT_EQ(buffer->frequency(), 35300u);

    press(w.zero);
    EXPECT_EQ(w.pitchBar->value(), 0);
    EXPECT_EQ(buffer->frequency(), 44100u);
    EXPECT_EQ(w.pitchLabel->text(), "0%");
    EXPECT_EQ(rechts->widgets().pitchLabel->text(), "0 %"); // the other deck is its own
}

TEST_F(DeckMixer, EqAndFilterAreKeptByTheDeckAndReachEverySongAndItsHeadphoneCopy) {
    QSignalSpy eqSpy(links, &Deck::eqChanged);
    QSignalSpy filterSpy(links, &Deck::filterChanged);
    links->setEq(sound::kEqLow, -40.0); // before any song; clamped to the end stop
    links->setEqKill(sound::kEqHigh, true);
    links->setFilter(0.4);
    links->setFilter(0.4); // unchanged: no signal
    EXPECT_EQ(links->eq(sound::kEqLow), sound::kEqKillDb);
    ASSERT_EQ(eqSpy.count(), 2);
    EXPECT_EQ(eqSpy.at(1).at(0).toInt(), sound::kEqHigh);
    EXPECT_EQ(filterSpy.count(), 1);
    start(*links, 440);
    for (auto *b : {links->player()->inside().mainBuffer.get(), links->player()->inside().headBuffer.get()}) {
        EXPECT_EQ(b->eq(sound::kEqLow), sound::kEqKillDb);
        EXPECT_TRUE(b->eqKill(sound::kEqHigh));
        EXPECT_FLOAT_EQ(b->filter(), 0.4f);
    }
    links->setEq(sound::kEqMid, 4.5);
    links->setEqKill(sound::kEqHigh, false);
    links->setFilter(std::nan(""));
    EXPECT_EQ(links->player()->inside().headBuffer->eq(sound::kEqMid), 4.5f);
    EXPECT_FALSE(links->player()->inside().headBuffer->eqKill(sound::kEqHigh));
    EXPECT_EQ(links->player()->inside().mainBuffer->filter(), 0.0f);
    EXPECT_EQ(rechts->eq(sound::kEqLow), 0.0); // the other deck is its own
    listen(*mainDevice);
    EXPECT_GT(links->takePeak().peak, 0.0f);
}

TEST_F(DeckMixer, KeyLockIsKeptPerDeckThroughARestartAndAnOlderSettingsFileHasItOff) {
    window->ProgramDir = QString::fromStdString(dir.path().string());
    const auto ini = dir / "kelox.ini";
    std::ofstream(ini) << "[Pitch]\nSchritt=1\n"; // written before key lock existed
    auto restart = [&] {
        decks.reset();
        decks = std::make_unique<app::WindowDecks>(*window);
        links = &decks->Links;
        rechts = &decks->Rechts;
    };
    restart();
    EXPECT_FALSE(links->keyLock() || rechts->keyLock());
    press(rechts->widgets().keyLock);
    EXPECT_EQ(settings::IniFile(ini).readString("Pitch", "Schritt", ""), "1") << "the rest is kept";
    restart();
    EXPECT_FALSE(links->keyLock());
    EXPECT_TRUE(rechts->keyLock());
    EXPECT_TRUE(rechts->widgets().keyLock->isChecked());
    select(addSong("tone", "A", "T", {.seconds = 3}));
    press(rechts->widgets().load);
    EXPECT_TRUE(rechts->player()->inside().mainBuffer->keyLock()) << "the song loaded after it has it";
    press(rechts->widgets().keyLock);
    restart();
    EXPECT_FALSE(rechts->keyLock());
}

TEST_F(DeckMixer, CrossfaderMovesOnlyTheFarSideAndComesBackToFullAtZero) {
    QScrollBar *left = links->widgets().volumeBar;
    QScrollBar *right = rechts->widgets().volumeBar;
    right->setValue(500);
    fader()->setValue(3000);
    EXPECT_EQ(left->value(), 3000);
    EXPECT_EQ(right->value(), 500);
    fader()->setValue(-3000); // across the middle without passing 0
    EXPECT_EQ(left->value(), 3000);
    EXPECT_EQ(right->value(), 3000);
    fader()->setValue(0);
    EXPECT_EQ(left->value(), 0);
    EXPECT_EQ(right->value(), 0);

    QTest::mousePress(mixer->widgets().links, Qt::LeftButton);
    EXPECT_EQ(fader()->value(), -10000);
    EXPECT_EQ(right->value(), 10000);
    EXPECT_EQ(left->value(), 0);
    QTest::mouseRelease(mixer->widgets().links, Qt::LeftButton);
    EXPECT_EQ(fader()->value(), 0);
    EXPECT_EQ(right->value(), 0);

    QTest::mousePress(mixer->widgets().rechts, Qt::LeftButton);
    EXPECT_EQ(left->value(), 10000);
    QTest::mouseRelease(mixer->widgets().rechts, Qt::LeftButton);
    fader()->setValue(2500);
    QTest::mouseClick(mixer->widgets().zero, Qt::LeftButton);
    EXPECT_EQ(fader()->value(), 0);
    EXPECT_EQ(left->value(), 0);
}

TEST_F(DeckMixer, WhatIsHeardFollowsVolumeAndCrossfader) {
    start(*links, 440);
    start(*rechts, 1000);
    press(rechts->widgets().play);
    const double left0 = rms(listen(*mainDevice));
    ASSERT_GT(left0, 1000);

    links->widgets().volumeBar->setValue(10000);
    EXPECT_EQ(links->player()->inside().mainBuffer->volume(), -10000);
    const auto silent = listen(*mainDevice);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](std::int16_t s) { return s == 0; }));
    links->widgets().volumeBar->setValue(0);

    // Towards the right by 2000: the left deck is 20 dB down, the right one untouched.
    fader()->setValue(2000);
    EXPECT_NEAR(rms(listen(*mainDevice)) / left0, 0.1, 0.005);
    press(links->widgets().play);
    press(rechts->widgets().play);
    const double right = rms(listen(*mainDevice));
    fader()->setValue(0);
    EXPECT_NEAR(rms(listen(*mainDevice)) / right, 1.0, 0.02);
}

TEST_F(DeckMixer, HeadphonesCarryOnlyTheCuedDeckAndTheFlagOutlivesTheSong) {
    press(links->widgets().headCue); // empty deck: the lamp stays off
    EXPECT_EQ(links->widgets().headCue->property("glyph").toString(), "LED_OFF");
    window->ui.SBVolume_Head->setValue(600);
    start(*links, 440);
    start(*rechts, 1000);
    EXPECT_EQ(links->player()->inside().headBuffer->volume(), -10000);

    press(rechts->widgets().headCue);
    EXPECT_TRUE(rechts->headCueOn());
    EXPECT_EQ(rechts->widgets().headCue->property("glyph").toString(), "LED_ON");
    EXPECT_EQ(rechts->player()->inside().headBuffer->volume(), -600);
    window->ui.SBVolume_Head->setValue(1200);
    EXPECT_EQ(rechts->player()->inside().headBuffer->volume(), -1200);
    EXPECT_EQ(links->player()->inside().headBuffer->volume(), -10000);

    EXPECT_GT(rms(listen(*headDevice)), 1000);
    press(rechts->widgets().play); // the cued deck paused: the other one is not on the headphones
    const auto head = listen(*headDevice);
    EXPECT_TRUE(std::all_of(head.begin(), head.end(), [](std::int16_t s) { return s == 0; }));
    EXPECT_GT(rms(listen(*mainDevice)), 1000);
    press(rechts->widgets().play);

    // A new song in the deck goes to the headphones at once; switching off silences them.
    press(rechts->widgets().play);
    ASSERT_EQ(rechts->stateWord(), Deck::kPaused);
    press(rechts->widgets().load);
    EXPECT_EQ(rechts->player()->inside().headBuffer->volume(), -1200);
    EXPECT_EQ(rechts->widgets().headCue->property("glyph").toString(), "LED_ON");
    press(rechts->widgets().headCue);
    EXPECT_EQ(rechts->player()->inside().headBuffer->volume(), -10000);
    EXPECT_EQ(rechts->widgets().headCue->property("glyph").toString(), "LED_OFF");

    // Without a headphone output the lamp still switches; there is just nothing to hear.
    window->HeadDevice.reset();
    press(rechts->widgets().load);
    ASSERT_TRUE(rechts->hasPlayer());
    EXPECT_EQ(rechts->player()->inside().headBuffer, nullptr);
    press(rechts->widgets().headCue);
    EXPECT_TRUE(rechts->headCueOn());
    window->ui.SBVolume_Head->setValue(300);
    EXPECT_GT(rms(listen(*mainDevice)), 1000); // the left deck plays on
}

} // namespace
} // namespace mixora::test
