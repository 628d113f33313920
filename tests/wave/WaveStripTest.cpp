// The strip under the seek bar, the seek bar itself and the time label repaint only what changed.
#include "app/WaveStrip.h"
#include "analysis/Store.h"
#include "app/DeckAnalysis.h"
#include "app/QuietDisplay.h"
#include "engine/Formate.h"
#include "tests/deck/DeckHarness.h"
#include "tests/support/SongSuite.h"

#include <QFrame>
#include <QLabel>
#include <QPaintEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

using mixora::app::WaveStrip;

// Records the rectangles of the paint events a widget receives.
class PaintLog : public QObject {
public:
    explicit PaintLog(QWidget *widget) { widget->installEventFilter(this); }
    std::vector<QRect> rects;

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            rects.push_back(static_cast<QPaintEvent *>(event)->rect());
        return false;
    }
};

void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

std::vector<std::uint8_t> overview(std::size_t columns) {
    std::vector<std::uint8_t> bytes(2 * columns);
    for (std::size_t i = 0; i < columns; ++i) {
        bytes[2 * i] = std::uint8_t(100 + i % 150);
        bytes[2 * i + 1] = std::uint8_t(50 + i % 100);
    }
    return bytes;
}

TEST(WaveStrip, BeatTicksFollowTheGridBarsEveryFourthAndBeatsGoWhenTooDense) {
    WaveStrip strip;
    strip.resize(400, 40);
    strip.setOverview(overview(400));
    strip.setTimeAxis(40.0);                                 // 10 px per second
    strip.setBeatGrid(mixora::engine::BeatGrid{60.0, 1.05}); // a beat a second, from 1.05 s on
    const std::vector<int> beats = strip.beatColumns(false);
    const std::vector<int> bars = strip.beatColumns(true);
    ASSERT_EQ(beats.size(), 40u); // 0.05 s … 39.05 s: the grid runs back before its first beat
    EXPECT_EQ(beats[0], 0);
    EXPECT_EQ(beats[1], 10);
    ASSERT_EQ(bars.size(), 10u);
    EXPECT_EQ(bars[0], 10); // the first beat starts a bar
    EXPECT_EQ(bars[1], 50);
    EXPECT_EQ(strip.timeColumn(45.0), -1);

    strip.setBeatGrid(mixora::engine::BeatGrid{240.0, 0.0}); // 2.5 px a beat, 10 px a bar
    EXPECT_EQ(strip.beatColumns(false), strip.beatColumns(true));
    EXPECT_EQ(strip.beatColumns(true).size(), 41u); // 0 s … 40 s, the end included
}

