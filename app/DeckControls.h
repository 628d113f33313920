// The program's named controls (the list is ControlList.cpp) over the two decks and the mixer,
// the controllers that drive them, the keyboard mapping and the "Controller" window in the
// "Einstellungen" menu.
//
// Never does: act on a deck other than through the deck's and the mixer's own operations (or
// their widgets, as a hand would).
#pragma once

#include "app/ControllerWindow.h"
#include "controller/Controls.h"
#include "controller/Hub.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QAction;
class QTimer;

namespace mixora::app {

class Deck;
class Mixer;
class TFormMixora;
class WindowDecks;

// Fills the set with every control of both decks and the mixer.
void addControls(controller::ControlSet &set, WindowDecks &decks);

class Controllers : public QObject {
    Q_OBJECT

public:
    struct Options {
        bool alsa = true;
        bool jack = true;
        QString programDir; // empty: the current directory
        std::string clientName = "DJ-Mixora";
    };

    Controllers(TFormMixora &window, WindowDecks &decks, Options options);
    Controllers(TFormMixora &window, WindowDecks &decks);
    ~Controllers() override;

    controller::ControlSet &controls() { return controls_; }
    controller::Hub &hub() { return *hub_; }
    // Reads the mappings (a "Warnung" for every problem) and opens the MIDI services.
    void start();
    void showWindow();
    ControllerWindow *window() const { return window_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void loadKeyboard();

    TFormMixora &main_;
    Options options_;
    controller::ControlSet controls_;
    std::unique_ptr<controller::Hub> hub_;
    QAction *action_ = nullptr;
    QPointer<ControllerWindow> window_;
    // Keys of the keyboard mapping: key code (with Shift as a modifier) → control.
    struct Key {
        int key = 0;
        bool shift = false;
        controller::Control *control = nullptr;
        double step = 1.0;
    };
    std::vector<Key> keys_;
};

} // namespace mixora::app
