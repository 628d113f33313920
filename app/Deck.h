// One deck of the main window: its transport (load, cue, play/pause, seek, time mode), its pitch,
// nudge and volume controls and its headphone switch, driving the deck's DoublePlayer. Both decks
// are instances of this class over their own controls, so no per-deck code is duplicated.
//
// The deck's state is kept here and shown as its word in panel 0 of its status bar; every handler
// decides by the state, never by the label.
// The player reports into the deck (DeckView): on the window thread the controls change at once;
// from the worker the report is posted to the window thread without waiting, and dropped when it
// belongs to a player that has been replaced or to a position the user has moved away from since.
//
// Never does: wait for the worker outside the player's destruction, or call into the player from
// a report.
#pragma once

#include "engine/BeatSync.h"
#include "engine/DoublePlayer.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QAbstractButton;
class QFrame;
class QLabel;
class QScrollBar;
class QTimer;
class QWidget;

namespace mixora {
class SongTable;
namespace sound {
class Device;
}
} // namespace mixora

namespace mixora::app {

enum class DeckSide { Links, Rechts };

// The controls of one deck, found by their names in the main window.
struct DeckWidgets {
    QAbstractButton *load = nullptr;       // LoadDB_*
    QAbstractButton *time = nullptr;       // btTime_*
    QLabel *pitchLabel = nullptr;          // lbPitch_*
    QLabel *timeLabel = nullptr;           // LabelZeit*
    QScrollBar *seekBar = nullptr;         // sBarSeek*
    QAbstractButton *minusSpeed = nullptr; // SBtMinusSpeed*
    QAbstractButton *plusSpeed = nullptr;  // SBtPlusSpeed*
    QScrollBar *pitchBar = nullptr;        // SBarPitch*
    QAbstractButton *zero = nullptr;       // Speedzero_Links / SpeedZero_Rechts
    QFrame *cue = nullptr;                 // Cue_*
    QFrame *play = nullptr;                // Play_*
    QWidget *playImage = nullptr;          // Image1 / Image2, the symbol on the play panel
    QLabel *statePanel = nullptr;          // panel 0 of StatusBar_*
    QLabel *songPanel = nullptr;           // panel 1 of StatusBar_*
    QScrollBar *volumeBar = nullptr;       // SBVolume_*
    QAbstractButton *headCue = nullptr;    // SBHeadCue*
    QLabel *bpmLabel = nullptr;            // lbBpm_*, the tempo heard
    QAbstractButton *sync = nullptr;       // btSync_*
    QAbstractButton *keyLock = nullptr;    // btKeyLock_*

    // Throws std::logic_error naming the first control that is missing.
    static DeckWidgets find(QWidget *root, DeckSide side);
};

// What the library knows of a song's beat: its grid and where its sound ends.
struct SongBeat {
    std::optional<engine::BeatGrid> grid;
    std::optional<double> audibleEndSeconds;
};

// What a deck needs from the window besides its own controls.
struct DeckContext {
    QWidget *window = nullptr;                   // parent of the deck's messages
    std::function<SongTable *()> table;          // the library; null when it is absent or closed
    std::function<sound::Device *()> mainDevice; // null when no main output is set up
    std::function<sound::Device *()> headDevice; // null when there is no headphone output
    QAbstractButton *autoCue = nullptr;          // "Autocue"
    QScrollBar *headVolume = nullptr;            // SBVolume_Head
    // Open's results other than 0 and 2 (the window's load-error report).
    std::function<void(int code)> reportLoadError;
    // A library row's song was loaded (its analysis, when missing, starts at once).
    std::function<void(std::int64_t key)> songLoaded;
    // The stored analysis of a library row; unset or empty: the song's beat is unknown.
    std::function<SongBeat(std::int64_t key)> songBeat;
    // Where the window keeps the deck's player, time mode and headphone flag; unset: the deck
    // keeps them itself. The window may destroy the player (at close) before the deck.
    std::unique_ptr<engine::DoublePlayer> *player = nullptr;
    std::int32_t *timeMode = nullptr;
    std::int32_t *headCueOn = nullptr;
};

class Deck : public QObject {
    Q_OBJECT

public:
    // Scroll events of the seek bar, as the bar reports them.
    enum ScrollCode { LineUp, LineDown, PageUp, PageDown, ThumbPosition, ThumbTrack, Top, Bottom, EndScroll };

