// The progress window: one bar that the database check and the disk scan move on. It has no
// logic of its own; while a long operation runs on the window thread it repaints itself
// now and then so the bar is seen to move, without handing user input on.
#pragma once

#include "scan/ProgressSink.h"

#include <QDialog>
#include <QElapsedTimer>

#include <memory>

namespace Ui {
class TFormProgress;
}

class TFormProgress : public QDialog, public mixora::scan::ProgressSink {
    Q_OBJECT

public:
    explicit TFormProgress(QWidget *parent = nullptr);
    ~TFormProgress() override;

    Ui::TFormProgress *ui() const { return ui_.get(); }

    void setCaption(const std::string &utf8) override;
    void setMaximum(int maximum) override;
    int maximum() const override;
    void setPosition(int position) override;
    int position() const override;
    void show() override;
    void close() override;

    // Shortest time between two repaints during a long operation (0: after every step).
    void setRepaintIntervalMs(int ms) { repaintIntervalMs_ = ms; }
    long repaints() const { return repaints_; }

private:
    std::unique_ptr<Ui::TFormProgress> ui_;
    QElapsedTimer sinceRepaint_;
    int repaintIntervalMs_ = 50;
    long repaints_ = 0;
};

extern TFormProgress *FormProgress;
