// The main window: both decks, the library search panel and grid, the mixer strips and the
// menus. This file's source (MainForm.cpp) holds the window's life cycle (start-up,
// activation, closing) and menus; the decks and the mixer (MainFormDecks) connect their own
// controls, and the search and auto-play handlers live in their own source files.
#pragma once

#include "engine/DSBasicObject.h"
#include "engine/DoublePlayer.h"
#include "ui_MainForm.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>

class QAbstractButton;
class QLabel;
class QStatusBar;
class AnalysisService;
class TFormScan;
class TFormProgress;
class TFormPlayList;
class TFormDatenBearbeiten;

namespace mixora {
class TDataModule1;
class SongTableModel;
namespace settings {
class TDlgGeraete;
}
} // namespace mixora

namespace mixora::app {

class TAboutBox;
class WindowLayout;

class TFormMixora : public QMainWindow {
    Q_OBJECT

public:
    explicit TFormMixora(QWidget *parent = nullptr);
    ~TFormMixora() override;

    // Every control of the layout, by its name.
    Ui::TFormMixora ui;

    // Panel `index` (0: state word, 1: song) of a deck's status bar.
    static QLabel *StatusPanel(QStatusBar *bar, int index);
    // Loads a button's glyph from a lamp resource ("LED_ON", "LED_OFF"); GlyphOf tells which
    // one a button shows.
    static void LoadGlyph(QAbstractButton *button, const QString &resource);
    static QString GlyphOf(const QAbstractButton *button);
    // The one text field of the library's status bar.
    QLabel *StatusBarDataText() const { return statusBarDataText_; }

    // The other windows and the data module, set by whoever creates them (Program) before
    // the main window is first shown. Any may be absent in tests that do not need it.
    void SetDataModule(TDataModule1 *dataModule);
    settings::TDlgGeraete *DlgGeraete = nullptr;
    TDataModule1 *DataModule1 = nullptr;
    TFormPlayList *FormPlayList = nullptr;
    TFormDatenBearbeiten *FormDatenBearbeiten = nullptr;
    TFormScan *FormScan = nullptr;
    TAboutBox *AboutBox = nullptr;
    AnalysisService *Analysis = nullptr; // analyses the songs the decks load
    SongTableModel *GridModel() const { return gridModel_.get(); }
    // Where the controls stand at the window's present size.
    WindowLayout &windowLayout() const { return *windowLayout_; }

    // Whether a main output device is open; without one nothing can be played.
    bool hasMainDevice() const { return AuxDevice != nullptr; }
    // Load-error report of a deck player's Open: 1 means no position notification.
    void ReportLoadError(int code);

    // Start-up, activation and closing; called from the window's events.
    void FormShow();
    void FormActivate();
    void FormClose();
    bool Shown() const { return shown_; }

    QString ProgramDir;
    std::unique_ptr<DSBasicObject> AuxDevice;
    std::unique_ptr<DSBasicObject> HeadDevice;
    std::unique_ptr<engine::DoublePlayer> PlayerLinks;
    std::unique_ptr<engine::DoublePlayer> PlayerRechts;
    std::int32_t TimeModeLinks = 1;
    std::int32_t TimeModeRechts = 1;
    std::int32_t HeadCueOnLinks = 0;
    std::int32_t HeadCueOnRechts = 0;

public slots:
    void ScanAnalyze1Click();
    void Bearbeiten1Click();
    void Beenden1Click();
    void Neu1Click();
    void Laden1Click();
    void GeraeteClick();
    void Info2Click();

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    std::unique_ptr<DSBasicObject> OpenDevice(const char *key, const QString &role);
    void ShowError(const QString &text);
    void ShowGridRow(int row);

    QLabel *statusBarDataText_ = nullptr;
    std::unique_ptr<SongTableModel> gridModel_;
    std::unique_ptr<WindowLayout> windowLayout_;
    bool shown_ = false;
    bool closed_ = false;
};

} // namespace mixora::app
