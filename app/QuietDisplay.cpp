#include "app/QuietDisplay.h"

#include <QLabel>
#include <QRegion>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QVariant>

#include <algorithm>

namespace mixora::app {

namespace {

// How far the thumb's start can travel, for the bar's present scale and size; the style places the
// thumb along it with sliderPositionFromValue. Asking the style costs about as much as the repaint
// saved, so it is asked once per scale and size and the answer kept on the bar.
int thumbTravel(QScrollBar *bar) {
    const int length = bar->orientation() == Qt::Horizontal ? bar->width() : bar->height();
    const QVariantList key{bar->minimum(), bar->maximum(), bar->pageStep(), length};
    const QVariantList kept = bar->property("quietThumbTravel").toList();
    if (kept.size() == 5 && kept.mid(0, 4) == key)
        return kept[4].toInt();
    QStyleOptionSlider opt;
    opt.initFrom(bar);
    opt.subControls = QStyle::SC_All;
    opt.orientation = bar->orientation();
    if (opt.orientation == Qt::Horizontal)
        opt.state |= QStyle::State_Horizontal;
    opt.minimum = bar->minimum();
    opt.maximum = bar->maximum();
    opt.sliderPosition = opt.sliderValue = bar->minimum();
    opt.singleStep = bar->singleStep();
    opt.pageStep = bar->pageStep();
    QStyle *style = bar->style();
    const QRect groove = style->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarGroove, bar);
    const QRect thumb = style->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, bar);
    const int travel = std::max(0, opt.orientation == Qt::Horizontal ? groove.width() - thumb.width()
                                                                     : groove.height() - thumb.height());
    bar->setProperty("quietThumbTravel", QVariantList(key) << travel);
    return travel;
}

int thumbPixel(QScrollBar *bar, int value) {
    return QStyle::sliderPositionFromValue(bar->minimum(), bar->maximum(), value, thumbTravel(bar),
                                           bar->invertedAppearance());
}

} // namespace

void setValueQuietly(QScrollBar *bar, int value) {
    if (bar->value() == value)
        return;
    // A bar whose updates are off already (hidden, or held by someone) is left as it is.
    if (!bar->isVisible() || !bar->updatesEnabled() || bar->isSliderDown()) {
        bar->setValue(value);
        return;
    }
    const int before = thumbPixel(bar, bar->value());
    // The attribute alone, not setUpdatesEnabled(), which repaints when switched back on.
    bar->setAttribute(Qt::WA_UpdatesDisabled, true);
    bar->setValue(value);
    bar->setAttribute(Qt::WA_UpdatesDisabled, false);
    if (thumbPixel(bar, bar->value()) != before)
        bar->update();
}

void keepLabelOffBar(QLabel *label, const QScrollBar *bar) {
    if (label->parentWidget() != bar->parentWidget())
        return;
    const QRect covered = bar->geometry().translated(-label->pos()).intersected(label->rect());
    if (!covered.isEmpty())
        label->setMask(QRegion(label->rect()).subtracted(covered));
    // Opaque in the repaint manager's eyes: the panel behind it need not be drawn first.
    label->setStyleSheet(label->styleSheet() + QStringLiteral("; background-color: black;"));
    label->setAutoFillBackground(true);
}

} // namespace mixora::app
