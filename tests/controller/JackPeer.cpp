#include "JackPeer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char **environ;

namespace mixora::test {

namespace {
void silent(const char *) {}
} // namespace

JackServer::JackServer() {
    jack_set_error_function(silent);
    jack_set_info_function(silent);
    const std::string name = "mixora-controller-test-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    std::vector<std::string> args{"jackd", "-n", name, "--no-realtime", "-d", "dummy", "-r",
                                  "44100", "-p", "512"};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int r = posix_spawnp(&pid_, "jackd", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) {
        pid_ = -1;
        why_ = "jackd is not installed";
        return;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
        jack_status_t status;
        if (jack_client_t *probe = jack_client_open("probe", JackNoStartServer, &status)) {
            jack_client_close(probe);
            running_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why_ = "jackd did not start";
}

JackServer::~JackServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

JackPeer::JackPeer(const std::string &name) {
    jack_status_t status;
    client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!client_)
        return;
    toSend_ = jack_ringbuffer_create(1 << 14);
    got_ = jack_ringbuffer_create(1 << 14);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &JackPeer::process, this);
    jack_activate(client_);
}

JackPeer::~JackPeer() {
    if (!client_)
        return;
    jack_deactivate(client_);
    jack_client_close(client_);
    jack_ringbuffer_free(toSend_);
    jack_ringbuffer_free(got_);
}

void JackPeer::send(const controller::MidiBytes &message) {
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char *>(&message), sizeof message);
}

std::vector<controller::MidiBytes> JackPeer::received() {
    std::vector<controller::MidiBytes> out;
    controller::MidiBytes m;
    while (jack_ringbuffer_read_space(got_) >= sizeof m) {
        jack_ringbuffer_read(got_, reinterpret_cast<char *>(&m), sizeof m);
        out.push_back(m);
    }
    return out;
}

int JackPeer::process(jack_nframes_t frames, void *arg) {
    auto &self = *static_cast<JackPeer *>(arg);
    void *out = jack_port_get_buffer(self.out_, frames);
    jack_midi_clear_buffer(out);
    controller::MidiBytes m;
    while (jack_ringbuffer_read_space(self.toSend_) >= sizeof m) {
        jack_ringbuffer_peek(self.toSend_, reinterpret_cast<char *>(&m), sizeof m);
        if (jack_midi_event_write(out, 0, m.data.data(), m.size) != 0)
            break;
        jack_ringbuffer_read_advance(self.toSend_, sizeof m);
    }
    void *in = jack_port_get_buffer(self.in_, frames);
    const jack_nframes_t count = jack_midi_get_event_count(in);
    for (jack_nframes_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, in, i) != 0 || e.size != 3)
            continue;
        m = controller::MidiBytes::of(e.buffer[0], e.buffer[1], e.buffer[2]);
        if (jack_ringbuffer_write_space(self.got_) >= sizeof m)
            jack_ringbuffer_write(self.got_, reinterpret_cast<const char *>(&m), sizeof m);
    }
    return 0;
}

} // namespace mixora::test
