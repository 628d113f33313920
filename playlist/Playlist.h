// The playlist window: a small tool window on top of the main window holding the entries
// auto-play takes one after the other. FileList (paths) and ListBox1 (display lines) are
// index-parallel at all times. A playlist exists only while the window is shown; closing
// it discards the playlist and switches auto-play off.
#pragma once

#include "library/PlaylistAccess.h"

#include <QAbstractButton>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <string>
#include <vector>

class QListWidget;

namespace Ui {
class TFormPlayList;
}

namespace mixora::library {
class SongCursor;
}

class TFormPlayList : public QWidget, public mixora::library::PlaylistAccess {
    Q_OBJECT

public:
    explicit TFormPlayList(QWidget *parent = nullptr);
    ~TFormPlayList() override;

    // Wiring by the main window: its auto-play box, the song table for display lines,
    // and the program folder whose "Playlist" folder the file dialogs start in.
    void setAutoPlayBox(QAbstractButton *cbAutoPlay) { autoPlayBox_ = cbAutoPlay; }
    void setSongCursor(mixora::library::SongCursor *songs) { songs_ = songs; }
    void setProgramDir(const QString &programDir) { programDir_ = programDir; }
    QString playlistFolder() const;

    // The main window's menu "&Neu": shows the window, keeping a playlist already shown.
    void Neu1Click();
    // The main window's menu "&Laden/Importieren": asks for a file and loads it.
    void Laden1Click();
    // Loads an ".mxp" or imports an ".m3u" (any other ending loads nothing). Returns
    // whether a playlist was loaded.
    bool loadPlaylist(const QString &file);

    // Handlers of the window's controls.
    void btCancelClick();
    void btDeleteClick();
    void ListBox1DblClick();
    void ListBox1KeyDown(int key);
    void btSaveClick();
    void btAutoPlayClick();

    const std::vector<std::string> &fileList() const { return FileList; }
    QListWidget *listBox() const;

    // What the search boxes and auto-play use.
    bool isShown() const override { return open_; }
    int count() const override { return static_cast<int>(FileList.size()); }
    std::string entry(int index) const override;
    int nextIndex() const override { return NextIndex; }
    void setNextIndex(int index) override { NextIndex = index; }
    void selectLine(int index) override;
    void append(const std::string &path, const std::string &displayLine) override;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FormShow();
    void FormClose();
    void removeSelected();
    void openEmpty();
    void fillDisplayLines();
    void setAutoPlay(bool on);

    Ui::TFormPlayList *ui;
    std::vector<std::string> FileList;
    int NextIndex = 0;
    bool open_ = false;
    QAbstractButton *autoPlayBox_ = nullptr;
    mixora::library::SongCursor *songs_ = nullptr;
    QString programDir_;
};
