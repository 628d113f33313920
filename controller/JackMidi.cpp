// JACK MIDI: every foreign MIDI output port is a device. The program gives each device a port
// pair of its own ("in_N", "out_N"), so messages keep their device and lamps reach only it; the
// pair's output goes to the device's input port of the same name stem.
//
// The process callback is real-time code: it only moves bytes between the ports and two ring
// buffers and posts a semaphore. Port scans, connections and every DeviceEvents call happen on
// the backend's thread, which sleeps on that semaphore.
#include "controller/Midi.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace mixora::controller {

namespace {

constexpr int kSlots = 16;
constexpr std::size_t kRingBytes = 1 << 16;

struct InEntry {
    std::uint8_t slot;
    std::uint8_t bytes[3];
    std::uint32_t size;
    std::int64_t arrivalNs;
};

struct OutEntry {
    std::uint8_t slot;
    std::uint8_t size;
    std::uint8_t bytes[3];
};

void silent(const char *) {}

std::size_t commonPrefix(const std::string &a, const std::string &b) {
    std::size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        ++n;
    return n;
}

class JackMidi final : public MidiBackend {
public:
    JackMidi(DeviceEvents &events, jack_client_t *client, std::string family)
        : events_(events), client_(client), family_(std::move(family)) {
        sem_init(&wake_, 0, 0);
        inRing_ = jack_ringbuffer_create(kRingBytes);
        outRing_ = jack_ringbuffer_create(kRingBytes);
        jack_set_process_callback(client_, &JackMidi::process, this);
        jack_set_port_registration_callback(client_, &JackMidi::portRegistered, this);
        // A client that quits may be announced only as a client: its ports go with it.
        jack_set_client_registration_callback(client_, &JackMidi::clientRegistered, this);
        jack_on_shutdown(client_, &JackMidi::shutdown, this);
        worker_ = std::thread([this] { run(); });
        preferRealTime(worker_);
        if (jack_activate(client_) != 0)
            dead_ = true;
        wake();
    }

    ~JackMidi() override {
        stop_ = true;
        wake();
        worker_.join();
        if (!dead_)
            jack_deactivate(client_);
        jack_client_close(client_);
        jack_ringbuffer_free(inRing_);
        jack_ringbuffer_free(outRing_);
        sem_destroy(&wake_);
    }

    const char *kind() const override { return "JACK"; }

    bool send(const std::string &id, const MidiBytes &message) override {
        int slot = -1;
        {
            std::lock_guard lock(names_);
            for (int i = 0; i < kSlots; ++i)
                if (sources_[i] == id && slots_[i].active.load())
                    slot = i;
        }
        if (slot < 0 || message.size == 0)
            return false;
        OutEntry e{static_cast<std::uint8_t>(slot),
                   message.size,
                   {message.data[0], message.data[1], message.data[2]}};
        std::lock_guard lock(sending_);
        if (jack_ringbuffer_write_space(outRing_) < sizeof e)
            return false;
        jack_ringbuffer_write(outRing_, reinterpret_cast<const char *>(&e), sizeof e);
        return true;
    }

private:
    struct Slot {
        std::atomic<jack_port_t *> in{nullptr};
        std::atomic<jack_port_t *> out{nullptr};
        std::atomic<bool> active{false};
    };

    void wake() { sem_post(&wake_); }

