#include "controller/Mapping.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <cmath>

namespace mixora::controller {

namespace {

int lineAt(const QByteArray &text, qsizetype offset) {
    offset = std::clamp<qsizetype>(offset, 0, text.size());
    return static_cast<int>(std::count(text.begin(), text.begin() + offset, '\n')) + 1;
}

// The line on which each element of the top-level "bindings" array begins. QJsonDocument keeps
// no positions, so the text is walked once, minding strings and nesting.
std::vector<int> bindingLines(const QByteArray &text) {
    std::vector<int> lines;
    int depth = 0;
    int line = 1;
    bool inString = false;
    QByteArray lastKey;
    QByteArray current;
    bool inBindings = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n')
            ++line;
        if (inString) {
            if (c == '\\') {
                ++i;
                continue;
            }
            if (c == '"') {
                inString = false;
                lastKey = current;
            } else {
                current += c;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            current.clear();
            break;
        case '{':
        case '[':
            if (c == '[' && depth == 1 && lastKey == "bindings")
                inBindings = true;
            else if (c == '{' && depth == 2 && inBindings)
                lines.push_back(line);
            ++depth;
            break;
        case '}':
        case ']':
            --depth;
            if (depth == 1)
                inBindings = false;
            break;
        default:
            break;
        }
    }
    return lines;
}

std::optional<MidiKind> kindNamed(const QString &text) {
    if (text == QLatin1String("note"))
        return MidiKind::Note;
    if (text == QLatin1String("cc"))
        return MidiKind::Cc;
    if (text == QLatin1String("cc14"))
        return MidiKind::Cc14;
    if (text == QLatin1String("pitchbend"))
        return MidiKind::PitchBend;
    return std::nullopt;
}

QString kindName(MidiKind kind) {
    switch (kind) {
    case MidiKind::Note:
        return QStringLiteral("note");
    case MidiKind::Cc:
        return QStringLiteral("cc");
    case MidiKind::Cc14:
        return QStringLiteral("cc14");
    case MidiKind::PitchBend:
        return QStringLiteral("pitchbend");
    }
    return {};
}

std::optional<Encoder> encoderNamed(const QString &text) {
    if (text.isEmpty())
        return Encoder::None;
    if (text == QLatin1String("twos"))
        return Encoder::TwosComplement;
    if (text == QLatin1String("offset"))
        return Encoder::Offset64;
    if (text == QLatin1String("signbit"))
        return Encoder::SignBit;
    return std::nullopt;
}

QString encoderName(Encoder encoder) {
    switch (encoder) {
    case Encoder::TwosComplement:
        return QStringLiteral("twos");
    case Encoder::Offset64:
        return QStringLiteral("offset");
    case Encoder::SignBit:
        return QStringLiteral("signbit");
    case Encoder::None:
        break;
    }
    return {};
}

int stepsOf(Encoder encoder, int value) {
    switch (encoder) {
    case Encoder::TwosComplement:
        return value < 64 ? value : value - 128;
    case Encoder::Offset64:
        return value - 64;
    case Encoder::SignBit:
        return (value & 64) ? -(value & 63) : (value & 63);
    case Encoder::None:
        break;
    }
    return 0;
}

// 0..1 with the middle value (64, 8192) exactly at one half, so a centred pitch fader means 0.
double normalized(int value, int maximum) {
    const int middle = (maximum + 1) / 2;
    if (value <= middle)
        return value / (2.0 * middle);
    return 0.5 + (value - middle) / (2.0 * (maximum - middle));
}

// A number field: absent gives the default; anything but a whole number in range is a problem.
bool readInt(const QJsonObject &o, const char *key, int low, int high, int &out, QString &why) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || d != std::floor(d) || d < low || d > high) {
        why = QStringLiteral("„%1“ muss eine ganze Zahl von %2 bis %3 sein")
                  .arg(QLatin1String(key))
                  .arg(low)
                  .arg(high);
        return false;
    }
    out = static_cast<int>(d);
    return true;
}

} // namespace

