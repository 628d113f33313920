// MIDI devices as the system presents them: the ALSA sequencer (USB controllers on Linux) and
// JACK MIDI. A backend finds devices as they come and go, delivers their messages and sends to
// them. Input is event-driven: each backend has one thread that sleeps until the system has a
// message or a change of its ports for it.
//
// Threads. DeviceEvents are called on the backend's own thread, in order; a device's messages
// never arrive after its vanished(). send() may be called from any thread and never waits for
// the device. Destroying a backend stops its thread; no DeviceEvents call runs after that.
#pragma once

#include "controller/Mapping.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <pthread.h>
#include <sched.h>

namespace mixora::controller {

using Clock = std::chrono::steady_clock;

class DeviceEvents {
public:
    virtual ~DeviceEvents() = default;
    // id is unique for the backend while the device is present; name is its port name.
    virtual void appeared(const std::string &id, const std::string &name, bool canSend) = 0;
    virtual void vanished(const std::string &id) = 0;
    // size is the whole message's; longer ones (SysEx) come with their first bytes only.
    virtual void received(const std::string &id, const std::uint8_t *bytes, std::size_t size,
                          Clock::time_point arrival) = 0;
};

class MidiBackend {
public:
    virtual ~MidiBackend() = default;
    virtual const char *kind() const = 0; // "ALSA", "JACK"
    // False when the device is gone or its queue is full (the message is dropped).
    virtual bool send(const std::string &id, const MidiBytes &message) = 0;
};

// A backend's thread carries a knob's turn to the engine: under a busy machine a normal thread
// waits milliseconds for a core. Where the system allows it (root, or the audio group's rtprio
// limit), the thread gets a real-time priority below any sound thread's; elsewhere it stays as it is.
inline void preferRealTime(std::thread &thread) {
    sched_param param{};
    param.sched_priority = 5;
    pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
}

// None when the system has no such service (no JACK server running, no sequencer device).
std::unique_ptr<MidiBackend> openJackMidi(DeviceEvents &events, const std::string &clientName);
std::unique_ptr<MidiBackend> openAlsaMidi(DeviceEvents &events, const std::string &clientName);

} // namespace mixora::controller
