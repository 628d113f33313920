// The mixer's own controls: a knob and a level meter. Both only show and report; what a value
// means to a deck is decided where they are connected.
//
// Never does: call into a deck, or repaint more than the part of the meter that changed.
#pragma once

#include <QDial>
#include <QElapsedTimer>
#include <QRegion>
#include <QWidget>

namespace mixora::app {

// A turning knob whose centre is its home: a double-click goes home, each notch of the mouse
// wheel is one step. Screen readers read it as a slider with its value in words (the
// description the connection gives it).
class MixKnob : public QDial {
    Q_OBJECT

public:
    explicit MixKnob(QWidget *parent = nullptr);
    void setHome(int value) { home_ = value; }
    int home() const { return home_; }

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    int home_ = 0;
    int wheelRest_ = 0; // eighths of a degree short of the next notch (fine-step wheels)
};

// A peak meter of lamps, bottom to top from -48 dBFS to 0 dBFS in steps of 3 dB. It rises at once
// and falls back at 12 dB/s, so it repaints only when a lamp goes on or off, not at every reading;
// the highest peak of the last 1.5 s stays lit, and a clip mark above the lamps stays lit as long
// after the level reached full scale.
class LevelMeter : public QWidget {
    Q_OBJECT

public:
    static constexpr double kFloorDb = -48.0;
    static constexpr double kLampDb = 3.0;
    static constexpr int kLamps = 16;
    static constexpr double kFallDbPerSecond = 12.0;
    static constexpr qint64 kHoldMs = 1500;

    explicit LevelMeter(QWidget *parent = nullptr);

    // The peak since the last reading, linear (1 = full scale), and whether anything clipped; at
    // `nowMs` on the meter's own clock when given.
    void setPeak(float peak, bool clipped);
    void setPeak(float peak, bool clipped, qint64 nowMs);
    // How many lamps a level lights.
    static int lampsOf(double dB);
    int litLamps() const { return lit_; }
    int heldLamp() const { return held_; } // 0: none
    bool clipShown() const { return clipLit_; }
    QSize sizeHint() const override { return {12, 80}; }
    // From now on what goes out (a lamp, the held lamp, the clip mark) repaints at the next
    // showFalls(), with the window's other displays; what lights up still repaints at once.
    void letFallsWait();
    void showFalls();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect lampRect(int lamp) const; // lamp 1 is the lowest
    void repaintLamps(int a, int b, bool fall);
    void repaintPart(const QRect &rect, bool fall);

    double shownDb_ = kFloorDb - 1.0;
    qint64 shownAt_ = 0;
    int lit_ = 0;
    int held_ = 0;
    double heldDb_ = kFloorDb - 1.0;
    qint64 heldAt_ = 0;
    bool clipLit_ = false;
    qint64 clipAt_ = 0;
    QElapsedTimer clock_;
    bool fallsWait_ = false;
    QRegion falls_; // what went out and waits for showFalls
};

} // namespace mixora::app
