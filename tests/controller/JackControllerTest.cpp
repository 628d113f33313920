// A controller on JACK MIDI drives the real window's decks: it is found when it appears, its
// play, 14-bit pitch, fader and pad reach the controls, the lamps come back to it, and when it
// goes away in the middle of a held pad nothing stays pressed; plugged back, it works again.
#include "../deck/DeckHarness.h"
#include "JackPeer.h"

#include "app/DeckControls.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>

#include <algorithm>
#include <cmath>
#include <set>
#include <thread>
#include <tuple>

namespace mixora::test {
namespace {

using controller::MidiBytes;

JackServer *server = nullptr;

const char *kMapping = R"({
  "name": "Testpult",
  "ports": ["Testpult"],
  "bindings": [
    {"control": "Links.play", "midi": "note", "channel": 1, "number": 11, "led": true},
    {"control": "Links.cue", "midi": "note", "channel": 1, "number": 12, "led": true},
    {"control": "Links.nudgeUp", "midi": "note", "channel": 1, "number": 20},
    {"control": "Links.pitch", "midi": "cc14", "channel": 1, "number": 0, "lsb": 32},
    {"control": "Links.volume", "midi": "cc", "channel": 1, "number": 19},
    {"control": "Links.eq.tief", "midi": "cc", "channel": 1, "number": 20}
  ]
})";

class JackController : public DeckHarness {
protected:
    void SetUp() override {
        if (!server->running())
            GTEST_SKIP() << "no JACK server for the MIDI tests: " << server->why();
        DeckHarness::SetUp();
        const QString folder = QString::fromStdString((dir.path() / "Controller").string());
        QDir().mkpath(folder);
        QFile file(folder + "/Testpult.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(kMapping);
        file.close();
        controllers = std::make_unique<app::Controllers>(
            *window, *decks,
            app::Controllers::Options{false, true, QString::fromStdString(dir.path().string()),
                                      "mixora-test"});
        controllers->start();
        EXPECT_TRUE(messages.empty());
        ASSERT_EQ(controllers->hub().backends(), QStringList{"JACK"});
    }
    void TearDown() override {
        controllers.reset();
        if (decks)
            DeckHarness::TearDown();
    }

    bool bound(bool present) {
        return waitFor([&] {
            const auto devices = controllers->hub().devices();
            return std::any_of(devices.begin(), devices.end(), [&](const auto &d) {
                return d.name == "Testpult:out" && d.present == present &&
                       (!present || d.mapping == "Testpult");
            });
        });
    }
    // Waits until the peer got this message back.
    bool lamp(JackPeer &peer, MidiBytes expected) {
        return waitFor([&] {
            for (const MidiBytes &m : peer.received())
                if (m == expected)
                    return true;
            return false;
        });
    }

    std::unique_ptr<app::Controllers> controllers;
};

TEST_F(JackController, PlaysPitchFaderAndPadAndLightsTheLamps) {
    select(addSong("tone", "A", "T", {.seconds = 3, .frequencyHz = 440}));
    press(links->widgets().load);
    auto peer = std::make_unique<JackPeer>("Testpult");
    ASSERT_TRUE(peer->open());
    const auto plugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(bound(true));
    std::printf(
        "bound %.1f ms after the port appeared\n",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - plugged).count());
    EXPECT_TRUE(lamp(*peer, MidiBytes::of(0x90, 11, 0))); // every lamp as it stands, at once

    peer->send(MidiBytes::of(0x90, 11, 127));
    peer->send(MidiBytes::of(0x80, 11, 0));
    ASSERT_TRUE(waitFor([&] { return links->stateWord() == app::Deck::kPlaying; }));
    EXPECT_TRUE(lamp(*peer, MidiBytes::of(0x90, 11, 127)));

    // 14-bit pitch: at the bar's 0 first (soft takeover), then 10240 of 16383.
    for (const MidiBytes &m : {MidiBytes::of(0xB0, 0, 64), MidiBytes::of(0xB0, 32, 0),
                               MidiBytes::of(0xB0, 0, 80), MidiBytes::of(0xB0, 32, 0)})
        peer->send(m);
    const int pitch = static_cast<int>(std::lround(-200 + 400 * (0.5 + 2048.0 / 16382)));
    ASSERT_TRUE(waitFor([&] { return links->widgets().pitchBar->value() == pitch; }));
    auto *buffer = links->player()->inside().mainBuffer.get();
    EXPECT_EQ(buffer->frequency(), engine::DoublePlayer::FrequencyFor(44100, pitch));

    peer->send(MidiBytes::of(0xB0, 19, 127)); // the fader at full, where the bar is
    peer->send(MidiBytes::of(0xB0, 19, 32));
    ASSERT_TRUE(waitFor([&] { return links->widgets().volumeBar->value() == 7500; }));
    EXPECT_EQ(buffer->volume(), -7500);

