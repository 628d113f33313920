#include "app/QuietDisplay.h"

#include "app/ThumbTravel.h"

#include <QEvent>
#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QRawFont>
#include <QRegion>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTextDocument>

#include <QVarLengthArray>

#include <algorithm>
#include <cstdlib>

namespace mixora::app {

namespace {

// Where the thumb goes, for the bar's present scale and size. Asking the style costs about as much as
// the repaint saved, so it is asked once per scale and size and the answer kept with the bar.
struct KeptTravel : QObject {
    using QObject::QObject;
    int minimum = 0, maximum = -1, pageStep = 0, length = -1;
    int start = 0;  // where the thumb's start is at the minimum, along the bar
    int travel = 0; // how far it can go from there
    int thumb = 0;  // the thumb's length
};

const KeptTravel &travelOf(QScrollBar *bar) {
    const bool horizontal = bar->orientation() == Qt::Horizontal;
    const int length = horizontal ? bar->width() : bar->height();
    KeptTravel *kept = nullptr;
    for (QObject *child : bar->children())
        if ((kept = dynamic_cast<KeptTravel *>(child)))
            break;
    if (!kept)
        kept = new KeptTravel(bar);
    if (kept->minimum == bar->minimum() && kept->maximum == bar->maximum() &&
        kept->pageStep == bar->pageStep() && kept->length == length)
        return *kept;
    const ThumbTravel travel =
        thumbTravel(bar, bar->minimum(), bar->maximum(), bar->pageStep(), bar->singleStep());
    kept->minimum = bar->minimum();
    kept->maximum = bar->maximum();
    kept->pageStep = bar->pageStep();
    kept->length = length;
    kept->thumb = travel.thumbLength;
    kept->start = (horizontal ? travel.centres.left() : travel.centres.top()) - travel.thumbLength / 2;
    kept->travel = std::max(0, horizontal ? travel.centres.width() : travel.centres.height());
    return *kept;
}

int thumbPixel(QScrollBar *bar, int value) {
    return QStyle::sliderPositionFromValue(bar->minimum(), bar->maximum(), value, travelOf(bar).travel,
                                           bar->invertedAppearance());
}

// The strip of the bar the thumb covers at one or the other of two pixels, a pixel wider each side
// (the style may draw the thumb's edge outside it).
QRect thumbSpan(QScrollBar *bar, int a, int b) {
    const KeptTravel &kept = travelOf(bar);
    const int from = kept.start + std::min(a, b) - 1;
    const int length = std::abs(a - b) + kept.thumb + 2;
    return bar->orientation() == Qt::Horizontal ? QRect(from, 0, length, bar->height())
                                                : QRect(0, from, bar->width(), length);
}

class OwnFill : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint) {
            auto *widget = static_cast<QWidget *>(watched);
            QPainter painter(widget);
            painter.fillRect(static_cast<QPaintEvent *>(event)->rect(),
                             widget->palette().color(widget->backgroundRole()));
        }
        return false;
    }
};

