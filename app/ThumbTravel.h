// Where a scroll bar's thumb can go, as its style places it: the seek bars' quiet repaint asks it to
// tell whether a new value moves the thumb by a pixel, the waveform strip under a seek bar spans it.
#pragma once

#include <QRect>
#include <QStyleOptionSlider>

class QScrollBar;

namespace mixora::app {

struct ThumbTravel {
    // The stretch the thumb's centre travels along, in the bar's coordinates; its length along the bar
    // is how far the thumb's start can travel. The bar's own rectangle when its style gives no groove.
    QRect centres;
    int thumbLength = 0; // along the bar
};

// The style option the bar's own paint event would draw with, for this scale and value.
QStyleOptionSlider barOption(const QScrollBar *bar, int minimum, int maximum, int value, int pageStep,
                             int singleStep);

// For a scale of the bar (minimum … maximum, pageStep, singleStep) and its present size and style.
ThumbTravel thumbTravel(const QScrollBar *bar, int minimum, int maximum, int pageStep, int singleStep);

} // namespace mixora::app
