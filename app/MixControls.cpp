#include "app/MixControls.h"

#include "app/Deck.h"
#include "app/MainForm.h"
#include "app/MainFormLayout.h"
#include "app/MixWidgets.h"
#include "engine/sound/Sound.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cmath>

namespace mixora::app {

namespace {

constexpr double kEqBoostDb = sound::kEqMaxDb;
constexpr int kKnobSize = 36;
constexpr int kColumnWidth = 46;
constexpr int kWheelStep = 5;
const QColor kRowColour(0, 0, 40);
const QColor kCaptionColour(0, 255, 255);
const QColor kValueColour(255, 255, 255);

QString sideName(const Deck &deck) {
    return deck.side() == DeckSide::Links ? QStringLiteral("Links") : QStringLiteral("Rechts");
}

QString number(double value) {
    return QString::number(value, 'f', 1).replace(QLatin1Char('.'), QLocale::system().decimalPoint());
}

QLabel *label(const QString &text, const QColor &colour, QWidget *parent) {
    auto *l = new QLabel(text, parent);
    l->setAlignment(Qt::AlignCenter);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    return l;
}

MixKnob *knob(const QString &name, const QString &spoken, QWidget *parent) {
    auto *k = new MixKnob(parent);
    k->setObjectName(name);
    k->setAccessibleName(spoken);
    k->setRange(-kKnobHalfTravel, kKnobHalfTravel);
    k->setSingleStep(kWheelStep);
    k->setPageStep(4 * kWheelStep);
    k->setHome(0);
    k->setValue(0);
    k->setFixedSize(kKnobSize, kKnobSize);
    return k;
}

} // namespace

double eqDbAt(int position) {
    position = std::clamp(position, -kKnobHalfTravel, kKnobHalfTravel);
    if (position >= 0)
        return kEqBoostDb * position / kKnobHalfTravel;
    // The deck takes anything at or below its end stop as the kill; the knob says so exactly.
    const double gain = 1.0 + double(position) / kKnobHalfTravel;
    const double dB = gain > 0.0 ? 20.0 * std::log10(gain) : sound::kEqKillDb;
    return std::max<double>(dB, sound::kEqKillDb);
}

int eqPositionOf(double dB) {
    if (!(dB > sound::kEqKillDb))
        return -kKnobHalfTravel;
    if (dB >= 0.0)
        return int(std::lround(std::min(dB, kEqBoostDb) / kEqBoostDb * kKnobHalfTravel));
    const int p = int(std::lround((std::pow(10.0, dB / 20.0) - 1.0) * kKnobHalfTravel));
    return std::min(p, 0);
}

QString eqText(double dB) {
    if (!(dB > sound::kEqKillDb))
        return QStringLiteral("Kill");
    if (std::abs(dB) < 0.05)
        return QStringLiteral("0 dB");
    return (dB > 0 ? QStringLiteral("+") : QStringLiteral("−")) + number(std::abs(dB)) +
           QStringLiteral(" dB");
}

QString filterText(int position) {
    if (position == 0)
        return QStringLiteral("Aus");
    const int percent = std::abs(position) * 100 / kKnobHalfTravel;
    return (position < 0 ? QStringLiteral("TP ") : QStringLiteral("HP ")) + QString::number(percent) +
           QStringLiteral(" %");
}

DeckMixControls::DeckMixControls(Deck &deck, QWidget *area, QObject *parent) : QObject(parent), deck_(deck) {
    const QString side = sideName(deck);
    row_ = new QFrame(area);
    row_->setObjectName(QStringLiteral("DeckControls_") + side);
    row_->setFrameShape(QFrame::Panel);
    row_->setFrameShadow(QFrame::Raised);
    row_->setAutoFillBackground(true);
    QPalette palette = row_->palette();
    palette.setColor(QPalette::Window, kRowColour);
    row_->setPalette(palette);
    auto *rowLayout = new QHBoxLayout(row_);
    rowLayout->setContentsMargins(6, 4, 6, 4);
    rowLayout->setSpacing(8);

    auto *mix = new QWidget(row_);
    mix->setObjectName(QStringLiteral("Mix_") + side);
    auto *grid = new QGridLayout(mix);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(2);
    grid->setVerticalSpacing(2);
    for (int band = 0; band < kBands; ++band) {
        const QString name = kBandNames[band];
        grid->addWidget(label(name, kCaptionColour, mix), 0, band);
        eq_[band] = knob(QStringLiteral("Eq") + name + QStringLiteral("_") + side,
                         name + QStringLiteral(" ") + side, mix);
        grid->addWidget(eq_[band], 1, band, Qt::AlignHCenter);
        values_[band] = label(QString(), kValueColour, mix);
        grid->addWidget(values_[band], 2, band);
        auto *kill = new QPushButton(QStringLiteral("Kill"), mix);
        kill->setObjectName(QStringLiteral("Kill") + name + QStringLiteral("_") + side);
        kill->setAccessibleName(QStringLiteral("Kill ") + name + QStringLiteral(" ") + side);
        kill->setCheckable(true);
        kill->setFocusPolicy(Qt::NoFocus);
        kill->setFixedSize(kColumnWidth - 4, 20);
        kill->setStyleSheet(
            QStringLiteral("QPushButton:checked { background-color: rgb(255, 40, 40); color: black; "
                           "font-weight: bold; }"));
        kill_[band] = kill;
        grid->addWidget(kill, 3, band, Qt::AlignHCenter);

        connect(eq_[band], &QAbstractSlider::valueChanged, this, [this, band](int position) {
            deck_.setEq(band, eqDbAt(position));
            showEq(band);
        });
        connect(kill, &QAbstractButton::toggled, this, [this, band](bool on) { deck_.setEqKill(band, on); });
    }
    grid->addWidget(label(QStringLiteral("Filter"), kCaptionColour, mix), 0, kBands);
    filter_ = knob(QStringLiteral("Filter_") + side, QStringLiteral("Filter ") + side, mix);
    grid->addWidget(filter_, 1, kBands, Qt::AlignHCenter);
    values_[kBands] = label(QString(), kValueColour, mix);
    grid->addWidget(values_[kBands], 2, kBands);
    connect(filter_, &QAbstractSlider::valueChanged, this, [this](int position) {
        deck_.setFilter(double(position) / kKnobHalfTravel);
        showFilter();
    });
    for (int c = 0; c <= kBands; ++c)
        grid->setColumnMinimumWidth(c, kColumnWidth);

    meter_ = new LevelMeter(mix);
    meter_->setObjectName(QStringLiteral("Meter_") + side);
    meter_->setAccessibleName(QStringLiteral("Pegel ") + side);
    meter_->setFixedWidth(12);
    grid->addWidget(meter_, 0, kBands + 1, 4, 1);

    rowLayout->addWidget(mix, 0, Qt::AlignLeft | Qt::AlignVCenter);
    rowLayout->addStretch(1); // room for the deck's pads, loops and key lock

    connect(&deck, &Deck::eqChanged, this, &DeckMixControls::showDeck);
    connect(&deck, &Deck::filterChanged, this, &DeckMixControls::showDeck);
    showDeck();
}

DeckMixControls::~DeckMixControls() {
    delete row_.data();
}

// The deck's values on the controls, without sending them back.
void DeckMixControls::showDeck() {
    for (int band = 0; band < kBands; ++band) {
        const double dB = deck_.eq(band);
        if (std::abs(eqDbAt(eq_[band]->value()) - dB) > 1e-3) {
            const QSignalBlocker quiet(eq_[band]);
            eq_[band]->setValue(eqPositionOf(dB));
        }
        if (kill_[band]->isChecked() != deck_.eqKill(band)) {
            const QSignalBlocker quiet(kill_[band]);
            kill_[band]->setChecked(deck_.eqKill(band));
        }
        showEq(band);
    }
    const int position = int(std::lround(deck_.filter() * kKnobHalfTravel));
    if (filter_->value() != position) {
        const QSignalBlocker quiet(filter_);
        filter_->setValue(position);
    }
    showFilter();
}

void DeckMixControls::showEq(int band) {
    const QString text = eqText(deck_.eq(band));
    if (values_[band]->text() != text) {
        values_[band]->setText(text);
        eq_[band]->setAccessibleDescription(text);
    }
}

void DeckMixControls::showFilter() {
    const QString text = filterText(filter_->value());
    if (values_[kBands]->text() != text) {
        values_[kBands]->setText(text);
        filter_->setAccessibleDescription(text);
    }
}

void DeckMixControls::pollMeter() {
    const sound::PeakReading reading = deck_.takePeak();
    meter_->setPeak(reading.peak, reading.clipped);
}

WindowMix::WindowMix(TFormMixora &window, Deck &links, Deck &rechts,
                     std::function<sound::PeakReading()> mainPeak)
    : links(links, window.ui.ClientArea), rechts(rechts, window.ui.ClientArea),
      mainPeak_(std::move(mainPeak)) {
    // The main meter stands in the empty corner right of the mixer, at every size.
    mainPanel_ = new QWidget(window.ui.ClientArea);
    mainPanel_->setObjectName(QStringLiteral("PanelMeter_Ausgang"));
    mainPanel_->setGeometry(700, 206, 80, 219);
    auto *column = new QVBoxLayout(mainPanel_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(label(QStringLiteral("Ausgang"), kCaptionColour, mainPanel_));
    mainMeter_ = new LevelMeter(mainPanel_);
    mainMeter_->setObjectName(QStringLiteral("Meter_Ausgang"));
    mainMeter_->setAccessibleName(QStringLiteral("Pegel Ausgang"));
    mainMeter_->setFixedWidth(16);
    column->addWidget(mainMeter_, 1, Qt::AlignHCenter);

    WindowLayout &layout = window.windowLayout();
    layout.setMainMeter(mainPanel_);
    layout.setDeckRows(this->links.row(), this->rechts.row());

    timer_.setInterval(kMeterIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &WindowMix::poll);
    timer_.start();
}

WindowMix::~WindowMix() {
    delete mainPanel_.data();
}

void WindowMix::followTick(QTimer &tick) {
    timer_.stop();
    ticks_ = 0;
    const std::array<LevelMeter *, 3> meters{links.meter(), rechts.meter(), mainMeter_};
    for (LevelMeter *meter : meters)
        meter->letFallsWait();
    connect(&tick, &QTimer::timeout, this, [this, meters] {
        poll();
        // Counted as the decks count theirs, from the same start.
        if (++ticks_ % Deck::kDisplayTicks == 0)
            for (LevelMeter *meter : meters)
                meter->showFalls();
    });
}

void WindowMix::poll() {
    links.pollMeter();
    rechts.pollMeter();
    if (mainPeak_) {
        const sound::PeakReading reading = mainPeak_();
        mainMeter_->setPeak(reading.peak, reading.clipped);
    }
}

} // namespace mixora::app
