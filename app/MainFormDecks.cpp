#include "app/MainFormDecks.h"

#include "analysis/UserGrid.h"
#include "app/DeckTempo.h"
#include "app/MainForm.h"
#include "app/MainFormLayout.h"
#include "app/QuietDisplay.h"
#include "library/Datamod.h"
#include "scan/AnalysisService.h"
#include "settings/IniFile.h"
#include "util/UiSeam.h"

#include <QAction>
#include <QBoxLayout>
#include <QDir>
#include <QMenu>

namespace mixora::app {

namespace {

DeckContext windowContext(TFormMixora &w, DeckSide side) {
    const bool left = side == DeckSide::Links;
    DeckContext c;
    c.window = &w;
    c.table = [&w]() -> SongTable * { return w.DataModule1 ? &w.DataModule1->Table1 : nullptr; };
    c.mainDevice = [&w]() -> sound::Device * { return w.AuxDevice ? w.AuxDevice->device.get() : nullptr; };
    c.headDevice = [&w]() -> sound::Device * { return w.HeadDevice ? w.HeadDevice->device.get() : nullptr; };
    c.autoCue = w.ui.cbAutoCue;
    c.headVolume = w.ui.SBVolume_Head;
    c.reportLoadError = [&w](int code) { w.ReportLoadError(code); };
    c.songLoaded = [&w](std::int64_t key) {
        if (w.Analysis)
            w.Analysis->songLoaded(key);
    };
    c.songBeat = [&w](std::int64_t key) {
        SongBeat beat;
        if (!w.Analysis)
            return beat;
        std::optional<mixora::analysis::Result> result;
        std::optional<engine::BeatGrid> own;
        try {
            // The store may not have met this data.db yet (the first load after start-up).
            w.Analysis->store().attach();
            result = w.Analysis->store().load(key);
            if (w.DataModule1 && w.DataModule1->Table1.active())
                own = analysis::UserGrid(w.DataModule1->Table1).load(key);
        } catch (const std::exception &) {
            return beat; // an unreadable result is an unknown beat; playing goes on
        }
        if (result)
            beat.audibleEndSeconds = result->audibleEndSeconds;
        if (own) { // the DJ's grid wins over the analysis
            beat.grid = own;
            return beat;
        }
        if (!result)
            return beat;
        std::optional<engine::BeatGrid> analysed;
        if (result->bpm && result->firstBeatSeconds && *result->bpm > 0)
            analysed = engine::BeatGrid{*result->bpm, *result->firstBeatSeconds};
        // The row's "Beats" may hold the DJ's correction of the analysed tempo.
        std::optional<std::int64_t> rowBeats;
        if (w.DataModule1 && w.DataModule1->Table1.active())
            if (const std::optional<SongRecord> row = w.DataModule1->Table1.readRecord(key))
                if (const auto *value = std::get_if<std::int64_t>(&(*row)[kFieldBeats]))
                    rowBeats = *value;
        beat.grid = deckGrid(analysed, result->audibleStartSeconds, rowBeats);
        return beat;
    };
    c.player = left ? &w.PlayerLinks : &w.PlayerRechts;
    c.timeMode = left ? &w.TimeModeLinks : &w.TimeModeRechts;
    c.headCueOn = left ? &w.HeadCueOnLinks : &w.HeadCueOnRechts;
    return c;
}

// Results through the analysis store; none for a table that has no results table yet.
DeckAnalysis::LoadFn storedResults(TFormMixora &w) {
    return [&w](std::int64_t index) -> std::optional<analysis::Result> {
        if (!w.DataModule1 || !w.DataModule1->Table1.active())
            return std::nullopt;
        try {
            return w.Analysis ? w.Analysis->store().load(index)
                              : analysis::Store(w.DataModule1->Table1).load(index);
        } catch (const std::exception &) {
            return std::nullopt;
        }
    };
}

std::function<SongTable *()> tableOf(TFormMixora &w) {
    return [&w]() -> SongTable * { return w.DataModule1 ? &w.DataModule1->Table1 : nullptr; };
}

std::filesystem::path iniFile(const TFormMixora &w) {
    const QString dir = w.ProgramDir.isEmpty() ? QDir::currentPath() : w.ProgramDir;
    return std::filesystem::path(dir.toStdString()) / "kelox.ini";
}

// The EQ's crossovers, "[EQ] Tief=250" and "Hoch=2500"; a value that is no number, out of range or
// out of order gives both defaults.
sound::EqCrossovers readEqCrossovers(const std::filesystem::path &file) {
    try {
        const settings::IniFile ini(file);
        auto number = [&](const char *key, float fallback) {
            const std::string text = ini.readString("EQ", key);
            if (text.empty())
                return double(fallback);
            try {
                std::size_t used = 0;
                const double v = std::stod(text, &used);
                return used == text.size() ? v : -1.0;
            } catch (const std::exception &) {
                return -1.0;
            }
        };
        return sound::validCrossovers(number("Tief", sound::kEqLowCrossoverHz),
                                      number("Hoch", sound::kEqHighCrossoverHz));
    } catch (const settings::IniError &) {
        return {};
    }
}

// Key lock per deck, "[KeyLock] Links=1"; an entry that is missing (an older file) reads as off.
constexpr char kKeyLockSection[] = "KeyLock";

const char *keyLockKey(const Deck &deck) {
    return deck.side() == DeckSide::Links ? "Links" : "Rechts";
}

bool readKeyLock(const std::filesystem::path &file, const Deck &deck) {
    try {
        return settings::IniFile(file).readString(kKeyLockSection, keyLockKey(deck), "0") == "1";
    } catch (const settings::IniError &) {
        return false;
    }
}

} // namespace

WindowDecks::WindowDecks(TFormMixora &window)
    : Links(DeckSide::Links, DeckWidgets::find(&window, DeckSide::Links),
            windowContext(window, DeckSide::Links)),
      Rechts(DeckSide::Rechts, DeckWidgets::find(&window, DeckSide::Rechts),
             windowContext(window, DeckSide::Rechts)),
      mixer(MixerWidgets::find(&window), Links, Rechts), linksAnalysis(Links, storedResults(window)),
      rechtsAnalysis(Rechts, storedResults(window)), linksCues(Links, tableOf(window)),
      rechtsCues(Rechts, tableOf(window)),
      mix(window, Links, Rechts,
          [&window] {
              return window.AuxDevice ? window.AuxDevice->device->takeOutputPeak() : sound::PeakReading{};
          }),
      window_(window), autoGainSettings_(AutoGainSettings::read(iniFile(window))) {
    static_assert(WindowMix::kMeterIntervalMs == Deck::kTickMs);
    tick_.setInterval(Deck::kTickMs);
    Links.followTick(tick_);
    Rechts.followTick(tick_);
    mix.followTick(tick_);
    tick_.start();
    for (Deck *deck : {&Links, &Rechts}) {
        keepLabelOffBar(deck->widgets().timeLabel, deck->widgets().seekBar);
        keepPanelOpaque(deck->widgets().seekBar->parentWidget());
        keepBarOpaque(deck->widgets().seekBar);
    }
    window.windowLayout().addStrip(linksAnalysis.strip());
    window.windowLayout().addStrip(rechtsAnalysis.strip());
    DeckCuePanel **panels[] = {&linksPanel, &rechtsPanel};
    DeckCues *cues[] = {&linksCues, &rechtsCues};
    DeckMixControls *rows[] = {&mix.links, &mix.rechts};
    DeckAnalysis *analyses[] = {&linksAnalysis, &rechtsAnalysis};
    Deck *decks[] = {&Links, &Rechts};
    for (int i = 0; i < 2; ++i) {
        QFrame *row = rows[i]->row();
        *panels[i] = new DeckCuePanel(*decks[i], *cues[i], row);
        if (auto *line = qobject_cast<QBoxLayout *>(row->layout()))
            line->insertWidget(1, *panels[i], 4); // the row's room goes to the buttons
        showCuesOnStrip(*decks[i], *cues[i], *analyses[i]->strip());
    }
    window.windowLayout().setRowParts(
        mix.links.row()->findChild<QWidget *>(QStringLiteral("Mix_Links")), linksPanel,
        mix.rechts.row()->findChild<QWidget *>(QStringLiteral("Mix_Rechts")), rechtsPanel);
    Links.setPartner(&Rechts);
    Rechts.setPartner(&Links);
    const sound::EqCrossovers crossovers = readEqCrossovers(iniFile(window));
    for (Deck *deck : {&Links, &Rechts}) {
        deck->setEqCrossovers(crossovers.lowHz, crossovers.highHz);
        deck->setKeyLock(readKeyLock(iniFile(window), *deck));
        QObject::connect(deck, &Deck::keyLockChanged, deck, [this, deck](bool on) {
            try {
                settings::IniFile(iniFile(window_))
                    .writeString(kKeyLockSection, keyLockKey(*deck), on ? "1" : "0");
            } catch (const settings::IniError &e) {
                ::mixora::ui::message(
                    &window_, QStringLiteral("Fehler"),
                    QStringLiteral("Die Einstellung Key Lock kann nicht gespeichert werden: %1")
                        .arg(QString::fromUtf8(e.what())));
            }
        });
    }
    autoGain = window.ui.Einstellungen1->addAction(QStringLiteral("&Auto-Gain"));
    autoGain->setObjectName(QStringLiteral("AutoGain"));
    autoGain->setCheckable(true);
    autoGain->setChecked(autoGainSettings_.on);
    QObject::connect(autoGain, &QAction::toggled, &Links, [this](bool on) { setAutoGain(on); });
    for (DeckAnalysis *deck : {&linksAnalysis, &rechtsAnalysis})
        deck->setAutoGain(autoGainSettings_.on, autoGainSettings_.referenceLufs);
    if (window.Analysis)
        QObject::connect(window.Analysis, &AnalysisService::songFinished, &Links,
                         [this](qint64 index, bool stored) {
                             linksAnalysis.resultsStored(index);
                             rechtsAnalysis.resultsStored(index);
                             if (stored) {
                                 Links.songAnalysed(index);
                                 Rechts.songAnalysed(index);
                             }
                         });
}

void WindowDecks::setAutoGain(bool on) {
    autoGainSettings_.on = on;
    for (DeckAnalysis *deck : {&linksAnalysis, &rechtsAnalysis})
        deck->setAutoGain(on, autoGainSettings_.referenceLufs);
    try {
        AutoGainSettings::writeOn(iniFile(window_), on);
    } catch (const settings::IniError &e) {
        ::mixora::ui::message(&window_, QStringLiteral("Fehler"),
                              QStringLiteral("Die Einstellung Auto-Gain kann nicht gespeichert werden: %1")
                                  .arg(QString::fromUtf8(e.what())));
    }
}

} // namespace mixora::app
