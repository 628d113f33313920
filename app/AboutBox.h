// The info window: program name, version label, credits and one "OK" button.
#pragma once

#include "ui_AboutBox.h"

#include <QDialog>

namespace mixora::app {

class TAboutBox : public QDialog {
    Q_OBJECT

public:
    explicit TAboutBox(QWidget *parent = nullptr);

    Ui::TAboutBox ui;
};

} // namespace mixora::app
