// Every named control of the program, in one list (the README documents it). A deck's controls
// exist twice, as "Links.<name>" and "Rechts.<name>"; a new deck function is one line in
// kDeckControls (or, for its hot cues, loops, jumps and grid, in kDeckCueControls), a new mixer
// function one line in kMixerControls. The cue controls exist a third time as "Fokus.<name>":
// they act on the deck last clicked or focused (Links at first), as keys of the keyboard do.
#include "app/Deck.h"
#include "app/DeckControls.h"
#include "app/DeckCues.h"
#include "app/MainFormDecks.h"
#include "app/Mixer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>

namespace mixora::app {

namespace {

using controller::ControlKind;

// A jog wheel: nudges while the deck plays and scrubs through the song otherwise; the nudge
// ends when the wheel has been still for a moment.
class Jog : public QObject {
public:
    static constexpr int kStillMs = 60;
    static constexpr int kScrubBytesPerStep = 418; // one frame of 128 kbit/s per step

    explicit Jog(Deck &deck) : QObject(&deck), deck_(deck) {
        still_.setSingleShot(true);
        still_.setInterval(kStillMs);
        connect(&still_, &QTimer::timeout, this, [this] {
            if (direction_ != 0)
                deck_.nudgeReleased();
            direction_ = 0;
        });
    }

