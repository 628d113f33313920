// The main window's auto-play box and its once-a-second timer: the timer runs exactly
// while the box is checked, whoever checks it, and each tick is one auto-play step.
#pragma once

#include "playlist/AutoPlay.h"

#include <QObject>

class QAbstractButton;
class QTimer;

namespace mixora::playlist {

class AutoPlayTimer : public QObject {
    Q_OBJECT

public:
    static constexpr int kIntervalMs = 1000;

    AutoPlayTimer(QAbstractButton *cbAutoPlay, QTimer *timerAutoPlay, AutoPlay &autoPlay,
                  QObject *parent = nullptr);

private:
    AutoPlay &autoPlay_;
};

} // namespace mixora::playlist