    // An EQ knob: centred is 0 dB (where the deck's band stands, so it takes over), then its ends.
    peer->send(MidiBytes::of(0xB0, 20, 64));
    peer->send(MidiBytes::of(0xB0, 20, 0));
    ASSERT_TRUE(waitFor([&] { return links->eq(sound::kEqLow) == sound::kEqKillDb; }));
    peer->send(MidiBytes::of(0xB0, 20, 127));
    ASSERT_TRUE(waitFor([&] { return links->eq(sound::kEqLow) == sound::kEqMaxDb; }));

    // A pad held while the controller is unplugged is let go.
    peer->send(MidiBytes::of(0x90, 20, 127));
    ASSERT_TRUE(waitFor(
        [&] { return buffer->frequency() == engine::DoublePlayer::FrequencyFor(44100, pitch + 100); }));
    peer.reset();
    ASSERT_TRUE(bound(false));
    EXPECT_TRUE(
        waitFor([&] { return buffer->frequency() == engine::DoublePlayer::FrequencyFor(44100, pitch); }));

    // Plugged back: found again, and the lamps follow the window too.
    peer = std::make_unique<JackPeer>("Testpult");
    ASSERT_TRUE(bound(true));
    EXPECT_TRUE(lamp(*peer, MidiBytes::of(0x90, 11, 127)));
    press(links->widgets().play); // paused from the window
    EXPECT_TRUE(lamp(*peer, MidiBytes::of(0x90, 11, 0)));
    peer->send(MidiBytes::of(0x90, 12, 127));
    ASSERT_TRUE(waitFor([&] { return links->stateWord() == app::Deck::kCued; }));
    EXPECT_TRUE(lamp(*peer, MidiBytes::of(0x90, 12, 127)));
    EXPECT_TRUE(messages.empty());
}

