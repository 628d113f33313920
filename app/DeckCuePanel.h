// The buttons of a deck's hot cues, loops, beat jumps, quantize switch and grid editing, beside
// its EQ in the deck's control row. Each button is one call on the deck's DeckCues; what the
// deck reports is shown back, so a controller setting a hot cue lights the pad too.
//
// The buttons stand in five lines; a row wide enough (a large window) puts them in three.
//
// Never does: decide anything DeckCues decides.
#pragma once

#include <QFrame>

#include <array>

class QComboBox;
class QGridLayout;
class QPushButton;

namespace mixora::app {

class Deck;
class DeckCues;
class WaveStrip;

// The deck's beat grid, hot cues and active loop drawn on its waveform strip, kept up to date.
void showCuesOnStrip(Deck &deck, DeckCues &cues, WaveStrip &strip);

class DeckCuePanel : public QFrame {
    Q_OBJECT

public:
    DeckCuePanel(Deck &deck, DeckCues &cues, QWidget *parent = nullptr);

    QPushButton *padButton(int pad) const { return pads_[std::size_t(pad)]; }
    QComboBox *loopSizeBox() const { return loopSize_; }
    QComboBox *jumpSizeBox() const { return jumpSize_; }
    QPushButton *loopButton() const { return loop_; }
    QPushButton *quantizeButton() const { return quantize_; }
    bool wide() const { return wide_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showPads();
    void showLoop();
    void showSettings();
    void arrange(bool wide);

    Deck &deck_;
    DeckCues &cues_;
    std::array<QPushButton *, 8> pads_{};
    QComboBox *loopSize_ = nullptr;
    QComboBox *jumpSize_ = nullptr;
    QPushButton *loop_ = nullptr;
    QPushButton *quantize_ = nullptr;
    std::array<QWidget *, 5> lines_{};
    QGridLayout *grid_ = nullptr;
    bool wide_ = false;
    bool arranged_ = false;
};

} // namespace mixora::app
