// Where the main window's controls stand for a given size of its client area. At the smallest
// size (792 × 431) every control stands where the window plan puts it; a larger window gives the
// width to the two decks and the library, the height to the decks' waveform strips, a row of
// controls under each deck and the library's rows.
//
// Below a size that leaves room for that row, the decks' controls open as a panel over the
// library, one half at a time: "EQ/Filter" or "Pads/Loops" (the buttons in the empty corner left
// of the mixer).
//
// Never does: change a control's state, or move anything it was not given.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

class QAbstractButton;
class QWidget;

namespace Ui {
class TFormMixora;
}

namespace mixora::app {

class WindowLayout : public QObject {
    Q_OBJECT

public:
    static constexpr int kMinWidth = 792;
    static constexpr int kMinHeight = 431;
    // The row under each deck that holds its EQ, filter and meter, its pads, loop and grid buttons.
    static constexpr int kControlRowHeight = 116;
    // A deck narrower than this shows its row in the panel (the buttons need the width).
    static constexpr int kMinRowWidth = 660;
    // The waveform strips stop growing here; the rest goes to the library.
    static constexpr int kMaxDeckGrowth = 140;

    // Records where the plan puts every control; call at the smallest size.
    explicit WindowLayout(Ui::TFormMixora &ui, QObject *parent = nullptr);

    // A deck's waveform strip (replacing one the deck had): it follows its seek bar's width and takes the
    // deck's growth in height.
    void addStrip(QWidget *strip);
    // The control row under each deck (shown in the opening panel on a small window), and the
    // main output's meter, which stands in the empty corner right of the mixer.
    void setDeckRows(QWidget *links, QWidget *rechts);
    // The halves of each row: EQ, filter and meter; pads, loops and grid. In the panel of a small
    // window one half shows at a time.
    void setRowParts(QWidget *linksMix, QWidget *linksCues, QWidget *rechtsMix, QWidget *rechtsCues);
    void setMainMeter(QWidget *meter);
    // The library's column widths at the smallest size; a wider library widens them alike.
    void setGridColumns(QList<int> widths);

    // True when the window has room for the control rows under the decks.
    bool rowsUnderDecks() const { return rowsUnderDecks_; }
    QAbstractButton *panelButton() const { return panelButton_; }
    QAbstractButton *cuePanelButton() const { return cueButton_; }

    // Places everything for the client area's present size.
    void apply();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void record(QWidget *w);
    void place(QWidget *w, int left, int top, int right, int bottom);
    void shift(QWidget *w, int dx, int dy) { place(w, dx, dy, dx, dy); }
    void placeDeck(QWidget *panel, int x, int grow, int deckGrowth);

    Ui::TFormMixora &ui_;
    QHash<QWidget *, QRect> plan_;
    // Each may go before the window does (decks made anew).
    QPointer<QWidget> strips_[2];
    QPointer<QWidget> rows_[2];
    QPointer<QWidget> mixParts_[2];
    QPointer<QWidget> cueParts_[2];
    QPointer<QWidget> mainMeter_;
    QList<int> gridColumns_;
    QAbstractButton *panelButton_ = nullptr;
    QAbstractButton *cueButton_ = nullptr;
    bool rowsUnderDecks_ = false;
};

} // namespace mixora::app
