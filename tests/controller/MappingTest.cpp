// Mappings from raw bytes: parsing with its problems, what each kind of message does to a
// control, soft takeover, the shift layer, held buttons, learning and saving; and controls set
// from another thread.
#include "controller/Mapping.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <thread>

namespace mixora::controller {
namespace {

class Mapped : public ::testing::Test {
protected:
    Mapped() {
        set.add(
            "Links.play", ControlKind::Toggle, 0, 1, [this](double v) { play = v; }, [this] { return play; });
        set.add("Links.nudgeUp", ControlKind::Button, 0, 1, [this](double v) { nudges.push_back(v); });
        set.add(
            "Links.pitch", ControlKind::Range, -200, 200, [this](double v) { pitch = v; },
            [this] { return pitch; });
        set.add(
            "Links.volume", ControlKind::Range, 10000, 0, [this](double v) { volume = v; },
            [this] { return volume; });
        set.add("Links.jog", ControlKind::Relative, -1, 1, [this](double v) { jog += v; });
        set.add(
            "Links.timeRemaining", ControlKind::Toggle, 0, 1, [this](double v) { remaining = v; },
            [this] { return remaining; });
    }

    Mapping parse(const char *text) {
        problems.clear();
        return parseMapping(QByteArray(text), "Test.json", set, problems);
    }

    void feed(Router &router, std::initializer_list<std::uint8_t> bytes, bool expectUsed = true) {
        const std::vector<std::uint8_t> b(bytes);
        EXPECT_EQ(router.handle(b.data(), b.size()), expectUsed);
    }

    ControlSet set;
    double play = 0, pitch = 0, volume = 0, jog = 0, remaining = 0;
    std::vector<double> nudges;
    std::vector<MappingProblem> problems;
};

const char *kMapping = R"({
  "name": "Pult",
  "ports": ["Testpult"],
  "bindings": [
    {"control": "Shift", "midi": "note", "channel": 1, "number": 64},
    {"control": "Links.play", "midi": "note", "channel": 1, "number": 11, "led": true},
    {"control": "Links.timeRemaining", "midi": "note", "channel": 1, "number": 11, "shift": true},
    {"control": "Links.nudgeUp", "midi": "note", "channel": 1, "number": 20},
    {"control": "Links.pitch", "midi": "cc14", "channel": 1, "number": 0, "lsb": 32},
    {"control": "Links.pitch", "midi": "pitchbend", "channel": 2},
    {"control": "Links.volume", "midi": "cc", "channel": 1, "number": 19},
    {"control": "Links.jog", "midi": "cc", "channel": 1, "number": 33, "encoder": "twos", "step": 0.5}
  ]
})";

TEST_F(Mapped, BadBindingsAreReportedWithTheirLineAndTheRestLoads) {
    const Mapping m = parse(R"({
  "ports": ["X"],
  "bindings": [
    {"control": "Links.play", "midi": "note", "channel": 1, "number": 1},
    {"control": "Links.flangeur", "midi": "note", "channel": 1, "number": 2},
    {"control": "Links.pitch", "midi": "cc14", "channel": 1, "number": 3},
    {"control": "Links.jog", "midi": "cc", "channel": 1, "number": 4},
    {"control": "Links.pitch", "midi": "cc", "channel": 17, "number": 5},
    {"control": "Links.volume", "midi": "cc", "channel": 1, "number": 7}
  ]
})");
    ASSERT_EQ(m.bindings.size(), 2u);
    EXPECT_EQ(m.bindings[1].control, "Links.volume");
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[0].line, 5);
    EXPECT_TRUE(problems[0].what.contains("Links.flangeur"));
    EXPECT_EQ(problems[1].line, 6); // a 14-bit pair without its LSB
    EXPECT_EQ(problems[2].line, 7); // a relative control without an encoder
    EXPECT_EQ(problems[3].line, 8); // channel out of range
    EXPECT_TRUE(problems[0].text().startsWith("Test.json, Zeile 5: "));

    parse("{\n  \"ports\": [\"X\"],\n  \"bindings\": [\n    {\"control\": \"Links.play\",, }\n  ]\n}");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 4);
}

