// The mixer's own controls: a knob and a level meter. Both only show and report; what a value
// means to a deck is decided where they are connected.
//
// Never does: call into a deck, or repaint more than the part of the meter that changed.
#pragma once

#include <QDial>
#include <QElapsedTimer>
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

// A peak meter, bottom to top from -48 dBFS to 0 dBFS, with the highest peak of the last 1.5 s
// held as a line and a clip mark above the scale that stays lit as long after the level reached
// full scale.
class LevelMeter : public QWidget {
    Q_OBJECT

public:
    static constexpr double kFloorDb = -48.0;
    static constexpr qint64 kHoldMs = 1500;

    explicit LevelMeter(QWidget *parent = nullptr);

    // The peak since the last call, linear (1 = full scale), and whether anything clipped.
    void setPeak(float peak, bool clipped);
    // The pixel row (from the top) a level stands at; -1 below the scale.
    int rowOf(float peak) const;
    int litRow() const { return litRow_; }
    int heldRow() const { return holdRow_; }
    bool clipShown() const { return clipLit_; }
    QSize sizeHint() const override { return {12, 80}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    int scaleTop() const;
    void repaintRows(int a, int b);

    float peak_ = 0.0f;
    int litRow_ = -1;  // first lit row; -1: nothing lit
    int holdRow_ = -1; // the held peak's row; -1: none
    float held_ = 0.0f;
    qint64 heldAt_ = 0;
    bool clipLit_ = false;
    qint64 clipAt_ = 0;
    QElapsedTimer clock_;
};

} // namespace mixora::app
