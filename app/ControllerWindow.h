// The "Controller" window: the MIDI devices seen (present or gone) with the mapping each uses,
// learning a binding, and a monitor of the incoming messages.
#pragma once

#include <QWidget>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;
class QTimer;

namespace mixora::controller {
class ControlSet;
class Hub;
} // namespace mixora::controller

namespace mixora::app {

class ControllerWindow : public QWidget {
    Q_OBJECT

public:
    ControllerWindow(controller::Hub &hub, const controller::ControlSet &controls, QWidget *parent = nullptr);

    QTableWidget *devices() const { return devices_; }
    QListWidget *monitor() const { return monitor_; }
    QComboBox *controlChoice() const { return control_; }
    QPushButton *learnButton() const { return learn_; }
    QLabel *learnState() const { return state_; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showDevices();
    void showMonitor();

    controller::Hub &hub_;
    QTableWidget *devices_;
    QListWidget *monitor_;
    QComboBox *control_;
    QPushButton *learn_;
    QLabel *state_;
    QTimer *monitorTimer_;
};

} // namespace mixora::app
