#include "app/Deck.h"

#include "app/QuietDisplay.h"
#include "library/SongTable.h"
#include "util/UiSeam.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFileInfo>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMetaObject>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace mixora::app {

namespace {

const QString kTimeZero = QStringLiteral("00:00:00:00");
const QString kPitchInitial = QStringLiteral("0 %");
// How far ahead of the mix a start in time is placed: beyond a real card's period, so the mix
// meets it before it is due (a late one still joins in time, only shorter).
constexpr std::uint64_t kStartLeadFrames = 2048;
constexpr double kSecondsPerMinute = 60.0;
// How far off a synced deck's beats may be at one of Sync's looks (every kTickMs) before it is started
// again in phase instead of pulled in (only a jump puts it that far off).
constexpr double kRealignSeconds = 0.02;
// A nudge's change of the playback ratio (the bar's ±10 %).
constexpr double kNudgeRatio = 0.1;
std::uint64_t gStartCount = 0;

template <typename T> T *need(QWidget *root, const QString &name) {
    auto *widget = root->findChild<T *>(name);
    if (!widget)
        throw std::logic_error("deck control missing: " + name.toStdString());
    return widget;
}

QLabel *statusPanel(QStatusBar *bar, int index) {
    const QString name = bar->objectName() + QStringLiteral("_Panel%1").arg(index);
    auto *panel = bar->findChild<QLabel *>(name);
    if (!panel)
        throw std::logic_error("deck control missing: " + name.toStdString());
    return panel;
}

bool isPress(QEvent::Type type) {
    // A fast second press arrives as a double click; a DJ's double tap on Play is two presses.
    return type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick;
}

bool isScrollKey(const QKeyEvent *key) {
    if (key->isAutoRepeat())
        return false;
    switch (key->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
        return true;
    default:
        return false;
    }
}

} // namespace

DeckWidgets DeckWidgets::find(QWidget *root, DeckSide side) {
    const bool left = side == DeckSide::Links;
    const QString s = left ? QStringLiteral("Links") : QStringLiteral("Rechts");
    DeckWidgets w;
    w.load = need<QAbstractButton>(root, QStringLiteral("LoadDB_") + s);
    w.time = need<QAbstractButton>(root, QStringLiteral("btTime_") + s);
    w.pitchLabel = need<QLabel>(root, QStringLiteral("lbPitch_") + s);
    w.timeLabel = need<QLabel>(root, QStringLiteral("LabelZeit") + s);
    w.seekBar = need<QScrollBar>(root, QStringLiteral("sBarSeek") + s);
    w.minusSpeed = need<QAbstractButton>(root, QStringLiteral("SBtMinusSpeed") + s);
    w.plusSpeed = need<QAbstractButton>(root, QStringLiteral("SBtPlusSpeed") + s);
    w.pitchBar = need<QScrollBar>(root, QStringLiteral("SBarPitch") + s);
    w.zero = need<QAbstractButton>(root, left ? QStringLiteral("Speedzero_Links")
                                              : QStringLiteral("SpeedZero_Rechts"));
    w.cue = need<QFrame>(root, QStringLiteral("Cue_") + s);
    w.play = need<QFrame>(root, QStringLiteral("Play_") + s);
    w.playImage = need<QWidget>(root, left ? QStringLiteral("Image1") : QStringLiteral("Image2"));
    auto *bar = need<QStatusBar>(root, QStringLiteral("StatusBar_") + s);
    w.statePanel = statusPanel(bar, 0);
    w.songPanel = statusPanel(bar, 1);
    w.volumeBar = need<QScrollBar>(root, QStringLiteral("SBVolume_") + s);
    w.headCue = need<QAbstractButton>(root, QStringLiteral("SBHeadCue") + s);
    w.bpmLabel = need<QLabel>(root, QStringLiteral("lbBpm_") + s);
    w.sync = need<QAbstractButton>(root, QStringLiteral("btSync_") + s);
    w.keyLock = need<QAbstractButton>(root, QStringLiteral("btKeyLock_") + s);
    return w;
}

// The player's reports for one player's life. Each player gets its own View, so reports still
// queued from a replaced player are recognised by their generation and dropped.
//
// The worker's position and time reports of a refill are held as one report, newest fields first.
// While the deck plays, every kDisplayTicks-th tick shows what is held, so the window repaints both
// decks' displays in one pass instead of once or twice per refill of each deck; otherwise the first
// report held posts one queued call that shows it.
class Deck::View : public engine::DeckView {
public:
    View(Deck &deck, std::uint32_t generation) : deck_(deck), generation_(generation) {}
    ~View() override { delete held_.exchange(nullptr); }