    void turn(double steps) {
        if (!deck_.hasPlayer() || steps == 0)
            return;
        if (deck_.state() == Deck::State::Playing) {
            const int direction = steps > 0 ? 1 : -1;
            if (direction != direction_)
                deck_.nudgePressed(direction);
            direction_ = direction;
            still_.start();
            return;
        }
        QScrollBar *bar = deck_.widgets().seekBar;
        deck_.seekScroll(Deck::ThumbTrack);
        bar->setValue(bar->value() + static_cast<int>(std::lround(steps * kScrubBytesPerStep)));
        deck_.seekScroll(Deck::EndScroll);
    }

private:
    Deck &deck_;
    QTimer still_;
    int direction_ = 0;
};

// The deck's player for the controllers' threads: they may give it a value directly while the
// window thread has not yet come to the request. The window thread changes it under the lock, and
// lets go before the player is destroyed (a new song, or the window closing).
class EngineTap : public QObject {
public:
    explicit EngineTap(Deck &deck) : QObject(&deck), deck_(deck) {
        connect(&deck, &Deck::playerGoing, this, [this] { take(nullptr); });
        connect(&deck, &Deck::songChanged, this, [this] { take(deck_.player()); });
        deck.widgets().load->window()->installEventFilter(this);
        deck.widgets().headCue->installEventFilter(this);
        take(deck.player());
    }
    template <typename F> void with(F apply) {
        std::lock_guard lock(mutex_);
        if (player_)
            apply(*player_);
    }
    // Whether the deck is heard in the headphones, as the window last showed it.
    bool headCue() const { return headCue_.load(); }

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        // Closing the window destroys the players without the deck.
        if (event->type() == QEvent::Close)
            take(nullptr);
        // The headphone switch shows itself only as a property of its button.
        if (event->type() == QEvent::DynamicPropertyChange)
            headCue_.store(deck_.headCueOn());
        return false;
    }

private:
    void take(engine::DoublePlayer *player) {
        std::lock_guard lock(mutex_);
        player_ = player;
        headCue_.store(deck_.headCueOn());
    }
    Deck &deck_;
    std::mutex mutex_;
    engine::DoublePlayer *player_ = nullptr;
    std::atomic<bool> headCue_{false};
};

constexpr double kHalfway = std::numeric_limits<double>::quiet_NaN();

struct DeckControl {
    const char *name;
    ControlKind kind;
    double low;
    double high;
    void (*apply)(Deck &deck, Jog &jog, double value);
    double (*read)(const Deck &deck); // null: no state of its own
    // What the widget's handler will give the player, given at once from any thread (null: none).
    void (*engine)(engine::DoublePlayer &player, double value) = nullptr;
    double middle = kHalfway; // a knob's centre (Range)
};

int whole(double value) {
    return static_cast<int>(std::lround(value));
}

bool lit(const QFrame *panel) {
    return panel->frameShape() == QFrame::Box;
}

bool pressed(double value) {
    return value > 0.5;
}

// What Deck::setEq gives the player for a value.
float eqDb(double dB) {
    return std::clamp(float(dB), sound::kEqKillDb, sound::kEqMaxDb);
}

void setBar(QScrollBar *bar, double value) {
    bar->setValue(static_cast<int>(std::lround(value)));
}

// clang-format off
const DeckControl kDeckControls[] = {
    {"play", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { if (pressed(v) != (d.state() == Deck::State::Playing)) d.play(); },
     [](const Deck &d) { return d.state() == Deck::State::Playing ? 1.0 : 0.0; }},
    {"cue", ControlKind::Button, 0, 1,
     [](Deck &d, Jog &, double v) { if (pressed(v)) d.cue(); },
     [](const Deck &d) { return lit(d.widgets().cue) ? 1.0 : 0.0; }},
    {"load", ControlKind::Button, 0, 1,
     [](Deck &d, Jog &, double v) { if (pressed(v)) d.load(); }, nullptr},
    {"pitch", ControlKind::Range, -200, 200,
     [](Deck &d, Jog &, double v) { setBar(d.widgets().pitchBar, v); },
     [](const Deck &d) { return double(d.widgets().pitchBar->value()); },
     [](engine::DoublePlayer &p, double v) { p.SetPitch(whole(v)); }},
    {"pitchZero", ControlKind::Button, 0, 1,
     [](Deck &d, Jog &, double v) { if (pressed(v)) d.zeroPitch(); }, nullptr},
    {"nudgeUp", ControlKind::Button, 0, 1,
     [](Deck &d, Jog &, double v) { pressed(v) ? d.nudgePressed(1) : d.nudgeReleased(); }, nullptr},
    {"nudgeDown", ControlKind::Button, 0, 1,
     [](Deck &d, Jog &, double v) { pressed(v) ? d.nudgePressed(-1) : d.nudgeReleased(); }, nullptr},
    {"jog", ControlKind::Relative, -1, 1,
     [](Deck &, Jog &jog, double v) { jog.turn(v); }, nullptr},
    {"volume", ControlKind::Range, 10000, 0,
     [](Deck &d, Jog &, double v) { setBar(d.widgets().volumeBar, v); },
     [](const Deck &d) { return double(d.widgets().volumeBar->value()); },
     [](engine::DoublePlayer &p, double v) { p.SetVolume(-whole(v)); }},
    {"eq.tief", ControlKind::Range, sound::kEqKillDb, sound::kEqMaxDb,
     [](Deck &d, Jog &, double v) { d.setEq(sound::kEqLow, v); },
     [](const Deck &d) { return d.eq(sound::kEqLow); },
     [](engine::DoublePlayer &p, double v) { p.SetEq(sound::kEqLow, eqDb(v)); }, 0.0},
    {"eq.mitte", ControlKind::Range, sound::kEqKillDb, sound::kEqMaxDb,
     [](Deck &d, Jog &, double v) { d.setEq(sound::kEqMid, v); },
     [](const Deck &d) { return d.eq(sound::kEqMid); },
     [](engine::DoublePlayer &p, double v) { p.SetEq(sound::kEqMid, eqDb(v)); }, 0.0},
    {"eq.hoch", ControlKind::Range, sound::kEqKillDb, sound::kEqMaxDb,
     [](Deck &d, Jog &, double v) { d.setEq(sound::kEqHigh, v); },
     [](const Deck &d) { return d.eq(sound::kEqHigh); },
     [](engine::DoublePlayer &p, double v) { p.SetEq(sound::kEqHigh, eqDb(v)); }, 0.0},
    {"eqKill.tief", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { d.setEqKill(sound::kEqLow, pressed(v)); },
     [](const Deck &d) { return d.eqKill(sound::kEqLow) ? 1.0 : 0.0; }},
    {"eqKill.mitte", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { d.setEqKill(sound::kEqMid, pressed(v)); },
     [](const Deck &d) { return d.eqKill(sound::kEqMid) ? 1.0 : 0.0; }},
    {"eqKill.hoch", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { d.setEqKill(sound::kEqHigh, pressed(v)); },
     [](const Deck &d) { return d.eqKill(sound::kEqHigh) ? 1.0 : 0.0; }},
    {"filter", ControlKind::Range, -1, 1,
     [](Deck &d, Jog &, double v) { d.setFilter(v); },
     [](const Deck &d) { return d.filter(); },
     [](engine::DoublePlayer &p, double v) { p.SetFilter(std::clamp(float(v), -1.0f, 1.0f)); }},
    {"sync", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { if (pressed(v) != d.synced()) d.widgets().sync->click(); },
     [](const Deck &d) { return d.synced() ? 1.0 : 0.0; }},
    {"keyLock", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { d.setKeyLock(pressed(v)); },
     [](const Deck &d) { return d.keyLock() ? 1.0 : 0.0; }},
    {"headCue", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { if (pressed(v) != d.headCueOn()) d.headCueClicked(); },
     [](const Deck &d) { return d.headCueOn() ? 1.0 : 0.0; }},
    {"timeRemaining", ControlKind::Toggle, 0, 1,
     [](Deck &d, Jog &, double v) { if (pressed(v) != (d.timeMode() == 0)) d.toggleTime(); },
     [](const Deck &d) { return d.timeMode() == 0 ? 1.0 : 0.0; }},
};

struct CueControl {
    const char *name;
    ControlKind kind;
    double low;
    double high;
    void (*apply)(DeckCues &cues, double value);
    double (*read)(const DeckCues &cues); // null: no state of its own
};

#define MIXORA_PAD(n) \
    {"hotcue." #n, ControlKind::Button, 0, 1, \
     [](DeckCues &c, double v) { pressed(v) ? c.padPressed(n - 1) : c.padReleased(n - 1); }, \
     [](const DeckCues &c) { return c.offered(n - 1) ? 1.0 : 0.0; }}, \
    {"hotcueClear." #n, ControlKind::Button, 0, 1, \
     [](DeckCues &c, double v) { if (pressed(v)) c.clearPad(n - 1); }, nullptr}

// "loop.4": a beat loop of that many beats, on or off (another size's loop gives way to it); lit while
// it plays. Index: the size's place in DeckCues::kLoopBeats.
#define MIXORA_BEAT_LOOP(beats, index) \
    {"loop." #beats, ControlKind::Button, 0, 1, \
     [](DeckCues &c, double v) { \
         if (!pressed(v)) \
             return; \
         const bool same = c.looping() && c.loopSize() == index; \
         if (c.looping()) \
             c.beatLoop(); \
         if (!same) { \
             c.setLoopSize(index); \
             c.beatLoop(); \
         } \
     }, \
     [](const DeckCues &c) { return c.looping() && c.loopSize() == index ? 1.0 : 0.0; }}

static_assert(DeckCues::kLoopBeats[3] == 1 && DeckCues::kLoopBeats[8] == 32);

const CueControl kDeckCueControls[] = {
    MIXORA_PAD(1), MIXORA_PAD(2), MIXORA_PAD(3), MIXORA_PAD(4),
    MIXORA_PAD(5), MIXORA_PAD(6), MIXORA_PAD(7), MIXORA_PAD(8),
    MIXORA_BEAT_LOOP(1, 3), MIXORA_BEAT_LOOP(2, 4), MIXORA_BEAT_LOOP(4, 5),
    MIXORA_BEAT_LOOP(8, 6), MIXORA_BEAT_LOOP(16, 7), MIXORA_BEAT_LOOP(32, 8),
    {"loop", ControlKind::Button, 0, 1,
     [](DeckCues &c, double v) { if (pressed(v)) c.beatLoop(); },
     [](const DeckCues &c) { return c.looping() ? 1.0 : 0.0; }},
    {"loopSize", ControlKind::Range, 0, DeckCues::kLoopBeats.size() - 1,
     [](DeckCues &c, double v) { c.setLoopSize(whole(v)); },
     [](const DeckCues &c) { return double(c.loopSize()); }},
    {"loopHalve", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.halveLoop(); }, nullptr},
    {"loopDouble", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.doubleLoop(); }, nullptr},
    {"loopIn", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.loopIn(); }, nullptr},
    {"loopOut", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.loopOut(); }, nullptr},
    {"reloop", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.reloop(); }, nullptr},
    {"loopRoll", ControlKind::Button, 0, 1,
     [](DeckCues &c, double v) { pressed(v) ? c.rollPressed() : c.rollReleased(); }, nullptr},
    {"jumpBack", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.jump(-1); }, nullptr},
    {"jumpForward", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.jump(1); }, nullptr},
    {"jumpSize", ControlKind::Range, 0, DeckCues::kJumpBeats.size() - 1,
     [](DeckCues &c, double v) { c.setJumpSize(whole(v)); },
     [](const DeckCues &c) { return double(c.jumpSize()); }},
    {"quantize", ControlKind::Toggle, 0, 1,
     [](DeckCues &c, double v) { c.setQuantize(pressed(v)); },
     [](const DeckCues &c) { return c.quantize() ? 1.0 : 0.0; }},
    {"gridHalve", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.gridHalve(); }, nullptr},
    {"gridDouble", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.gridDouble(); }, nullptr},
    {"gridEarlier", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.gridShift(-1); }, nullptr},
    {"gridLater", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.gridShift(1); }, nullptr},
    {"beatHere", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.beatHere(); }, nullptr},
    {"tap", ControlKind::Button, 0, 1, [](DeckCues &c, double v) { if (pressed(v)) c.tap(); }, nullptr},
};
#undef MIXORA_PAD
#undef MIXORA_BEAT_LOOP

