#include "app/DeckAnalysis.h"

#include "analysis/Analysis.h"
#include "app/Deck.h"
#include "app/ThumbTravel.h"
#include "app/WaveStrip.h"
#include "engine/DoublePlayer.h"

#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace mixora::app {

namespace {

constexpr int kStripGap = 5;
constexpr int kStripHeight = 56;
constexpr int kIndexPollMs = 100;

} // namespace

DeckAnalysis::DeckAnalysis(Deck &deck, LoadFn load, QObject *parent)
    : QObject(parent), deck_(deck), load_(std::move(load)) {
    QScrollBar *bar = deck.widgets().seekBar;
    QWidget *panel = bar->parentWidget() && bar->parentWidget()->parentWidget()
                         ? bar->parentWidget()->parentWidget()
                         : bar->parentWidget();
    strip_ = new WaveStrip(panel);
    // The strip spans where the thumb's centre can go, so the thumb stands over the play position; the
    // scale is a song's typical one (some megabytes, a page of ten frames).
    const QRect travel = thumbTravel(bar, 0, 8'000'000, 4'180, 418).centres;
    const QPoint topLeft = bar->mapTo(panel, QPoint(travel.left(), bar->height() + kStripGap));
    strip_->setGeometry(topLeft.x(), topLeft.y(), std::max(1, travel.width()), kStripHeight);
    strip_->setAccessibleName(QStringLiteral("Wellenform"));
    strip_->show();

    connect(bar, &QScrollBar::rangeChanged, strip_, [this](int, int maximum) { strip_->setRange(maximum); });
    connect(bar, &QScrollBar::valueChanged, strip_, [this](int value) { strip_->setPosition(value); });
    columnTimer_.setInterval(kIndexPollMs);
    connect(&columnTimer_, &QTimer::timeout, this, [this] { placeColumns(); });
    connect(&deck, &Deck::songChanged, this, [this] { reload(true); });
    connect(&deck, &Deck::cuePointChanged, this, [this] { strip_->setCuePoint(deck_.cuePoint()); });
    connect(&deck, &Deck::stateChanged, this, [this] {
        if (gainPending_ && !sounding())
            applyGain(true);
    });
    reload(true);
}

DeckAnalysis::~DeckAnalysis() {
    delete strip_.data();
}

void DeckAnalysis::setAutoGain(bool on, double referenceLufs) {
    autoGainOn_ = on;
    referenceLufs_ = referenceLufs;
    applyGain(true);
}

void DeckAnalysis::resultsStored(std::int64_t index) {
    if (deck_.loadedKey() == index)
        reload(false);
}

void DeckAnalysis::reload(bool newSong) {
    std::optional<analysis::Result> result;
    if (const std::optional<std::int64_t> key = deck_.loadedKey(); key && load_)
        result = load_(*key);
    loudness_.reset();
    peak_.reset();
    std::vector<std::uint8_t> overview;
    if (result) {
        loudness_ = result->loudnessLufs;
        overview = std::move(result->overview);
        if (overview.size() >= 2) {
            int loudest = 0;
            for (std::size_t i = 0; i + 1 < overview.size(); i += 2)
                loudest = std::max<int>(loudest, overview[i]);
            peak_ = loudest / 255.0;
        }
    }
    QScrollBar *bar = deck_.widgets().seekBar;
    strip_->setOverview(std::move(overview));
    strip_->setTimeAxis(result ? result->durationSeconds : 0.0);
    strip_->setRange(deck_.hasPlayer() ? bar->maximum() : 0);
    placeColumns();
    strip_->setPosition(bar->value());
    strip_->setCuePoint(deck_.cuePoint());
    // A new song's player starts at unity gain and silent: its level goes on at once.
    applyGain(newSong);
}

void DeckAnalysis::placeColumns() {
    // The reader's frame index is built behind the loading (a few milliseconds for a song);
    // until it is complete the strip places positions by bytes.
    engine::DoublePlayer *player = deck_.player();
    if (player && strip_->hasOverview() && player->IndexComplete())
        strip_->setColumnPositions(player->ColumnOffsets(strip_->overviewColumns()));
    if (player && strip_->hasOverview() && !strip_->hasColumnPositions())
        columnTimer_.start();
    else
        columnTimer_.stop();
}

bool DeckAnalysis::sounding() const {
    return deck_.sounding();
}

void DeckAnalysis::applyGain(bool evenWhileSounding) {
    const float target =
        autoGainOn_ ? static_cast<float>(std::pow(10.0, autoGainDb(loudness_, peak_, referenceLufs_) / 20.0))
                    : 1.0f;
    engine::DoublePlayer *player = deck_.player();
    if (player && !evenWhileSounding && sounding() && target != appliedGain_) {
        gainPending_ = true;
        return;
    }
    gainPending_ = false;
    appliedGain_ = target;
    if (!player)
        return;
    player->SetGain(target);
}

} // namespace mixora::app