    void setSeekRange(std::int32_t maximum, int smallStep, int largeStep) override {
        deliver([maximum, smallStep, largeStep](Deck &d) {
            QScrollBar *bar = d.w_.seekBar;
            bar->setRange(0, std::max(0, maximum));
            bar->setSingleStep(std::max(1, smallStep));
            bar->setPageStep(std::max(1, largeStep));
        });
    }
    void setSeekPosition(std::int32_t position) override {
        Report report;
        report.position = position;
        hold(std::move(report));
    }
    void setTimeText(const std::string &text) override {
        Report report;
        report.text = QString::fromStdString(text);
        hold(std::move(report));
    }
    void setStateWord(const std::string &word) override {
        // The player's only word is "ended".
        if (word == kEnded.toStdString())
            deliver([](Deck &d) { d.setState(State::Ended); });
    }

    // On the window thread: whether the display tick shows the held report (the deck plays).
    void followTick(bool on) {
        ticked_.store(on);
        if (!on)
            showHeld(); // what was held for the tick would wait for ever
    }
    void tick() {
        if (ticked_.load())
            showHeld();
    }
    // On the window thread: shows the held report, unless the user has moved since it was made.
    void showHeld() {
        posted_.store(false); // before the take: a report held after it posts again
        std::unique_ptr<Report> report(held_.exchange(nullptr));
        if (!report || deck_.epoch_.load() != report->epoch)
            return;
        if (report->position)
            setValueQuietly(deck_.w_.seekBar, *report->position);
        if (report->text)
            deck_.w_.timeLabel->setText(*report->text);
    }

private:
    struct Report {
        std::uint32_t epoch = 0;
        std::optional<std::int32_t> position;
        std::optional<QString> text;
    };

    void hold(Report report) {
        report.epoch = deck_.epoch_.load();
        auto *fresh = new Report(std::move(report));
        for (;;) {
            if (std::unique_ptr<Report> earlier{held_.exchange(nullptr)};
                earlier && earlier->epoch == fresh->epoch) {
                if (!fresh->position)
                    fresh->position = earlier->position;
                if (!fresh->text)
                    fresh->text = std::move(earlier->text);
            }
            Report *empty = nullptr;
            if (held_.compare_exchange_strong(empty, fresh))
                break;
        }
        if (QThread::currentThread() == deck_.thread()) {
            showHeld(); // the window's own calls show at once, after anything held before them
            return;
        }
        // After the report is held: a tick that stops following shows it, or this posts.
        if (ticked_.load() || posted_.exchange(true))
            return;
        Deck *deck = &deck_;
        QMetaObject::invokeMethod(
            deck,
            [deck, generation = generation_] {
                if (deck->generation_.load() == generation && deck->view_)
                    deck->view_->showHeld();
            },
            Qt::QueuedConnection);
    }

    template <typename F> void deliver(F apply) {
        if (QThread::currentThread() == deck_.thread()) {
            apply(deck_);
            return;
        }
        const std::uint32_t epoch = deck_.epoch_.load();
        Deck *deck = &deck_;
        QMetaObject::invokeMethod(
            deck,
            [deck, generation = generation_, epoch, apply = std::move(apply)] {
                if (deck->generation_.load() == generation && deck->epoch_.load() == epoch)
                    apply(*deck);
            },
            Qt::QueuedConnection);
    }

    Deck &deck_;
    const std::uint32_t generation_;
    std::atomic<Report *> held_{nullptr};
    std::atomic<bool> ticked_{false};
    std::atomic<bool> posted_{false};
};