// Draws a label's one-line text from glyphs looked up once per character. A running clock's text is
// new several times a second, and a label lays each new text out afresh (shaping, line breaking):
// most of what its repaint costs. A character the font has no single glyph for, or a text with more
// than one line, is left to the label.
class GlyphText : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        auto *label = static_cast<QLabel *>(watched);
        if (event->type() == QEvent::FontChange)
            glyphs_.clear();
        if (event->type() != QEvent::Paint)
            return false;
        if (glyphs_.isEmpty()) {
            raw_ = QRawFont::fromFont(label->font());
            if (!raw_.isValid())
                return false;
        }
        const QString text = label->text();
        if (Qt::mightBeRichText(text))
            return false;
        QVarLengthArray<quint32, 16> indexes;
        QList<QPointF> positions;
        qreal x = 0;
        for (const QChar c : text) {
            auto found = glyphs_.constFind(c);
            if (found == glyphs_.cend()) {
                const QList<quint32> one = raw_.glyphIndexesForString(QString(c));
                if (one.size() != 1 || one[0] == 0)
                    return false;
                found = glyphs_.insert(c, {one[0], raw_.advancesForGlyphIndexes(one).value(0).x()});
            }
            indexes.append(found->index);
            positions.append(QPointF(x, 0));
            x += found->advance;
        }
        const QRect room = label->contentsRect();
        const Qt::Alignment align = label->alignment();
        const qreal height = raw_.ascent() + raw_.descent();
        const qreal left = align & Qt::AlignRight     ? room.right() + 1 - x
                           : align & Qt::AlignHCenter ? room.left() + (room.width() - x) / 2
                                                      : room.left();
        const qreal top = align & Qt::AlignBottom    ? room.bottom() + 1 - height
                          : align & Qt::AlignVCenter ? room.top() + (room.height() - height) / 2
                                                     : room.top();
        QGlyphRun run;
        run.setRawFont(raw_);
        run.setGlyphIndexes(QList<quint32>(indexes.begin(), indexes.end()));
        run.setPositions(positions);
        QPainter painter(label);
        painter.setPen(label->palette().color(label->foregroundRole()));
        painter.drawGlyphRun(QPointF(left, top + raw_.ascent()), run);
        return true;
    }

private:
    struct Glyph {
        quint32 index;
        qreal advance;
    };
    QRawFont raw_;
    QHash<QChar, Glyph> glyphs_;
};

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
    // Only what the thumb left and where it went: across a wide bar the rest is the same groove.
    if (const int after = thumbPixel(bar, bar->value()); after != before)
        bar->update(travelOf(bar).thumb > 0 ? thumbSpan(bar, before, after) : bar->rect());
}

void keepLabelOffBar(QLabel *label, const QScrollBar *bar) {
    if (label->parentWidget() != bar->parentWidget())
        return;
    const QRect covered = bar->geometry().translated(-label->pos()).intersected(label->rect());
    if (!covered.isEmpty())
        label->setMask(QRegion(label->rect()).subtracted(covered));
    // A label styled by a style sheet never counts as opaque, so each new text would repaint the
    // whole window behind it. The same colours from the palette draw the same pixels, and an opaque
    // label is repainted alone.
    label->ensurePolished();
    const QColor text = label->palette().color(label->foregroundRole());
    label->setStyleSheet(QString());
    QPalette palette = label->palette();
    palette.setColor(label->foregroundRole(), text);
    palette.setColor(label->backgroundRole(), Qt::black);
    label->setPalette(palette);
    label->setAutoFillBackground(true);
    // A new text then no longer asks the panel to lay out its children (it has no layout to run).
    label->setFixedSize(label->size());
    if (label->textFormat() != Qt::RichText && !label->wordWrap())
        label->installEventFilter(new GlyphText(label));
}

void keepPanelOpaque(QWidget *panel) {
    panel->ensurePolished();
    panel->setAttribute(Qt::WA_OpaquePaintEvent);
    // Before the panel's own paint event, which draws its frame over the fill.
    panel->installEventFilter(new OwnFill(panel));
}

void keepBarOpaque(QScrollBar *bar) {
    // The bar's style draws it on nothing, as its paint event would.
    const QStyleOptionSlider option =
        barOption(bar, bar->minimum(), bar->maximum(), bar->value(), bar->pageStep(), bar->singleStep());
    QImage drawn(bar->size(), QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    {
        QPainter painter(&drawn);
        bar->style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, bar);
    }
    bool everyPixel = true;
    for (int y = 0; y < drawn.height() && everyPixel; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(drawn.constScanLine(y));
        for (int x = 0; x < drawn.width() && everyPixel; ++x)
            everyPixel = qAlpha(line[x]) == 255;
    }
    bar->setAttribute(Qt::WA_OpaquePaintEvent, everyPixel);
}

} // namespace mixora::app
