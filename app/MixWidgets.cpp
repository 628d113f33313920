#include "app/MixWidgets.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace mixora::app {

MixKnob::MixKnob(QWidget *parent) : QDial(parent) {
    setNotchesVisible(true);
    setWrapping(false);
    setFocusPolicy(Qt::NoFocus);
}

void MixKnob::mouseDoubleClickEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        setValue(home_);
        event->accept();
        return;
    }
    QDial::mouseDoubleClickEvent(event);
}

void MixKnob::wheelEvent(QWheelEvent *event) {
    // One step per notch (120 eighths of a degree): the slider's own wheel moves by several lines.
    wheelRest_ += event->angleDelta().y() + event->angleDelta().x();
    const int notches = wheelRest_ / 120;
    wheelRest_ -= notches * 120;
    if (notches != 0)
        setValue(value() + notches * singleStep());
    event->accept();
}

namespace {

constexpr int kClipHeight = 4;
constexpr int kClipGap = 2;
// Colour zones: the top lamp (-3 dBFS and up) red, the two below it amber, the rest green.
constexpr int kFirstRedLamp = LevelMeter::kLamps;
constexpr int kFirstAmberLamp = LevelMeter::kLamps - 2;
const QColor kUnlit(32, 32, 32);
const QColor kGreen(0, 200, 0);
const QColor kAmber(255, 190, 0);
const QColor kRed(255, 40, 40);
const QColor kClipOff(70, 0, 0);

double toDb(float peak) {
    return peak > 0.0f ? 20.0 * std::log10(double(peak)) : LevelMeter::kFloorDb - 1.0;
}

} // namespace

LevelMeter::LevelMeter(QWidget *parent) : QWidget(parent) {
    // Every pixel is painted by the meter itself: a change repaints only its own lamps.
    setAttribute(Qt::WA_OpaquePaintEvent);
    clock_.start();
}

int LevelMeter::lampsOf(double dB) {
    if (!(dB >= kFloorDb))
        return 0;
    return std::min(kLamps, int(std::floor((dB - kFloorDb) / kLampDb)) + 1);
}

QRect LevelMeter::lampRect(int lamp) const {
    const int top = kClipHeight + kClipGap;
    const int pitch = std::max(2, (height() - top) / kLamps);
    const int bottom = height() - (lamp - 1) * pitch;
    return QRect(0, bottom - pitch + 1, width(), pitch - 1); // a row of gap above each lamp
}

void LevelMeter::repaintLamps(int a, int b, bool fall) {
    if (a > b)
        std::swap(a, b);
    a = std::max(a, 1);
    if (b >= a)
        repaintPart(lampRect(b).united(lampRect(a)), fall);
}

void LevelMeter::repaintPart(const QRect &rect, bool fall) {
    if (fall && fallsWait_) {
        falls_ += rect;
        return;
    }
    update(rect);
    showFalls(); // in the same pass, at no cost
}

void LevelMeter::letFallsWait() {
    fallsWait_ = true;
}

void LevelMeter::showFalls() {
    if (falls_.isEmpty())
        return;
    update(falls_);
    falls_ = QRegion();
}

void LevelMeter::setPeak(float peak, bool clipped) {
    setPeak(peak, clipped, clock_.elapsed());
}

void LevelMeter::setPeak(float peak, bool clipped, qint64 nowMs) {
    if (!std::isfinite(peak))
        return;
    const double dB = toDb(peak);
    const double fallen = shownDb_ - kFallDbPerSecond * double(nowMs - shownAt_) / 1000.0;
    shownDb_ = std::max(dB, fallen);
    shownAt_ = nowMs;
    const int lit = lampsOf(shownDb_);
    if (lit != lit_) {
        repaintLamps(std::min(lit, lit_) + 1, std::max(lit, lit_), lit < lit_);
        lit_ = lit;
    }
    if (dB >= heldDb_ || nowMs - heldAt_ > kHoldMs) {
        heldDb_ = dB;
        heldAt_ = nowMs;
    }
    const int held = lampsOf(heldDb_);
    if (held != held_) {
        repaintLamps(held_, held_, held < held_);
        repaintLamps(held, held, held < held_);
        held_ = held;
    }
    bool clip = clipLit_;
    if (clipped || peak >= 1.0f) {
        clip = true;
        clipAt_ = nowMs;
    } else if (clip && nowMs - clipAt_ > kHoldMs) {
        clip = false;
    }
    if (clip != clipLit_) {
        clipLit_ = clip;
        repaintPart(QRect(0, 0, width(), kClipHeight), !clip);
    }
}

void LevelMeter::paintEvent(QPaintEvent *event) {
    QPainter p(this);
    const QRect dirty = event->rect();
    p.fillRect(dirty, Qt::black); // the gaps between the lamps
    if (dirty.top() < kClipHeight)
        p.fillRect(QRect(0, 0, width(), kClipHeight), clipLit_ ? kRed : kClipOff);
    for (int lamp = 1; lamp <= kLamps; ++lamp) {
        const QRect r = lampRect(lamp);
        if (!r.intersects(dirty))
            continue;
        const bool on = lamp <= lit_ || lamp == held_;
        const QColor colour = lamp >= kFirstRedLamp ? kRed : lamp >= kFirstAmberLamp ? kAmber : kGreen;
        p.fillRect(r, on ? colour : kUnlit);
    }
}

} // namespace mixora::app