Deck::Deck(DeckSide side, const DeckWidgets &widgets, DeckContext context, QObject *parent)
    : QObject(parent), side_(side), w_(widgets), ctx_(std::move(context)),
      player_(ctx_.player ? *ctx_.player : ownPlayer_),
      timeMode_(ctx_.timeMode ? *ctx_.timeMode : ownTimeMode_),
      headCueOn_(ctx_.headCueOn ? *ctx_.headCueOn : ownHeadCueOn_) {
    connect(w_.load, &QAbstractButton::clicked, this, [this] { load(); });
    connect(w_.time, &QAbstractButton::clicked, this, [this] { toggleTime(); });
    connect(w_.sync, &QAbstractButton::clicked, this, [this] { syncClicked(); });
    connect(w_.keyLock, &QAbstractButton::clicked, this, [this](bool on) { setKeyLock(on); });
    connect(w_.pitchBar, &QScrollBar::valueChanged, this, [this] { pitchChanged(); });
    connect(w_.volumeBar, &QScrollBar::valueChanged, this, [this] { volumeChanged(); });
    connect(w_.seekBar, &QScrollBar::actionTriggered, this, [this](int action) {
        switch (action) {
        case QAbstractSlider::SliderSingleStepAdd:
            seekScroll(LineDown);
            break;
        case QAbstractSlider::SliderSingleStepSub:
            seekScroll(LineUp);
            break;
        case QAbstractSlider::SliderPageStepAdd:
            seekScroll(PageDown);
            break;
        case QAbstractSlider::SliderPageStepSub:
            seekScroll(PageUp);
            break;
        case QAbstractSlider::SliderToMinimum:
            seekScroll(Top);
            break;
        case QAbstractSlider::SliderToMaximum:
            seekScroll(Bottom);
            break;
        case QAbstractSlider::SliderMove:
            seekScroll(ThumbTrack);
            break;
        default:
            break;
        }
    });
    // Grabbing the thumb already holds the worker, so its reports never pull the thumb away.
    connect(w_.seekBar, &QScrollBar::sliderPressed, this, [this] { seekScroll(ThumbTrack); });
    // Presses with any mouse button, and the end of every scroll action, are only seen as events.
    for (QObject *watched : {static_cast<QObject *>(w_.seekBar), static_cast<QObject *>(w_.cue),
                             static_cast<QObject *>(w_.play), static_cast<QObject *>(w_.playImage),
                             static_cast<QObject *>(w_.minusSpeed), static_cast<QObject *>(w_.plusSpeed),
                             static_cast<QObject *>(w_.zero), static_cast<QObject *>(w_.headCue)})
        watched->installEventFilter(this);
    setHeadLamp(headCueOn_ != 0);
    syncTimer_ = new QTimer(this);
    syncTimer_->setInterval(kTickMs);
    followTick(*syncTimer_);
    syncTimer_->start();
}

void Deck::followTick(QTimer &tick) {
    if (syncTimer_ && syncTimer_ != &tick) {
        delete syncTimer_;
        syncTimer_ = nullptr;
    }
    ticks_ = 0;
    connect(&tick, &QTimer::timeout, this, [this] {
        holdPhase();
        if (++ticks_ % kDisplayTicks == 0 && view_)
            view_->tick();
    });
}

Deck::~Deck() {
    releasePlayer();
}

bool Deck::eventFilter(QObject *watched, QEvent *event) {
    const QEvent::Type type = event->type();
    if (watched == w_.seekBar) {
        const bool mouseEnd = type == QEvent::MouseButtonRelease;
        const bool keyEnd = type == QEvent::KeyRelease && isScrollKey(static_cast<QKeyEvent *>(event));
        const bool wheel = type == QEvent::Wheel;
        if (!mouseEnd && !keyEnd && !wheel)
            return false;
        // The bar must finish its own handling (commit a dragged thumb, apply the wheel step)
        // before the end of the scroll action reads its position.
        const bool dragging = w_.seekBar->isSliderDown();
        static_cast<QObject *>(w_.seekBar)->event(event);
        if (mouseEnd && dragging)
            seekScroll(ThumbPosition);
        seekScroll(EndScroll);
        return true;
    }
    if (watched == w_.cue && isPress(type))
        cue();
    else if ((watched == w_.play || watched == w_.playImage) && isPress(type)) {
        play();
        // The symbol ignores the press, which would then reach the panel as a second one.
        return watched == w_.playImage;
    } else if (watched == w_.plusSpeed || watched == w_.minusSpeed) {
        if (isPress(type))
            nudgePressed(watched == w_.plusSpeed ? 1 : -1);
        else if (type == QEvent::MouseButtonRelease)
            nudgeReleased();
    } else if (watched == w_.zero && isPress(type))
        zeroPitch();
    else if (watched == w_.headCue && isPress(type))
        headCueClicked();
    return false;
}

// --------------------------------------------------------------------------------------------
// transport

void Deck::load() {
    if (sounding())
        return;
    SongTable *table = this->table();
    const std::optional<std::int64_t> key = table ? table->currentKey() : std::nullopt;
    if (!key) {
        message(QStringLiteral("Warnung"),
                QStringLiteral("Es ist kein Song ausgewählt, der geladen werden kann."));
        return;
    }
    Song song;
    song.key = key;
    song.fileName = QString::fromStdString(table->fieldAsString("Dateiname"));
    song.display = QString::fromStdString(table->fieldAsString("Interpret")) + QStringLiteral(" - ") +
                   QString::fromStdString(table->fieldAsString("Titel"));
    song.startZeit = table->fieldAsInteger("StartZeit");
    loadSong(song);
}

bool Deck::loadFile(const QString &path, const QString &songText) {
    if (sounding())
        return false;
    Song song;
    song.fileName = path;
    song.display = songText.isEmpty() ? QFileInfo(path).fileName() : songText;
    return loadSong(song);
}

