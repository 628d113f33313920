#include "app/DeckCuePanel.h"

#include "app/Deck.h"
#include "app/DeckCues.h"
#include "app/WaveStrip.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>

#include <algorithm>
#include <cmath>

namespace mixora::app {

namespace {

constexpr int kButtonHeight = 24;
constexpr int kPadWidth = 26;
const QColor kCaptionColour(0, 255, 255);
const QColor kGreyedPad(90, 90, 90);
const QColor kGreyedText(190, 190, 190);
// Buttons as narrow as their text allows, so five lines fit the panel of the smallest window.
const QString kButtonStyle = QStringLiteral("QPushButton { padding: 1px 3px; }"
                                            "QPushButton:checked { background-color: rgb(60, 220, 60); "
                                            "color: black; font-weight: bold; }");

QString sideName(const Deck &deck) {
    return deck.side() == DeckSide::Links ? QStringLiteral("Links") : QStringLiteral("Rechts");
}

QString beatsText(double beats) {
    if (beats >= 1.0)
        return QString::number(int(beats));
    return QStringLiteral("1/") + QString::number(int(1.0 / beats + 0.5));
}

// Text on a pad of this colour: black or white, whichever contrasts more (relative luminance).
QColor textOn(const QColor &c) {
    auto linear = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    const double l = 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    return (l + 0.05) / 0.05 >= 1.05 / (l + 0.05) ? Qt::black : Qt::white;
}

} // namespace

DeckCuePanel::DeckCuePanel(Deck &deck, DeckCues &cues, QWidget *parent)
    : QFrame(parent), deck_(deck), cues_(cues) {
    const QString side = sideName(deck);
    setObjectName(QStringLiteral("Cues_") + side);
    setStyleSheet(kButtonStyle);
    auto button = [&](QWidget *line, const QString &text, const QString &name, const QString &spoken) {
        auto *b = new QPushButton(text, line);
        b->setObjectName(name + QStringLiteral("_") + side);
        b->setAccessibleName(spoken + QStringLiteral(" ") + side);
        b->setToolTip(spoken);
        b->setFocusPolicy(Qt::NoFocus);
        b->setFixedHeight(kButtonHeight);
        line->layout()->addWidget(b);
        return b;
    };
    auto newLine = [&](int i) {
        auto *line = new QWidget(this);
        auto *layout = new QHBoxLayout(line);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(2);
        lines_[std::size_t(i)] = line;
        return line;
    };
    auto caption = [&](QWidget *line, const QString &text) {
        auto *l = new QLabel(text, line);
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, kCaptionColour);
        l->setPalette(p);
        line->layout()->addWidget(l);
    };
    auto combo = [&](QWidget *line, const QString &name, const QString &spoken, auto sizes) {
        auto *c = new QComboBox(line);
        c->setObjectName(name + QStringLiteral("_") + side);
        c->setAccessibleName(spoken + QStringLiteral(" ") + side);
        c->setToolTip(spoken);
        c->setFocusPolicy(Qt::NoFocus);
        c->setFixedHeight(kButtonHeight);
        for (const double beats : sizes)
            c->addItem(beatsText(beats));
        line->layout()->addWidget(c);
        return c;
    };

    QWidget *line = newLine(0);
    for (int i = 0; i < DeckCues::kPads; ++i) {
        QPushButton *pad = button(line, QString::number(i + 1), QStringLiteral("Pad%1").arg(i + 1),
                                  QStringLiteral("Hot Cue %1").arg(i + 1));
        pad->setFixedWidth(kPadWidth);
        pad->installEventFilter(this);
        pads_[std::size_t(i)] = pad;
        connect(pad, &QPushButton::pressed, this, [this, i] {
            if (QApplication::keyboardModifiers().testFlag(Qt::ShiftModifier))
                cues_.clearPad(i);
            else
                cues_.padPressed(i);
        });
        connect(pad, &QPushButton::released, this, [this, i] { cues_.padReleased(i); });
    }

    line = newLine(1);
    loopSize_ =
        combo(line, QStringLiteral("LoopSize"), QStringLiteral("Loop-Länge in Beats"), DeckCues::kLoopBeats);
    loop_ = button(line, QStringLiteral("Loop"), QStringLiteral("Loop"), QStringLiteral("Beat-Loop"));
    loop_->setCheckable(true);
    QPushButton *roll =
        button(line, QStringLiteral("Roll"), QStringLiteral("LoopRoll"), QStringLiteral("Loop-Roll"));
    QPushButton *reloop = button(line, QStringLiteral("Reloop"), QStringLiteral("Reloop"),
                                 QStringLiteral("Reloop / Loop verlassen"));
    connect(loopSize_, &QComboBox::currentIndexChanged, this, [this](int i) { cues_.setLoopSize(i); });
    // The button shows the deck's loop; a click asks the deck, which answers through loopChanged.
    connect(loop_, &QPushButton::clicked, this, [this] {
        cues_.beatLoop();
        showLoop();
    });
    connect(roll, &QPushButton::pressed, this, [this] { cues_.rollPressed(); });
    connect(roll, &QPushButton::released, this, [this] { cues_.rollReleased(); });
    connect(reloop, &QPushButton::clicked, this, [this] { cues_.reloop(); });