QString MappingProblem::text() const {
    return QStringLiteral("%1, Zeile %2: %3").arg(file).arg(line).arg(what);
}

bool Mapping::matches(const QString &portName) const {
    for (const QString &part : ports)
        if (part != QLatin1String("*") && !part.isEmpty() && portName.contains(part, Qt::CaseInsensitive))
            return true;
    return false;
}

Mapping parseMapping(const QByteArray &text, const QString &file, const ControlSet &controls,
                     std::vector<MappingProblem> &problems) {
    Mapping mapping;
    mapping.file = file;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        problems.push_back({file, lineAt(text, error.offset),
                            error.error != QJsonParseError::NoError ? error.errorString()
                                                                    : QStringLiteral("kein JSON-Objekt")});
        return mapping;
    }
    mapping.document = doc.object();
    mapping.name = mapping.document.value(QLatin1String("name")).toString();
    const QJsonValue ports = mapping.document.value(QLatin1String("ports"));
    for (const QJsonValue &port : ports.toArray())
        mapping.ports << port.toString();
    if (mapping.ports.isEmpty())
        problems.push_back({file, 1, QStringLiteral("„ports“ nennt keinen Port")});

    const std::vector<int> lines = bindingLines(text);
    const QJsonArray bindings = mapping.document.value(QLatin1String("bindings")).toArray();
    for (qsizetype i = 0; i < bindings.size(); ++i) {
        const int line = i < static_cast<qsizetype>(lines.size()) ? lines[static_cast<std::size_t>(i)] : 1;
        const QJsonObject o = bindings[i].toObject();
        Binding b;
        b.line = line;
        b.control = o.value(QLatin1String("control")).toString();
        QString why;
        const std::optional<MidiKind> kind = kindNamed(o.value(QLatin1String("midi")).toString());
        const std::optional<Encoder> encoder = encoderNamed(o.value(QLatin1String("encoder")).toString());
        int channel = 1;
        if (!b.isShiftKey() && !(b.target = controls.find(b.control)))
            why = QStringLiteral("unbekanntes Control „%1“").arg(b.control);
        else if (!kind)
            why = QStringLiteral("„midi“ muss note, cc, cc14 oder pitchbend sein");
        else if (!encoder)
            why = QStringLiteral("„encoder“ muss twos, offset oder signbit sein");
        else if (readInt(o, "channel", 1, 16, channel, why) && readInt(o, "number", 0, 127, b.number, why) &&
                 readInt(o, "lsb", 0, 127, b.lsb, why) && readInt(o, "on", 0, 127, b.ledOn, why) &&
                 readInt(o, "off", 0, 127, b.ledOff, why)) {
            b.midi = *kind;
            b.encoder = *encoder;
            b.channel = channel - 1;
            if (b.midi == MidiKind::Cc14 && b.lsb < 0)
                why = QStringLiteral("ein 14-Bit-Controller braucht „lsb“");
            if (b.encoder != Encoder::None && b.midi != MidiKind::Cc)
                why = QStringLiteral("ein Encoder sendet Controller (cc)");
            if (b.target && b.target->kind() == ControlKind::Relative && b.encoder == Encoder::None)
                why = QStringLiteral("„%1“ braucht einen Encoder („encoder“)").arg(b.control);
        }
        if (!why.isEmpty()) {
            problems.push_back({file, line, why});
            continue;
        }
        b.shift = o.value(QLatin1String("shift")).toBool(false);
        b.invert = o.value(QLatin1String("invert")).toBool(false);
        b.softTakeover = o.value(QLatin1String("softTakeover")).toBool(true);
        b.led = o.value(QLatin1String("led")).toBool(false);
        b.step = o.value(QLatin1String("step")).toDouble(1.0);
        mapping.bindings.push_back(b);
    }
    return mapping;
}

