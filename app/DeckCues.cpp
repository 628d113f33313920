#include "app/DeckCues.h"

#include "analysis/UserGrid.h"

#include "app/Deck.h"
#include "engine/GridMath.h"
#include "library/HotCues.h"
#include "library/SongTable.h"
#include "util/UiSeam.h"

#include <QAbstractButton>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace mixora::app {

namespace {

QColor colourOf(std::uint32_t rgb) {
    return QColor(int((rgb >> 16) & 0xFF), int((rgb >> 8) & 0xFF), int(rgb & 0xFF));
}

std::uint32_t rgbOf(const QColor &c) {
    return (std::uint32_t(c.red()) << 16) | (std::uint32_t(c.green()) << 8) | std::uint32_t(c.blue());
}

} // namespace

DeckCues::DeckCues(Deck &deck, std::function<SongTable *()> table, QObject *parent)
    : QObject(parent), deck_(deck), table_(std::move(table)) {
    static_assert(kLoopBeats == engine::kBeatLoopSizes);
    connect(&deck, &Deck::songChanged, this, &DeckCues::songChanged);
    songChanged();
}

DeckCues::~DeckCues() = default;

SongTable *DeckCues::table() const {
    SongTable *t = table_ ? table_() : nullptr;
    return t && t->active() ? t : nullptr;
}

int DeckCues::rate() const {
    return deck_.player() ? deck_.player()->SampleRate() : 0;
}

bool DeckCues::playing() const {
    return deck_.state() == Deck::State::Playing;
}

std::optional<double> DeckCues::playFrame() const {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<engine::DoublePlayer::PlayClock> clock = player ? player->Clock() : std::nullopt;
    if (!clock)
        return std::nullopt;
    if (!clock->playing || !player->MainDevice())
        return clock->sourceFrame;
    const engine::PlayingDeck now{*clock, rate(), {}};
    return now.sourceAt(player->MainDevice()->framesRendered());
}

double DeckCues::songFrames() const {
    engine::DoublePlayer *player = deck_.player();
    if (lengthExact_ && player && player->IndexComplete())
        return lengthFrames_;
    const std::optional<engine::DoublePlayer::SongLength> length = player ? player->Length() : std::nullopt;
    if (!length)
        return 0.0;
    lengthFrames_ = length->frames;
    lengthExact_ = length->exact;
    return lengthFrames_;
}

std::optional<double> DeckCues::beatFrames() const {
    const std::optional<engine::BeatGrid> &grid = deck_.grid();
    const double frames = grid ? engine::beatSamples(*grid, rate()) : 0.0;
    return frames > 0.0 ? std::optional<double>(frames) : std::nullopt;
}

double DeckCues::snap(double frame) const {
    const std::optional<engine::BeatGrid> &grid = deck_.grid();
    if (!quantize_ || !grid || rate() <= 0)
        return frame;
    return engine::nearestBeatSample(*grid, rate(), frame);
}

// --------------------------------------------------------------------------------------------
// hot cues

void DeckCues::songChanged() {
    pads_ = {};
    lengthExact_ = false;
    loopInFrame_.reset();
    previewPad_ = -1;
    rolling_ = false;
    tapper_.reset();
    if (const std::optional<std::int64_t> key = deck_.loadedKey(); key && table()) {
        try {
            HotCueStore store(*table());
            store.attach();
            for (const HotCue &cue : store.load(*key))
                if (cue.pad >= 1 && cue.pad <= kPads)
                    pads_[std::size_t(cue.pad - 1)] = Pad{cue.sample, cue.loopSamples, colourOf(cue.rgb)};
        } catch (const std::exception &error) {
            ::mixora::ui::message(deck_.widgets().load->window(), QStringLiteral("Fehler"),
                                  QString::fromUtf8(error.what()));
        }
    }
    emit padsChanged();
    emit loopChanged();
}

const std::optional<DeckCues::Pad> &DeckCues::pad(int pad) const {
    static const std::optional<Pad> none;
    return pad >= 0 && pad < kPads ? pads_[std::size_t(pad)] : none;
}

