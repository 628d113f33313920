// A controller mapping: which MIDI message drives which named control, and which messages light
// the controller's lamps. Mappings are JSON files, one per controller, matched to a device by its
// port name. A mapping that is partly wrong still loads: every binding that cannot be used is
// reported with its file and line and left out, the rest works.
//
// Router applies one mapping to the messages of one device (on that device's input thread) and
// keeps what a device's state needs: the shift layer, the 14-bit halves, soft takeover, the held
// buttons (released when the device vanishes).
#pragma once

#include "controller/Controls.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace mixora::controller {

// One short MIDI message (status and up to two data bytes), or the start of a longer one.
struct MidiBytes {
    std::array<std::uint8_t, 3> data{};
    std::uint8_t size = 0;
    static MidiBytes of(std::uint8_t status, std::uint8_t a, std::uint8_t b) { return {{status, a, b}, 3}; }
    bool operator==(const MidiBytes &) const = default;
};

enum class MidiKind { Note, Cc, Cc14, PitchBend };
// How a relative encoder counts its steps.
enum class Encoder { None, TwosComplement, Offset64, SignBit };

struct Binding {
    QString control;
    Control *target = nullptr;
    MidiKind midi = MidiKind::Note;
    int channel = 0; // 0..15 (files count from 1)
    int number = 0;  // note or controller (the MSB of a 14-bit pair)
    int lsb = -1;    // the LSB controller of a 14-bit pair
    Encoder encoder = Encoder::None;
    bool shift = false; // acts only while Shift is held (preferred over the plain layer then)
    bool invert = false;
    bool softTakeover = true;
    double step = 1.0; // a relative step in the control's units
    bool led = false;  // the message is sent back as the control's lamp
    int ledOn = 127;
    int ledOff = 0;
    int line = 0;
    bool isShiftKey() const { return control.compare(QLatin1String("Shift"), Qt::CaseInsensitive) == 0; }
};

struct MappingProblem {
    QString file;
    int line = 0;
    QString what;
    QString text() const;
};

struct Mapping {
    QString name;
    QString file;
    QStringList ports; // parts of port names (any letter case); "*" takes devices no other claims
    std::vector<Binding> bindings;
    QJsonObject document; // the file as read, so a save keeps what we do not use

    bool matches(const QString &portName) const;
    bool fallback() const { return ports.contains(QStringLiteral("*")); }
};

// Parses a mapping; controls are looked up in `controls`. Problems are appended, never thrown.
Mapping parseMapping(const QByteArray &text, const QString &file, const ControlSet &controls,
                     std::vector<MappingProblem> &problems);
// The file's text with `mapping`'s bindings (a learned one included).
QByteArray writeMapping(const Mapping &mapping);
// The JSON form of one binding, as a file holds it.
QJsonObject bindingObject(const Binding &binding);

// A binding for `control` from what was moved: the first message decides; a controller 0..31
// followed by its +32 partner is a 14-bit pair. None for a message that cannot drive a control.
std::optional<Binding> learnBinding(const std::vector<MidiBytes> &moved, Control &control);

// Describes a message for the monitor ("Note an  K1 #11 127", "SysEx 12 Bytes"); size is the whole
// message's, of which only the first three bytes are read.
QString describe(const std::uint8_t *bytes, std::size_t size);

class Router {
public:
    Router(const Mapping &mapping, const ControlSet &controls);
    // One incoming message. False when the mapping has nothing for it (or it is no channel message).
    bool handle(const std::uint8_t *bytes, std::size_t size);
    // Releases every button still held (the device went away mid-press).
    void releaseHeld();
    // The lamp messages for a control's new value; all lamps for the state now.
    std::vector<MidiBytes> lamps(const Control &control, double value) const;
    std::vector<MidiBytes> allLamps() const;
    // The mapping changed (a binding was learned): state is kept where its binding is.
    void rebuild();

private:
    struct State {
        bool engaged = false;
        bool held = false;
        double lastPhysical = 0.0;
        bool seen = false;
        double lastSent = 0.0;
    };
    const Binding *find(MidiKind kind, int channel, int number, bool pressed);
    void absolute(const Binding &binding, State &state, double normalized);
    void button(const Binding &binding, State &state, bool pressed);
    State &stateOf(const Binding &binding);

    const Mapping &mapping_;
    std::vector<State> states_;
    bool shift_ = false;
    std::array<std::array<int, 32>, 16> msb_{};
};

} // namespace mixora::controller
