#include "app/MainFormDecks.h"

#include "app/MainForm.h"
#include "library/Datamod.h"

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
      mixer(MixerWidgets::find(&window), Links, Rechts), window_(window) {
    window_.DeckSet = this;
}

WindowDecks::~WindowDecks() {
    if (window_.DeckSet == this)
        window_.DeckSet = nullptr;
}

// The window's deck and mixer handlers, for callers that go through the window; each does
// nothing once the decks are gone.
#define MIXORA_DECK_HANDLER(handler, call)                                                                   \
    void TFormMixora::handler() {                                                                            \
        if (DeckSet)                                                                                         \
            DeckSet->call;                                                                                   \
    }

MIXORA_DECK_HANDLER(LoadDB_LinksClick, Links.load())
MIXORA_DECK_HANDLER(LoadDB_RechtsClick, Rechts.load())
MIXORA_DECK_HANDLER(Cue_LinksMouseDown, Links.cue())
MIXORA_DECK_HANDLER(Cue_RechtsMouseDown, Rechts.cue())
MIXORA_DECK_HANDLER(Play_LinksMouseDown, Links.play())
MIXORA_DECK_HANDLER(Play_RechtsMouseDown, Rechts.play())
MIXORA_DECK_HANDLER(btTime_LinksClick, Links.toggleTime())
MIXORA_DECK_HANDLER(btTime_RechtsClick, Rechts.toggleTime())
MIXORA_DECK_HANDLER(SBarPitchLinksChange, Links.pitchChanged())
MIXORA_DECK_HANDLER(SBarPitchRechtsChange, Rechts.pitchChanged())
MIXORA_DECK_HANDLER(SBtPlusSpeedLinksMouseDown, Links.nudgePressed(1))
MIXORA_DECK_HANDLER(SBtPlusSpeedRechtsMouseDown, Rechts.nudgePressed(1))
MIXORA_DECK_HANDLER(SBtPlusSpeedLinksMouseUp, Links.nudgeReleased())
MIXORA_DECK_HANDLER(SBtPlusSpeedRechtsMouseUp, Rechts.nudgeReleased())
MIXORA_DECK_HANDLER(SBtMinusSpeedLinksMouseDown, Links.nudgePressed(-1))
MIXORA_DECK_HANDLER(SBtMinusSpeedRechtsMouseDown, Rechts.nudgePressed(-1))
MIXORA_DECK_HANDLER(SBtMinusSpeedLinksMouseUp, Links.nudgeReleased())
MIXORA_DECK_HANDLER(SBtMinusSpeedRechtsMouseUp, Rechts.nudgeReleased())
MIXORA_DECK_HANDLER(Speedzero_LinksMouseDown, Links.zeroPitch())
MIXORA_DECK_HANDLER(Speedzero_RechtsMouseDown, Rechts.zeroPitch())
MIXORA_DECK_HANDLER(SBVolume_LinksChange, Links.volumeChanged())
MIXORA_DECK_HANDLER(SBVolume_RechtsChange, Rechts.volumeChanged())
MIXORA_DECK_HANDLER(sbFaderChange, mixer.faderChanged())
MIXORA_DECK_HANDLER(SpeedButton7MouseDown, mixer.throwFader(-1))
MIXORA_DECK_HANDLER(SpeedButton7MouseUp, mixer.throwFader(0))
MIXORA_DECK_HANDLER(SpeedButton9MouseDown, mixer.throwFader(1))
MIXORA_DECK_HANDLER(SpeedButton9MouseUp, mixer.throwFader(0))
MIXORA_DECK_HANDLER(SpeedButton8Click, mixer.throwFader(0))
MIXORA_DECK_HANDLER(SBHeadCueLinksMouseDown, Links.headCueClicked())
MIXORA_DECK_HANDLER(SBHeadCueRechtsMouseDown, Rechts.headCueClicked())
MIXORA_DECK_HANDLER(SBVolume_HeadChange, mixer.headVolumeChanged())

#undef MIXORA_DECK_HANDLER

void TFormMixora::sBarSeekLinksScroll(int scrollCode) {
    if (DeckSet)
        DeckSet->Links.seekScroll(static_cast<Deck::ScrollCode>(scrollCode));
}

void TFormMixora::sBarSeekRechtsScroll(int scrollCode) {
    if (DeckSet)
        DeckSet->Rechts.seekScroll(static_cast<Deck::ScrollCode>(scrollCode));
}

} // namespace mixora::app
