#include "app/WaveStrip.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace mixora::app {

namespace {

const QColor kBackground(0, 0, 0);
const QColor kPeak(0, 110, 140);
const QColor kRms(0, 220, 255);
const QColor kPeakPlayed(0, 45, 58);
const QColor kRmsPlayed(0, 90, 105);
const QColor kCue(255, 96, 0);
constexpr int kCueMarkWidth = 5; // the triangle on top of the cue line
const QColor kBeatTick(150, 150, 150);
const QColor kBarTick(255, 255, 255);
const QColor kLoopShade(80, 255, 80, 70);
const QColor kLoopEdge(80, 255, 80);
constexpr int kBeatTickLength = 4;
constexpr int kBeatsPerBar = 4;
// Closer than this the ticks would merge into a band: beats are left out, then bars.
constexpr double kMinTickSpacing = 4.0;
constexpr int kHotCueFlag = 6; // the square at the foot of a hot cue's line

} // namespace

WaveStrip::WaveStrip(QWidget *parent) : QWidget(parent) {
    // Every pixel is painted from the pixmaps: nothing behind the strip needs to be drawn first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setObjectName(QStringLiteral("WaveStrip"));
}

void WaveStrip::setOverview(std::vector<std::uint8_t> columns) {
    overview_ = std::move(columns);
    if (overview_.size() % 2)
        overview_.pop_back();
    columnPositions_.clear(); // they belong to the columns of the previous overview
    placeMarks();
    render();
    update();
}

void WaveStrip::setRange(std::int64_t maximum) {
    if (maximum == maximum_)
        return;
    maximum_ = std::max<std::int64_t>(0, maximum);
    placeMarks();
    update();
}

void WaveStrip::setColumnPositions(std::vector<std::int64_t> positions) {
    columnPositions_ =
        positions.size() == overview_.size() / 2 ? std::move(positions) : std::vector<std::int64_t>();
    placeMarks();
    update();
}

void WaveStrip::placeMarks() {
    playColumn_ = columnOf(position_);
    cueColumn_ = cue_ ? columnOf(*cue_) : -1;
}

int WaveStrip::columnOf(std::int64_t position) const {
    if (maximum_ <= 0 || width() <= 0)
        return -1;
    const std::int64_t clamped = std::clamp<std::int64_t>(position, 0, maximum_);
    if (columnPositions_.empty())
        return static_cast<int>(std::min<std::int64_t>(width() - 1, clamped * width() / maximum_));
    // The overview column the position falls in, and how far into it, on the time axis.
    const auto n = static_cast<std::int64_t>(columnPositions_.size());
    const auto next = std::upper_bound(columnPositions_.begin(), columnPositions_.end(), clamped);
    const std::int64_t k = std::max<std::int64_t>(0, (next - columnPositions_.begin()) - 1);
    const std::int64_t begin = columnPositions_[static_cast<std::size_t>(k)];
    const std::int64_t end = k + 1 < n ? columnPositions_[static_cast<std::size_t>(k + 1)] : maximum_;
    const double within =
        end > begin
            ? std::clamp(static_cast<double>(clamped - begin) / static_cast<double>(end - begin), 0.0, 1.0)
            : 0.0;
    const double share = (static_cast<double>(k) + within) / static_cast<double>(n);
    return std::min(width() - 1, static_cast<int>(share * width()));
}

void WaveStrip::moveColumn(int &column, int now, int extra) {
    if (now == column)
        return;
    const int from = std::min(column, now), to = std::max(column, now);
    column = now;
    if (!hasOverview())
        return; // nothing drawn depends on it
    if (from < 0) {
        update(); // appears or disappears: where it was is not known column by column
        return;
    }
    update(QRect(from - extra, 0, to - from + 1 + 2 * extra, height()));
}

void WaveStrip::setPosition(std::int64_t position) {
    position_ = position;
    moveColumn(playColumn_, columnOf(position), 0);
}

void WaveStrip::setCuePoint(std::optional<std::int64_t> position) {
    cue_ = position;
    const int now = position ? columnOf(*position) : -1;
    if (now == cueColumn_)
        return;
    // The old and the new mark are far apart in general: two small repaints, not the span.
    const int half = kCueMarkWidth / 2;
    if (cueColumn_ >= 0)
        update(QRect(cueColumn_ - half, 0, kCueMarkWidth, height()));
    cueColumn_ = now;
    if (now >= 0)
        update(QRect(now - half, 0, kCueMarkWidth, height()));
}

void WaveStrip::setTimeAxis(double seconds) {
    seconds = seconds > 0.0 ? seconds : 0.0;
    if (seconds == axisSeconds_)
        return;
    axisSeconds_ = seconds;
    render();
    update();
}

void WaveStrip::setBeatGrid(std::optional<engine::BeatGrid> grid) {
    if (grid && !(grid->bpm > 0.0))
        grid.reset();
    if (grid.has_value() == grid_.has_value() &&
        (!grid || (grid->bpm == grid_->bpm && grid->firstBeatSeconds == grid_->firstBeatSeconds)))
        return;
    grid_ = grid;
    render();
    update();
}

void WaveStrip::setHotCues(std::vector<HotCueMark> marks) {
    hotCues_ = std::move(marks);
    update();
}

void WaveStrip::setLoop(std::optional<std::pair<double, double>> seconds) {
    if (seconds == loop_)
        return;
    loop_ = seconds;
    update();
}

int WaveStrip::timeColumn(double seconds) const {
    if (!(axisSeconds_ > 0.0) || width() <= 0 || seconds < 0.0 || seconds > axisSeconds_)
        return -1;
    return std::min(width() - 1, static_cast<int>(seconds / axisSeconds_ * width()));
}