    static constexpr int kSilent = -10000;
    static constexpr int kTickMs = 50; // Sync's look at both clocks
    // A playing deck's time and seek bar show the worker's newest report every third tick (6.7 times a
    // second; the worker reports 7.7 times): decks that follow one tick repaint together.
    static constexpr int kDisplayTicks = 3;
    // Empty until the first song is loaded (the panel shows nothing).
    enum class State { Empty, Loaded, Cued, Playing, Paused, Seeking, Ended };
    // The state words as the panel shows them.
    static inline const QString kLoaded = QStringLiteral("loaded");
    static inline const QString kCued = QStringLiteral("cued");
    static inline const QString kPlaying = QStringLiteral("playing");
    static inline const QString kPaused = QStringLiteral("paused");
    static inline const QString kSeeking = QStringLiteral("seeking");
    static inline const QString kEnded = QStringLiteral("ended");

    // Connects the controls' signals to this deck.
    Deck(DeckSide side, const DeckWidgets &widgets, DeckContext context, QObject *parent = nullptr);
    ~Deck() override;

    // --- transport
    // The library's current row ("Laden"). Refused silently while playing or seeking, with a
    // message when there is no main output device or no current row.
    void load();
    // A file that need not be in the library (a playlist entry); its cue point lives only as long
    // as it stays loaded. songText is shown in panel 1 (the file's name when empty).
    // True when the file was loaded.
    bool loadFile(const QString &path, const QString &songText = {});
    void cue();
    // How a start meets the other deck when that one plays an analysed song: a synced deck always
    // lands its beats on the other's; OnBeat (auto-play) also starts an unsynced deck on a beat.
    enum class Start { Plain, OnBeat };
    void play(Start start = Start::Plain); // play/pause
    void seekScroll(ScrollCode code);
    void toggleTime();

    // --- mixer side of the deck
    void pitchChanged();              // the pitch bar's position changed
    void nudgePressed(int direction); // +1 "+", -1 "-"
    void nudgeReleased();
    void zeroPitch();
    void volumeChanged();     // the volume bar's position changed
    void headCueClicked();    // the lamp button
    void headVolumeChanged(); // SBVolume_Head moved
    // "Sync": on, matches this deck's tempo to the other deck's (a message when it cannot); off
    // again at the next press or when the pitch bar is moved by hand.
    void syncClicked();
    bool synced() const;
    // The song's tempo as heard (pitch bar or Sync's exact rate, not nudges); none without a player or
    // known tempo.
    std::optional<double> heardTempo() const;
    // The playback ratio (frequency over the song's rate) the deck is heard at, nudges and phase pulls
    // aside: Sync's exact one, else the pitch bar's step.
    double baseRate() const;
    // Sync's periodic look at both clocks (a timer calls it every 50 ms): pulls this deck's beats onto
    // the other's, or, far off after a jump, starts it again in phase. The deck that plays first leads
    // when both are synced.
    void holdPhase();
    // The deck's 50 ms tick (Sync's look, the display of what the worker reported) follows another
    // timer from now on: a window ticks both decks and its meters at once, so they wake it once and
    // repaint together.
    void followTick(QTimer &tick);
    // The analysis of a library row was stored: the deck that holds that song shows its tempo.
    void songAnalysed(std::int64_t key);
    // The beat grid the deck plays by (the analysis', or the DJ's); none when the tempo is unknown.
    const std::optional<engine::BeatGrid> &grid() const { return beat_.grid; }
    // The DJ corrected the grid (already stored where it is kept).
    void setGrid(const engine::BeatGrid &grid);
    // Stops the deck and cues it at a sample of the stream (a hot cue), lamps as after "Cue".
    void cueAt(double sourceFrame);
    void setPartner(Deck *other) { partner_ = other; }
    // "Key Lock": the pitch bar (and Sync) change the tempo, the key stays. Kept for every song loaded.
    void setKeyLock(bool on);
    bool keyLock() const { return keyLock_; }

    // --- EQ and filter (kept here, so every song loaded gets them; the headphone copy too)
    // band sound::kEqLow … kEqHigh ("Tief", "Mitte", "Hoch"); dB sound::kEqKillDb (the band gone) …
    // sound::kEqMaxDb, clamped; NaN counts as 0 dB. filter −1 (low-pass) … 0 (off) … 1 (high-pass).
    void setEq(int band, double dB);
    void setEqKill(int band, bool on);
    void setFilter(double value);
    double eq(int band) const;
    bool eqKill(int band) const;
    double filter() const;
    // Crossovers from "kelox.ini" (sound::validCrossovers applies).
    void setEqCrossovers(double lowHz, double highHz);
    sound::EqCrossovers eqCrossovers() const { return crossovers_; }
    // The deck's level meter (after EQ and filter, before the volume): the peak since the previous
    // call; nothing without a player.
    sound::PeakReading takePeak();

    // Destroys the player (before the devices go away at close). The deck then holds no song.
    void releasePlayer();