bool DeckCues::offered(int pad) const {
    const std::optional<Pad> &p = this->pad(pad);
    return p && deck_.hasPlayer() && p->frame < songFrames();
}

void DeckCues::storePad(int pad) {
    const std::optional<std::int64_t> key = deck_.loadedKey();
    if (!key || !table())
        return; // a file outside the library keeps its pads for this load
    try {
        HotCueStore store(*table());
        store.attach();
        if (const std::optional<Pad> &p = pads_[std::size_t(pad)])
            store.save(*key, HotCue{pad + 1, p->frame, p->loopFrames, rgbOf(p->colour)});
        else
            store.remove(*key, pad + 1);
    } catch (const std::exception &error) {
        ::mixora::ui::message(deck_.widgets().load->window(), QStringLiteral("Fehler"),
                              QString::fromUtf8(error.what()));
    }
}

void DeckCues::padPressed(int pad) {
    if (pad < 0 || pad >= kPads || !deck_.hasPlayer())
        return;
    engine::DoublePlayer &player = *deck_.player();
    std::optional<Pad> &p = pads_[std::size_t(pad)];
    if (!p) {
        const std::optional<double> at = playFrame();
        if (!at)
            return;
        Pad set{snap(*at), std::nullopt, colourOf(defaultHotCueColour(pad + 1))};
        // Set while a loop plays, the pad keeps the loop.
        if (const std::optional<engine::DoublePlayer::LoopState> loop = player.Loop(); loop && loop->active)
            set = Pad{loop->start, loop->length, set.colour};
        p = set;
        storePad(pad);
        emit padsChanged();
        return;
    }
    if (!offered(pad))
        return;
    const Pad target = *p;
    if (playing()) {
        double to = target.frame;
        const std::optional<engine::BeatGrid> &grid = deck_.grid();
        if (quantize_ && grid && rate() > 0 && !target.loopFrames)
            if (const std::optional<double> at = playFrame())
                to = engine::phaseKeepingCueTarget(*grid, rate(), *at, target.frame);
        if (target.loopFrames)
            player.SetLoop(target.frame, *target.loopFrames);
        player.JumpTo(to);
        emit loopChanged();
        return;
    }
    // Not playing: cued there, and heard while the pad is held.
    deck_.cueAt(target.frame);
    if (target.loopFrames)
        player.SetLoop(target.frame, *target.loopFrames);
    previewPad_ = pad;
    deck_.play();
    emit loopChanged();
}

void DeckCues::padReleased(int pad) {
    if (pad != previewPad_)
        return;
    previewPad_ = -1;
    if (const std::optional<Pad> &p = pads_[std::size_t(pad)]; p && playing())
        deck_.cueAt(p->frame);
}

void DeckCues::clearPad(int pad) {
    if (pad < 0 || pad >= kPads || !pads_[std::size_t(pad)])
        return;
    if (previewPad_ == pad)
        padReleased(pad);
    pads_[std::size_t(pad)].reset();
    storePad(pad);
    emit padsChanged();
}

// --------------------------------------------------------------------------------------------
// loops

void DeckCues::setLoopSize(int index) {
    index = std::clamp(index, 0, int(kLoopBeats.size()) - 1);
    if (index == loopSize_)
        return;
    loopSize_ = index;
    emit settingsChanged();
}

bool DeckCues::looping() const {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<engine::DoublePlayer::LoopState> loop = player ? player->Loop() : std::nullopt;
    return loop && loop->active;
}

std::optional<std::pair<double, double>> DeckCues::loop() const {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<engine::DoublePlayer::LoopState> loop = player ? player->Loop() : std::nullopt;
    if (!loop)
        return std::nullopt;
    return std::pair(loop->start, loop->length);
}

void DeckCues::setLoopAt(double start, double length) {
    engine::DoublePlayer *player = deck_.player();
    if (!player || !(length > 0.0))
        return;
    player->SetLoop(std::max(0.0, start), length);
    emit loopChanged();
}

