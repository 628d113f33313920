#include "app/ThumbTravel.h"

#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>

namespace mixora::app {

QStyleOptionSlider barOption(const QScrollBar *bar, int minimum, int maximum, int value, int pageStep,
                             int singleStep) {
    QStyleOptionSlider opt;
    opt.initFrom(bar);
    opt.subControls = QStyle::SC_All;
    opt.orientation = bar->orientation();
    if (opt.orientation == Qt::Horizontal)
        opt.state |= QStyle::State_Horizontal;
    opt.minimum = minimum;
    opt.maximum = maximum;
    opt.sliderPosition = opt.sliderValue = value;
    opt.singleStep = singleStep;
    opt.pageStep = pageStep;
    return opt;
}

ThumbTravel thumbTravel(const QScrollBar *bar, int minimum, int maximum, int pageStep, int singleStep) {
    const QStyleOptionSlider opt = barOption(bar, minimum, maximum, minimum, pageStep, singleStep);
    QStyle *style = bar->style();
    const QRect groove = style->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarGroove, bar);
    const QRect thumb = style->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, bar);
    if (groove.isEmpty())
        return {bar->rect(), 0};
    if (opt.orientation == Qt::Horizontal)
        return {groove.adjusted(thumb.width() / 2, 0, -(thumb.width() - thumb.width() / 2), 0),
                thumb.width()};
    return {groove.adjusted(0, thumb.height() / 2, 0, -(thumb.height() - thumb.height() / 2)),
            thumb.height()};
}

} // namespace mixora::app
