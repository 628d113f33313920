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
constexpr int kHoldRows = 2;
// Colour zones of the scale, from its top: red from -3 dBFS, amber from -9 dBFS, green below.
constexpr double kRedDb = -3.0;
constexpr double kAmberDb = -9.0;
const QColor kUnlit(32, 32, 32);
const QColor kGreen(0, 200, 0);
const QColor kAmber(255, 190, 0);
const QColor kRed(255, 40, 40);
const QColor kHold(240, 240, 240);
const QColor kClipOff(70, 0, 0);

float fromDb(double dB) {
    return float(std::pow(10.0, dB / 20.0));
}

} // namespace

LevelMeter::LevelMeter(QWidget *parent) : QWidget(parent) {
    // Every pixel is painted by the meter itself: a change repaints only its own rows.
    setAttribute(Qt::WA_OpaquePaintEvent);
    clock_.start();
}

int LevelMeter::scaleTop() const {
    return kClipHeight + kClipGap;
}

int LevelMeter::rowOf(float peak) const {
    const int bottom = height() - 1;
    if (!(peak > 0.0f))
        return -1;
    const double dB = 20.0 * std::log10(double(peak));
    if (dB < kFloorDb)
        return -1;
    const double f = std::min(1.0, (dB - kFloorDb) / -kFloorDb);
    return scaleTop() + int(std::lround((1.0 - f) * (bottom - scaleTop())));
}

void LevelMeter::repaintRows(int a, int b) {
    const int top = std::max(0, std::min(a, b));
    const int bottom = std::min(height() - 1, std::max(a, b));
    if (bottom >= top)
        update(QRect(0, top, width(), bottom - top + 1));
}

void LevelMeter::setPeak(float peak, bool clipped) {
    if (!std::isfinite(peak))
        return;
    const qint64 now = clock_.elapsed();
    const int bottom = height() - 1;
    peak_ = peak;
    const int lit = rowOf(peak);
    if (lit != litRow_) {
        repaintRows(lit < 0 ? bottom : lit, litRow_ < 0 ? bottom : litRow_);
        litRow_ = lit;
    }
    if (peak >= held_ || now - heldAt_ > kHoldMs) {
        held_ = peak;
        heldAt_ = now;
    }
    const int hold = rowOf(held_);
    if (hold != holdRow_) {
        if (holdRow_ >= 0)
            repaintRows(holdRow_, holdRow_ + kHoldRows - 1);
        if (hold >= 0)
            repaintRows(hold, hold + kHoldRows - 1);
        holdRow_ = hold;
    }
    bool clip = clipLit_;
    if (clipped || peak >= 1.0f) {
        clip = true;
        clipAt_ = now;
    } else if (clip && now - clipAt_ > kHoldMs) {
        clip = false;
    }
    if (clip != clipLit_) {
        clipLit_ = clip;
        repaintRows(0, kClipHeight - 1);
    }
}

void LevelMeter::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    litRow_ = rowOf(peak_);
    holdRow_ = rowOf(held_);
}

void LevelMeter::paintEvent(QPaintEvent *event) {
    QPainter p(this);
    const QRect dirty = event->rect();
    const int bottom = height() - 1;
    const int redRow = rowOf(fromDb(kRedDb));
    const int amberRow = rowOf(fromDb(kAmberDb));
    auto fill = [&](int top, int last, const QColor &colour) {
        const QRect r = QRect(0, top, width(), last - top + 1).intersected(dirty);
        if (!r.isEmpty())
            p.fillRect(r, colour);
    };
    fill(0, kClipHeight - 1, clipLit_ ? kRed : kClipOff);
    fill(kClipHeight, scaleTop() - 1, Qt::black);
    const int lit = litRow_ < 0 ? bottom + 1 : litRow_;
    fill(scaleTop(), lit - 1, kUnlit);
    // Lit rows take the colour of the zone they lie in.
    fill(lit, std::min(bottom, redRow - 1), kRed);
    fill(std::max(lit, redRow), std::min(bottom, amberRow - 1), kAmber);
    fill(std::max(lit, amberRow), bottom, kGreen);
    if (holdRow_ >= 0)
        fill(holdRow_, std::min(bottom, holdRow_ + kHoldRows - 1), kHold);
}

} // namespace mixora::app
