// The main window: both decks, the library search panel and grid, the mixer strips and the
// menus. This file holds the window's life cycle (start-up, activation, closing) and menus;
// deck, mixer, search and auto-play handlers live in their own source files as members of
// this class.
#pragma once

#include "ui_MainForm.h"

#include <QMainWindow>

#include <cstdint>

class QLabel;
class QStatusBar;

namespace mixora::app {

class TAboutBox;

class TFormMixora : public QMainWindow {
    Q_OBJECT

public:
    explicit TFormMixora(QWidget *parent = nullptr);
    ~TFormMixora() override;

    // Every control of the layout, by its name.
    Ui::TFormMixora ui;

    // Panel `index` (0: state word, 1: song) of a deck's status bar.
    static QLabel *StatusPanel(QStatusBar *bar, int index);
    // The one text field of the library's status bar.
    QLabel *StatusBarDataText() const { return statusBarDataText_; }

    // Load-error report of a deck player's Open: 1 means no position notification.
    void ReportLoadError(int code);

    // Set by whoever creates the program's windows, before the main window is shown.
    TAboutBox *AboutBox = nullptr;

    QString ProgramDir;
    std::int32_t TimeModeLinks = 1;
    std::int32_t TimeModeRechts = 1;
    std::int32_t HeadCueOnLinks = 0;
    std::int32_t HeadCueOnRechts = 0;

public slots:
    void Info2Click();
    void Beenden1Click();

private:
    QLabel *statusBarDataText_ = nullptr;
};

} // namespace mixora::app
