#include "controller/Hub.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>

namespace mixora::controller {

class Hub::Events final : public DeviceEvents {
public:
    Events(Hub &hub, QString kind) : hub_(hub), kind(std::move(kind)) {}
    void appeared(const std::string &id, const std::string &name, bool canSend) override {
        hub_.appeared(*this, id, name, canSend);
    }
    void vanished(const std::string &id) override { hub_.vanished(*this, id); }
    void received(const std::string &id, const std::uint8_t *bytes, std::size_t size,
                  Clock::time_point arrival) override {
        hub_.received(*this, id, bytes, size, arrival);
    }

    Hub &hub_;
    const QString kind;
    std::unique_ptr<MidiBackend> backend;
};

Hub::Hub(ControlSet &controls, QString userFolder, QStringList shipped, QObject *parent)
    : QObject(parent), controls_(controls), userFolder_(std::move(userFolder)), shipped_(std::move(shipped)) {
    connect(&controls_, &ControlSet::changed, this, &Hub::controlChanged);
}

Hub::~Hub() {
    stop();
}

std::vector<MappingProblem> Hub::loadMappings() {
    std::vector<MappingProblem> problems;
    QStringList skipped;
    std::vector<std::unique_ptr<Mapping>> loaded;
    // The user's own mappings come first, so they win over a shipped one for the same port.
    for (const QString &folder : QStringList{userFolder_} + shipped_) {
        if (folder.isEmpty())
            continue;
        const QStringList names = QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
        for (const QString &name : names) {
            const QString path = QDir(folder).filePath(name);
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                problems.push_back({path, 0, file.errorString()});
                continue;
            }
            const std::size_t before = problems.size();
            auto mapping = std::make_unique<Mapping>(parseMapping(file.readAll(), path, controls_, problems));
            if (folder != userFolder_) {
                // A shipped mapping may name controls this build does not have yet: the rest of
                // it works, and the monitor says what was left out instead of a warning at
                // every start.
                for (std::size_t i = before; i < problems.size(); ++i)
                    skipped.push_back(problems[i].text() + QStringLiteral(" (übersprungen)"));
                problems.resize(before);
            }
            if (mapping->name.isEmpty())
                mapping->name = QFileInfo(path).completeBaseName();
            if (!mapping->document.isEmpty())
                loaded.push_back(std::move(mapping));
        }
    }
    std::lock_guard lock(mutex_);
    for (auto &device : devices_)
        device->router.reset();
    mappings_ = std::move(loaded);
    for (auto &device : devices_)
        bindLocked(*device);
    for (const QString &line : skipped)
        monitor_.push_back({line, {}, 0, false});
    while (monitor_.size() > kMonitorLines)
        monitor_.pop_front();
    post(devicesPosted_, &Hub::devicesChanged);
    post(monitorPosted_, &Hub::monitorChanged);
    return problems;
}

void Hub::start(bool alsa, bool jack, const std::string &clientName) {
    if (alsa) {
        auto &events = eventsFor(QStringLiteral("ALSA"));
        if (auto backend = openAlsaMidi(events, clientName))
            adopt(std::move(backend), events);
    }
    if (jack) {
        auto &events = eventsFor(QStringLiteral("JACK"));
        if (auto backend = openJackMidi(events, clientName))
            adopt(std::move(backend), events);
    }
}

DeviceEvents &Hub::eventsFor(const QString &kind) {
    events_.push_back(std::make_unique<Events>(*this, kind));
    return *events_.back();
}

void Hub::adopt(std::unique_ptr<MidiBackend> backend, DeviceEvents &events) {
    static_cast<Events &>(events).backend = std::move(backend);
}

QStringList Hub::backends() const {
    QStringList kinds;
    for (const auto &events : events_)
        if (events->backend)
            kinds << events->kind;
    return kinds;
}

void Hub::stop() {
    // A backend reports its devices gone while it stops, so no lock is held here.
    for (auto &events : events_)
        events->backend.reset();
}

