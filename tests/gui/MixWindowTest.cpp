// The mixer controls in the main window and the window's layout when it grows.
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "app/MainFormLayout.h"
#include "app/MixControls.h"
#include "app/MixWidgets.h"
#include "engine/sound/Sound.h"
#include "tests/gui/GuiHarness.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QWheelEvent>

#include <fstream>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <utility>

using mixora::app::DeckMixControls;
using mixora::app::TFormMixora;
using mixora::app::WindowDecks;
using mixora::app::WindowLayout;
using mixora::test::GuiHarness;
namespace sound = mixora::sound;

namespace {

struct MixWindow {
    GuiHarness harness;
    TFormMixora window;
    WindowDecks decks{window};
    MixWindow() {
        window.show();
        QApplication::processEvents();
    }
    // Sizes the client area (the menu bar sits above it).
    void resizeClient(int width, int height) {
        window.resize(width, height + window.menuBar()->height());
        QApplication::processEvents();
    }
};

void turnWheel(QWidget *w, int notches) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent event(at, w->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
}

// Visible controls whose rectangles overlap a sibling's, or stick out of their parent.
std::set<std::pair<QString, QString>> clashes(QWidget *root) {
    std::set<std::pair<QString, QString>> found;
    std::vector<QWidget *> parents{root};
    for (QWidget *w : root->findChildren<QWidget *>())
        parents.push_back(w);
    for (QWidget *parent : parents) {
        if (!parent->isVisible() || parent->layout())
            continue; // a layout's children are placed by it
        std::vector<QWidget *> kids;
        for (QWidget *k : parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (k->isVisible() && !k->isWindow())
                kids.push_back(k);
        for (std::size_t i = 0; i < kids.size(); ++i) {
            if (!parent->rect().contains(kids[i]->geometry()))
                found.insert({kids[i]->objectName(), QStringLiteral("outside ") + parent->objectName()});
            for (std::size_t j = i + 1; j < kids.size(); ++j)
                if (kids[i]->geometry().intersects(kids[j]->geometry()))
                    found.insert(std::minmax(kids[i]->objectName(), kids[j]->objectName()));
        }
    }
    return found;
}

std::map<QWidget *, QRect> geometries(QWidget *root) {
    std::map<QWidget *, QRect> all;
    for (QWidget *w : root->findChildren<QWidget *>())
        all[w] = w->geometry();
    return all;
}

} // namespace

TEST(MixControls, KnobsAndKillsAreTheDecksValues) {
    MixWindow m;
    DeckMixControls &links = m.decks.mix.links;
    mixora::app::Deck &deck = m.decks.Links;

    // The upper half of the travel boosts up to the deck's maximum, the bottom is the kill.
    links.eqKnob(sound::kEqHigh)->setValue(links.eqKnob(sound::kEqHigh)->maximum());
    EXPECT_DOUBLE_EQ(deck.eq(sound::kEqHigh), sound::kEqMaxDb);
    links.eqKnob(sound::kEqLow)->setValue(-50);
    EXPECT_NEAR(deck.eq(sound::kEqLow), -6.02, 0.01);
    links.eqKnob(sound::kEqLow)->setValue(links.eqKnob(sound::kEqLow)->minimum());
    EXPECT_DOUBLE_EQ(deck.eq(sound::kEqLow), sound::kEqKillDb);
    EXPECT_EQ(links.valueLabel(sound::kEqLow)->text(), "Kill");
    EXPECT_EQ(links.eqKnob(sound::kEqLow)->accessibleDescription(), "Kill");

    // A double-click goes home; each wheel notch is one step.
    QTest::mouseDClick(links.eqKnob(sound::kEqLow), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(deck.eq(sound::kEqLow), 0.0);
    EXPECT_EQ(links.valueLabel(sound::kEqLow)->text(), "0 dB");
    turnWheel(links.eqKnob(sound::kEqMid), 2);
    EXPECT_EQ(links.eqKnob(sound::kEqMid)->value(), 2 * links.eqKnob(sound::kEqMid)->singleStep());
    EXPECT_GT(deck.eq(sound::kEqMid), 0.0);

    links.filterKnob()->setValue(-40);
    EXPECT_NEAR(deck.filter(), -0.4, 1e-6);
    QTest::mouseDClick(links.filterKnob(), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(deck.filter(), 0.0);
    EXPECT_EQ(links.valueLabel(DeckMixControls::kBands)->text(), "Aus");

    links.killButton(sound::kEqMid)->click();
    EXPECT_TRUE(deck.eqKill(sound::kEqMid));
    EXPECT_FALSE(m.decks.Rechts.eqKill(sound::kEqMid));

    // A change made on the deck (a controller) shows on its controls.
    m.decks.Rechts.setEq(sound::kEqHigh, -6.0);
    m.decks.Rechts.setEqKill(sound::kEqLow, true);
    m.decks.Rechts.setFilter(0.25);
    const DeckMixControls &rechts = m.decks.mix.rechts;
    EXPECT_NEAR(mixora::app::eqDbAt(rechts.eqKnob(sound::kEqHigh)->value()), -6.0, 0.1);
    EXPECT_EQ(rechts.valueLabel(sound::kEqHigh)->text().right(3), " dB");
    EXPECT_TRUE(rechts.killButton(sound::kEqLow)->isChecked());
    EXPECT_EQ(rechts.filterKnob()->value(), 25);
    EXPECT_DOUBLE_EQ(m.decks.Rechts.eq(sound::kEqHigh), -6.0); // showing it sent nothing back
}

TEST(MixControls, CrossoversFromTheSettingsReachBothDecksAndABadPairFallsBack) {
    struct Case {
        const char *lines;
        float low, high;
    };
    const Case cases[] = {
        {"[EQ]\nTief=180\nHoch=3200\n", 180.0f, 3200.0f},
        {"[eq]\nTIEF=4000\nHoch=3200\n", sound::kEqLowCrossoverHz, sound::kEqHighCrossoverHz},
        {"[EQ]\nTief=180\nHoch=25000\n", sound::kEqLowCrossoverHz, sound::kEqHighCrossoverHz},
        {"[EQ]\nTief=180Hz\n", sound::kEqLowCrossoverHz, sound::kEqHighCrossoverHz}};
    for (const Case &c : cases) {
        GuiHarness harness;
        std::ofstream(harness.ini()) << c.lines;
        TFormMixora window;
        WindowDecks decks{window};
        for (const mixora::app::Deck *deck : {&decks.Links, &decks.Rechts}) {
            EXPECT_EQ(deck->eqCrossovers().lowHz, c.low) << c.lines;
            EXPECT_EQ(deck->eqCrossovers().highHz, c.high) << c.lines;
        }
    }
}

TEST(MixControls, MeterFallsBackHoldsItsPeakAndMarksClipping) {
    using mixora::app::LevelMeter;
    LevelMeter meter;
    meter.resize(12, 100);
    const int half = LevelMeter::lampsOf(-6.02);
    meter.setPeak(0.5f, false, 0);
    EXPECT_EQ(meter.litLamps(), half);
    // Quieter readings let it fall at its own pace, the peak held for 1.5 s.
    meter.setPeak(0.01f, false, 250);
    EXPECT_EQ(meter.litLamps(), LevelMeter::lampsOf(-6.02 - 3.0));
    EXPECT_EQ(meter.heldLamp(), half);
    meter.setPeak(0.2f, true, 500);
    EXPECT_TRUE(meter.clipShown());
    meter.setPeak(0.0f, false, 1400);
    EXPECT_EQ(meter.heldLamp(), half);
    EXPECT_TRUE(meter.clipShown());
    meter.setPeak(0.0f, false, 6000);
    EXPECT_EQ(meter.litLamps(), 0);
    EXPECT_EQ(meter.heldLamp(), 0);
    EXPECT_FALSE(meter.clipShown());

    // Where falls wait, what lights up repaints at once and what goes out at the next showFalls.
    struct Paints : QObject {
        int count = 0;
        bool eventFilter(QObject *, QEvent *event) override {
            count += event->type() == QEvent::Paint;
            return false;
        }
    } paints;
    LevelMeter shown;
    shown.resize(12, 100);
    shown.letFallsWait();
    shown.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&shown));
    shown.installEventFilter(&paints);
    shown.setPeak(0.5f, true, 0);
    QApplication::processEvents();
    const int lit = paints.count;
    EXPECT_GE(lit, 1);
    shown.setPeak(0.0f, false, 5000);
    QApplication::processEvents();
    EXPECT_EQ(paints.count, lit);
    shown.showFalls();
    QApplication::processEvents();
    EXPECT_GT(paints.count, lit);
    EXPECT_EQ(shown.litLamps(), 0);
}

TEST(MainWindowLayout, GrowsWithoutOverlapsAndShrinksBackToThePlan) {
    MixWindow m;
    QWidget *client = m.window.ui.ClientArea;
    ASSERT_EQ(client->size(), QSize(WindowLayout::kMinWidth, WindowLayout::kMinHeight));
    const auto plan = geometries(client);
    // The plan's own seams (panels sharing an edge row) are the only overlaps allowed anywhere.
    const auto seams = clashes(client);
    WindowLayout &layout = m.window.windowLayout();
    EXPECT_FALSE(layout.rowsUnderDecks());
    EXPECT_FALSE(m.decks.mix.links.row()->isVisible());

    // Small: the panel opens over the library, both decks' EQ at once.
    layout.panelButton()->click();
    EXPECT_TRUE(m.decks.mix.links.row()->isVisible());
    EXPECT_TRUE(m.decks.mix.rechts.row()->isVisible());
    EXPECT_FALSE(m.decks.mix.links.row()->geometry().intersects(m.decks.mix.rechts.row()->geometry()));
    layout.panelButton()->click();

    const int gridRows = m.window.ui.DBGrid1->height();
    const QSize strip = m.decks.linksAnalysis.strip()->size();
    m.resizeClient(1920, 1030);
    ASSERT_EQ(client->size(), QSize(1920, 1030));
    EXPECT_TRUE(layout.rowsUnderDecks());
    EXPECT_FALSE(layout.panelButton()->isVisible());
    EXPECT_TRUE(m.decks.mix.rechts.row()->isVisible());
    EXPECT_GT(m.window.ui.DBGrid1->height(), 2 * gridRows);
    EXPECT_GT(m.decks.linksAnalysis.strip()->width(), 2 * strip.width());
    EXPECT_GT(m.decks.rechtsAnalysis.strip()->height(), strip.height());
    std::set<std::pair<QString, QString>> added;
    for (const auto &c : clashes(client))
        if (!seams.count(c))
            added.insert(c);
    for (const auto &[a, b] : added) {
        ADD_FAILURE() << a.toStdString() << " / " << b.toStdString();
    }

    m.resizeClient(WindowLayout::kMinWidth, WindowLayout::kMinHeight);
    for (const auto &[w, r] : plan) {
        if (w->parentWidget() && !w->parentWidget()->layout() && w != m.decks.mix.links.row() &&
            w != m.decks.mix.rechts.row()) {
            EXPECT_EQ(w->geometry(), r) << w->objectName().toStdString();
        }
    }
}
