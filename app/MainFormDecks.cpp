#include "app/MainFormDecks.h"

#include "app/MainForm.h"
#include "library/Datamod.h"
#include "scan/AnalysisService.h"

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
        try {
            // The store may not have met this data.db yet (the first load after start-up).
            w.Analysis->store().attach();
            result = w.Analysis->store().load(key);
        } catch (const std::exception &) {
            return beat; // an unreadable result is an unknown beat; playing goes on
        }
        if (!result)
            return beat;
        if (result->bpm && result->firstBeatSeconds && *result->bpm > 0)
            beat.grid = engine::BeatGrid{*result->bpm, *result->firstBeatSeconds};
        beat.audibleEndSeconds = result->audibleEndSeconds;
        return beat;
    };
    c.player = left ? &w.PlayerLinks : &w.PlayerRechts;
    c.timeMode = left ? &w.TimeModeLinks : &w.TimeModeRechts;
    c.headCueOn = left ? &w.HeadCueOnLinks : &w.HeadCueOnRechts;
    return c;
}

} // namespace

WindowDecks::WindowDecks(TFormMixora &window)
    : Links(DeckSide::Links, DeckWidgets::find(&window, DeckSide::Links),
            windowContext(window, DeckSide::Links)),
      Rechts(DeckSide::Rechts, DeckWidgets::find(&window, DeckSide::Rechts),
             windowContext(window, DeckSide::Rechts)),
      mixer(MixerWidgets::find(&window), Links, Rechts) {
    Links.setPartner(&Rechts);
    Rechts.setPartner(&Links);
    if (window.Analysis) {
        QObject::connect(window.Analysis, &AnalysisService::songFinished, &Links,
                         [this](qint64 key, bool stored) {
                             if (stored) {
                                 Links.songAnalysed(key);
                                 Rechts.songAnalysed(key);
                             }
                         });
    }
}

} // namespace mixora::app