std::vector<Hub::DeviceInfo> Hub::devices() const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceInfo> out;
    for (const auto &d : devices_)
        out.push_back({d->source->kind, d->name, d->mapping ? d->mapping->name : QString(),
                       d->mapping ? d->mapping->file : QString(), d->present});
    return out;
}

QStringList Hub::monitor() const {
    std::vector<Seen> seen;
    {
        std::lock_guard lock(mutex_);
        seen.assign(monitor_.begin(), monitor_.end());
    }
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(seen.size()));
    for (const Seen &m : seen) {
        if (m.size == 0) {
            lines << m.device; // a note of the hub's own
            continue;
        }
        QString line = m.device + QStringLiteral(": ") + describe(m.bytes.data(), m.size);
        if (!m.used)
            line += QStringLiteral(" (ignoriert)");
        lines << line;
    }
    return lines;
}

void Hub::learn(const QString &control) {
    std::lock_guard lock(mutex_);
    learnControl_ = control;
    learnMoved_.clear();
    learnDevice_ = nullptr;
}

void Hub::cancelLearn() {
    learn({});
}

QString Hub::learning() const {
    std::lock_guard lock(mutex_);
    return learnControl_;
}

Hub::Device *Hub::findLocked(Events &from, const std::string &id) {
    for (auto &d : devices_)
        if (d->source == &from && d->id == id)
            return d.get();
    return nullptr;
}

const Mapping *Hub::mappingForLocked(const QString &portName) const {
    for (const auto &m : mappings_)
        if (m->matches(portName))
            return m.get();
    for (const auto &m : mappings_)
        if (m->fallback())
            return m.get();
    return nullptr;
}

void Hub::bindLocked(Device &device) {
    device.router.reset();
    device.mapping = device.present ? mappingForLocked(device.name) : nullptr;
    if (!device.mapping)
        return;
    device.router = std::make_unique<Router>(*device.mapping, controls_);
    sendLampsLocked(device, device.router->allLamps());
}

void Hub::sendLampsLocked(Device &device, const std::vector<MidiBytes> &lamps) {
    if (!device.present || !device.canSend || !device.source->backend)
        return;
    for (const MidiBytes &m : lamps)
        device.source->backend->send(device.id, m);
}

void Hub::appeared(Events &from, const std::string &id, const std::string &name, bool canSend) {
    {
        std::lock_guard lock(mutex_);
        Device *device = findLocked(from, id);
        if (!device) {
            devices_.push_back(std::make_unique<Device>());
            device = devices_.back().get();
            device->source = &from;
            device->id = id;
        }
        device->name = QString::fromStdString(name);
        device->canSend = canSend;
        device->present = true;
        bindLocked(*device);
    }
    post(devicesPosted_, &Hub::devicesChanged);
}

void Hub::vanished(Events &from, const std::string &id) {
    {
        std::lock_guard lock(mutex_);
        Device *device = findLocked(from, id);
        if (!device)
            return;
        // A pad held when the cable went is let go, as if released.
        if (device->router)
            device->router->releaseHeld();
        device->present = false;
        device->router.reset();
        if (learnDevice_ == device) {
            learnDevice_ = nullptr;
            learnMoved_.clear();
        }
    }
    post(devicesPosted_, &Hub::devicesChanged);
}

void Hub::received(Events &from, const std::string &id, const std::uint8_t *bytes, std::size_t size,
                   Clock::time_point arrival) {
    received_.fetch_add(1, std::memory_order_relaxed);
    bool finish = false;
    {
        std::lock_guard lock(mutex_);
        Device *device = findLocked(from, id);
        if (!device || !device->present)
            return;
        bool used = false;
        const bool voice = size == 3 && bytes[0] >= 0x80 && bytes[0] < 0xF0;
        if (!learnControl_.isEmpty() && voice && (!learnDevice_ || learnDevice_ == device)) {
            MidiBytes m = MidiBytes::of(bytes[0], bytes[1], bytes[2]);
            const int type = bytes[0] & 0xF0;
            if (type == 0x80 || type == 0x90 || type == 0xB0 || type == 0xE0) {
                learnDevice_ = device;
                learnMoved_.push_back(m);
                // A controller 0..31 may be the first half of a 14-bit pair: its partner decides.
                const bool waitForPartner = learnMoved_.size() == 1 && type == 0xB0 && bytes[1] < 32;
                finish = !waitForPartner;
                used = true;
            }
        } else if (device->router) {
            used = device->router->handle(bytes, size);
            if (used)
                lastArrival_.store(arrival.time_since_epoch().count());
        }
        // The monitor keeps its newest lines; a flood only moves the window.
        Seen seen{device->name, {}, size, used};
        std::copy(bytes, bytes + std::min<std::size_t>(size, 3), seen.bytes.begin());
        monitor_.push_back(std::move(seen));
        while (monitor_.size() > kMonitorLines)
            monitor_.pop_front();
    }
    post(monitorPosted_, &Hub::monitorChanged);
    if (finish)
        QMetaObject::invokeMethod(this, &Hub::finishLearn, Qt::QueuedConnection);
}