QJsonObject bindingObject(const Binding &b) {
    QJsonObject o;
    o.insert(QStringLiteral("control"), b.control);
    o.insert(QStringLiteral("midi"), kindName(b.midi));
    o.insert(QStringLiteral("channel"), b.channel + 1);
    if (b.midi != MidiKind::PitchBend)
        o.insert(QStringLiteral("number"), b.number);
    if (b.midi == MidiKind::Cc14)
        o.insert(QStringLiteral("lsb"), b.lsb);
    if (b.encoder != Encoder::None) {
        o.insert(QStringLiteral("encoder"), encoderName(b.encoder));
        o.insert(QStringLiteral("step"), b.step);
    }
    if (b.shift)
        o.insert(QStringLiteral("shift"), true);
    if (b.invert)
        o.insert(QStringLiteral("invert"), true);
    if (b.led)
        o.insert(QStringLiteral("led"), true);
    return o;
}

QByteArray writeMapping(const Mapping &mapping) {
    QJsonObject doc = mapping.document;
    if (!doc.contains(QLatin1String("name")))
        doc.insert(QStringLiteral("name"), mapping.name);
    QJsonArray ports;
    for (const QString &port : mapping.ports)
        ports.append(port);
    doc.insert(QStringLiteral("ports"), ports);
    // Bindings this program could not use stay in the file as they were; a learned binding
    // replaces an earlier one of the same message.
    QJsonArray bindings;
    const QJsonArray old = doc.value(QLatin1String("bindings")).toArray();
    for (const QJsonValue &v : old) {
        const QJsonObject o = v.toObject();
        const bool used =
            std::any_of(mapping.bindings.begin(), mapping.bindings.end(), [&](const Binding &b) {
                return o.value(QLatin1String("control")).toString() == b.control && bindingObject(b) == o;
            });
        const bool replaced =
            std::any_of(mapping.bindings.begin(), mapping.bindings.end(), [&](const Binding &b) {
                return o.value(QLatin1String("midi")).toString() == kindName(b.midi) &&
                       o.value(QLatin1String("channel")).toInt(1) == b.channel + 1 &&
                       o.value(QLatin1String("number")).toInt(0) == b.number &&
                       o.value(QLatin1String("shift")).toBool(false) == b.shift;
            });
        if (!used && !replaced)
            bindings.append(o);
    }
    for (const Binding &b : mapping.bindings)
        bindings.append(bindingObject(b));
    doc.insert(QStringLiteral("bindings"), bindings);
    return QJsonDocument(doc).toJson(QJsonDocument::Indented);
}

std::optional<Binding> learnBinding(const std::vector<MidiBytes> &moved, Control &control) {
    if (moved.empty() || moved[0].size < 3)
        return std::nullopt;
    const MidiBytes &m = moved[0];
    Binding b;
    b.control = control.name();
    b.target = &control;
    b.channel = m.data[0] & 0x0F;
    b.number = m.data[1];
    switch (m.data[0] & 0xF0) {
    case 0x80:
    case 0x90:
        b.midi = MidiKind::Note;
        b.led = control.kind() == ControlKind::Button || control.kind() == ControlKind::Toggle;
        return b;
    case 0xE0:
        b.midi = MidiKind::PitchBend;
        b.number = 0;
        return b;
    case 0xB0:
        break;
    default:
        return std::nullopt;
    }
    b.midi = MidiKind::Cc;
    if (control.kind() == ControlKind::Relative) {
        // Encoders that centre on 64 send values near it; the others send small steps either
        // side of 0.
        const int v = m.data[2];
        b.encoder = (v >= 48 && v <= 80) ? Encoder::Offset64 : Encoder::TwosComplement;
        return b;
    }
    if (b.number < 32 && moved.size() > 1 && moved[1].size == 3 && moved[1].data[0] == m.data[0] &&
        moved[1].data[1] == b.number + 32) {
        b.midi = MidiKind::Cc14;
        b.lsb = b.number + 32;
    }
    return b;
}

