// The editor window: the song table in an editable grid with a record navigator and two
// search boxes. While it is shown, every posted row has its texts written into the MP3
// file's tags in the background; a failed write is reported to the user, the row itself
// stays saved.
#pragma once

#include "library/Datamod.h"

#include <QDialog>
#include <QList>

#include <memory>

class QToolButton;

namespace Ui {
class TFormDatenBearbeiten;
}

namespace mixora {
class SongTableModel;
}

class TFormDatenBearbeiten : public QDialog {
    Q_OBJECT

public:
    explicit TFormDatenBearbeiten(mixora::TDataModule1 &data, QWidget *parent = nullptr);
    ~TFormDatenBearbeiten() override;

    Ui::TFormDatenBearbeiten *ui() const { return ui_.get(); }
    mixora::SongTableModel &model() const { return *model_; }
    // The navigator's ten buttons: first, prior, next, last, insert, delete, edit, post,
    // cancel, refresh.
    const QList<QToolButton *> &navigatorButtons() const { return navigator_; }

    void FormShow();
    void Edit1Enter();
    void Edit1Change(const QString &text);
    void Edit2Enter();
    void Edit2Change(const QString &text);
    // Ctrl+Delete in the grid and the navigator's delete button: asks first.
    void deleteCurrentRow();

    // Closing posts a change still pending (its tag is written, since the window is still
    // shown); a post the table refuses keeps the window open with the row in edit.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void navigate(int button);
    void commitGridEditor();
    void revertGridEditor();
    bool guarded(const std::function<void()> &action);
    void showCurrentRow(int row);
    void gridRowChanged(int row);
    void updateNavigator();
    void focusChanged(QWidget *old, QWidget *now);

    class GridDelegate;

    std::unique_ptr<Ui::TFormDatenBearbeiten> ui_;
    GridDelegate *delegate_ = nullptr; // owned by the grid
    mixora::TDataModule1 &data_;
    std::unique_ptr<mixora::SongTableModel> model_;
    QList<QToolButton *> navigator_;
    int listenerId_ = -1;
    bool syncingSelection_ = false;
};

extern TFormDatenBearbeiten *FormDatenBearbeiten;
