#include "app/MainFormLayout.h"

#include "ui_MainForm.h"

#include <QAbstractButton>
#include <QEvent>
#include <QPushButton>
#include <QTableView>

#include <algorithm>
#include <cmath>

namespace mixora::app {

namespace {

// The deck panels' parts that move when a deck grows, by their names' stems.
constexpr const char *kFollowRightEdge[] = {"SBtMinusSpeed", "SBtPlusSpeed", "lbBpm_", "btSync_",
                                            "btKeyLock_"};
constexpr const char *kFollowBottomRight[] = {"Cue_", "Play_"};

QString deckName(const char *stem, bool left) {
    const QString s = QString::fromLatin1(stem);
    const QString side = left ? QStringLiteral("Links") : QStringLiteral("Rechts");
    return s + side;
}

} // namespace

WindowLayout::WindowLayout(Ui::TFormMixora &ui, QObject *parent) : QObject(parent), ui_(ui) {
    for (QWidget *w : ui_.ClientArea->findChildren<QWidget *>()) {
        // Status-bar panels and the like are placed by their own bar's layout.
        if (w->parentWidget() && w->parentWidget()->layout())
            continue;
        record(w);
    }

    auto *button = new QPushButton(QStringLiteral("EQ/Filter"), ui_.ClientArea);
    button->setObjectName(QStringLiteral("btMixPanel"));
    button->setCheckable(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setAccessibleName(QStringLiteral("EQ und Filter zeigen"));
    button->setGeometry(8, 210, 88, 22);
    record(button);
    panelButton_ = button;
    button = new QPushButton(QStringLiteral("Pads/Loops"), ui_.ClientArea);
    button->setObjectName(QStringLiteral("btCuePanel"));
    button->setCheckable(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setAccessibleName(QStringLiteral("Hot Cues, Loops und Raster zeigen"));
    button->setGeometry(8, 238, 88, 22);
    record(button);
    cueButton_ = button;
    // One half of the rows at a time: the panel is as big as the library.
    connect(panelButton_, &QAbstractButton::toggled, this, [this](bool on) {
        if (on)
            cueButton_->setChecked(false);
        apply();
    });
    connect(cueButton_, &QAbstractButton::toggled, this, [this](bool on) {
        if (on)
            panelButton_->setChecked(false);
        apply();
    });

    ui_.ClientArea->installEventFilter(this);
}

void WindowLayout::record(QWidget *w) {
    plan_.insert(w, w->geometry());
    connect(w, &QObject::destroyed, this, [this, w] { plan_.remove(w); });
}

void WindowLayout::addStrip(QWidget *strip) {
    record(strip);
    strips_[strip->parentWidget() == ui_.Panel1 ? 0 : 1] = strip;
    apply();
}

void WindowLayout::setDeckRows(QWidget *links, QWidget *rechts) {
    rows_[0] = links;
    rows_[1] = rechts;
    apply();
}

void WindowLayout::setRowParts(QWidget *linksMix, QWidget *linksCues, QWidget *rechtsMix,
                               QWidget *rechtsCues) {
    mixParts_[0] = linksMix;
    cueParts_[0] = linksCues;
    mixParts_[1] = rechtsMix;
    cueParts_[1] = rechtsCues;
    apply();
}

void WindowLayout::setMainMeter(QWidget *meter) {
    record(meter);
    mainMeter_ = meter;
    apply();
}

void WindowLayout::setGridColumns(QList<int> widths) {
    gridColumns_ = std::move(widths);
    apply();
}

bool WindowLayout::eventFilter(QObject *watched, QEvent *event) {
    if (watched == ui_.ClientArea && event->type() == QEvent::Resize)
        apply();
    return QObject::eventFilter(watched, event);
}

void WindowLayout::place(QWidget *w, int left, int top, int right, int bottom) {
    const auto it = plan_.constFind(w);
    if (it == plan_.constEnd())
        return;
    const QRect r = it->adjusted(left, top, right, bottom);
    if (w->geometry() != r)
        w->setGeometry(r);
}

// A deck panel that is `grow` wider and `deckGrowth` taller than planned: the time display and
// seek bar (and the waveform under them) take the width, the waveform the height; the transport
// and pitch controls keep to the panel's right edge, the status bar to its bottom.
void WindowLayout::placeDeck(QWidget *panel, int x, int grow, int deckGrowth) {
    const bool left = panel == ui_.Panel1;
    auto child = [&](const QString &name) { return panel->findChild<QWidget *>(name); };
    place(panel, x, 0, x + grow, deckGrowth);
    QWidget *info = child(deckName("PanelInfo_", left));
    place(info, 0, 0, grow, 0);
    for (QWidget *w : info->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (w->inherits("QScrollBar"))
            place(w, 0, 0, grow, 0);
        else if (plan_.value(w).x() > 60) // the time and pitch texts, right-aligned in the panel
            shift(w, grow, 0);
    }
    for (const char *stem : kFollowRightEdge)
        shift(child(deckName(stem, left)), grow, 0);
    shift(child(left ? QStringLiteral("Speedzero_Links") : QStringLiteral("SpeedZero_Rechts")), grow, 0);
    place(child(deckName("SBarPitch", left)), grow, 0, grow, deckGrowth);
    for (const char *stem : kFollowBottomRight)
        shift(child(deckName(stem, left)), grow, deckGrowth);
    place(child(deckName("StatusBar_", left)), 0, deckGrowth, grow, deckGrowth);
    if (QWidget *strip = strips_[left ? 0 : 1])
        place(strip, 0, 0, grow, deckGrowth);
}

void WindowLayout::apply() {
    const QSize size = ui_.ClientArea->size();
    const int dx = std::max(0, size.width() - kMinWidth);
    const int dy = std::max(0, size.height() - kMinHeight);
    const int growLinks = dx / 2;
    const int growRechts = dx - growLinks;

    rowsUnderDecks_ = dy >= kControlRowHeight && rows_[0] && rows_[1] &&
                      plan_.value(ui_.Panel1).width() + growLinks >= kMinRowWidth;
    const int deckGrowth = rowsUnderDecks_ ? std::min(kMaxDeckGrowth, (dy - kControlRowHeight) / 4) : 0;
    const int rowHeight = rowsUnderDecks_ ? kControlRowHeight : 0;
    const int down = deckGrowth + rowHeight; // the mixer and library move down by this
    const int rest = dy - down;              // ... and grow by this

    // Top: the decks either side of the search panel.
    placeDeck(ui_.Panel1, 0, growLinks, deckGrowth);
    place(ui_.Panel4, growLinks, 0, growLinks, deckGrowth);
    shift(ui_.StatusBarData, 0, deckGrowth);
    placeDeck(ui_.Panel3, growLinks, growRechts, deckGrowth);

    // Bottom: the channel strips either side of the library and crossfader.
    for (QWidget *mix :
         {static_cast<QWidget *>(ui_.PanelMix_Links), static_cast<QWidget *>(ui_.PanelMix_Rechts)}) {
        const int x = mix == ui_.PanelMix_Links ? 0 : dx;
        place(mix, x, down, x, down + rest);
        for (QWidget *w : mix->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (w->inherits("QScrollBar"))
                place(w, 0, 0, 0, rest);
            else if (plan_.value(w).y() > 100) // the caption under the bar
                shift(w, 0, rest);
        }
    }
    place(ui_.DBGrid1, 0, down, dx, down + rest);
    const double widen = double(ui_.DBGrid1->width()) / plan_.value(ui_.DBGrid1).width();
    for (int c = 0; c < gridColumns_.size(); ++c)
        ui_.DBGrid1->setColumnWidth(c, int(std::lround(gridColumns_[c] * widen)));
    place(ui_.Panel2, 0, down + rest, dx, down + rest);
    for (QWidget *w : ui_.Panel2->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        shift(w, dx / 2, 0);
    shift(ui_.SBVolume_Head, 0, down + rest);
    shift(ui_.LabelVolHead, 0, down + rest);
    shift(panelButton_, 0, down);
    shift(cueButton_, 0, down);
    place(mainMeter_, dx, down, dx, down + rest);

    // The decks' control rows: under the decks, or opened over the library.
    panelButton_->setVisible(!rowsUnderDecks_);
    cueButton_->setVisible(!rowsUnderDecks_ && cueParts_[0]);
    const bool mixShown = rowsUnderDecks_ || panelButton_->isChecked();
    const bool cuesShown = rowsUnderDecks_ || (cueParts_[0] && cueButton_->isChecked());
    const bool open = mixShown || cuesShown;
    for (int i = 0; i < 2; ++i) {
        QWidget *row = rows_[i];
        if (!row)
            continue;
        if (mixParts_[i])
            mixParts_[i]->setVisible(mixShown);
        if (cueParts_[i])
            cueParts_[i]->setVisible(cuesShown);
        QRect r;
        if (rowsUnderDecks_) {
            const QWidget *deck = i == 0 ? ui_.Panel1 : ui_.Panel3;
            // The mixer's panels overlap the decks by two rows in the plan; the row keeps clear of both.
            r = QRect(deck->x(), deck->geometry().bottom() + 1, deck->width(), rowHeight - 2);
        } else {
            const QRect grid = ui_.DBGrid1->geometry();
            const int half = grid.width() / 2;
            r = i == 0 ? QRect(grid.x(), grid.y(), half, grid.height())
                       : QRect(grid.x() + half, grid.y(), grid.width() - half, grid.height());
        }
        if (row->geometry() != r)
            row->setGeometry(r);
        row->setVisible(open);
        if (open)
            row->raise();
    }
}

} // namespace mixora::app