QString describe(const std::uint8_t *bytes, std::size_t size) {
    if (size == 0)
        return {};
    const int status = bytes[0];
    if (status == 0xF0)
        return QStringLiteral("SysEx %1 Bytes").arg(size);
    const int channel = (status & 0x0F) + 1;
    const int a = size > 1 ? bytes[1] : 0;
    const int b = size > 2 ? bytes[2] : 0;
    switch (status & 0xF0) {
    case 0x80:
        return QStringLiteral("Note aus K%1 #%2 %3").arg(channel).arg(a).arg(b);
    case 0x90:
        return QStringLiteral("Note an K%1 #%2 %3").arg(channel).arg(a).arg(b);
    case 0xB0:
        return QStringLiteral("CC K%1 #%2 %3").arg(channel).arg(a).arg(b);
    case 0xE0:
        return QStringLiteral("Pitchbend K%1 %2").arg(channel).arg(a | (b << 7));
    default:
        break;
    }
    QString hex;
    for (std::size_t i = 0; i < std::min<std::size_t>(size, 3); ++i)
        hex += QStringLiteral("%1 ").arg(bytes[i], 2, 16, QLatin1Char('0'));
    return QStringLiteral("unbekannt: %1").arg(hex.trimmed());
}

// --------------------------------------------------------------------------------------------

Router::Router(const Mapping &mapping, const ControlSet &) : mapping_(mapping) {
    for (auto &row : msb_)
        row.fill(-1);
    rebuild();
}

void Router::rebuild() {
    states_.resize(mapping_.bindings.size());
}

Router::State &Router::stateOf(const Binding &binding) {
    return states_[static_cast<std::size_t>(&binding - mapping_.bindings.data())];
}

const Binding *Router::find(MidiKind kind, int channel, int number, bool pressed) {
    const Binding *plain = nullptr;
    const Binding *shifted = nullptr;
    for (const Binding &b : mapping_.bindings) {
        const bool same = b.channel == channel &&
                          (kind == MidiKind::PitchBend
                               ? b.midi == MidiKind::PitchBend
                               : (kind == MidiKind::Note ? b.midi == MidiKind::Note && b.number == number
                                                         : (b.midi == MidiKind::Cc && b.number == number) ||
                                                               (b.midi == MidiKind::Cc14 &&
                                                                (b.number == number || b.lsb == number))));
        if (!same)
            continue;
        // A release belongs to whichever layer took the press, wherever Shift is now.
        if (!pressed && stateOf(b).held)
            return &b;
        (b.shift ? shifted : plain) = &b;
    }
    return shift_ && shifted ? shifted : plain;
}

bool Router::handle(const std::uint8_t *bytes, std::size_t size) {
    if (size < 3 || bytes[0] < 0x80 || bytes[0] >= 0xF0)
        return false;
    const int type = bytes[0] & 0xF0;
    const int channel = bytes[0] & 0x0F;
    const int a = bytes[1] & 0x7F;
    const int v = bytes[2] & 0x7F;
    if (type == 0x80 || type == 0x90) {
        const bool pressed = type == 0x90 && v > 0;
        const Binding *b = find(MidiKind::Note, channel, a, pressed);
        if (!b)
            return false;
        button(*b, stateOf(*b), pressed);
        return true;
    }
    if (type == 0xE0) {
        const Binding *b = find(MidiKind::PitchBend, channel, 0, true);
        if (!b)
            return false;
        absolute(*b, stateOf(*b), normalized(a | (v << 7), 16383));
        return true;
    }
    if (type != 0xB0)
        return false;
    if (a < 32)
        msb_[static_cast<std::size_t>(channel)][static_cast<std::size_t>(a)] = v;
    const Binding *b = find(MidiKind::Cc, channel, a, v >= 64);
    if (!b)
        return false;
    State &state = stateOf(*b);
    if (b->midi == MidiKind::Cc14) {
        // The pair is complete with its LSB; the MSB alone only waits for it.
        if (a == b->number)
            return true;
        const int high = msb_[static_cast<std::size_t>(channel)][static_cast<std::size_t>(b->number)];
        if (high < 0)
            return true;
        absolute(*b, state, normalized((high << 7) | v, 16383));
        return true;
    }
    if (b->encoder != Encoder::None) {
        const int steps = stepsOf(b->encoder, v);
        Control &c = *b->target;
        if (c.kind() == ControlKind::Relative)
            c.set(steps * b->step);
        else
            c.set(std::clamp(c.value() + steps * b->step, std::min(c.low(), c.high()),
                             std::max(c.low(), c.high())));
        return true;
    }
    if (b->isShiftKey() || b->target->kind() == ControlKind::Button ||
        b->target->kind() == ControlKind::Toggle)
        button(*b, state, v >= 64);
    else
        absolute(*b, state, normalized(v, 127));
    return true;
}