bool Deck::loadSong(const Song &song) {
    sound::Device *main = ctx_.mainDevice ? ctx_.mainDevice() : nullptr;
    if (!main) {
        message(QStringLiteral("Warnung"),
                QStringLiteral("Es ist keine Soundkarte für die Hauptausgabe eingestellt. Bitte unter "
                               "Einstellungen → Geräte eine wählen und das Programm neu starten."));
        return false;
    }
    sound::Device *head = ctx_.headDevice ? ctx_.headDevice() : nullptr;

    // The new file is opened beside the old player, which is replaced only once the new one
    // opened: a file that cannot be opened leaves the paused or cued song as it was.
    const std::uint32_t generation = generation_ + 1;
    auto view = std::make_unique<View>(*this, generation);
    auto player = std::make_unique<engine::DoublePlayer>(main, head);
    player->SetTimeMode(timeMode_);
    player->SetView(view.get());
    const int result = player->Open(song.fileName.toStdString());
    if (result == engine::DoublePlayer::kOpenFailed) {
        player.reset();
        view.reset();
        message(QStringLiteral("Fehler"),
                QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(song.fileName));
        return false;
    }
    releasePlayer();
    showTempo();
    generation_ = generation;
    ++epoch_;
    view_ = std::move(view);
    player_ = std::move(player);
    loadedKey_ = song.key;
    loadedFile_ = song.fileName;
    sessionCue_.reset();
    readBeat();
    emit songChanged();
    if (song.key && ctx_.songLoaded)
        ctx_.songLoaded(*song.key);
    if (result != engine::DoublePlayer::kOpenReady) {
        // The player stays (as it was opened); the display still shows what it showed.
        if (ctx_.reportLoadError)
            ctx_.reportLoadError(result);
        return false;
    }

    setState(State::Loaded);
    w_.songPanel->setText(song.display);
    if (ctx_.autoCue && ctx_.autoCue->isChecked()) {
        w_.seekBar->setValue(static_cast<int>(
            std::clamp<std::int64_t>(song.startZeit, w_.seekBar->minimum(), w_.seekBar->maximum())));
        player_->Seek(w_.seekBar->value());
        setState(State::Cued);
        showTime();
        player_->FillBothHalves();
    }
    applyMixTo(*player_);
    keepInSync(TempoChange::OwnSong);
    showTempo();
    announceTempo(false);
    setLit(w_.cue, true);
    setLit(w_.play, false);
    return true;
}

void Deck::applyMixTo(engine::DoublePlayer &player) {
    // The bar's pitch goes with the song, so what the label says is what is heard.
    const int pitch = w_.pitchBar->value();
    exactRate_.reset(); // a new song: Sync, if on, matches it again
    phasePull_ = 0.0;
    player.SetPitch(pitch);
    if (pitch != 0 || w_.pitchLabel->text() != kPitchInitial)
        w_.pitchLabel->setText(pitchText(pitch, QLocale::system().decimalPoint()));
    player.SetVolume(-w_.volumeBar->value());
    player.SetHeadVolume(headCueOn_ && ctx_.headVolume ? -ctx_.headVolume->value() : kSilent);
    player.SetEqCrossovers(crossovers_.lowHz, crossovers_.highHz);
    for (int band = 0; band < sound::kEqBands; ++band) {
        player.SetEq(band, eqDb_[std::size_t(band)]);
        player.SetEqKill(band, eqKill_[std::size_t(band)]);
    }
    player.SetFilter(filter_);
    player.SetKeyLock(keyLock_);
}

void Deck::setKeyLock(bool on) {
    w_.keyLock->setChecked(on);
    if (on == keyLock_)
        return;
    keyLock_ = on;
    if (player_)
        player_->SetKeyLock(on);
    emit keyLockChanged(on);
}

void Deck::setEq(int band, double dB) {
    if (band < 0 || band >= sound::kEqBands)
        return;
    const float v = dB == dB ? std::clamp(float(dB), sound::kEqKillDb, sound::kEqMaxDb) : 0.0f;
    if (v == eqDb_[std::size_t(band)])
        return;
    eqDb_[std::size_t(band)] = v;
    if (player_)
        player_->SetEq(band, v);
    emit eqChanged(band);
}

void Deck::setEqKill(int band, bool on) {
    if (band < 0 || band >= sound::kEqBands || eqKill_[std::size_t(band)] == on)
        return;
    eqKill_[std::size_t(band)] = on;
    if (player_)
        player_->SetEqKill(band, on);
    emit eqChanged(band);
}

void Deck::setFilter(double value) {
    const float v = value == value ? std::clamp(float(value), -1.0f, 1.0f) : 0.0f;
    if (v == filter_)
        return;
    filter_ = v;
    if (player_)
        player_->SetFilter(v);
    emit filterChanged();
}

double Deck::eq(int band) const {
    return band < 0 || band >= sound::kEqBands ? 0.0 : eqDb_[std::size_t(band)];
}

bool Deck::eqKill(int band) const {
    return band >= 0 && band < sound::kEqBands && eqKill_[std::size_t(band)];
}

