// Auto-Gain: the level each song gets, the gain stage in the mix beside the volume, the switch in
// the settings file, and the decks applying it from the stored analysis.
#include "app/AutoGain.h"
#include "analysis/Store.h"
#include "app/DeckAnalysis.h"
#include "settings/IniFile.h"
#include "tests/deck/DeckHarness.h"

#include <QAction>

#include <gtest/gtest.h>

namespace mixora::test {
namespace {

using app::autoGainDb;
using app::AutoGainSettings;

TEST(AutoGainLevel, BoostsStopBelowFullScaleAndCutsAreFree) {
    // -20 LUFS to -14: 6 dB up, with a peak at a quarter of full scale there is room for 12.
    EXPECT_NEAR(autoGainDb(-20.0, 0.25, -14.0), 6.0, 1e-9);
    // The same song with higher peaks may rise only until they reach full scale.
    EXPECT_NEAR(autoGainDb(-20.0, 0.55, -14.0), 5.19, 0.01);
    EXPECT_NEAR(autoGainDb(-20.0, 0.63, -14.0), 4.01, 0.01);
    // A song already peaking at full scale is not raised at all; one without a known peak neither.
    EXPECT_EQ(autoGainDb(-30.0, 1.0, -14.0), 0.0);
    EXPECT_EQ(autoGainDb(-30.0, std::nullopt, -14.0), 0.0);
    // A loud song is lowered whatever its peak, down to the floor.
    EXPECT_NEAR(autoGainDb(-6.0, 1.0, -14.0), -8.0, 1e-9);
    EXPECT_EQ(autoGainDb(10.0, 1.0, -14.0), app::kMaxCutDb);
    // A very quiet song is not raised beyond the ceiling.
    EXPECT_EQ(autoGainDb(-60.0, 0.001, -14.0), app::kMaxBoostDb);
    // Nothing known: nothing changes.
    EXPECT_EQ(autoGainDb(std::nullopt, 0.1, -14.0), 0.0);
}

TEST(AutoGainSettingsFile, OffByDefaultReferenceReadableAndSwitchStored) {
    TempDir dir;
    const auto ini = dir / "kelox.ini";
    AutoGainSettings none = AutoGainSettings::read(ini);
    EXPECT_FALSE(none.on);
    EXPECT_EQ(none.referenceLufs, -14.0);

    settings::IniFile file(ini);
    file.writeString("AutoGain", "Referenz", "-16,5");
    EXPECT_EQ(AutoGainSettings::read(ini).referenceLufs, -16.5);
    for (const char *typo : {"laut", "-14dB", "", "5", "-100"}) {
        file.writeString("AutoGain", "Referenz", typo);
        EXPECT_EQ(AutoGainSettings::read(ini).referenceLufs, -14.0) << typo;
    }

    AutoGainSettings::writeOn(ini, true);
    EXPECT_TRUE(AutoGainSettings::read(ini).on);
    EXPECT_EQ(file.readString("autogain", "an"), "1");
    AutoGainSettings::writeOn(ini, false);
    EXPECT_FALSE(AutoGainSettings::read(ini).on);
}

TEST(SoundGainStage, MultipliesTheVolumeAndIsClamped) {
    auto device = sound::Device::createManual();
    auto buffer = device->createBuffer(sound::PcmFormat{}, 4 * 8192);
    std::vector<std::int16_t> samples(2 * 8192, 1000);
    buffer->write(0, samples.data(), 4 * 8192);
    buffer->play(true);
    auto level = [&] {
        device->render(2048); // past the ramp
        return device->render(256)[100];
    };
    EXPECT_EQ(level(), 1000);
    buffer->setGain(2.0f);
    EXPECT_EQ(level(), 2000);
    // The volume keeps its meaning on top: -6.02 dB halves what the gain gives.
    buffer->setVolume(-602);
    EXPECT_NEAR(level(), 1000, 1);
    buffer->setVolume(0);
    buffer->setGain(100.0f);
    EXPECT_EQ(buffer->gain(), sound::kMaxGain);
    EXPECT_EQ(level(), 8000);
    buffer->setGain(-1.0f);
    EXPECT_EQ(level(), 0);
}

TEST(SoundGainStage, AChangeWhilePlayingIsRamped) {
    auto device = sound::Device::createManual();
    auto buffer = device->createBuffer(sound::PcmFormat{}, 4 * 8192);
    std::vector<std::int16_t> samples(2 * 8192, 1000);
    buffer->write(0, samples.data(), 4 * 8192);
    buffer->play(true);
    device->render(512);
    buffer->setGain(4.0f);
    const auto out = device->render(1024);
    // No jump between neighbouring frames bigger than a small share of the change.
    int biggestStep = 0;
    for (std::size_t i = 2; i < out.size(); i += 2)
        biggestStep = std::max(biggestStep, std::abs(out[i] - out[i - 2]));
    EXPECT_LT(biggestStep, 50);
    EXPECT_EQ(out[out.size() - 2], 4000);
}

class DeckAutoGain : public DeckHarness {
protected:
    // A stored analysis for the row: the loudness and an overview whose loudest peak is peakByte.
    void storeResult(std::int64_t key, double lufs, std::uint8_t peakByte) {
        analysis::Store store(data.Table1);
        store.attach();
        analysis::Result r;
        r.loudnessLufs = lufs;
        r.durationSeconds = 2.0;
        r.overview.assign(2 * analysis::kOverviewColumns, 10);
        r.overview[200] = peakByte;
        const auto row = data.Table1.readRecord(key);
        ASSERT_TRUE(store.save({key, std::get<std::string>((*row)[kFieldDateiname])}, r));
    }
    float mainGain() const { return links->player()->inside().mainBuffer->gain(); }
    float headGain() const { return links->player()->inside().headBuffer->gain(); }
};

TEST_F(DeckAutoGain, LevelsTheLoadedSongOnlyWhenSwitchedOn) {
    window->ProgramDir = QString::fromStdString(dir.path().string());
    const auto key = addSong("quiet", "A", "Leise");
    storeResult(key, -20.0, 64); // peak a quarter of full scale: the whole 6 dB fit
    select(key);
    links->load();
    EXPECT_FLOAT_EQ(mainGain(), 1.0f); // off by default
    EXPECT_TRUE(decks->linksAnalysis.strip()->hasOverview());

    decks->autoGain->setChecked(true);
    EXPECT_NEAR(mainGain(), 2.0f, 0.02f);
    EXPECT_NEAR(headGain(), 2.0f, 0.02f);
    EXPECT_TRUE(AutoGainSettings::read(dir / "kelox.ini").on);

    // The volume bar keeps its own meaning beside the gain.
    links->widgets().volumeBar->setValue(600);
    EXPECT_EQ(links->player()->inside().mainBuffer->volume(), -600);
    EXPECT_NEAR(mainGain(), 2.0f, 0.02f);

    // A file outside the library has no analysis: unity, and an empty strip.
    const auto other = dir / "other.mp3";
    writeMp3(other);
    ASSERT_TRUE(links->loadFile(QString::fromStdString(other.string())));
    EXPECT_FLOAT_EQ(mainGain(), 1.0f);
    EXPECT_FALSE(decks->linksAnalysis.strip()->hasOverview());

    decks->autoGain->setChecked(false);
    select(key);
    links->load();
    EXPECT_FLOAT_EQ(mainGain(), 1.0f);
}

TEST_F(DeckAutoGain, ALevelFoundWhilePlayingWaitsUntilTheDeckIsSilent) {
    window->ProgramDir = QString::fromStdString(dir.path().string());
    decks->autoGain->setChecked(true);
    const auto key = addSong("late", "A", "Spät", {.seconds = 4});
    select(key);
    links->load();
    EXPECT_FLOAT_EQ(mainGain(), 1.0f); // not analysed yet
    links->play();
    storeResult(key, -6.0, 255); // 8 dB too loud
    decks->linksAnalysis.resultsStored(key);
    EXPECT_FLOAT_EQ(mainGain(), 1.0f);
    EXPECT_TRUE(decks->linksAnalysis.strip()->hasOverview()); // the picture needs no wait
    links->play();                                            // pause
    EXPECT_NEAR(mainGain(), 0.398f, 0.002f);
}

} // namespace
} // namespace mixora::test