    line = newLine(2);
    connect(button(line, QStringLiteral("½"), QStringLiteral("LoopHalve"), QStringLiteral("Loop halbieren")),
            &QPushButton::clicked, this, [this] { cues_.halveLoop(); });
    connect(
        button(line, QStringLiteral("×2"), QStringLiteral("LoopDouble"), QStringLiteral("Loop verdoppeln")),
        &QPushButton::clicked, this, [this] { cues_.doubleLoop(); });
    connect(button(line, QStringLiteral("In"), QStringLiteral("LoopIn"), QStringLiteral("Loop-Anfang")),
            &QPushButton::clicked, this, [this] { cues_.loopIn(); });
    connect(button(line, QStringLiteral("Out"), QStringLiteral("LoopOut"), QStringLiteral("Loop-Ende")),
            &QPushButton::clicked, this, [this] { cues_.loopOut(); });
    quantize_ =
        button(line, QStringLiteral("Quantize"), QStringLiteral("Quantize"), QStringLiteral("Quantize"));
    quantize_->setCheckable(true);
    connect(quantize_, &QPushButton::toggled, this, [this](bool on) { cues_.setQuantize(on); });

    line = newLine(3);
    jumpSize_ =
        combo(line, QStringLiteral("JumpSize"), QStringLiteral("Sprung in Beats"), DeckCues::kJumpBeats);
    connect(jumpSize_, &QComboBox::currentIndexChanged, this, [this](int i) { cues_.setJumpSize(i); });
    connect(button(line, QStringLiteral("◀"), QStringLiteral("JumpBack"), QStringLiteral("Sprung zurück")),
            &QPushButton::clicked, this, [this] { cues_.jump(-1); });
    connect(button(line, QStringLiteral("▶"), QStringLiteral("JumpForward"), QStringLiteral("Sprung vor")),
            &QPushButton::clicked, this, [this] { cues_.jump(1); });
    connect(button(line, QStringLiteral("Beat hier"), QStringLiteral("BeatHere"),
                   QStringLiteral("Beat auf die Abspielstelle")),
            &QPushButton::clicked, this, [this] { cues_.beatHere(); });
    connect(button(line, QStringLiteral("Tap"), QStringLiteral("Tap"), QStringLiteral("Tempo tippen")),
            &QPushButton::pressed, this, [this] { cues_.tap(); });

    line = newLine(4);
    caption(line, QStringLiteral("Raster"));
    connect(button(line, QStringLiteral("½"), QStringLiteral("GridHalve"),
                   QStringLiteral("Raster: halbes Tempo")),
            &QPushButton::clicked, this, [this] { cues_.gridHalve(); });
    connect(button(line, QStringLiteral("×2"), QStringLiteral("GridDouble"),
                   QStringLiteral("Raster: doppeltes Tempo")),
            &QPushButton::clicked, this, [this] { cues_.gridDouble(); });
    const struct {
        const char *text, *name, *spoken;
        double ms;
    } shifts[] = {{"−10", "GridEarlier10", "Raster 10 ms früher", -10},
                  {"−1", "GridEarlier", "Raster 1 ms früher", -1},
                  {"+1", "GridLater", "Raster 1 ms später", 1},
                  {"+10", "GridLater10", "Raster 10 ms später", 10}};
    for (const auto &s : shifts)
        connect(
            button(line, QString::fromUtf8(s.text), QString::fromLatin1(s.name), QString::fromUtf8(s.spoken)),
            &QPushButton::clicked, this, [this, ms = s.ms] { cues_.gridShift(ms); });

    for (QWidget *l : lines_)
        static_cast<QHBoxLayout *>(l->layout())->addStretch(1);
    grid_ = new QGridLayout(this);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setHorizontalSpacing(10);
    grid_->setVerticalSpacing(3);
    arrange(false);

    connect(&cues, &DeckCues::padsChanged, this, &DeckCuePanel::showPads);
    connect(&cues, &DeckCues::loopChanged, this, &DeckCuePanel::showLoop);
    connect(&cues, &DeckCues::settingsChanged, this, &DeckCuePanel::showSettings);
    showPads();
    showLoop();
    showSettings();
}

