// The deck harness with the program's analysis behind the window, so the decks read tempo and
// beat grid from the store, and songs of the generated suite in the library.
#pragma once

#include "analysis/Analysis.h"
#include "scan/AnalysisService.h"
#include "tests/deck/DeckHarness.h"
#include "tests/support/SongSuite.h"

#include <memory>

namespace mixora::test {

class BeatHarness : public DeckHarness {
protected:
    void SetUp() override {
        DeckHarness::SetUp();
        if (HasFatalFailure())
            return;
        decks.reset();
        analysis = std::make_unique<AnalysisService>(
            data.Table1,
            [](const std::string &path, const std::atomic<bool> *cancel, std::string *error) {
                return analysis::analyseFile(path, analysis::Options{}, cancel, error);
            },
            1);
        analysis->store().attach();
        window->Analysis = analysis.get();
        useDevices(sound::Backend::Offline, false);
        remakeDecks();
    }

    void TearDown() override {
        DeckHarness::TearDown();
        analysis.reset();
    }

    void remakeDecks() {
        decks = std::make_unique<app::WindowDecks>(*window);
        links = &decks->Links;
        rechts = &decks->Rechts;
        mixer = &decks->mixer;
    }

    struct Song {
        SongRecipe recipe;
        std::string path;
        std::int64_t key = 0;
        double trueFirstBeat = 0; // in the decoded stream
    };

    // A suite song in the library; analysed and stored when asked, as a scan with analysis would.
    Song addSuiteSong(SongRecipe recipe, bool analyse = true) {
        Song song;
        const EncodedSong encoded = encodeSong(recipe);
        song.path = (dir / (recipe.name + ".mp3")).string();
        writeFile(song.path, encoded.mp3);
        song.trueFirstBeat = recipe.firstBeatSeconds + encoded.delaySeconds;
        SongRecord row{};
        row[kFieldInterpret] = recipe.name;
        row[kFieldTitel] = std::string("Suite");
        row[kFieldDateiname] = song.path;
        data.Table1.appendRecord(row);
        song.key = *data.Table1.currentKey();
        if (analyse) {
            std::string error;
            const auto result = analysis::analyseFile(song.path, analysis::Options{}, nullptr, &error);
            EXPECT_TRUE(result) << error;
            if (result) {
                EXPECT_TRUE(analysis->store().save(analysis::SongRef{song.key, song.path}, *result));
            }
        }
        song.recipe = std::move(recipe);
        return song;
    }

    void loadInto(app::Deck &deck, const Song &song) {
        if (deck.stateWord() == app::Deck::kPlaying)
            deck.play();
        select(song.key);
        deck.load();
    }

    std::vector<std::int16_t> render(double seconds) {
        return mainDevice->render(static_cast<std::size_t>(seconds * sound::kDeviceRate));
    }

    std::unique_ptr<AnalysisService> analysis;
};

} // namespace mixora::test
