// A JACK server of the test's own (the dummy driver, under a name no other run uses) and a
// controller on it: a client with a MIDI output "out" (what the controller sends) and an input
// "in" (its lamps). Destroying the peer unplugs the controller.
#pragma once

#include "controller/Mapping.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <string>
#include <vector>

namespace mixora::test {

class JackServer {
public:
    // Starts jackd unless it is missing; running() tells.
    JackServer();
    ~JackServer();
    bool running() const { return running_; }
    const std::string &why() const { return why_; }

private:
    int pid_ = -1;
    bool running_ = false;
    std::string why_;
};

class JackPeer {
public:
    explicit JackPeer(const std::string &name);
    ~JackPeer();
    bool open() const { return client_ != nullptr; }
    void send(const controller::MidiBytes &message);
    // Everything that reached "in" since the last call.
    std::vector<controller::MidiBytes> received();

private:
    static int process(jack_nframes_t frames, void *arg);
    jack_client_t *client_ = nullptr;
    jack_port_t *out_ = nullptr;
    jack_port_t *in_ = nullptr;
    jack_ringbuffer_t *toSend_ = nullptr;
    jack_ringbuffer_t *got_ = nullptr;
};

} // namespace mixora::test
