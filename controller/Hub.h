// The controllers the program sees: the MIDI backends, the mappings (the user's "Controller"
// folder first, then those shipped with the program), each device with its mapping, the lamps,
// learning and the monitor of incoming messages.
//
// Threads. A backend's thread delivers messages into the hub, which routes them to the controls
// at once (the controls hand them on without waiting); everything the window sees (devices,
// monitor, learned bindings, lamps) is announced on the hub's thread.
#pragma once

#include "controller/Controls.h"
#include "controller/Mapping.h"
#include "controller/Midi.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace mixora::controller {

class Hub : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMonitorLines = 200;

    struct DeviceInfo {
        QString backend;
        QString name;
        QString mapping; // the mapping's name, empty when none fits
        QString file;
        bool present = false;
    };

    // userFolder: where learned mappings are written; shipped: folders (or ":/..." resources)
    // with the program's own mappings.
    Hub(ControlSet &controls, QString userFolder, QStringList shipped, QObject *parent = nullptr);
    ~Hub() override;

    // Reads every mapping again; devices present take their (new) mapping. The problems found in
    // the user's files; those of shipped mappings (a control this build lacks) go to the monitor.
    std::vector<MappingProblem> loadMappings();
    // Opens the system's MIDI services that are there (ALSA sequencer, JACK).
    void start(bool alsa, bool jack, const std::string &clientName = "DJ-Mixora");
    // Stops every backend (devices then count as gone).
    void stop();
    // A backend made elsewhere (tests); the hub owns it from now on.
    DeviceEvents &eventsFor(const QString &kind);
    void adopt(std::unique_ptr<MidiBackend> backend, DeviceEvents &events);
    QStringList backends() const;

    std::vector<DeviceInfo> devices() const;
    QStringList monitor() const;
    std::uint64_t messagesReceived() const { return received_.load(); }
    // When the newest message routed to a control arrived (benchmarks).
    Clock::time_point lastArrival() const { return Clock::time_point(Clock::duration(lastArrival_.load())); }

    // The next control message from any device is bound to this control and saved into that
    // device's mapping file (the user's copy).
    void learn(const QString &control);
    void cancelLearn();
    QString learning() const;

signals:
    void devicesChanged();
    void monitorChanged();
    void learned(const QString &control, const QString &device, const QString &file);
    void learnFailed(const QString &why);

private:
    class Events;
    struct Device {
        Events *source = nullptr;
        std::string id;
        QString name;
        bool canSend = false;
        bool present = false;
        const Mapping *mapping = nullptr;
        std::unique_ptr<Router> router;
    };

    void appeared(Events &from, const std::string &id, const std::string &name, bool canSend);
    void vanished(Events &from, const std::string &id);
    void received(Events &from, const std::string &id, const std::uint8_t *bytes, std::size_t size,
                  Clock::time_point arrival);
    Device *findLocked(Events &from, const std::string &id);
    const Mapping *mappingForLocked(const QString &portName) const;
    void bindLocked(Device &device);
    void sendLampsLocked(Device &device, const std::vector<MidiBytes> &lamps);
    void controlChanged(Control *control, double value);
    void finishLearn();
    void post(std::atomic<bool> &flag, void (Hub::*signal)());

    ControlSet &controls_;
    QString userFolder_;
    QStringList shipped_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Mapping>> mappings_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Events>> events_;
    // Raw, so a flood costs the input thread no text; monitor() writes the lines.
    struct Seen {
        QString device; // or, with no bytes, a line of the hub's own
        std::array<std::uint8_t, 3> bytes{};
        std::size_t size = 0;
        bool used = false;
    };
    std::deque<Seen> monitor_;
    QString learnControl_;
    std::vector<MidiBytes> learnMoved_;
    Device *learnDevice_ = nullptr;
    std::atomic<bool> monitorPosted_{false};
    std::atomic<bool> devicesPosted_{false};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<Clock::rep> lastArrival_{0};
};

} // namespace mixora::controller