    // --- state
    DeckSide side() const { return side_; }
    const DeckWidgets &widgets() const { return w_; }
    State state() const { return state_; }
    QString stateWord() const { return stateText(state_); }
    static QString stateText(State state);
    // Playing or seeking: its buffer is heard, so it takes no other song and no level jump.
    bool sounding() const { return state_ == State::Playing || state_ == State::Seeking; }
    QString songText() const;
    bool hasPlayer() const { return player_ != nullptr; }
    engine::DoublePlayer *player() const { return player_.get(); }
    int timeMode() const { return timeMode_; }
    bool headCueOn() const { return headCueOn_; }
    // "Index" of the library row the song was loaded from; none for a file outside it.
    std::optional<std::int64_t> loadedKey() const { return loadedKey_; }
    QString loadedFile() const { return loadedFile_; }

    // "1.5%" or "1,5%": tenths of a percent as a shortest general number with the given separator.
    static QString pitchText(int tenthsPercent, const QString &decimalPoint);

    // The loaded song's cue point (its row's "StartZeit", or the one set for this load); none
    // without a song.
    std::optional<std::int64_t> cuePoint() const;

signals:
    // Another song was loaded, or the deck's song is gone.
    void songChanged();
    void cuePointChanged();
    void stateChanged(mixora::app::Deck::State state);
    // The player is about to be destroyed (whoever holds its address lets go now).
    void playerGoing();
    // An EQ band's knob or kill switch, or the filter, changed (by any caller).
    void eqChanged(int band);
    void filterChanged();
    void keyLockChanged(bool on);
    // The deck's beat grid changed (a song, its analysis, or the DJ's edit).
    void beatChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    class View;
    struct Song {
        QString fileName;
        QString display;
        std::optional<std::int64_t> key;
        std::int64_t startZeit = 0;
    };

    bool loadSong(const Song &song);
    void setState(State state);
    void setLit(QFrame *panel, bool lit);
    void showTime();
    void applyMixTo(engine::DoublePlayer &player);
    std::optional<std::int64_t> storedCuePoint() const;
    bool storeCuePoint(std::int64_t key, std::int32_t position);
    void setHeadLamp(bool on);
    void readBeat();
    void showTempo();
    bool matchTempo();
    void setSynced(bool on);
    // Why the tempo a synced deck has to match may have changed.
    enum class TempoChange { OwnSong, OtherPitch, OtherSong };
    // The one place a synced deck keeps to the other deck's heard tempo.
    void keepInSync(TempoChange change);
    // Tells the other deck when the tempo heard here changed.
    void announceTempo(bool byPitchBar);
    // Gives the player the base rate, with the phase pull while Sync holds the beats.
    void applyRate();
    // A nudge on either deck sets where the beats are held: the offset the DJ left them at.
    void keepNudgedPhase();
    bool startInTime(Start start);
    void message(const QString &caption, const QString &text) const;
    SongTable *table() const;

    DeckSide side_;
    DeckWidgets w_;
    State state_ = State::Empty;
    DeckContext ctx_;
    std::unique_ptr<View> view_;
    std::unique_ptr<engine::DoublePlayer> ownPlayer_;
    std::int32_t ownTimeMode_ = 1;
    std::int32_t ownHeadCueOn_ = 0;
    // The window's state when it keeps it, else the deck's own.
    std::unique_ptr<engine::DoublePlayer> &player_;
    std::int32_t &timeMode_;
    std::int32_t &headCueOn_;
    std::optional<std::int64_t> loadedKey_;
    QString loadedFile_;
    // Cue point of a song without a library row (or whose row was deleted), for this load only.
    std::optional<std::int32_t> sessionCue_;
    SongBeat beat_;
    Deck *partner_ = nullptr;
    bool settingPitch_ = false; // the pitch bar moves for Sync, not by hand
    std::array<float, sound::kEqBands> eqDb_{};
    std::array<bool, sound::kEqBands> eqKill_{};
    float filter_ = 0.0f;
    bool keyLock_ = false;
    // Sync's rate, exact (the bar shows its nearest step); none: the bar's step is the rate.
    std::optional<double> exactRate_;
    double phasePull_ = 0.0;         // rate correction (ratio − 1) pulling the beats in
    double phaseOffsetBeats_ = 0.0;  // where the beats are held, as the DJ nudged them
    std::uint64_t playingSince_ = 0; // order of the starts of the two decks (0: not playing)
    QTimer *syncTimer_ = nullptr;
    int ticks_ = 0; // since following the tick
    sound::EqCrossovers crossovers_;
    bool following_ = false;
    bool matchPending_ = false; // analysed on air: the match waits until the deck is silent
    std::optional<double> announcedTempo_;
    // A new player, and every move of the user's (cue, seek), makes reports posted before it stale.
    std::atomic<std::uint32_t> generation_{0};
    std::atomic<std::uint32_t> epoch_{0};
};

} // namespace mixora::app
