// Named controls: every deck and mixer function as a value with a name ("Links.play",
// "Mixer.crossfader"). Controller mappings, the keyboard, the controller window and the tests act
// through them; what a control does is its binding's business (the deck's own operations).
//
// Threads. set() may be called from any thread and never waits: on the set's own thread it acts at
// once, elsewhere it hands the request to that thread's event loop (continuous values coalesce to
// the latest, steps add up, presses queue in order); a control with an engine path gives the
// engine its value at once as well, so the sound need not wait for a busy window. value() is the state last
// read back from the program and may be read from any thread. Changes are announced on the set's thread.
//
// Never does: hold deck logic of its own, or block the caller on the window thread.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace mixora::controller {

enum class ControlKind {
    Button,   // press (1) and release (0); its value is a state the program reports (a lamp)
    Toggle,   // on (1) or off (0)
    Range,    // a continuous value between low and high
    Relative, // steps (a jog wheel, an encoder); no state
};

class ControlSet;

class Control {
public:
    using Apply = std::function<void(double)>;
    using Read = std::function<double()>;
    // Hands a continuous value straight to the engine, on the setting thread, before the window
    // thread carries the request out; must be safe from any thread and never wait long.
    using Engine = std::function<void(double)>;

    const QString &name() const { return name_; }
    ControlKind kind() const { return kind_; }
    // What a fader's bottom and top mean (low may be above high, as for an attenuation).
    double low() const { return low_; }
    double high() const { return high_; }
    // What a centred knob means (an EQ's 0 dB between its kill and its boost); halfway unless set.
    double middle() const { return middle_; }
    void setMiddle(double middle) { middle_ = middle; }
    // The control's value for a knob's position 0..1, by way of the middle.
    double atPosition(double position) const {
        return position <= 0.5 ? low_ + (middle_ - low_) * 2 * position
                               : middle_ + (high_ - middle_) * (2 * position - 1);
    }
    double value() const { return value_.load(); }
    // True while a request from another thread waits for the set's thread.
    bool pending() const { return queued_.load() > 0 || carrying_.load(); }

    // A value (Range, Toggle), a press or release (Button), or a step (Relative).
    void set(double requested);
    // Range controls only; set while the controls are built.
    void setEngine(Engine engine) { engine_ = std::move(engine); }
    const Engine &engine() const { return engine_; }

private:
    friend class ControlSet;
    Control(ControlSet &set, QString name, ControlKind kind, double low, double high, Apply apply, Read read);
    void perform(double requested);
    void refresh();

    ControlSet &set_;
    const QString name_;
    const ControlKind kind_;
    const double low_;
    const double high_;
    double middle_;
    Apply apply_;
    Read read_;
    Engine engine_;
    std::atomic<double> value_{0.0};
    std::atomic<double> latest_{0.0}; // Range: the newest request; Relative: steps not yet taken
    std::atomic<int> queued_{0};
    std::atomic<bool> carrying_{false}; // the set's thread is carrying a Range request out
};

class ControlSet : public QObject {
    Q_OBJECT

public:
    // Presses of one control waiting at once beyond this are dropped (a flood cannot pile up).
    static constexpr int kMaxQueuedPresses = 64;

    explicit ControlSet(QObject *parent = nullptr);
    ~ControlSet() override;

    // apply carries a request out on the set's thread; read tells the control's state (none: 0).
    Control &add(const QString &name, ControlKind kind, double low, double high, Control::Apply apply,
                 Control::Read read = {});
    Control *find(const QString &name) const;
    const std::vector<std::unique_ptr<Control>> &all() const { return controls_; }

    // Reads every control's state again and announces what changed. The bindings call it when the
    // program's state moves (a widget, a deck's state word).
    void refresh();

signals:
    void changed(mixora::controller::Control *control, double value);

private:
    friend class Control;
    std::vector<std::unique_ptr<Control>> controls_;
    std::unordered_map<QString, Control *> byName_;
};

} // namespace mixora::controller
