// The ALSA sequencer: every readable port of another client is a device (the system's own
// client and the "Midi Through" loopback aside, which would echo the lamps back as presses).
// One input port of ours is subscribed to each device; lamps go straight to the device's port.
// Hot-plug comes from the system's announce port (client 0, port 1), subscribed to our port.
//
// The thread sleeps in poll() on the sequencer's descriptors and an eventfd that wakes it for
// destruction; it never polls on a timer.
#include "controller/Midi.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace mixora::controller {

namespace {

void silentAlsa(const char *, int, const char *, int, const char *, ...) {}

std::string idOf(int client, int port) {
    return std::to_string(client) + ":" + std::to_string(port);
}

class AlsaMidi final : public MidiBackend {
public:
    AlsaMidi(DeviceEvents &events, snd_seq_t *seq, int port) : events_(events), seq_(seq), port_(port) {
        me_ = snd_seq_client_id(seq_);
        snd_midi_event_new(256, &decoder_);
        snd_midi_event_new(16, &encoder_);
        snd_midi_event_no_status(decoder_, 1);
        stopFd_ = eventfd(0, EFD_CLOEXEC);
        snd_seq_connect_from(seq_, port_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        snd_seq_nonblock(seq_, 1);
        worker_ = std::thread([this] { run(); });
        preferRealTime(worker_);
    }

    ~AlsaMidi() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
        worker_.join();
        close(stopFd_);
        snd_midi_event_free(decoder_);
        snd_midi_event_free(encoder_);
        snd_seq_close(seq_);
    }

    const char *kind() const override { return "ALSA"; }

    bool send(const std::string &id, const MidiBytes &message) override {
        std::lock_guard lock(mutex_);
        const auto it = devices_.find(id);
        if (it == devices_.end() || !it->second.canSend)
            return false;
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_midi_event_reset_encode(encoder_);
        if (snd_midi_event_encode(encoder_, message.data.data(), message.size, &ev) <= 0 ||
            ev.type == SND_SEQ_EVENT_NONE)
            return false;
        snd_seq_ev_set_source(&ev, port_);
        snd_seq_ev_set_dest(&ev, it->second.client, it->second.port);
        snd_seq_ev_set_direct(&ev);
        return snd_seq_event_output_direct(seq_, &ev) >= 0;
    }

private:
    struct Device {
        int client = 0;
        int port = 0;
        bool canSend = false;
    };

    void run() {
        rescan();
        std::vector<pollfd> fds(static_cast<std::size_t>(snd_seq_poll_descriptors_count(seq_, POLLIN)) + 1);
        snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(fds.size() - 1), POLLIN);
        fds.back() = {stopFd_, POLLIN, 0};
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                break;
            if (fds.back().revents)
                break;
            bool changed = false;
            for (;;) {
                snd_seq_event_t *ev = nullptr;
                std::string from;
                std::uint8_t bytes[256];
                long size = 0;
                {
                    std::lock_guard lock(mutex_);
                    const int r = snd_seq_event_input(seq_, &ev);
                    if (r < 0 && r != -ENOSPC)
                        break;
                    if (!ev)
                        continue;
                    if (ev->source.client == SND_SEQ_CLIENT_SYSTEM) {
                        changed = true;
                        continue;
                    }
                    from = idOf(ev->source.client, ev->source.port);
                    if (!devices_.count(from))
                        continue;
                    if (ev->type == SND_SEQ_EVENT_SYSEX) {
                        // Longer than the buffer, the decoder writes nothing: the first bytes are
                        // taken from the event itself.
                        size = static_cast<long>(ev->data.ext.len);
                        std::memcpy(bytes, ev->data.ext.ptr,
                                    std::min<std::size_t>(ev->data.ext.len, sizeof bytes));
                    } else {
                        snd_midi_event_reset_decode(decoder_);
                        size = snd_midi_event_decode(decoder_, bytes, sizeof bytes, ev);
                    }
                }
                if (size > 0)
                    events_.received(from, bytes, static_cast<std::size_t>(size), Clock::now());
            }
            if (changed)
                rescan();
        }
        std::map<std::string, Device> gone;
        {
            std::lock_guard lock(mutex_);
            gone.swap(devices_);
        }
        for (const auto &[id, device] : gone)
            events_.vanished(id);
    }

    void rescan() {
        std::map<std::string, Device> present;
        std::map<std::string, std::string> names;
        {
            std::lock_guard lock(mutex_);
            snd_seq_client_info_t *client;
            snd_seq_port_info_t *port;
            snd_seq_client_info_alloca(&client);
            snd_seq_port_info_alloca(&port);
            snd_seq_client_info_set_client(client, -1);
            while (snd_seq_query_next_client(seq_, client) >= 0) {
                const int c = snd_seq_client_info_get_client(client);
                const std::string clientName = snd_seq_client_info_get_name(client);
                if (c == SND_SEQ_CLIENT_SYSTEM || c == me_ || clientName.find("Through") != std::string::npos)
                    continue;
                snd_seq_port_info_set_client(port, c);
                snd_seq_port_info_set_port(port, -1);
                while (snd_seq_query_next_port(seq_, port) >= 0) {
                    const unsigned caps = snd_seq_port_info_get_capability(port);
                    if ((caps & (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ)) !=
                        (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ))
                        continue;
                    const int p = snd_seq_port_info_get_port(port);
                    Device d{c, p, (caps & SND_SEQ_PORT_CAP_WRITE) != 0};
                    present[idOf(c, p)] = d;
                    names[idOf(c, p)] = clientName + ": " + snd_seq_port_info_get_name(port);
                }
            }
        }
        std::vector<std::string> vanished;
        std::vector<std::string> appeared;
        {
            std::lock_guard lock(mutex_);
            for (auto it = devices_.begin(); it != devices_.end();) {
                if (present.count(it->first)) {
                    ++it;
                    continue;
                }
                vanished.push_back(it->first);
                it = devices_.erase(it);
            }
            for (const auto &[id, d] : present) {
                if (devices_.count(id))
                    continue;
                if (snd_seq_connect_from(seq_, port_, d.client, d.port) < 0)
                    continue;
                devices_[id] = d;
                appeared.push_back(id);
            }
        }
        for (const std::string &id : vanished)
            events_.vanished(id);
        for (const std::string &id : appeared)
            events_.appeared(id, names[id], present[id].canSend);
    }

    DeviceEvents &events_;
    snd_seq_t *seq_;
    int port_;
    int me_ = 0;
    int stopFd_ = -1;
    snd_midi_event_t *decoder_ = nullptr;
    snd_midi_event_t *encoder_ = nullptr;
    std::mutex mutex_; // the sequencer handle, between the thread and senders
    std::map<std::string, Device> devices_;
    std::thread worker_;
};

} // namespace

std::unique_ptr<MidiBackend> openAlsaMidi(DeviceEvents &events, const std::string &clientName) {
    snd_lib_error_set_handler(silentAlsa);
    snd_seq_t *seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0)
        return nullptr;
    snd_seq_set_client_name(seq, clientName.c_str());
    const int port = snd_seq_create_simple_port(
        seq, "Controller", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_READ,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) {
        snd_seq_close(seq);
        return nullptr;
    }
    return std::make_unique<AlsaMidi>(events, seq, port);
}

} // namespace mixora::controller