struct MixerControl {
    const char *name;
    ControlKind kind;
    double low;
    double high;
    void (*apply)(Mixer &mixer, Deck &links, Deck &rechts, double value);
    double (*read)(const Mixer &mixer);
    // What the mixer's handlers will give the two players, given at once from any thread.
    void (*engine)(EngineTap &links, EngineTap &rechts, double value);
};

const MixerControl kMixerControls[] = {
    // The fader attenuates the far side only (Mixer::faderChanged); the bars it moves are what
    // the players hear once the window has carried the request out, even where the fader's
    // position did not change and so moved no bar.
    {"crossfader", ControlKind::Range, -Mixer::kFaderEnd, Mixer::kFaderEnd,
     [](Mixer &m, Deck &links, Deck &rechts, double v) {
         setBar(m.widgets().fader, v);
         links.volumeChanged();
         rechts.volumeChanged();
     },
     [](const Mixer &m) { return double(m.widgets().fader->value()); },
     [](EngineTap &links, EngineTap &rechts, double v) {
         const int p = whole(v);
         if (p >= 0)
             links.with([p](engine::DoublePlayer &player) { player.SetVolume(-p); });
         if (p <= 0)
             rechts.with([p](engine::DoublePlayer &player) { player.SetVolume(p); });
     }},
    // A deck switched off the headphones while the value was on its way stays silent there.
    {"headVolume", ControlKind::Range, 10000, 0,
     [](Mixer &m, Deck &links, Deck &rechts, double v) {
         setBar(m.widgets().headVolume, v);
         for (Deck *d : {&links, &rechts})
             if (!d->headCueOn() && d->player())
                 d->player()->SetHeadVolume(sound::kSilenceHundredthsDb);
     },
     [](const Mixer &m) { return double(m.widgets().headVolume->value()); },
     [](EngineTap &links, EngineTap &rechts, double v) {
         for (EngineTap *tap : {&links, &rechts})
             if (tap->headCue())
                 tap->with([v](engine::DoublePlayer &player) { player.SetHeadVolume(-whole(v)); });
     }},
};
// clang-format on