TEST(WaveStrip, PlayingRepaintsOnlyTheColumnsPassed) {
    WaveStrip strip;
    strip.resize(200, 40);
    strip.setOverview(overview(2048));
    strip.setRange(200'000); // 1000 per column
    strip.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&strip));
    strip.setPosition(0);
    settle();
    PaintLog log(&strip);

    strip.setPosition(999); // still column 0
    settle();
    EXPECT_TRUE(log.rects.empty());

    strip.setPosition(5'000);
    settle();
    ASSERT_EQ(log.rects.size(), 1u);
    EXPECT_EQ(log.rects[0], QRect(0, 0, 6, 40));

    // A jump back (a seek) repaints the span between, never the whole strip.
    log.rects.clear();
    strip.setPosition(2'000);
    settle();
    ASSERT_EQ(log.rects.size(), 1u);
    EXPECT_EQ(log.rects[0], QRect(2, 0, 4, 40));

    // Moving the cue point repaints its old and new mark only.
    log.rects.clear();
    strip.setCuePoint(150'000);
    settle();
    ASSERT_EQ(log.rects.size(), 1u);
    EXPECT_LE(log.rects[0].width(), 6);
    EXPECT_EQ(strip.cueColumn(), 150);
}

TEST(WaveStrip, PlayedPartIsDimmedAndASongWithoutOverviewIsEmpty) {
    WaveStrip strip;
    strip.resize(100, 40);
    strip.setOverview(std::vector<std::uint8_t>(2 * 2048, 255)); // full scale everywhere
    strip.setRange(100'000);
    strip.setPosition(50'000);
    const QImage half = strip.grab().toImage();
    const QColor played = half.pixelColor(10, 20), ahead = half.pixelColor(90, 20);
    EXPECT_LT(played.value(), ahead.value());
    EXPECT_GT(played.value(), 0); // dimmed, not gone

    strip.setOverview({});
    const QImage empty = strip.grab().toImage();
    EXPECT_EQ(empty.pixelColor(10, 20), empty.pixelColor(90, 20));
    EXPECT_EQ(empty.pixelColor(90, 20), empty.pixelColor(50, 5));
    PaintLog log(&strip);
    strip.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&strip));
    settle();
    log.rects.clear();
    strip.setPosition(90'000);
    settle();
    EXPECT_TRUE(log.rects.empty());
}

// An ID3v2.3 tag with one picture frame of this many bytes before the audio.
std::vector<std::uint8_t> pictureTag(std::size_t pictureBytes) {
    const std::string head = std::string("\0image/jpeg\0\x03\0", 14);
    const std::size_t frame = head.size() + pictureBytes, tag = 10 + frame;
    std::vector<std::uint8_t> out{'I', 'D', '3', 3, 0, 0};
    for (int shift : {21, 14, 7, 0})
        out.push_back(static_cast<std::uint8_t>((tag >> shift) & 0x7f));
    out.insert(out.end(), {'A', 'P', 'I', 'C'});
    for (int shift : {24, 16, 8, 0})
        out.push_back(static_cast<std::uint8_t>(frame >> shift));
    out.insert(out.end(), {0, 0});
    out.insert(out.end(), head.begin(), head.end());
    out.resize(out.size() + pictureBytes, 0);
    return out;
}

using DeckStrip = mixora::test::DeckHarness;

// The play line and the cue mark stand where the audio at their file position is drawn.
TEST_F(DeckStrip, PositionsAreDrawnAtTheirTimeWithACoverPictureOrAVariableBitrate) {
    using namespace mixora;
    std::vector<std::uint8_t> tagged = pictureTag(300'000);
    const auto tone = test::makeMp3({.seconds = 20});
    tagged.insert(tagged.end(), tone.begin(), tone.end());
    // Variable bitrate: 10 s of silence in small frames, then 10 s of noise in large ones.
    std::vector<std::int16_t> pcm(2 * 44100 * 20, 0);
    std::uint32_t seed = 1;
    for (std::size_t i = pcm.size() / 2; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(
                     static_cast<std::int32_t>((seed = seed * 1664525u + 1013904223u) >> 16) - 32768) /
                 2;
    const auto vbr = test::encodePcm(pcm, 44100, true).mp3;

    WaveStrip *strip = decks->linksAnalysis.strip();
    QScrollBar *bar = links->widgets().seekBar;
    for (const auto &[name, bytes] : {std::pair{"tagged", tagged}, std::pair{"vbr", vbr}}) {
        SCOPED_TRACE(name);
        const auto path = dir / (std::string(name) + ".mp3");
        test::writeFile(path, bytes);
        SongRecord row{};
        row[kFieldInterpret] = std::string(name);
        row[kFieldDateiname] = path.string();
        data.Table1.appendRecord(row);
        const std::int64_t key = *data.Table1.currentKey();
        const auto result = analysis::analyseFile(path.string(), analysis::Options{});
        ASSERT_TRUE(result);
        analysis::Store store(data.Table1);
        store.attach();
        ASSERT_TRUE(store.save({key, path.string()}, *result));
        select(key);
        links->load();
        ASSERT_TRUE(waitFor([&] { return strip->hasColumnPositions(); }));

        // Where the reader finds the audio of a file position, as a share of the song's time.
        engine::Mp3Player reader(path.string());
        reader.WaitForIndex();
        auto columnOfAudio = [&](std::int32_t position) {
            reader.Seek(position);
            const double share =
                static_cast<double>(reader.SamplePosition()) / (result->durationSeconds * 44100);
            return static_cast<int>(share * strip->width());
        };
        for (const double share : {0.25, 0.5, 0.75}) {
            const auto position = static_cast<std::int32_t>(share * static_cast<double>(bytes.size()));
            bar->setValue(position);
            EXPECT_NEAR(strip->playColumn(), columnOfAudio(position), 1) << share;
        }
        // The place searched to becomes the cue point, marked over its audio.
        links->seekScroll(app::Deck::EndScroll);
        links->cue();
        EXPECT_NEAR(strip->cueColumn(), columnOfAudio(bar->value()), 1);
    }
}

QRect styleThumb(QScrollBar *bar) {
    QStyleOptionSlider opt;
    opt.initFrom(bar);
    opt.orientation = Qt::Horizontal;
    opt.state |= QStyle::State_Horizontal;
    opt.minimum = bar->minimum();
    opt.maximum = bar->maximum();
    opt.sliderPosition = opt.sliderValue = bar->value();
    opt.singleStep = bar->singleStep();
    opt.pageStep = bar->pageStep();
    opt.subControls = QStyle::SC_All;
    return bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, bar);
}

TEST(QuietSeekBar, RepaintsExactlyWhenTheThumbMoves) {
    QScrollBar bar(Qt::Horizontal);
    bar.resize(165, 17);
    bar.setRange(0, 3'000'000);
    bar.setPageStep(4'180);
    bar.setSingleStep(418);
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    settle();
    PaintLog log(&bar);
    int changedValues = 0, moves = 0, repaints = 0, missed = 0, needless = 0;
    QRect before = styleThumb(&bar);
    for (int value = 0; value <= bar.maximum(); value += 1'700) {
        log.rects.clear();
        mixora::app::setValueQuietly(&bar, value);
        settle();
        ++changedValues;
        EXPECT_EQ(bar.value(), value);
        const QRect now = styleThumb(&bar);
        const bool moved = now != before, painted = !log.rects.empty();
        moves += moved;
        repaints += painted;
        missed += moved && !painted;
        needless += painted && !moved;
        before = now;
    }
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(needless, 0);
    EXPECT_GT(moves, 50);
    EXPECT_LT(repaints, changedValues / 4);
}

// A new time repaints the label alone, never the panel, window or seek bar behind it, and the label
// and its panel look exactly as they did when styled.
TEST(QuietTimeLabel, NewTimeRepaintsTheLabelAloneAndEverythingLooksAsStyled) {
    QWidget window;
    window.resize(200, 100);
    QFrame panel(&window), styledPanel;
    for (QFrame *p : {&panel, &styledPanel}) {
        p->setObjectName(QStringLiteral("Panel"));
        p->setStyleSheet(QStringLiteral("QFrame#Panel { background-color: black; }"));
        p->setAutoFillBackground(true);
        p->setFrameShape(QFrame::Panel);
        p->setFrameShadow(QFrame::Sunken);
        p->resize(169, 75);
    }
    QFont font;
    font.setBold(true);
    font.setPixelSize(27);
    QLabel label(QStringLiteral("-00:01:23:45"), &panel), styled(QStringLiteral("-00:01:23:45"));
    for (QLabel *l : {&label, &styled}) {
        l->setFont(font);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        l->setStyleSheet(QStringLiteral("color: #00ff00;"));
        l->resize(142, 32);
    }
    label.move(16, 26);
    styled.setStyleSheet(QStringLiteral("color: #00ff00; background-color: black;"));
    styled.setAutoFillBackground(true);
    QScrollBar bar(Qt::Horizontal, &panel);
    bar.setGeometry(2, 56, 165, 17);
    mixora::app::keepLabelOffBar(&label, &bar);
    label.hide();
    bar.hide();
    mixora::app::keepPanelOpaque(&panel);
    EXPECT_EQ(panel.grab().toImage(), styledPanel.grab().toImage());
    label.show();
    bar.show();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    settle();

    const int uncovered = bar.y() - label.y();
    EXPECT_EQ(label.grab(QRect(0, 0, label.width(), uncovered)).toImage(),
              styled.grab(QRect(0, 0, styled.width(), uncovered)).toImage());

    PaintLog windowLog(&window), panelLog(&panel), barLog(&bar), labelLog(&label);
    for (const char *time : {"-00:01:23:32", "-00:01:23:19", "-00:01:23:06"}) {
        label.setText(QString::fromLatin1(time));
        settle();
    }
    EXPECT_EQ(labelLog.rects.size(), 3u);
    styled.setText(label.text()); // new digits, drawn from glyphs looked up as they came
    EXPECT_EQ(label.grab(QRect(0, 0, label.width(), uncovered)).toImage(),
              styled.grab(QRect(0, 0, styled.width(), uncovered)).toImage());
    EXPECT_TRUE(panelLog.rects.empty());
    EXPECT_TRUE(barLog.rects.empty());

    // A moving thumb repaints the bar and the panel under it, not the window behind the panel.
    bar.update();
    settle();
    EXPECT_FALSE(barLog.rects.empty());
    EXPECT_TRUE(windowLog.rects.empty());
}

} // namespace
