#include "app/ControllerWindow.h"

#include "controller/Hub.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace mixora::app {

ControllerWindow::ControllerWindow(controller::Hub &hub, const controller::ControlSet &controls,
                                   QWidget *parent)
    : QWidget(parent, Qt::Window), hub_(hub), devices_(new QTableWidget(0, 4, this)),
      monitor_(new QListWidget(this)), control_(new QComboBox(this)),
      learn_(new QPushButton(QStringLiteral("Lernen"), this)), state_(new QLabel(this)),
      monitorTimer_(new QTimer(this)) {
    // A flood of messages redraws the monitor a few times a second, not once per message.
    monitorTimer_->setSingleShot(true);
    monitorTimer_->setInterval(100);
    connect(monitorTimer_, &QTimer::timeout, this, &ControllerWindow::showMonitor);
    setObjectName(QStringLiteral("FormController"));
    setWindowTitle(QStringLiteral("Controller"));
    resize(560, 460);
    devices_->setObjectName(QStringLiteral("Geraete"));
    devices_->setHorizontalHeaderLabels({QStringLiteral("Gerät"), QStringLiteral("System"),
                                         QStringLiteral("Mapping"), QStringLiteral("Zustand")});
    devices_->horizontalHeader()->setStretchLastSection(true);
    devices_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    devices_->verticalHeader()->hide();
    monitor_->setObjectName(QStringLiteral("Monitor"));
    control_->setObjectName(QStringLiteral("LernControl"));
    learn_->setObjectName(QStringLiteral("Lernen"));
    state_->setObjectName(QStringLiteral("LernZustand"));
    for (const auto &control : controls.all())
        control_->addItem(control->name());

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Geräte"), this));
    layout->addWidget(devices_, 1);
    auto *learnRow = new QHBoxLayout;
    learnRow->addWidget(new QLabel(QStringLiteral("Control:"), this));
    learnRow->addWidget(control_, 1);
    learnRow->addWidget(learn_);
    layout->addLayout(learnRow);
    layout->addWidget(state_);
    layout->addWidget(new QLabel(QStringLiteral("MIDI-Monitor"), this));
    layout->addWidget(monitor_, 2);

    connect(learn_, &QPushButton::clicked, this, [this] {
        if (!hub_.learning().isEmpty()) {
            hub_.cancelLearn();
            state_->clear();
            learn_->setText(QStringLiteral("Lernen"));
            return;
        }
        hub_.learn(control_->currentText());
        state_->setText(
            QStringLiteral("Bewegen Sie am Controller, was „%1“ steuern soll.").arg(control_->currentText()));
        learn_->setText(QStringLiteral("Abbrechen"));
    });
    connect(&hub_, &controller::Hub::learned, this,
            [this](const QString &control, const QString &device, const QString &file) {
                state_->setText(
                    QStringLiteral("„%1“ gelernt von %2, gespeichert in %3").arg(control, device, file));
                learn_->setText(QStringLiteral("Lernen"));
            });
    connect(&hub_, &controller::Hub::learnFailed, this, [this](const QString &why) {
        state_->setText(why);
        learn_->setText(QStringLiteral("Lernen"));
    });
    connect(&hub_, &controller::Hub::devicesChanged, this, &ControllerWindow::showDevices);
    connect(&hub_, &controller::Hub::monitorChanged, this, [this] {
        if (!monitorTimer_->isActive())
            monitorTimer_->start();
    });
    showDevices();
    showMonitor();
}

void ControllerWindow::showDevices() {
    const auto devices = hub_.devices();
    devices_->setRowCount(static_cast<int>(devices.size()));
    for (int row = 0; row < static_cast<int>(devices.size()); ++row) {
        const auto &d = devices[static_cast<std::size_t>(row)];
        const QString cells[] = {d.name, d.backend,
                                 d.mapping.isEmpty() ? QStringLiteral("(keines)") : d.mapping,
                                 d.present ? QStringLiteral("verbunden") : QStringLiteral("getrennt")};
        for (int column = 0; column < 4; ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            if (column == 2)
                item->setToolTip(d.file);
            devices_->setItem(row, column, item);
        }
    }
}

void ControllerWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    showDevices();
    showMonitor();
}

void ControllerWindow::showMonitor() {
    if (!isVisible())
        return; // read when shown
    const QStringList lines = hub_.monitor();
    monitor_->clear();
    monitor_->addItems(lines);
    monitor_->scrollToBottom();
}

} // namespace mixora::app
