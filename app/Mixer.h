// The mixer between the decks: the crossfader with its three buttons and the headphone volume.
// It keeps no level of its own: the crossfader moves the decks' volume bars (attenuating only
// the far side), and those bars pass the level on to the players.
#pragma once

#include <QObject>

class QAbstractButton;
class QScrollBar;
class QWidget;

namespace mixora::app {

class Deck;

struct MixerWidgets {
    QScrollBar *fader = nullptr;       // sbFader
    QAbstractButton *links = nullptr;  // SpeedButton7 "Links"
    QAbstractButton *zero = nullptr;   // SpeedButton8 "Zero"
    QAbstractButton *rechts = nullptr; // SpeedButton9 "Rechts"
    QScrollBar *headVolume = nullptr;  // SBVolume_Head

    // Throws std::logic_error naming the first control that is missing.
    static MixerWidgets find(QWidget *root);
};

class Mixer : public QObject {
    Q_OBJECT

public:
    static constexpr int kFaderEnd = 10000;

    Mixer(const MixerWidgets &widgets, Deck &links, Deck &rechts, QObject *parent = nullptr);

    void faderChanged();       // sbFader's position changed
    void throwFader(int side); // -1 "Links" held, +1 "Rechts" held, 0 released or "Zero"
    void headVolumeChanged();  // SBVolume_Head's position changed

    const MixerWidgets &widgets() const { return w_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    MixerWidgets w_;
    Deck &links_;
    Deck &rechts_;
};

} // namespace mixora::app