double Deck::filter() const {
    return filter_;
}

void Deck::setEqCrossovers(double lowHz, double highHz) {
    crossovers_ = sound::validCrossovers(lowHz, highHz);
    if (player_)
        player_->SetEqCrossovers(crossovers_.lowHz, crossovers_.highHz);
}

sound::PeakReading Deck::takePeak() {
    return player_ ? player_->TakePeak() : sound::PeakReading{};
}

void Deck::cue() {
    if (!player_ || state_ == State::Cued)
        return;
    ++epoch_;
    player_->Stop();
    if (state_ == State::Seeking) {
        // The place searched to becomes the song's cue point.
        const std::int32_t position = w_.seekBar->value();
        if (loadedKey_ && table() && table()->readRecord(*loadedKey_)) {
            if (!storeCuePoint(*loadedKey_, position))
                return; // told the user; the deck stays stopped and searching
        } else {
            sessionCue_ = position;
        }
    } else {
        const std::int64_t point = storedCuePoint().value_or(sessionCue_.value_or(0));
        w_.seekBar->setValue(
            static_cast<int>(std::clamp<std::int64_t>(point, w_.seekBar->minimum(), w_.seekBar->maximum())));
    }
    player_->Seek(w_.seekBar->value());
    setState(State::Cued);
    setLit(w_.cue, true);
    setLit(w_.play, false);
    showTime();
    player_->FillBothHalves();
    player_->Rewind();
    emit cuePointChanged();
}

void Deck::play(Start start) {
    if (!player_)
        return;
    if (state_ == State::Playing) {
        player_->Stop();
        setState(State::Paused);
        setLit(w_.play, false);
        return;
    }
    if (!startInTime(start))
        player_->Play();
    playingSince_ = ++gStartCount;
    setState(State::Playing);
    setLit(w_.play, true);
    setLit(w_.cue, false);
}

void Deck::seekScroll(ScrollCode code) {
    if (!player_)
        return;
    ++epoch_;
    // A deck whose worker has never run (or was held by an earlier event) starts looping what
    // its buffer holds, so the search can be heard; a paused deck with a running worker stays
    // silent until the next event.
    if (player_->WorkerSuspended())
        player_->Play();
    player_->SuspendWorker();
    setState(State::Seeking);
    if (code == EndScroll) {
        player_->Seek(w_.seekBar->value());
        showTime();
        player_->FillBothHalves();
    }
}

void Deck::toggleTime() {
    if (!player_)
        return;
    timeMode_ = timeMode_ == 1 ? 0 : 1;
    if (view_)
        view_->showHeld(); // a text held in the old mode must not follow the new one
    if (player_->SampleRate() > 0)
        w_.timeLabel->setText(QString::fromStdString(player_->FormatTime(timeMode_, player_->BufferTime())));
    player_->SetTimeMode(timeMode_);
}

// --------------------------------------------------------------------------------------------
// mixer side

void Deck::pitchChanged() {
    // A hand on the bar takes the tempo back from Sync.
    if (!settingPitch_) {
        exactRate_.reset();
        if (synced())
            setSynced(false);
    }
    if (!player_)
        return;
    const int pitch = w_.pitchBar->value();
    applyRate();
    w_.pitchLabel->setText(pitchText(pitch, QLocale::system().decimalPoint()));
    showTempo();
    announceTempo(true);
}

void Deck::nudgePressed(int direction) {
    if (!player_)
        return;
    if (exactRate_)
        player_->SetRate(*exactRate_ + (direction > 0 ? kNudgeRatio : -kNudgeRatio));
    else
        player_->SetPitch(w_.pitchBar->value() + (direction > 0 ? 100 : -100));
}

void Deck::nudgeReleased() {
    if (!player_)
        return;
    applyRate();
    keepNudgedPhase();
    if (partner_)
        partner_->keepNudgedPhase();
}

void Deck::zeroPitch() {
    if (!player_)
        return;
    w_.pitchBar->setValue(0);
    applyRate();
}

void Deck::volumeChanged() {
    if (player_)
        player_->SetVolume(-w_.volumeBar->value());
}

void Deck::headCueClicked() {
    if (!player_)
        return;
    if (headCueOn_) {
        player_->SetHeadVolume(kSilent);
        setHeadLamp(false);
    } else {
        player_->SetHeadVolume(ctx_.headVolume ? -ctx_.headVolume->value() : 0);
        setHeadLamp(true);
    }
}

void Deck::headVolumeChanged() {
    if (player_ && headCueOn_ && ctx_.headVolume)
        player_->SetHeadVolume(-ctx_.headVolume->value());
}