// Reads the controls again once the window's handlers have finished (a state word is set
// before its lamps), once however many widgets moved.
class Refresher : public QObject {
public:
    Refresher(controller::ControlSet &set) : QObject(&set), set_(set) {}
    void schedule() {
        if (scheduled_)
            return;
        scheduled_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                scheduled_ = false;
                set_.refresh();
            },
            Qt::QueuedConnection);
    }

protected:
    // The headphone lamp shows itself only as a property of its button.
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::DynamicPropertyChange)
            schedule();
        return false;
    }

private:
    controller::ControlSet &set_;
    bool scheduled_ = false;
};

// Which deck the "Fokus." controls act on: the one whose panel or control row was last clicked or
// took the keyboard focus.
class FocusDeck : public QObject {
public:
    FocusDeck(QObject *parent, DeckCues &links, DeckCues &rechts, std::array<QWidget *, 4> areas)
        : QObject(parent), cues_{&links, &rechts}, areas_(areas) {
        qApp->installEventFilter(this);
    }
    ~FocusDeck() override {
        if (qApp)
            qApp->removeEventFilter(this);
    }
    DeckCues &deck() const { return *cues_[current_]; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::MouseButtonPress && type != QEvent::FocusIn)
            return false;
        auto *widget = qobject_cast<QWidget *>(watched);
        for (std::size_t i = 0; widget && i < areas_.size(); ++i)
            if (areas_[i] && (areas_[i] == widget || areas_[i]->isAncestorOf(widget)))
                current_ = i / 2;
        return false;
    }

