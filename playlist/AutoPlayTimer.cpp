#include "playlist/AutoPlayTimer.h"

#include <QAbstractButton>
#include <QTimer>

namespace mixora::playlist {

AutoPlayTimer::AutoPlayTimer(QAbstractButton *cbAutoPlay, QTimer *timerAutoPlay, AutoPlay &autoPlay,
                             QObject *parent)
    : QObject(parent), autoPlay_(autoPlay) {
    timerAutoPlay->setInterval(kIntervalMs);
    if (cbAutoPlay->isChecked())
        timerAutoPlay->start();
    else
        timerAutoPlay->stop();
    connect(cbAutoPlay, &QAbstractButton::toggled, timerAutoPlay, [timerAutoPlay](bool on) {
        if (on)
            timerAutoPlay->start();
        else
            timerAutoPlay->stop();
    });
    connect(timerAutoPlay, &QTimer::timeout, this, [this] { autoPlay_.step(); });
}

} // namespace mixora::playlist