void Deck::releasePlayer() {
    if (!player_)
        return;
    // Reports the old worker still has queued belong to a song that is gone.
    ++generation_;
    emit playerGoing();
    player_.reset();
    view_.reset();
    loadedKey_.reset();
    loadedFile_.clear();
    sessionCue_.reset();
    beat_ = {};
    matchPending_ = false;
    emit songChanged();
}

// --------------------------------------------------------------------------------------------
// tempo and beat

void Deck::readBeat() {
    beat_ = {};
    if (loadedKey_ && ctx_.songBeat)
        beat_ = ctx_.songBeat(*loadedKey_);
    if (player_)
        player_->SetAudibleEnd(beat_.audibleEndSeconds
                                   ? static_cast<std::int32_t>(std::lround(*beat_.audibleEndSeconds * 100))
                                   : -1);
    emit beatChanged();
}

void Deck::setGrid(const engine::BeatGrid &grid) {
    beat_.grid = grid;
    keepInSync(TempoChange::OwnSong);
    showTempo();
    announceTempo(false);
    emit beatChanged();
}

void Deck::cueAt(double sourceFrame) {
    if (!player_)
        return;
    ++epoch_;
    player_->Stop();
    player_->JumpTo(sourceFrame);
    setState(State::Cued);
    setLit(w_.cue, true);
    setLit(w_.play, false);
}

void Deck::songAnalysed(std::int64_t key) {
    if (!player_ || loadedKey_ != key)
        return;
    readBeat();
    keepInSync(TempoChange::OwnSong);
    showTempo();
    announceTempo(false);
}

std::optional<double> Deck::heardTempo() const {
    if (!player_ || player_->SampleRate() <= 0 || !beat_.grid)
        return std::nullopt;
    return beat_.grid->bpm * baseRate();
}

double Deck::baseRate() const {
    if (exactRate_)
        return *exactRate_;
    const std::int32_t rate = player_ ? player_->SampleRate() : 0;
    return rate > 0 ? engine::DoublePlayer::FrequencyFor(rate, w_.pitchBar->value()) / double(rate) : 1.0;
}

void Deck::applyRate() {
    if (!player_)
        return;
    if (exactRate_)
        player_->SetRate(*exactRate_ * (1.0 + phasePull_));
    else
        player_->SetPitch(w_.pitchBar->value());
}

void Deck::holdPhase() {
    Deck *other = partner_;
    const bool follows = synced() && exactRate_ && state_ == State::Playing && beat_.grid && other &&
                         other->player_ && other->state_ == State::Playing && other->beat_.grid &&
                         other->player_->MainDevice() == player_->MainDevice() &&
                         !(other->synced() && other->playingSince_ > playingSince_);
    std::optional<double> error;
    double ratio = 1.0;
    engine::PlayingDeck otherDeck;
    if (follows) {
        const auto own = player_->Clock();
        const auto theirs = other->player_->Clock();
        if (own && theirs) {
            ratio = engine::tempoRatio(*heardTempo(), *other->heardTempo());
            otherDeck = engine::PlayingDeck{*theirs, other->player_->SampleRate(), *other->beat_.grid};
            error = engine::phaseError(engine::PlayingDeck{*own, player_->SampleRate(), *beat_.grid},
                                       otherDeck, ratio, phaseOffsetBeats_);
        }
    }
    double pull = 0.0;
    if (error && std::abs(*error) > kRealignSeconds) {
        // Off by more than a pull could mend in time (a jump off the grid): jump to the place in phase
        // nearest to here. The jump is cross-faded and heard from the next period, so nothing stops on air.
        const std::uint64_t next = player_->MainDevice()->framesRendered();
        const auto own = player_->Clock();
        phaseOffsetBeats_ = 0.0;
        if (own) {
            const double here = engine::PlayingDeck{*own, player_->SampleRate(), *beat_.grid}.sourceAt(next);
            player_->JumpTo(
                engine::alignedStartSource(otherDeck, next, *beat_.grid, player_->SampleRate(), here, ratio));
        }
    } else if (error) {
        pull = engine::phaseCorrection(*error);
    }
    if (pull != phasePull_) {
        phasePull_ = pull;
        applyRate();
    }
}

void Deck::keepNudgedPhase() {
    Deck *other = partner_;
    if (!synced() || !player_ || !beat_.grid || !other || !other->player_ || !other->beat_.grid ||
        !heardTempo() || !other->heardTempo())
        return;
    const auto own = player_->Clock();
    const auto theirs = other->player_->Clock();
    if (!own || !theirs)
        return;
    const engine::PlayingDeck ownDeck{*own, player_->SampleRate(), *beat_.grid};
    const double ratio = engine::tempoRatio(*heardTempo(), *other->heardTempo());
    const std::optional<double> error =
        engine::phaseError(ownDeck, {*theirs, other->player_->SampleRate(), *other->beat_.grid}, ratio);
    if (error)
        phaseOffsetBeats_ = *error / (kSecondsPerMinute / beat_.grid->bpm /
                                      (own->rate * sound::kDeviceRate / player_->SampleRate()));
}

