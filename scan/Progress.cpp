#include "scan/Progress.h"

#include "ui_Progress.h"

#include <QProgressBar>
#include <QScreen>

TFormProgress *FormProgress = nullptr;

TFormProgress::TFormProgress(QWidget *parent) : QDialog(parent), ui_(std::make_unique<Ui::TFormProgress>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    sinceRepaint_.start();
}

TFormProgress::~TFormProgress() = default;

void TFormProgress::setCaption(const std::string &utf8) {
    setWindowTitle(QString::fromStdString(utf8));
}

void TFormProgress::setMaximum(int maximum) {
    ui_->ProgressBar1->setMaximum(maximum);
}

int TFormProgress::maximum() const {
    return ui_->ProgressBar1->maximum();
}

void TFormProgress::setPosition(int position) {
    ui_->ProgressBar1->setValue(position);
    // The scan holds the window thread; paint the bar ourselves so it is seen to move, but
    // run no event loop: user input, timers and queued calls wait until the scan is over.
    if (isVisible() && sinceRepaint_.elapsed() >= repaintIntervalMs_) {
        repaint();
        ++repaints_;
        sinceRepaint_.restart();
    }
}

int TFormProgress::position() const {
    return ui_->ProgressBar1->value();
}

void TFormProgress::show() {
    if (!isVisible()) {
        // Centred on the screen, as a dialog without a parent would not always be.
        if (const QScreen *screen = this->screen())
            move(screen->availableGeometry().center() - rect().center());
    }
    QDialog::show();
    repaint();
}

void TFormProgress::close() {
    QDialog::close();
}