    static int process(jack_nframes_t frames, void *arg) {
        auto &self = *static_cast<JackMidi *>(arg);
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        std::array<void *, kSlots> outBuffers{};
        bool received = false;
        for (int i = 0; i < kSlots; ++i) {
            Slot &slot = self.slots_[i];
            if (jack_port_t *out = slot.out.load()) {
                outBuffers[i] = jack_port_get_buffer(out, frames);
                jack_midi_clear_buffer(outBuffers[i]);
            }
            jack_port_t *in = slot.in.load();
            if (!in || !slot.active.load())
                continue;
            void *buffer = jack_port_get_buffer(in, frames);
            const jack_nframes_t count = jack_midi_get_event_count(buffer);
            for (jack_nframes_t k = 0; k < count; ++k) {
                jack_midi_event_t event;
                if (jack_midi_event_get(&event, buffer, k) != 0 || event.size == 0)
                    continue;
                InEntry e{
                    static_cast<std::uint8_t>(i), {0, 0, 0}, static_cast<std::uint32_t>(event.size), now};
                std::memcpy(e.bytes, event.buffer, std::min<std::size_t>(3, event.size));
                if (jack_ringbuffer_write_space(self.inRing_) < sizeof e) {
                    self.dropped_.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                jack_ringbuffer_write(self.inRing_, reinterpret_cast<const char *>(&e), sizeof e);
                received = true;
            }
        }
        OutEntry e;
        while (jack_ringbuffer_read_space(self.outRing_) >= sizeof e) {
            jack_ringbuffer_peek(self.outRing_, reinterpret_cast<char *>(&e), sizeof e);
            void *buffer = e.slot < kSlots ? outBuffers[e.slot] : nullptr;
            if (buffer && jack_midi_event_write(buffer, 0, e.bytes, e.size) != 0)
                break; // full this period: the rest goes out with the next
            jack_ringbuffer_read_advance(self.outRing_, sizeof e);
        }
        if (received)
            self.wake();
        return 0;
    }

    static void portRegistered(jack_port_id_t, int, void *arg) {
        auto &self = *static_cast<JackMidi *>(arg);
        self.rescan_ = true;
        self.wake();
    }

    static void clientRegistered(const char *, int, void *arg) { portRegistered(0, 0, arg); }

    static void shutdown(void *arg) {
        auto &self = *static_cast<JackMidi *>(arg);
        self.dead_ = true;
        self.wake();
    }

    void run() {
        while (!stop_) {
            while (sem_wait(&wake_) != 0 && errno == EINTR) {
            }
            if (stop_)
                break;
            drain();
            if (dead_) {
                forgetAll();
                continue; // the server is gone: sleep until destruction
            }
            if (rescan_.exchange(false))
                rescan();
        }
        drain();
        forgetAll();
    }

    void drain() {
        InEntry e;
        while (jack_ringbuffer_read_space(inRing_) >= sizeof e) {
            jack_ringbuffer_read(inRing_, reinterpret_cast<char *>(&e), sizeof e);
            if (e.slot < kSlots && !sources_[e.slot].empty())
                events_.received(sources_[e.slot], e.bytes, e.size,
                                 Clock::time_point(std::chrono::nanoseconds(e.arrivalNs)));
        }
    }

    void forgetAll() {
        for (int i = 0; i < kSlots; ++i)
            if (slots_[i].active.exchange(false)) {
                const std::string id = sources_[i];
                setSource(i, {});
                events_.vanished(id);
            }
    }

    void setSource(int i, const std::string &id) {
        std::lock_guard lock(names_);
        sources_[i] = id;
    }

    void rescan() {
        std::set<std::string> present;
        if (const char **ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput)) {
            for (const char **p = ports; *p; ++p) {
                jack_port_t *port = jack_port_by_name(client_, *p);
                // Another instance of the program is no controller (its lamps would be presses).
                if (port && !jack_port_is_mine(client_, port) && std::string(*p).rfind(family_, 0) != 0)
                    present.insert(*p);
            }
            jack_free(ports);
        }
        for (int i = 0; i < kSlots; ++i) {
            if (!slots_[i].active.load() || present.count(sources_[i]))
                continue;
            slots_[i].active = false;
            drain(); // what it sent before it went still belongs to it
            const std::string id = sources_[i];
            setSource(i, {});
            events_.vanished(id);
        }
        for (const std::string &source : present) {
            bool known = false;
            for (int i = 0; i < kSlots; ++i)
                known = known || (slots_[i].active.load() && sources_[i] == source);
            if (!known)
                bind(source);
        }
    }

    void bind(const std::string &source) {
        int i = 0;
        while (i < kSlots && slots_[i].active.load())
            ++i;
        if (i == kSlots)
            return;
        Slot &slot = slots_[i];
        if (!slot.in.load()) {
            const std::string n = std::to_string(i + 1);
            slot.in =
                jack_port_register(client_, ("in_" + n).c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
            slot.out = jack_port_register(client_, ("out_" + n).c_str(), JACK_DEFAULT_MIDI_TYPE,
                                          JackPortIsOutput, 0);
            if (!slot.in.load() || !slot.out.load())
                return;
        }
        // Connections left from an earlier device of this slot go first.
        jack_port_disconnect(client_, slot.in.load());
        jack_port_disconnect(client_, slot.out.load());
        setSource(i, source);
        slot.active = true;
        if (jack_connect(client_, source.c_str(), jack_port_name(slot.in.load())) != 0) {
            slot.active = false;
            setSource(i, {});
            return;
        }
        const std::string sink = sinkFor(source);
        const bool canSend =
            !sink.empty() && jack_connect(client_, jack_port_name(slot.out.load()), sink.c_str()) == 0;
        events_.appeared(source, source, canSend);
    }

    // The device's input: the foreign MIDI input port sharing the longest start with its output's
    // name, at least its client's name.
    std::string sinkFor(const std::string &source) {
        const std::size_t colon = source.find(':');
        if (colon == std::string::npos)
            return {};
        std::string best;
        std::size_t bestLength = colon + 1;
        if (const char **ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
            for (const char **p = ports; *p; ++p) {
                jack_port_t *port = jack_port_by_name(client_, *p);
                const std::size_t length = commonPrefix(source, *p);
                if (port && !jack_port_is_mine(client_, port) && length >= bestLength &&
                    (best.empty() || length > commonPrefix(source, best))) {
                    best = *p;
                    bestLength = length;
                }
            }
            jack_free(ports);
        }
        return best;
    }

    DeviceEvents &events_;
    jack_client_t *client_;
    const std::string family_; // our client's name as asked for, before JACK makes it unique
    jack_ringbuffer_t *inRing_ = nullptr;
    jack_ringbuffer_t *outRing_ = nullptr;
    sem_t wake_;
    std::array<Slot, kSlots> slots_;
    std::array<std::string, kSlots> sources_; // written by the thread under names_
    std::mutex names_;
    std::mutex sending_; // between senders only; the process callback never takes it
    std::atomic<bool> rescan_{true};
    std::atomic<bool> stop_{false};
    std::atomic<bool> dead_{false};
    std::atomic<std::uint64_t> dropped_{0};
    std::thread worker_;
};

} // namespace

std::unique_ptr<MidiBackend> openJackMidi(DeviceEvents &events, const std::string &clientName) {
    jack_set_error_function(silent);
    jack_set_info_function(silent);
    jack_status_t status;
    jack_client_t *client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (!client)
        return nullptr;
    return std::make_unique<JackMidi>(events, client, clientName);
}

} // namespace mixora::controller