TEST_F(Mapped, MessagesDriveTheirControls) {
    const Mapping m = parse(kMapping);
    ASSERT_TRUE(problems.empty()) << problems[0].text().toStdString();
    EXPECT_TRUE(m.matches("a2j:Testpult [24] (capture): Testpult MIDI 1"));
    Router router(m, set);

    feed(router, {0x90, 11, 127}); // press toggles
    EXPECT_EQ(play, 1);
    feed(router, {0x80, 11, 0});
    EXPECT_EQ(play, 1);
    feed(router, {0x90, 11, 100});
    EXPECT_EQ(play, 0);
    feed(router, {0x90, 11, 0}); // note on with velocity 0 is a release

    // 14-bit: the MSB waits for its LSB; 8192 is the exact middle.
    feed(router, {0xB0, 0, 64});
    EXPECT_EQ(pitch, 0);
    feed(router, {0xB0, 32, 0});
    EXPECT_DOUBLE_EQ(pitch, 0);
    feed(router, {0xB0, 0, 66});
    feed(router, {0xB0, 32, 0});
    EXPECT_DOUBLE_EQ(pitch, 400.0 * 256 / 16382); // 8448 is 256 above the middle
    feed(router, {0xB0, 0, 127});
    feed(router, {0xB0, 32, 127});
    EXPECT_DOUBLE_EQ(pitch, 200);

    // Pitch bend on channel 2 drives the same control; a 7-bit fader with its low end above its high.
    feed(router, {0xE1, 0x7F, 0x7F});
    EXPECT_DOUBLE_EQ(pitch, 200);
    feed(router, {0xB0, 19, 127}); // at the program's value (full): takes over at once
    EXPECT_EQ(volume, 0);
    feed(router, {0xB0, 19, 0});
    EXPECT_EQ(volume, 10000);

    feed(router, {0xB0, 33, 3}); // encoder: three steps forward, two back
    feed(router, {0xB0, 33, 126});
    EXPECT_DOUBLE_EQ(jog, 0.5);

    feed(router, {0xF0, 0x7E, 0x7F}, false); // SysEx, unknown controller, aftertouch
    feed(router, {0xB0, 100, 1}, false);
    feed(router, {0xA0, 11, 1}, false);
}

TEST_F(Mapped, SoftTakeoverWaitsUntilTheKnobReachesTheValue) {
    const Mapping m = parse(kMapping);
    Router router(m, set);
    volume = 5000; // the program's fader is half way
    set.refresh();
    feed(router, {0xB0, 19, 10}); // the knob sits near the bottom (silent end): ignored
    EXPECT_EQ(volume, 5000);
    feed(router, {0xB0, 19, 40});
    EXPECT_EQ(volume, 5000);
    feed(router, {0xB0, 19, 70}); // passed the middle: takes over
    EXPECT_NEAR(volume, 10000 - 10000 * (0.5 + 6.0 / 126), 1e-9);
    feed(router, {0xB0, 19, 127});
    EXPECT_EQ(volume, 0);
    // The window moves the fader away; the knob must come back to it again.
    volume = 8000;
    set.refresh();
    feed(router, {0xB0, 19, 120});
    EXPECT_EQ(volume, 8000);
}

