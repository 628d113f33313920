// The main window with its two decks and the mixer over virtual sound devices and a song table
// in a temporary program folder, plus what the deck tests need to listen to the devices.
#pragma once

#include "app/Deck.h"
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "app/Mixer.h"
#include "engine/DSBasicObject.h"
#include "engine/sound/Sound.h"
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"
#include "util/UiSeam.h"

#include <QCoreApplication>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}

namespace mixora::test {

struct Message {
    QString caption;
    QString text;
};

class DeckHarness : public ::testing::Test {
protected:
    void SetUp() override {
        data.openOrCreate(dir.path());
        data.Table1.setIndexFieldNames("Interpret");
        previousHandler = ui::setMessageHandler([this](const ui::MessageRequest &request) {
            messages.push_back({request.caption, request.text});
            return ui::Answer::Ok;
        });
        window = std::make_unique<app::TFormMixora>();
        window->SetDataModule(&data);
        useDevices(sound::Backend::Manual, true);
        decks = std::make_unique<app::WindowDecks>(*window);
        links = &decks->Links;
        rechts = &decks->Rechts;
        mixer = &decks->mixer;
    }

    void TearDown() override {
        decks.reset();
        window.reset();
        sound::setProviderForTesting(nullptr);
        ui::setMessageHandler(previousHandler);
    }

    // Gives the window a main and (when asked) a headphone output of this kind, as start-up
    // opens them from the settings file.
    void useDevices(sound::Backend backend, bool withHead) {
        provider = std::make_shared<sound::VirtualProvider>(
            std::vector<sound::VirtualDevice>{{"Testkarte 1", backend}, {"Testkarte 2", backend}});
        sound::setProviderForTesting(provider);
        const auto devices = provider->enumerate(); // the default entry first
        window->AuxDevice = std::make_unique<DSBasicObject>(*devices[1].guid);
        window->HeadDevice = withHead ? std::make_unique<DSBasicObject>(*devices[2].guid) : nullptr;
        mainDevice = window->AuxDevice->device;
        headDevice = withHead ? window->HeadDevice->device : nullptr;
    }

    // Writes an MP3 fixture and adds its row; returns the row's "Index".
    std::int64_t addSong(const std::string &name, const std::string &artist, const std::string &title,
                         Mp3Options options = {}, std::optional<std::int64_t> startZeit = std::nullopt) {
        const auto file = dir / (name + ".mp3");
        writeMp3(file, options);
        SongRecord row{};
        row[kFieldInterpret] = artist;
        row[kFieldTitel] = title;
        row[kFieldDateiname] = file.string();
        if (startZeit)
            row[kFieldStartzeit] = *startZeit;
        data.Table1.appendRecord(row);
        return *data.Table1.currentKey();
    }

    void select(std::int64_t key) { ASSERT_TRUE(data.Table1.gotoKey(key)); }

    std::optional<std::int64_t> storedStart(std::int64_t key) {
        const auto row = data.Table1.readRecord(key);
        if (!row)
            return std::nullopt;
        if (const auto *value = std::get_if<std::int64_t>(&(*row)[kFieldStartzeit]))
            return *value;
        return std::nullopt;
    }

    static void press(QWidget *widget, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mousePress(widget, button);
        QTest::mouseRelease(widget, button);
    }

    // Runs queued reports of the players' workers.
    static void settle() { QCoreApplication::processEvents(); }

    // Waits (events running) until done() holds; false after the timeout.
    static bool waitFor(const std::function<bool()> &done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Renders a manual device in steps short of half a deck buffer, waiting after each step until
    // the workers of the decks playing on it have refilled what the step played, as a real device
    // would give them time to.
    std::vector<std::int16_t> pump(sound::Device &device, std::size_t frames) {
        constexpr std::size_t kStep = 1024;
        std::vector<engine::DoublePlayer *> players;
        for (app::Deck *deck : {links, rechts}) {
            engine::DoublePlayer *p = deck->player();
            if (p && p->MainDevice() == &device && p->inside().mainBuffer->playing() &&
                !p->inside().workerSuspended)
                players.push_back(p);
        }
        std::vector<std::int16_t> out;
        for (std::size_t done = 0; done < frames; done += kStep) {
            std::vector<std::uint32_t> before;
            std::vector<std::uint64_t> refills;
            for (auto *p : players) {
                before.push_back(p->inside().mainBuffer->cursor());
                refills.push_back(p->inside().workerRefills.load());
            }
            const auto step = device.render(std::min(kStep, frames - done));
            out.insert(out.end(), step.begin(), step.end());
            for (std::size_t i = 0; i < players.size(); ++i) {
                const std::uint32_t half = players[i]->inside().mainBuffer->bytes() / 2;
                const std::uint32_t after = players[i]->inside().mainBuffer->cursor();
                const bool crossed = after < before[i] || (before[i] < half && after >= half);
                if (crossed) {
                    EXPECT_TRUE(
                        waitFor([&] { return players[i]->inside().workerRefills.load() > refills[i]; }));
                }
            }
        }
        return out;
    }

    // The next frames of a manual device, after one stretch that holds a level change's ramp and
    // the encoder's silent lead-in at the start of a song.
    std::vector<std::int16_t> listen(sound::Device &device, std::size_t frames = 4096) {
        pump(device, 4096);
        return pump(device, frames);
    }

    static double rms(const std::vector<std::int16_t> &samples) {
        if (samples.empty())
            return 0;
        double sum = 0;
        for (const std::int16_t s : samples)
            sum += static_cast<double>(s) * s;
        return std::sqrt(sum / static_cast<double>(samples.size()));
    }

    TempDir dir;
    std::shared_ptr<sound::VirtualProvider> provider;
    std::shared_ptr<sound::Device> mainDevice;
    std::shared_ptr<sound::Device> headDevice;
    TDataModule1 data;
    std::unique_ptr<app::TFormMixora> window;
    std::unique_ptr<app::WindowDecks> decks;
    app::Deck *links = nullptr;
    app::Deck *rechts = nullptr;
    app::Mixer *mixer = nullptr;
    std::vector<Message> messages;
    ui::MessageHandler previousHandler;
};

} // namespace mixora::test
