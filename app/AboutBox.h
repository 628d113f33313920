// The info window: program name, version label, credits, the sound cards' dropouts since start and
// one "OK" button.
#pragma once

#include "ui_AboutBox.h"

#include <QDialog>

class QLabel;

namespace mixora::app {

class TAboutBox : public QDialog {
    Q_OBJECT

public:
    explicit TAboutBox(QWidget *parent = nullptr);

    Ui::TAboutBox ui;
    // Underflows of every open sound card since it was opened; brought up to date whenever the box shows.
    QLabel *Underflows = nullptr;
    void refreshUnderflows();

protected:
    void showEvent(QShowEvent *event) override;
};

} // namespace mixora::app