void DeckCuePanel::arrange(bool wide) {
    if (arranged_ && wide == wide_)
        return;
    arranged_ = true;
    wide_ = wide;
    for (QWidget *l : lines_)
        grid_->removeWidget(l);
    if (wide) {
        grid_->addWidget(lines_[0], 0, 0);
        grid_->addWidget(lines_[1], 0, 1);
        grid_->addWidget(lines_[2], 1, 0);
        grid_->addWidget(lines_[3], 1, 1);
        grid_->addWidget(lines_[4], 2, 0, 1, 2);
    } else {
        for (int i = 0; i < int(lines_.size()); ++i)
            grid_->addWidget(lines_[std::size_t(i)], i, 0, 1, 2);
    }
    grid_->setRowStretch(wide ? 3 : 5, 1);
    grid_->setRowStretch(wide ? 5 : 3, 0);
    grid_->setColumnStretch(2, 1);
}

void DeckCuePanel::resizeEvent(QResizeEvent *event) {
    QFrame::resizeEvent(event);
    // Side by side once the widest pair of lines fits.
    const int gap = grid_->horizontalSpacing();
    const int needed = std::max({lines_[0]->sizeHint().width() + gap + lines_[1]->sizeHint().width(),
                                 lines_[2]->sizeHint().width() + gap + lines_[3]->sizeHint().width(),
                                 lines_[4]->sizeHint().width()});
    arrange(width() >= needed);
}

bool DeckCuePanel::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent *>(event)->button() == Qt::RightButton)
        for (int i = 0; i < DeckCues::kPads; ++i)
            if (watched == pads_[std::size_t(i)]) {
                cues_.clearPad(i);
                return true;
            }
    return QFrame::eventFilter(watched, event);
}

void DeckCuePanel::showPads() {
    for (int i = 0; i < DeckCues::kPads; ++i) {
        QPushButton *b = pads_[std::size_t(i)];
        const std::optional<DeckCues::Pad> &pad = cues_.pad(i);
        QString style, state;
        if (!pad) {
            state = QStringLiteral("leer");
        } else if (!cues_.offered(i)) {
            state = QStringLiteral("hinter dem Ende des Songs");
            style =
                QStringLiteral("QPushButton { background-color: %1; color: %2; border: 1px solid black; }")
                    .arg(kGreyedPad.name(), kGreyedText.name());
        } else {
            state = pad->loopFrames ? QStringLiteral("Loop gesetzt") : QStringLiteral("gesetzt");
            style = QStringLiteral("QPushButton { background-color: %1; color: %2; font-weight: bold; "
                                   "border: 1px solid black; }")
                        .arg(pad->colour.name(), textOn(pad->colour).name());
        }
        if (b->styleSheet() != style)
            b->setStyleSheet(style);
        b->setAccessibleDescription(state);
        b->setProperty("padState", state);
    }
}

void DeckCuePanel::showLoop() {
    if (loop_->isChecked() != cues_.looping())
        loop_->setChecked(cues_.looping());
}

void DeckCuePanel::showSettings() {
    if (loopSize_->currentIndex() != cues_.loopSize()) {
        const QSignalBlocker quiet(loopSize_);
        loopSize_->setCurrentIndex(cues_.loopSize());
    }
    if (jumpSize_->currentIndex() != cues_.jumpSize()) {
        const QSignalBlocker quiet(jumpSize_);
        jumpSize_->setCurrentIndex(cues_.jumpSize());
    }
    if (quantize_->isChecked() != cues_.quantize()) {
        const QSignalBlocker quiet(quantize_);
        quantize_->setChecked(cues_.quantize());
    }
}

void showCuesOnStrip(Deck &deck, DeckCues &cues, WaveStrip &strip) {
    auto rate = [&deck] { return deck.player() ? double(deck.player()->SampleRate()) : 0.0; };
    auto grid = [&deck, &strip] { strip.setBeatGrid(deck.grid()); };
    auto pads = [&cues, &strip, rate] {
        std::vector<WaveStrip::HotCueMark> marks;
        for (int i = 0; i < DeckCues::kPads; ++i)
            if (cues.offered(i) && rate() > 0)
                marks.push_back({cues.pad(i)->frame / rate(), cues.pad(i)->colour});
        strip.setHotCues(std::move(marks));
    };
    auto loop = [&cues, &strip, rate] {
        const std::optional<std::pair<double, double>> l = cues.loop();
        if (l && cues.looping() && rate() > 0)
            strip.setLoop(std::pair(l->first / rate(), (l->first + l->second) / rate()));
        else
            strip.setLoop(std::nullopt);
    };
    QObject::connect(&deck, &Deck::beatChanged, &strip, grid);
    QObject::connect(&deck, &Deck::songChanged, &strip, grid);
    QObject::connect(&cues, &DeckCues::padsChanged, &strip, pads);
    QObject::connect(&cues, &DeckCues::loopChanged, &strip, loop);
    grid();
    pads();
    loop();
}

} // namespace mixora::app
