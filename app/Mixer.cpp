#include "app/Mixer.h"

#include "app/Deck.h"

#include <QAbstractButton>
#include <QEvent>
#include <QScrollBar>

#include <stdexcept>

namespace mixora::app {

namespace {

template <typename T> T *need(QWidget *root, const char *name) {
    auto *widget = root->findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        throw std::logic_error(std::string("mixer control missing: ") + name);
    return widget;
}

} // namespace

MixerWidgets MixerWidgets::find(QWidget *root) {
    MixerWidgets w;
    w.fader = need<QScrollBar>(root, "sbFader");
    w.links = need<QAbstractButton>(root, "SpeedButton7");
    w.zero = need<QAbstractButton>(root, "SpeedButton8");
    w.rechts = need<QAbstractButton>(root, "SpeedButton9");
    w.headVolume = need<QScrollBar>(root, "SBVolume_Head");
    return w;
}

Mixer::Mixer(const MixerWidgets &widgets, Deck &links, Deck &rechts, QObject *parent)
    : QObject(parent), w_(widgets), links_(links), rechts_(rechts) {
    connect(w_.fader, &QScrollBar::valueChanged, this, [this] { faderChanged(); });
    connect(w_.headVolume, &QScrollBar::valueChanged, this, [this] { headVolumeChanged(); });
    connect(w_.zero, &QAbstractButton::clicked, this, [this] { throwFader(0); });
    // "Links" and "Rechts" act while held, with any mouse button.
    w_.links->installEventFilter(this);
    w_.rechts->installEventFilter(this);
}

bool Mixer::eventFilter(QObject *watched, QEvent *event) {
    const QEvent::Type type = event->type();
    const int side = watched == w_.links ? -1 : 1;
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick)
        throwFader(side);
    else if (type == QEvent::MouseButtonRelease)
        throwFader(0);
    return false;
}

void Mixer::faderChanged() {
    const int p = w_.fader->value();
    QScrollBar *left = links_.widgets().volumeBar;
    QScrollBar *right = rechts_.widgets().volumeBar;
    if (p > 0) {
        left->setValue(p);
    } else if (p < 0) {
        right->setValue(-p);
    } else {
        left->setValue(0);
        right->setValue(0);
    }
}

void Mixer::throwFader(int side) {
    w_.fader->setValue(side * kFaderEnd);
}

void Mixer::headVolumeChanged() {
    links_.headVolumeChanged();
    rechts_.headVolumeChanged();
}

} // namespace mixora::app