void Deck::showTempo() {
    const std::optional<double> bpm = heardTempo();
    w_.bpmLabel->setText(
        bpm ? QString::number(*bpm, 'f', 1).replace(QLatin1Char('.'), QLocale::system().decimalPoint()) +
                  QStringLiteral(" BPM")
            : QString());
}

bool Deck::synced() const {
    return w_.sync->isChecked();
}

void Deck::setSynced(bool on) {
    w_.sync->setChecked(on);
    phaseOffsetBeats_ = 0.0;
    if (!on) {
        matchPending_ = false;
        if (phasePull_ != 0.0) {
            phasePull_ = 0.0;
            applyRate();
        }
    }
}

void Deck::announceTempo(bool byPitchBar) {
    const std::optional<double> heard = heardTempo();
    if (heard == announcedTempo_)
        return;
    announcedTempo_ = heard;
    if (partner_)
        partner_->keepInSync(byPitchBar ? TempoChange::OtherPitch : TempoChange::OtherSong);
}

void Deck::keepInSync(TempoChange change) {
    // Decks synced to each other: the one that follows does not make the other follow back.
    if (!synced() || following_)
        return;
    // Its own tempo is still being analysed: it stays synced and matches once it is known.
    if (!beat_.grid || !player_)
        return;
    following_ = true;
    if (!sounding()) {
        matchPending_ = false;
        if (!matchTempo())
            setSynced(false);
    } else if (change == TempoChange::OwnSong) {
        // Results that arrive on air would jump the tempo the audience hears: they wait.
        matchPending_ = true;
    } else if (!matchPending_ && !matchTempo()) {
        setSynced(false); // the other's tempo moved where this one cannot follow
    }
    following_ = false;
}

bool Deck::matchTempo() {
    const std::optional<double> target = partner_ ? partner_->heardTempo() : std::nullopt;
    if (!target || !beat_.grid || !player_ || player_->SampleRate() <= 0)
        return false;
    const std::optional<double> ratio =
        engine::syncRatio(beat_.grid->bpm, *target, 1.0 + w_.pitchBar->minimum() / 1000.0,
                          1.0 + w_.pitchBar->maximum() / 1000.0);
    if (!ratio)
        return false;
    exactRate_ = *ratio;
    const std::optional<int> pitch = std::clamp(static_cast<int>(std::lround((*ratio - 1.0) * 1000.0)),
                                                w_.pitchBar->minimum(), w_.pitchBar->maximum());
    settingPitch_ = true;
    if (w_.pitchBar->value() == *pitch)
        pitchChanged(); // the bar does not report a move to where it stands; the label must show it
    else
        w_.pitchBar->setValue(*pitch);
    settingPitch_ = false;
    return true;
}

void Deck::syncClicked() {
    if (!synced())
        return; // pressed again: off
    QString why;
    if (!heardTempo())
        why = QStringLiteral("Das Tempo des Songs auf diesem Deck ist nicht bekannt.");
    else if (!partner_ || !partner_->heardTempo())
        why = QStringLiteral("Das Tempo des Songs auf dem anderen Deck ist nicht bekannt.");
    else if (!matchTempo())
        why = QStringLiteral("%1 BPM lassen sich mit dem Pitch (±20 %) nicht erreichen.")
                  .arg(QString::number(*partner_->heardTempo(), 'f', 1));
    if (!why.isEmpty()) {
        setSynced(false);
        message(QStringLiteral("Warnung"), why);
    }
}

bool Deck::startInTime(Start start) {
    Deck *other = partner_;
    if (!other || !other->player_ || other->state_ != State::Playing || !other->beat_.grid ||
        other->player_->SampleRate() <= 0 || player_->SampleRate() <= 0 ||
        other->player_->MainDevice() != player_->MainDevice() || !player_->MainDevice())
        return false;
    const bool align = synced() && heardTempo() && other->heardTempo();
    if (!align && start != Start::OnBeat)
        return false;
    const std::optional<engine::DoublePlayer::PlayClock> otherClock = other->player_->Clock();
    const std::optional<engine::DoublePlayer::PlayClock> own = player_->Clock();
    if (!otherClock || !own)
        return false;
    const engine::PlayingDeck playing{*otherClock, other->player_->SampleRate(), *other->beat_.grid};
    const std::uint64_t earliest = player_->MainDevice()->framesRendered() + kStartLeadFrames;
    const std::int32_t rate = player_->SampleRate();
    if (align) {
        const double ratio = engine::tempoRatio(*heardTempo(), *other->heardTempo());
        phaseOffsetBeats_ = 0.0;
        return player_->PlayAt(earliest, engine::alignedStartSource(playing, earliest, *beat_.grid, rate,
                                                                    own->sourceFrame, ratio));
    }
    // Unsynced: its own next beat (or, without a grid, its first sound) lands on one of the other's.
    double framesToOwnBeat = 0.0;
    if (beat_.grid && beat_.grid->bpm > 0) {
        const double period = kSecondsPerMinute / beat_.grid->bpm * rate;
        const double first = beat_.grid->firstBeatSeconds * rate;
        const double next = first + std::ceil((own->sourceFrame - first) / period) * period;
        const double step = baseRate() * rate / static_cast<double>(sound::kDeviceRate);
        framesToOwnBeat = (next - own->sourceFrame) / step;
    }
    return player_->PlayAt(engine::beatStartFrame(playing, earliest, framesToOwnBeat), own->sourceFrame);
}