TEST_F(Mapped, ShiftLayerAndHeldButtons) {
    const Mapping m = parse(kMapping);
    Router router(m, set);
    feed(router, {0x90, 64, 127}); // Shift held: the same pad toggles the time display
    feed(router, {0x90, 11, 127});
    EXPECT_EQ(remaining, 1);
    EXPECT_EQ(play, 0);
    feed(router, {0x90, 64, 0});
    feed(router, {0x80, 11, 0}); // released after Shift: still the shift layer's release
    feed(router, {0x90, 11, 127});
    EXPECT_EQ(play, 1);

    feed(router, {0x90, 20, 127});
    feed(router, {0x90, 20, 127}); // a repeated press is no second press
    router.releaseHeld();          // the device went away while the pad was down
    router.releaseHeld();
    EXPECT_EQ(nudges, (std::vector<double>{1, 0}));

    std::vector<MidiBytes> lamps = router.lamps(*set.find("Links.play"), 1);
    ASSERT_EQ(lamps.size(), 1u);
    EXPECT_EQ(lamps[0], MidiBytes::of(0x90, 11, 127));
    EXPECT_EQ(router.allLamps(), std::vector<MidiBytes>{MidiBytes::of(0x90, 11, 127)});
}

TEST_F(Mapped, LearnedBindingsAndTheirFile) {
    Control &pitchControl = *set.find("Links.pitch");
    auto b = learnBinding({MidiBytes::of(0xB2, 5, 70), MidiBytes::of(0xB2, 37, 3)}, pitchControl);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->midi, MidiKind::Cc14);
    EXPECT_EQ(b->channel, 2);
    EXPECT_EQ(b->lsb, 37);
    b = learnBinding({MidiBytes::of(0xB2, 5, 70), MidiBytes::of(0xB2, 6, 3)}, pitchControl);
    EXPECT_EQ(b->midi, MidiKind::Cc);
    b = learnBinding({MidiBytes::of(0xB0, 40, 65)}, *set.find("Links.jog"));
    EXPECT_EQ(b->encoder, Encoder::Offset64);
    b = learnBinding({MidiBytes::of(0x93, 7, 127)}, *set.find("Links.play"));
    EXPECT_EQ(b->midi, MidiKind::Note);
    EXPECT_TRUE(b->led);
    EXPECT_FALSE(learnBinding({MidiBytes::of(0xC0, 1, 0)}, pitchControl));

    // Saved and read back: the learned binding works, the old one of that message is replaced,
    // fields this program does not use are kept.
    Mapping m = parse(R"({"ports": ["P"], "about": "mine", "bindings": [
        {"control": "Links.volume", "midi": "note", "channel": 4, "number": 7},
        {"control": "Links.unknown", "midi": "note", "channel": 1, "number": 1}]})");
    m.bindings.push_back(*b);
    std::erase_if(m.bindings, [](const Binding &x) { return x.control == "Links.volume"; });
    const Mapping back = parse(writeMapping(m).constData());
    EXPECT_EQ(back.document.value("about").toString(), "mine");
    EXPECT_EQ(back.bindings.size(), 1u);
    EXPECT_EQ(problems.size(), 1u); // the unknown control stays in the file for a later version
    Router router(back, set);
    feed(router, {0x93, 7, 127});
    EXPECT_EQ(play, 1);
}

TEST_F(Mapped, RequestsFromAnotherThreadWaitForTheSetsThread) {
    std::thread other([this] {
        Control &p = *set.find("Links.pitch");
        for (int v = 1; v <= 100; ++v)
            p.set(v); // coalesces to the newest
        Control &n = *set.find("Links.nudgeUp");
        n.set(1);
        n.set(0);
        set.find("Links.jog")->set(2);
        set.find("Links.jog")->set(3);
    });
    other.join();
    EXPECT_EQ(pitch, 0); // nothing happens off the set's thread
    EXPECT_TRUE(set.find("Links.pitch")->pending());
    QCoreApplication::processEvents();
    EXPECT_EQ(pitch, 100);
    EXPECT_EQ(set.find("Links.pitch")->value(), 100);
    EXPECT_EQ(nudges, (std::vector<double>{1, 0})); // a press and its release both arrive
    EXPECT_EQ(jog, 5);
}

} // namespace
} // namespace mixora::controller

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