TEST_F(JackController, LearnsInTheWindowIntoTheDevicesFileAndMonitorsWhatItIgnores) {
    select(addSong("tone", "A", "T", {.seconds = 3, .frequencyHz = 440}));
    press(links->widgets().load);
    JackPeer peer("Testpult");
    ASSERT_TRUE(bound(true));
    controllers->showWindow();
    app::ControllerWindow &w = *controllers->window();
    w.controlChoice()->setCurrentText("Links.play");
    press(w.learnButton());
    peer.send(MidiBytes::of(0x91, 5, 127));
    ASSERT_TRUE(waitFor([&] { return w.learnState()->text().contains("gelernt"); }))
        << w.learnState()->text().toStdString();
    QFile file(QString::fromStdString((dir.path() / "Controller" / "Testpult.json").string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    std::vector<controller::MappingProblem> problems;
    const controller::Mapping back =
        controller::parseMapping(saved, "Testpult.json", controllers->controls(), problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(back.bindings.size(), 7u); // the six it had and the learned one
    EXPECT_EQ(back.bindings.back().control, "Links.play");
    EXPECT_EQ(back.bindings.back().channel, 1);

    peer.send(MidiBytes::of(0x91, 5, 127)); // the learned pad now plays
    ASSERT_TRUE(waitFor([&] { return links->stateWord() == app::Deck::kPlaying; }));
    peer.send(MidiBytes::of(0xF0, 0x7E, 0xF7));
    ASSERT_TRUE(waitFor([&] {
        QCoreApplication::processEvents();
        return !w.monitor()->findItems("Testpult:out: SysEx 3 Bytes (ignoriert)", Qt::MatchExactly).isEmpty();
    }));
    EXPECT_FALSE(w.devices()->findItems("Testpult", Qt::MatchExactly).isEmpty());
}

class ControllerFiles : public DeckHarness {};

TEST_F(ControllerFiles, ABadMappingWarnsWithItsFileAndLine) {
    const QString folder = QString::fromStdString((dir.path() / "Controller").string());
    QDir().mkpath(folder);
    QFile bad(folder + "/Kaputt.json");
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("{\n  \"ports\": [\"Kaputt\"],\n  \"bindings\": [\n    {\"control\": \"Links.nix\", \"midi\": "
              "\"note\"},\n"
              "    {\"control\": \"Links.play\", \"midi\": \"note\", \"number\": 1}\n  ]\n}\n");
    bad.close();
    app::Controllers controllers(
        *window, *decks,
        app::Controllers::Options{false, false, QString::fromStdString(dir.path().string())});
    controllers.start();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Warnung");
    EXPECT_TRUE(messages[0].text.contains("Kaputt.json, Zeile 4: unbekanntes Control „Links.nix“"))
        << messages[0].text.toStdString();
}

// The shipped keyboard mapping: keys on the main window reach their controls (the engine too).
TEST_F(ControllerFiles, KeysOfTheMainWindowDriveTheirControls) {
    select(addSong("tone", "A", "T", {.seconds = 3, .frequencyHz = 440}));
    press(links->widgets().load);
    app::Controllers controllers(
        *window, *decks,
        app::Controllers::Options{false, false, QString::fromStdString(dir.path().string())});
    controllers.start();
    QWidget *panel = links->widgets().play;
    QTest::keyClick(panel, Qt::Key_A);
    EXPECT_EQ(links->stateWord(), app::Deck::kPlaying);
    QTest::keyClick(panel, Qt::Key_V);
    QTest::keyClick(panel, Qt::Key_V);
    EXPECT_EQ(mixer->widgets().fader->value(), 2000);
    ASSERT_TRUE(links->player());
    EXPECT_EQ(links->player()->inside().mainBuffer->volume(), -2000);
    QTest::keyClick(panel, Qt::Key_A, Qt::ShiftModifier); // "Shift+A" loads, it does not pause
    EXPECT_EQ(links->stateWord(), app::Deck::kPlaying);
    // Typed into a search field, the same key is text, not a pause.
    auto *field = window->findChild<QLineEdit *>();
    ASSERT_TRUE(field);
    window->show();
    QApplication::setActiveWindow(window.get());
    field->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), field);
    QTest::keyClick(field, Qt::Key_A);
    EXPECT_EQ(links->stateWord(), app::Deck::kPlaying);
    EXPECT_EQ(field->text(), "a");
    EXPECT_TRUE(messages.empty());
}

// Set from a controller's thread, the crossfader, headphone volume and EQ reach the engine before
// the window has carried the request out.
TEST_F(ControllerFiles, MixerAndEqReachTheEngineBeforeTheWindow) {
    select(addSong("tone", "A", "T", {.seconds = 3, .frequencyHz = 440}));
    press(links->widgets().load);
    links->headCueClicked();
    app::Controllers controllers(*window, *decks, app::Controllers::Options{false, false, {}});
    ASSERT_TRUE(links->player() && links->player()->inside().headBuffer);
    std::thread([&] {
        controllers.controls().find("Mixer.crossfader")->set(4000);
        controllers.controls().find("Mixer.headVolume")->set(2500);
        controllers.controls().find("Links.eq.tief")->set(3);
    }).join();
    EXPECT_EQ(links->player()->inside().mainBuffer->volume(), -4000);
    EXPECT_EQ(links->player()->inside().headBuffer->volume(), -2500);
    EXPECT_EQ(links->player()->inside().mainBuffer->eq(sound::kEqLow), 3.0f);
    EXPECT_EQ(mixer->widgets().fader->value(), 0); // the window has not come to it yet
    ASSERT_TRUE(waitFor([&] { return mixer->widgets().fader->value() == 4000; }));
    EXPECT_EQ(links->widgets().volumeBar->value(), 4000);
    EXPECT_EQ(links->eq(sound::kEqLow), 3.0);
}

// The shipped DDJ-FLX4 mapping against the program's own controls: nothing in it is malformed;
// what it leaves out are only the cue and loop controls of a build without them.
TEST_F(ControllerFiles, TheShippedFlx4MappingNamesOnlyTheProgramsControls) {
    app::Controllers controllers(*window, *decks, app::Controllers::Options{false, false, {}});
    QFile file(":/controller/mappings/DDJ-FLX4.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    std::vector<controller::MappingProblem> problems;
    const controller::Mapping m =
        controller::parseMapping(file.readAll(), "DDJ-FLX4.json", controllers.controls(), problems);
    for (const auto &p : problems)
        EXPECT_TRUE(
            QRegularExpression("unbekanntes Control „(Links|Rechts)\\.(hotcue|hotcueClear|loopIn|loopOut|"
                               "reloop|loopHalve|loopDouble)[.0-9]*“")
                .match(p.what)
                .hasMatch())
            << p.text().toStdString();
    EXPECT_EQ(m.bindings.size() + problems.size(), 69u);
    EXPECT_TRUE(m.matches("DDJ-FLX4:DDJ-FLX4 MIDI 1 28:0"));

    // The generic layout names every one of its controls rightly, and no message twice.
    QFile generic(":/controller/mappings/Generic.json");
    ASSERT_TRUE(generic.open(QIODevice::ReadOnly));
    problems.clear();
    const controller::Mapping g =
        controller::parseMapping(generic.readAll(), "Generic.json", controllers.controls(), problems);
    EXPECT_TRUE(problems.empty()) << problems.front().text().toStdString();
    std::set<std::tuple<int, int, int, bool>> seen;
    for (const controller::Binding &b : g.bindings)
        EXPECT_TRUE(seen.insert({int(b.midi), b.channel, b.number, b.shift}).second)
            << b.control.toStdString();
}

} // namespace
} // namespace mixora::test

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    mixora::test::JackServer jack;
    mixora::test::server = &jack;
    return RUN_ALL_TESTS();
}