void Router::button(const Binding &b, State &state, bool pressed) {
    if (pressed == state.held)
        return; // a repeated press, or a release nobody pressed
    state.held = pressed;
    if (b.isShiftKey()) {
        shift_ = pressed;
        return;
    }
    Control &c = *b.target;
    switch (c.kind()) {
    case ControlKind::Button:
        c.set(pressed ? 1.0 : 0.0);
        break;
    case ControlKind::Toggle:
        if (pressed)
            c.set(c.value() > 0.5 ? 0.0 : 1.0);
        break;
    case ControlKind::Range:
        if (pressed)
            c.set(b.invert ? c.low() : c.high());
        break;
    case ControlKind::Relative:
        if (pressed)
            c.set(b.invert ? -b.step : b.step);
        break;
    }
}

void Router::absolute(const Binding &b, State &state, double n) {
    Control &c = *b.target;
    if (c.kind() != ControlKind::Range) {
        button(b, state, n >= 0.5);
        return;
    }
    const double physical = c.atPosition(b.invert ? 1.0 - n : n);
    if (b.softTakeover) {
        // The program's value may have moved away from the knob (the window, a new song): the
        // knob takes over again only once it reaches or passes that value.
        const double tolerance = std::abs(c.high() - c.low()) * 0.03 + 1.0;
        const double now = c.value();
        if (state.engaged && !c.pending() && std::abs(now - state.lastSent) > tolerance)
            state.engaged = false;
        if (!state.engaged)
            state.engaged = std::abs(physical - now) <= tolerance ||
                            (state.seen && (state.lastPhysical - now) * (physical - now) <= 0);
        state.lastPhysical = physical;
        state.seen = true;
        if (!state.engaged)
            return;
    }
    state.lastSent = physical;
    c.set(physical);
}

void Router::releaseHeld() {
    for (std::size_t i = 0; i < states_.size(); ++i) {
        if (!states_[i].held)
            continue;
        button(mapping_.bindings[i], states_[i], false);
    }
    shift_ = false;
}

std::vector<MidiBytes> Router::lamps(const Control &control, double value) const {
    std::vector<MidiBytes> out;
    for (const Binding &b : mapping_.bindings) {
        if (!b.led || b.target != &control)
            continue;
        const auto level = static_cast<std::uint8_t>(value > 0.5 ? b.ledOn : b.ledOff);
        const auto status = static_cast<std::uint8_t>((b.midi == MidiKind::Note ? 0x90 : 0xB0) | b.channel);
        out.push_back(MidiBytes::of(status, static_cast<std::uint8_t>(b.number), level));
    }
    return out;
}

std::vector<MidiBytes> Router::allLamps() const {
    std::vector<MidiBytes> out;
    for (const Binding &b : mapping_.bindings)
        if (b.led && b.target) {
            const auto one = lamps(*b.target, b.target->value());
            for (const MidiBytes &m : one)
                if (std::find(out.begin(), out.end(), m) == out.end())
                    out.push_back(m);
        }
    return out;
}

} // namespace mixora::controller
