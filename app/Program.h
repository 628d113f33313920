// The program's windows and modules, created once in a fixed order and living until the end:
// the main window first, then the device dialog, the data module, the playlist, editor,
// scan and progress windows and the about box.
#pragma once

#include <QStringList>

#include <memory>

class AnalysisService;
class TFormPlayList;
class TFormDatenBearbeiten;
class TFormScan;
class TFormProgress;

namespace mixora {
class TDataModule1;
namespace settings {
class TDlgGeraete;
}
namespace library {
class TableCursor;
}
namespace playlist {
class PlaylistWiring;
} // namespace playlist
} // namespace mixora

namespace mixora::app {

class TFormMixora;
class TAboutBox;
class WindowDecks;
class Controllers;

class Program {
public:
    Program();
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    TFormMixora &FormMixora() { return *formMixora_; }
    settings::TDlgGeraete &DlgGeraete() { return *dlgGeraete_; }
    TDataModule1 &DataModule1() { return *dataModule1_; }
    TFormPlayList &FormPlayList() { return *formPlayList_; }
    TFormDatenBearbeiten &FormDatenBearbeiten() { return *formDatenBearbeiten_; }
    TFormScan &FormScan() { return *formScan_; }
    TFormProgress &FormProgress() { return *formProgress_; }
    TAboutBox &AboutBox() { return *aboutBox_; }
    WindowDecks &Decks() { return *decks_; }

    // Files from the command line or from a later start: songs go to the decks that are not
    // playing, left first, and the rest into the playlist; ".mxp" and ".m3u" files open as the
    // playlist. Paths must be absolute. With no files the main window is only brought forward.
    void openFiles(const QStringList &files);

private:
    std::unique_ptr<TFormMixora> formMixora_;
    std::unique_ptr<settings::TDlgGeraete> dlgGeraete_;
    std::unique_ptr<TDataModule1> dataModule1_;
    std::unique_ptr<library::TableCursor> songCursor_;
    std::unique_ptr<TFormPlayList> formPlayList_;
    std::unique_ptr<TFormDatenBearbeiten> formDatenBearbeiten_;
    std::unique_ptr<TFormScan> formScan_;
    std::unique_ptr<TFormProgress> formProgress_;
    std::unique_ptr<TAboutBox> aboutBox_;
    std::unique_ptr<WindowDecks> decks_;
    std::unique_ptr<Controllers> controllers_;
    std::unique_ptr<playlist::PlaylistWiring> playlistWiring_;
    std::unique_ptr<AnalysisService> analysis_;
};

} // namespace mixora::app
