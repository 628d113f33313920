// The waveform strip under a deck's seek bar: the song's stored overview, the part already
// played dimmed, the cue point, the beat grid (every bar of four beats stronger), the hot cues in
// their colours and the active loop marked.
//
// The overview's columns cut the song's time into equal parts, while positions are file bytes:
// a cover picture in the tag or a variable bitrate puts bytes and time far apart. Given where
// each column begins in the file, positions are placed on the time axis of the drawing; until
// then, in proportion to the bytes.
//
// Costs nothing while nothing changes: the waveform is rendered once per song and size into two
// pixmaps (as played and as not yet played), and a new position repaints only the columns
// between the old and the new play position; a position within the same column repaints nothing.
#pragma once

#include "engine/BeatSync.h"

#include <QColor>
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

namespace mixora::app {

class WaveStrip : public QWidget {
    Q_OBJECT

public:
    explicit WaveStrip(QWidget *parent = nullptr);

    // Pairs of (peak, RMS) bytes in time order, as the analysis stores them; empty: no waveform.
    void setOverview(std::vector<std::uint8_t> columns);
    bool hasOverview() const { return !overview_.empty(); }
    int overviewColumns() const { return static_cast<int>(overview_.size() / 2); }
    // The seek bar's scale: positions run from 0 to maximum.
    void setRange(std::int64_t maximum);
    // The position at which each overview column begins (one per column, rising); empty: none.
    void setColumnPositions(std::vector<std::int64_t> positions);
    bool hasColumnPositions() const { return !columnPositions_.empty(); }
    void setPosition(std::int64_t position);
    void setCuePoint(std::optional<std::int64_t> position);

    // Marks on the overview's time axis (seconds of the song; the overview covers `seconds`).
    void setTimeAxis(double seconds);
    void setBeatGrid(std::optional<engine::BeatGrid> grid);
    struct HotCueMark {
        double seconds = 0.0;
        QColor colour;
    };
    void setHotCues(std::vector<HotCueMark> marks);
    // The active loop, start and end in seconds; none: no loop shown.
    void setLoop(std::optional<std::pair<double, double>> seconds);
    // The pixel column a time falls on (-1 for none or outside the song).
    int timeColumn(double seconds) const;
    // The beat ticks as drawn: pixel columns of beats and, among them, of bars (for tests).
    std::vector<int> beatColumns(bool barsOnly) const;

    // The pixel column a position falls on (-1 for none), for the repaint arithmetic and its tests.
    int columnOf(std::int64_t position) const;
    int playColumn() const { return playColumn_; }
    int cueColumn() const { return cueColumn_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void render();
    void moveColumn(int &column, int now, int extra);
    void placeMarks();
    void drawTicks(QPainter &ahead, QPainter &played) const;

    std::vector<std::uint8_t> overview_;
    std::vector<std::int64_t> columnPositions_;
    std::int64_t maximum_ = 0;
    std::int64_t position_ = 0;
    std::optional<std::int64_t> cue_;
    int playColumn_ = -1;
    int cueColumn_ = -1;
    double axisSeconds_ = 0.0;
    std::optional<engine::BeatGrid> grid_;
    std::vector<HotCueMark> hotCues_;
    std::optional<std::pair<double, double>> loop_;
    QPixmap ahead_;  // the waveform as it looks before the play position
    QPixmap played_; // ... and behind it
};

} // namespace mixora::app