void DeckCues::beatLoop() {
    engine::DoublePlayer *player = deck_.player();
    if (!player)
        return;
    if (looping()) {
        player->ClearLoop();
        emit loopChanged();
        return;
    }
    const std::optional<double> at = playFrame();
    const std::optional<engine::BeatGrid> &grid = deck_.grid();
    if (!at || !grid || rate() <= 0) {
        emit loopChanged(); // a beat loop needs the song's tempo
        return;
    }
    double start = *at;
    // On the grid, the loop begins on the beat the deck has just passed, so it plays on at once.
    if (quantize_)
        start = engine::beatLineSample(*grid, rate(),
                                       std::floor(engine::beatNumberAt(*grid, rate(), *at) + 1e-9));
    setLoopAt(start, engine::loopSamples(*grid, rate(), kLoopBeats[std::size_t(loopSize_)]));
}

void DeckCues::halveLoop() {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<engine::DoublePlayer::LoopState> loop = player ? player->Loop() : std::nullopt;
    if (loopSize_ > 0)
        setLoopSize(loopSize_ - 1);
    if (loop && loop->active)
        setLoopAt(loop->start, loop->length / 2);
}

void DeckCues::doubleLoop() {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<engine::DoublePlayer::LoopState> loop = player ? player->Loop() : std::nullopt;
    if (loopSize_ + 1 < int(kLoopBeats.size()))
        setLoopSize(loopSize_ + 1);
    if (loop && loop->active)
        setLoopAt(loop->start, loop->length * 2);
}

void DeckCues::loopIn() {
    if (const std::optional<double> at = playFrame())
        loopInFrame_ = snap(*at);
}

void DeckCues::loopOut() {
    const std::optional<double> at = playFrame();
    if (!at || !loopInFrame_)
        return;
    const double out = snap(*at);
    if (out > *loopInFrame_)
        setLoopAt(*loopInFrame_, out - *loopInFrame_);
}

void DeckCues::reloop() {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<engine::DoublePlayer::LoopState> loop = player ? player->Loop() : std::nullopt;
    if (!loop)
        return;
    if (loop->active) {
        player->ClearLoop();
    } else {
        const std::optional<double> at = playFrame();
        player->SetLoop(loop->start, loop->length);
        // Past (or before) the loop, the deck goes back to its start; inside it, it loops on.
        if (!at || *at < loop->start || *at >= loop->start + loop->length)
            player->JumpTo(loop->start);
    }
    emit loopChanged();
}

void DeckCues::rollPressed() {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<double> at = playFrame();
    const std::optional<engine::BeatGrid> &grid = deck_.grid();
    if (!player || !at || !grid || rate() <= 0 || rolling_)
        return;
    rolling_ = true;
    player->BeginRoll(snap(*at), engine::loopSamples(*grid, rate(), kLoopBeats[std::size_t(loopSize_)]));
    emit loopChanged();
}

void DeckCues::rollReleased() {
    if (!rolling_)
        return;
    rolling_ = false;
    if (engine::DoublePlayer *player = deck_.player())
        player->EndRoll();
    emit loopChanged();
}

// --------------------------------------------------------------------------------------------
// beat jumps

void DeckCues::setJumpSize(int index) {
    index = std::clamp(index, 0, int(kJumpBeats.size()) - 1);
    if (index == jumpSize_)
        return;
    jumpSize_ = index;
    emit settingsChanged();
}

void DeckCues::jump(int direction) {
    engine::DoublePlayer *player = deck_.player();
    const std::optional<double> at = playFrame();
    const std::optional<engine::BeatGrid> &grid = deck_.grid();
    if (!player || !at || !grid || rate() <= 0 || direction == 0)
        return;
    const int beats = engine::kBeatJumpSizes[std::size_t(jumpSize_)] * (direction > 0 ? 1 : -1);
    double to = engine::beatJumpTarget(*grid, rate(), *at, beats);
    // Playing, the distance is whole beats (the phase kept); standing, the target is a beat.
    if (quantize_ && !playing())
        to = engine::nearestBeatSample(*grid, rate(), to);
    if (to < 0.0 || to >= songFrames())
        return;
    const std::optional<engine::DoublePlayer::LoopState> loop = player->Loop();
    if (loop && loop->active)
        player->SetLoop(loop->start + (to - *at), loop->length); // the loop goes along
    player->JumpTo(to);
    emit loopChanged();
}