// --------------------------------------------------------------------------------------------
// helpers

QString Deck::stateText(State state) {
    switch (state) {
    case State::Loaded:
        return kLoaded;
    case State::Cued:
        return kCued;
    case State::Playing:
        return kPlaying;
    case State::Paused:
        return kPaused;
    case State::Seeking:
        return kSeeking;
    case State::Ended:
        return kEnded;
    case State::Empty:
        break;
    }
    return {};
}

QString Deck::songText() const {
    return w_.songPanel->text();
}

void Deck::setState(State state) {
    state_ = state;
    // Cue and search move the deck: what the worker reported until it was held there (it may have
    // reported while the move began) is not where the deck stands now.
    if (state == State::Cued || state == State::Seeking)
        ++epoch_;
    if (view_)
        view_->followTick(state == State::Playing);
    w_.statePanel->setText(stateText(state));
    if (matchPending_ && !sounding())
        keepInSync(TempoChange::OwnSong);
    emit stateChanged(state);
}

std::optional<std::int64_t> Deck::cuePoint() const {
    if (!player_)
        return std::nullopt;
    if (const std::optional<std::int64_t> stored = storedCuePoint())
        return stored;
    return sessionCue_.value_or(0);
}

void Deck::setLit(QFrame *panel, bool lit) {
    panel->setFrameShape(lit ? QFrame::Box : QFrame::NoFrame);
    panel->setLineWidth(1);
}

void Deck::showTime() {
    w_.timeLabel->setText(QString::fromStdString(player_->FormatTime(timeMode_, 0)));
}

std::optional<std::int64_t> Deck::storedCuePoint() const {
    if (!loadedKey_ || !table())
        return std::nullopt;
    const std::optional<SongRecord> row = table()->readRecord(*loadedKey_);
    if (!row)
        return std::nullopt;
    if (const auto *value = std::get_if<std::int64_t>(&(*row)[kFieldStartzeit]))
        return *value;
    return 0;
}

bool Deck::storeCuePoint(std::int64_t key, std::int32_t position) {
    SongTable &table = *this->table();
    // The cue point belongs to the song on this deck, wherever the library's cursor stands now.
    const std::optional<std::int64_t> current = table.currentKey();
    try {
        if (current != key && !table.gotoKey(key)) {
            sessionCue_ = position; // the row went away meanwhile
            return true;
        }
        table.edit();
        table.setFieldInteger("StartZeit", position);
        table.post();
    } catch (const std::exception &error) {
        if (table.state() == TableState::Edit)
            table.cancel();
        if (current && current != key)
            table.gotoKey(*current);
        message(QStringLiteral("Fehler"), QString::fromStdString(error.what()));
        return false;
    }
    if (current && current != key)
        table.gotoKey(*current);
    return true;
}

void Deck::setHeadLamp(bool on) {
    headCueOn_ = on ? 1 : 0;
    const QString glyph = on ? QStringLiteral("LED_ON") : QStringLiteral("LED_OFF");
    w_.headCue->setIcon(QIcon(QStringLiteral(":/images/") + glyph));
    w_.headCue->setProperty("glyph", glyph);
    w_.headCue->setAccessibleDescription(on ? QStringLiteral("an") : QStringLiteral("aus"));
}

SongTable *Deck::table() const {
    SongTable *table = ctx_.table ? ctx_.table() : nullptr;
    return table && table->active() ? table : nullptr;
}

void Deck::message(const QString &caption, const QString &text) const {
    ::mixora::ui::message(ctx_.window, caption, text);
}

QString Deck::pitchText(int tenthsPercent, const QString &decimalPoint) {
    // Shortest general form with up to 15 significant digits, independent of the C locale.
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, tenthsPercent * 0.1, std::chars_format::general, 15);
    QString text = QString::fromLatin1(buffer, static_cast<int>(result.ptr - buffer));
    text.replace(QLatin1Char('.'), decimalPoint);
    return text + QLatin1Char('%');
}

} // namespace mixora::app