private:
    std::array<DeckCues *, 2> cues_;
    std::array<QWidget *, 4> areas_; // Links' panel and row, Rechts' panel and row
    std::size_t current_ = 0;
};

void addCueControls(controller::ControlSet &set, const QString &prefix,
                    const std::function<DeckCues &()> &cues) {
    for (const CueControl &c : kDeckCueControls) {
        controller::Control::Read read;
        if (c.read)
            read = [cues, r = c.read] { return r(cues()); };
        set.add(
            prefix + QLatin1String(c.name), c.kind, c.low, c.high,
            [cues, a = c.apply](double v) { a(cues(), v); }, read);
    }
}

} // namespace

void addControls(controller::ControlSet &set, WindowDecks &decks) {
    auto *refresher = new Refresher(set);
    const auto watch = [refresher](auto *sender, auto signal) {
        QObject::connect(sender, signal, refresher, [refresher] { refresher->schedule(); });
    };
    EngineTap *links = nullptr;
    EngineTap *rechts = nullptr;
    for (Deck *deck : {&decks.Links, &decks.Rechts}) {
        const QString prefix =
            deck->side() == DeckSide::Links ? QStringLiteral("Links.") : QStringLiteral("Rechts.");
        auto *jog = new Jog(*deck);
        auto *tap = new EngineTap(*deck);
        (deck == &decks.Links ? links : rechts) = tap;
        for (const DeckControl &c : kDeckControls) {
            controller::Control::Read read;
            if (c.read)
                read = [deck, r = c.read] { return r(*deck); };
            controller::Control &control = set.add(
                prefix + QLatin1String(c.name), c.kind, c.low, c.high,
                [deck, jog, a = c.apply](double v) { a(*deck, *jog, v); }, read);
            if (!std::isnan(c.middle))
                control.setMiddle(c.middle);
            if (c.engine)
                control.setEngine(
                    [tap, e = c.engine](double v) { tap->with([&](engine::DoublePlayer &p) { e(p, v); }); });
        }
        const DeckWidgets &w = deck->widgets();
        watch(deck, &Deck::stateChanged);
        watch(deck, &Deck::songChanged);
        watch(deck, &Deck::eqChanged);
        watch(deck, &Deck::filterChanged);
        watch(deck, &Deck::keyLockChanged);
        watch(w.pitchBar, &QScrollBar::valueChanged);
        watch(w.volumeBar, &QScrollBar::valueChanged);
        watch(w.sync, &QAbstractButton::toggled);
        watch(w.time, &QAbstractButton::clicked);
        w.headCue->installEventFilter(refresher);

        DeckCues *cues = deck == &decks.Links ? &decks.linksCues : &decks.rechtsCues;
        addCueControls(set, prefix, [cues]() -> DeckCues & { return *cues; });
        watch(cues, &DeckCues::padsChanged);
        watch(cues, &DeckCues::loopChanged);
        watch(cues, &DeckCues::settingsChanged);
    }
    auto area = [](Deck &deck) { return deck.widgets().cue->parentWidget(); };
    auto *focus =
        new FocusDeck(&set, decks.linksCues, decks.rechtsCues,
                      {area(decks.Links), decks.linksPanel ? decks.linksPanel->parentWidget() : nullptr,
                       area(decks.Rechts), decks.rechtsPanel ? decks.rechtsPanel->parentWidget() : nullptr});
    addCueControls(set, QStringLiteral("Fokus."), [focus]() -> DeckCues & { return focus->deck(); });
    Mixer *mixer = &decks.mixer;
    for (const MixerControl &c : kMixerControls)
        set.add(
               QStringLiteral("Mixer.") + QLatin1String(c.name), c.kind, c.low, c.high,
               [mixer, &decks, a = c.apply](double v) { a(*mixer, decks.Links, decks.Rechts, v); },
               [mixer, r = c.read] { return r(*mixer); })
            .setEngine([links, rechts, e = c.engine](double v) { e(*links, *rechts, v); });
    watch(mixer->widgets().fader, &QScrollBar::valueChanged);
    watch(mixer->widgets().headVolume, &QScrollBar::valueChanged);
}

} // namespace mixora::app