std::vector<int> WaveStrip::beatColumns(bool barsOnly) const {
    std::vector<int> columns;
    if (!grid_ || !(axisSeconds_ > 0.0) || width() <= 0)
        return columns;
    const double period = 60.0 / grid_->bpm;
    const double pixelsPerBeat = period / axisSeconds_ * width();
    if (pixelsPerBeat * kBeatsPerBar < kMinTickSpacing)
        return columns;
    const bool beats = !barsOnly && pixelsPerBeat >= kMinTickSpacing;
    // The grid runs both ways from its first beat; the first beat is the start of a bar.
    const auto first = static_cast<long long>(std::ceil(-grid_->firstBeatSeconds / period));
    for (long long k = first;; ++k) {
        const double t = grid_->firstBeatSeconds + double(k) * period;
        if (t > axisSeconds_)
            break;
        const bool bar = ((k % kBeatsPerBar) + kBeatsPerBar) % kBeatsPerBar == 0;
        if (bar || beats)
            columns.push_back(timeColumn(t));
    }
    return columns;
}

void WaveStrip::drawTicks(QPainter &ahead, QPainter &played) const {
    const int h = height();
    const int barLength = std::clamp(h / 10, kBeatTickLength + 3, 14);
    const std::vector<int> bars = beatColumns(true);
    for (const int x : beatColumns(false)) {
        const bool bar = std::binary_search(bars.begin(), bars.end(), x);
        const int length = bar ? barLength : kBeatTickLength;
        for (QPainter *p : {&ahead, &played}) {
            p->setPen(bar ? kBarTick : kBeatTick);
            p->drawLine(x, 0, x, length - 1);
            p->drawLine(x, h - length, x, h - 1);
        }
    }
}

void WaveStrip::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    render();
    placeMarks();
}

void WaveStrip::render() {
    const QSize size = this->size();
    if (size.isEmpty())
        return;
    ahead_ = QPixmap(size);
    played_ = QPixmap(size);
    ahead_.fill(kBackground);
    played_.fill(kBackground);
    const std::size_t columns = overview_.size() / 2;
    if (columns == 0)
        return;
    QPainter ahead(&ahead_), played(&played_);
    const int w = size.width(), h = size.height();
    const double middle = (h - 1) / 2.0;
    for (int x = 0; x < w; ++x) {
        // Each pixel shows the loudest of the overview columns it covers.
        const std::size_t first = std::size_t(x) * columns / std::size_t(w);
        const std::size_t last = std::max(first + 1, std::size_t(x + 1) * columns / std::size_t(w));
        int peak = 0, rms = 0;
        for (std::size_t c = first; c < last && c < columns; ++c) {
            peak = std::max<int>(peak, overview_[2 * c]);
            rms = std::max<int>(rms, overview_[2 * c + 1]);
        }
        const double peakHalf = middle * peak / 255.0, rmsHalf = middle * rms / 255.0;
        const QLineF peakLine(x + 0.5, middle - peakHalf + 0.5, x + 0.5, middle + peakHalf + 0.5);
        const QLineF rmsLine(x + 0.5, middle - rmsHalf + 0.5, x + 0.5, middle + rmsHalf + 0.5);
        ahead.setPen(kPeak);
        ahead.drawLine(peakLine);
        ahead.setPen(kRms);
        ahead.drawLine(rmsLine);
        played.setPen(kPeakPlayed);
        played.drawLine(peakLine);
        played.setPen(kRmsPlayed);
        played.drawLine(rmsLine);
    }
    drawTicks(ahead, played);
}

void WaveStrip::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    const QRect dirty = event->rect();
    // Left of the play column (and the column itself) is played.
    const int split = playColumn_ + 1;
    const QRect playedPart = dirty.intersected(QRect(0, 0, std::max(0, split), height()));
    const QRect aheadPart = dirty.intersected(QRect(split, 0, width() - split, height()));
    if (!playedPart.isEmpty())
        painter.drawPixmap(playedPart, played_, playedPart);
    if (!aheadPart.isEmpty())
        painter.drawPixmap(aheadPart, ahead_, aheadPart);
    if (loop_ && hasOverview()) {
        const int from = timeColumn(loop_->first);
        int to = timeColumn(std::min(loop_->second, axisSeconds_));
        if (from >= 0) {
            to = std::max(from, to < 0 ? width() - 1 : to);
            const QRect shade(from, 0, to - from + 1, height());
            painter.fillRect(shade.intersected(dirty), kLoopShade);
            painter.setPen(kLoopEdge);
            painter.drawLine(from, 0, from, height() - 1);
            painter.drawLine(to, 0, to, height() - 1);
        }
    }
    if (hasOverview()) {
        for (const HotCueMark &mark : hotCues_) {
            const int x = timeColumn(mark.seconds);
            if (x < 0)
                continue; // past the end of the song as it is now
            painter.setPen(mark.colour);
            painter.drawLine(x, 0, x, height() - 1);
            painter.fillRect(QRect(x, height() - kHotCueFlag, kHotCueFlag, kHotCueFlag), mark.colour);
        }
    }
    if (cueColumn_ >= 0 && hasOverview()) {
        painter.setPen(kCue);
        painter.drawLine(cueColumn_, 0, cueColumn_, height() - 1);
        const int half = kCueMarkWidth / 2;
        painter.setBrush(kCue);
        const QPoint mark[] = {{cueColumn_ - half, 0}, {cueColumn_ + half, 0}, {cueColumn_, half}};
        painter.drawPolygon(mark, 3);
    }
}

} // namespace mixora::app