void DeckCues::setQuantize(bool on) {
    if (on == quantize_)
        return;
    quantize_ = on;
    emit settingsChanged();
}

// --------------------------------------------------------------------------------------------
// the beat grid

void DeckCues::saveGrid(engine::BeatGrid grid) {
    // The same grid lines, counted from the first at or after the stream's start.
    const double period = 60.0 / grid.bpm;
    if (grid.firstBeatSeconds < 0.0)
        grid.firstBeatSeconds += std::ceil(-grid.firstBeatSeconds / period) * period;
    // Stored before the deck plays by it: what the DJ hears is what a crash leaves in data.db.
    if (const std::optional<std::int64_t> key = deck_.loadedKey(); key && table()) {
        try {
            analysis::UserGrid store(*table());
            store.attach();
            store.save(*key, grid);
        } catch (const std::exception &error) {
            ::mixora::ui::message(deck_.widgets().load->window(), QStringLiteral("Fehler"),
                                  QString::fromUtf8(error.what()));
            return;
        }
    }
    deck_.setGrid(grid);
}

namespace {

void refuse(Deck &deck, double bpm) {
    ::mixora::ui::message(
        deck.widgets().load->window(), QStringLiteral("Warnung"),
        QStringLiteral(
            "Ein Tempo von %1 BPM liegt außerhalb von %2 bis %3 BPM; das Beat-Raster bleibt, wie es war.")
            .arg(QString::number(bpm, 'f', 1), QString::number(engine::kMinGridBpm),
                 QString::number(engine::kMaxGridBpm)));
}

} // namespace

void DeckCues::gridHalve() {
    const std::optional<engine::BeatGrid> grid = deck_.grid();
    if (!grid)
        return;
    if (const std::optional<engine::BeatGrid> edited = engine::halveTempo(*grid))
        saveGrid(*edited);
    else
        refuse(deck_, grid->bpm / 2);
}

void DeckCues::gridDouble() {
    const std::optional<engine::BeatGrid> grid = deck_.grid();
    if (!grid)
        return;
    if (const std::optional<engine::BeatGrid> edited = engine::doubleTempo(*grid))
        saveGrid(*edited);
    else
        refuse(deck_, grid->bpm * 2);
}

void DeckCues::gridShift(double ms) {
    const std::optional<engine::BeatGrid> grid = deck_.grid();
    if (!grid)
        return;
    if (const std::optional<engine::BeatGrid> edited = engine::shiftGrid(*grid, ms))
        saveGrid(*edited);
}

void DeckCues::beatHere() {
    const std::optional<engine::BeatGrid> grid = deck_.grid();
    const std::optional<double> at = playFrame();
    if (!grid || !at || rate() <= 0)
        return;
    if (const std::optional<engine::BeatGrid> edited = engine::setBeatHere(*grid, rate(), *at))
        saveGrid(*edited);
}

void DeckCues::tap() {
    engine::DoublePlayer *player = deck_.player();
    if (!player || rate() <= 0)
        return;
    if (!tapClock_.isValid())
        tapClock_.start();
    tapper_.tap(double(tapClock_.nsecsElapsed()) * 1e-9);
    const std::optional<double> heard = tapper_.bpm();
    if (!heard)
        return;
    // The taps keep to the tempo heard; the grid holds the song's own.
    const double factor =
        double(engine::DoublePlayer::FrequencyFor(rate(), deck_.widgets().pitchBar->value())) / rate();
    const double bpm = *heard / factor;
    const std::optional<engine::BeatGrid> grid = deck_.grid();
    std::optional<engine::BeatGrid> edited;
    if (grid)
        edited = engine::withTempo(*grid, bpm);
    else if (engine::acceptableBpm(bpm))
        edited = engine::BeatGrid{bpm, playFrame().value_or(0.0) / rate()}; // the last tap is a beat
    if (edited)
        saveGrid(*edited);
    else if (tapper_.taps() == engine::TapTempo::kMinTaps)
        refuse(deck_, bpm); // once, not at every further tap
}

} // namespace mixora::app
