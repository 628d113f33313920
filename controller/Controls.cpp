#include "controller/Controls.h"

#include <QMetaObject>
#include <QThread>

#include <stdexcept>

namespace mixora::controller {

Control::Control(ControlSet &set, QString name, ControlKind kind, double low, double high, Apply apply,
                 Read read)
    : set_(set), name_(std::move(name)), kind_(kind), low_(low), high_(high), middle_((low + high) / 2),
      apply_(std::move(apply)), read_(std::move(read)) {
    if (read_)
        value_.store(read_());
}

void Control::set(double requested) {
    if (QThread::currentThread() == set_.thread()) {
        perform(requested);
        return;
    }
    switch (kind_) {
    case ControlKind::Range:
        // Only the newest position matters; one request in the queue carries whatever is latest
        // when it runs.
        if (engine_)
            engine_(requested);
        latest_.store(requested);
        if (queued_.exchange(1) == 0)
            QMetaObject::invokeMethod(
                &set_,
                [this] {
                    // Pending until the value is read back: a knob's soft takeover must not
                    // take the old value for where the program stands meanwhile.
                    carrying_.store(true);
                    queued_.store(0);
                    perform(latest_.load());
                    carrying_.store(false);
                },
                Qt::QueuedConnection);
        return;
    case ControlKind::Relative:
        latest_.fetch_add(requested);
        if (queued_.exchange(1) == 0)
            QMetaObject::invokeMethod(
                &set_,
                [this] {
                    queued_.store(0);
                    perform(latest_.exchange(0.0));
                },
                Qt::QueuedConnection);
        return;
    case ControlKind::Button:
    case ControlKind::Toggle:
        // Every press counts, in order: a press and its release must not merge into one.
        if (queued_.fetch_add(1) >= ControlSet::kMaxQueuedPresses) {
            queued_.fetch_sub(1);
            return;
        }
        QMetaObject::invokeMethod(
            &set_,
            [this, requested] {
                queued_.fetch_sub(1);
                perform(requested);
            },
            Qt::QueuedConnection);
        return;
    }
}

void Control::perform(double requested) {
    if (kind_ == ControlKind::Relative && requested == 0.0)
        return;
    if (apply_)
        apply_(requested);
    if (!read_ && kind_ == ControlKind::Button && value_.load() != requested) {
        // A button without a state of its own shows whether it is held.
        value_.store(requested);
        emit set_.changed(this, requested);
        return;
    }
    refresh();
}

void Control::refresh() {
    if (!read_)
        return;
    const double now = read_();
    if (value_.exchange(now) != now)
        emit set_.changed(this, now);
}

ControlSet::ControlSet(QObject *parent) : QObject(parent) {}

ControlSet::~ControlSet() = default;

Control &ControlSet::add(const QString &name, ControlKind kind, double low, double high, Control::Apply apply,
                         Control::Read read) {
    if (byName_.count(name))
        throw std::logic_error("control named twice: " + name.toStdString());
    controls_.push_back(std::unique_ptr<Control>(
        new Control(*this, name, kind, low, high, std::move(apply), std::move(read))));
    byName_[name] = controls_.back().get();
    return *controls_.back();
}

Control *ControlSet::find(const QString &name) const {
    const auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second;
}

void ControlSet::refresh() {
    for (const auto &control : controls_)
        control->refresh();
}

} // namespace mixora::controller