void Hub::finishLearn() {
    QString control;
    QString deviceName;
    QString path;
    QString failure;
    {
        std::lock_guard lock(mutex_);
        Device *device = learnDevice_;
        Control *target = controls_.find(learnControl_);
        if (!device || learnMoved_.empty() || !target)
            return;
        const std::optional<Binding> binding = learnBinding(learnMoved_, *target);
        control = learnControl_;
        deviceName = device->name;
        learnControl_.clear();
        learnMoved_.clear();
        learnDevice_ = nullptr;
        if (!binding) {
            failure = QStringLiteral("Diese Nachricht kann „%1“ nicht steuern.").arg(control);
        } else {
            // Learned bindings go into the user's own file for this device: a copy of the mapping
            // it used (a shipped one stays as shipped), or a new one.
            const bool own =
                device->mapping && QFileInfo(device->mapping->file).absolutePath() ==
                                       QFileInfo(userFolder_ + QStringLiteral("/x")).absolutePath();
            auto mapping = std::make_unique<Mapping>();
            if (device->mapping)
                *mapping = *device->mapping;
            if (!own) {
                QString stem = device->name;
                stem.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9 _-]+")), QStringLiteral("_"));
                mapping->file = QDir(userFolder_).filePath(stem.trimmed() + QStringLiteral(".json"));
                mapping->name = device->name;
                mapping->ports = QStringList{device->name};
            }
            std::erase_if(mapping->bindings, [&](const Binding &b) {
                return b.midi == binding->midi && b.channel == binding->channel &&
                       b.number == binding->number && !b.shift;
            });
            mapping->bindings.push_back(*binding);
            QDir().mkpath(userFolder_);
            QSaveFile file(mapping->file);
            if (!file.open(QIODevice::WriteOnly) || file.write(writeMapping(*mapping)) < 0 ||
                !file.commit()) {
                failure = QStringLiteral("%1 kann nicht gespeichert werden: %2")
                              .arg(mapping->file, file.errorString());
            } else {
                path = mapping->file;
                // Routers hold their mapping: drop them before the mapping they read is replaced.
                const Mapping *old = own ? device->mapping : nullptr;
                for (auto &d : devices_)
                    if (d->mapping == old && old)
                        d->router.reset();
                if (old) {
                    for (auto &m : mappings_)
                        if (m.get() == old)
                            m = std::move(mapping);
                } else {
                    mappings_.insert(mappings_.begin(), std::move(mapping));
                }
                for (auto &d : devices_)
                    if (d->present && (!d->router || d.get() == device))
                        bindLocked(*d);
            }
        }
    }
    if (!failure.isEmpty())
        emit learnFailed(failure);
    else
        emit learned(control, deviceName, path);
    emit devicesChanged();
}

void Hub::controlChanged(Control *control, double value) {
    std::lock_guard lock(mutex_);
    for (auto &d : devices_)
        if (d->router)
            sendLampsLocked(*d, d->router->lamps(*control, value));
}

void Hub::post(std::atomic<bool> &flag, void (Hub::*signal)()) {
    if (flag.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this, &flag, signal] {
            flag.store(false);
            emit(this->*signal)();
        },
        Qt::QueuedConnection);
}

} // namespace mixora::controller
