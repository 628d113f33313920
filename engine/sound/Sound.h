// The sound layer: our software stand-in for DirectSound. A Device is one opened output that runs
// continuously at 44100 Hz / 16 bit / stereo and mixes every playing Buffer created on it. A Buffer is a
// secondary buffer in its file's PCM format with play cursor, volume, frequency and position
// notifications that signal auto-reset Events.
//
// Real-time rule: the mix never allocates, never waits on a lock the GUI or a worker may hold and does no
// I/O. Every Buffer setter below is safe to call from any thread while the device runs; the mix picks the
// change up at its next period (volume ramps across that period, so fader moves never click).
//
// Using it from tests (GUI tests included): install a provider before the program opens its devices,
//
//     auto devices = std::make_shared<sound::VirtualProvider>(std::vector<sound::VirtualDevice>{
//         {"Testkarte 1", sound::Backend::Manual}, {"Testkarte 2", sound::Backend::Manual}});
//     sound::setProviderForTesting(devices);
//     ... the window opens its devices by GUID (devices->enumerate()[1].guid) ...
//     auto samples = devices->opened(0)->render(4410);   // the exact mix of the first card
//     sound::setProviderForTesting(nullptr);             // back to the environment's choice
//
// Without a test provider the program uses PortAudio, or two virtual null devices ("Null-Ausgabe 1",
// "Null-Ausgabe 2") when the environment variable MIXORA_SOUND=null is set.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mixora::sound {

inline constexpr int kDeviceRate = 44100;
inline constexpr int kDeviceChannels = 2;
inline constexpr int kDeviceBytesPerFrame = 4;
inline constexpr int kSilenceHundredthsDb = -10000;
inline constexpr std::uint32_t kMinFrequencyHz = 100;
inline constexpr std::uint32_t kMaxFrequencyHz = 200000;
inline constexpr float kMaxGain = 8.0f; // +18 dB

// The deck EQ's three bands (isolator: each band's knob scales its part of the spectrum).
inline constexpr int kEqBands = 3;
inline constexpr int kEqLow = 0;  // "Tief"
inline constexpr int kEqMid = 1;  // "Mitte"
inline constexpr int kEqHigh = 2; // "Hoch"
// A band's knob: kEqKillDb (its end stop, and anything below it) removes the band; up to kEqMaxDb.
inline constexpr float kEqKillDb = -26.0f;
inline constexpr float kEqMaxDb = 6.0f;
// Crossover frequencies between the bands, and the range a configured one must lie in.
inline constexpr float kEqLowCrossoverHz = 250.0f;
inline constexpr float kEqHighCrossoverHz = 2500.0f;
inline constexpr float kEqMinCrossoverHz = 20.0f;
inline constexpr float kEqMaxCrossoverHz = 20000.0f;
// The filter knob: −1 … 1; within ±kFilterDeadZone the deck is dry, below it a low-pass sweeps down to
// kFilterMinHz, above it a high-pass sweeps up to kFilterMaxHz.
inline constexpr float kFilterDeadZone = 0.03f;
inline constexpr float kFilterMinHz = 20.0f;
inline constexpr float kFilterMaxHz = 20000.0f;
// The output limiter holds every sample at or below this level (dBFS) and passes whatever stays below it
// unchanged; it looks this many frames ahead (about 1.45 ms) without delaying the output.
inline constexpr float kLimiterCeilingDb = -0.3f;
inline constexpr std::size_t kLimiterLookaheadFrames = 64;

// A level meter's reading: the highest absolute sample since the previous reading (1 = full scale) and
// whether anything reached full scale meanwhile.
struct PeakReading {
    float peak = 0.0f;
    bool clipped = false;
};

// Crossovers as a user configured them, or both defaults when they are out of order or out of range.
struct EqCrossovers {
    float lowHz = kEqLowCrossoverHz;
    float highHz = kEqHighCrossoverHz;
};
EqCrossovers validCrossovers(double lowHz, double highHz);

// Every failure of the sound layer that a caller should show: the text is a readable reason.
class SoundError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------------------
// Device identity

class Guid {
public:
    Guid() = default;
    explicit Guid(const std::array<std::uint8_t, 16> &bytes) : bytes_(bytes) {}

    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters, upper case.
    std::string toString() const;
    // Accepts the braced form in either letter case; anything else throws SoundError.
    static Guid parse(std::string_view text);
    static std::optional<Guid> tryParse(std::string_view text);

    // Name-based UUID version 5 (SHA-1) of name in the given namespace.
    static Guid nameBased(const Guid &nameSpace, std::string_view name);
    // Our namespace for device names, so a device's GUID survives restarts.
    static Guid deviceNamespace();

    const std::array<std::uint8_t, 16> &bytes() const { return bytes_; }
    bool isNull() const;
    friend bool operator==(const Guid &, const Guid &) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

// SHA-1 of data (20 bytes); exposed for the GUID derivation and its tests.
std::array<std::uint8_t, 20> sha1(std::string_view data);

// ---------------------------------------------------------------------------------------------------
// Events

// An auto-reset event: set() wakes one wait that then consumes it. set() is real-time safe (no lock,
// no allocation), so the mix signals notifications directly.
class Event {
public:
    Event();
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void set();
    // True when signalled without consuming it (for tests and diagnostics).
    bool isSet() const;
    // Waits until signalled (and consumes it) or the timeout passes; nullopt waits without limit.
    bool wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    // Declares the work for the last wake-up of this event finished. An offline device that signalled
    // this event renders no further until then. Calling wait()/waitAny() again on this event from the
    // thread that consumed it does the same, so a worker loop "wait, refill, wait again" needs no call.
    void done();

    // Internal bookkeeping of the offline handshake.
    std::uint64_t setCount() const;
    std::uint64_t doneCount() const;

private:
    friend int waitAny(std::initializer_list<Event *>, std::optional<std::chrono::milliseconds>);
    struct State;
    std::unique_ptr<State> state_;
};

inline constexpr int kWaitTimeout = -1;

// Waits until one of the events is signalled, consumes that one and returns its index (the first one
// in list order when several are set), or kWaitTimeout. Null entries are ignored.
int waitAny(std::initializer_list<Event *> events,
            std::optional<std::chrono::milliseconds> timeout = std::nullopt);
inline int waitAny(Event &first, Event &second,
                   std::optional<std::chrono::milliseconds> timeout = std::nullopt) {
    return waitAny({&first, &second}, timeout);
}

// ---------------------------------------------------------------------------------------------------
// Buffers

struct PcmFormat {
    int sampleRate = kDeviceRate; // Hz
    int channels = 2;             // 1 or 2
    int bitsPerSample = 16;       // only 16 is supported
    int blockAlign() const { return channels * bitsPerSample / 8; }
    int bytesPerSecond() const { return sampleRate * blockAlign(); }
};

struct Notification {
    std::uint32_t offset = 0;     // byte offset in the buffer
    std::shared_ptr<Event> event; // signalled when the play cursor passes offset
};

namespace detail {
class DeviceMix;
struct BufferCore;
} // namespace detail

class Buffer {
public:
    ~Buffer(); // unregisters from the mix; returns only once the mix no longer reads this buffer
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    std::uint32_t bytes() const;
    const PcmFormat &format() const;

    // Plays from the current cursor; looping wraps at the end, otherwise the buffer stops there and
    // its cursor returns to 0.
    void play(bool looping);
    void stop(); // the cursor stays where it is
    bool playing() const;
    // Like play(), but the first frame sounds exactly at the device's frame deviceFrame (as counted by
    // Device::framesRendered()). A start the mix reaches late joins where it would be had it started in
    // time, so two buffers started this way keep their distance to the frame.
    void playAt(std::uint64_t deviceFrame, bool looping);

    // Where the mix left this buffer at the end of its last period, read as one consistent whole.
    struct Clock {
        std::uint64_t deviceFrame = 0; // the device frame the position belongs to
        double position = 0.0;         // play cursor in frames, with its fraction
        double step = 1.0;             // frames the cursor advances per device frame
        bool playing = false;
    };
    Clock clock() const;

    // Play cursor in bytes (a multiple of the block alignment). Setting it takes effect at once.
    std::uint32_t cursor() const;
    void setCursor(std::uint32_t byteOffset);

    // Attenuation in hundredths of a dB: 0 full, −10000 silent; clamped to that range.
    void setVolume(int hundredthsDb);
    int volume() const;

    // A gain of its own beside the volume (linear, 0 … kMaxGain), multiplied into it and ramped like it;
    // levels songs to one loudness without touching what the volume means. 1 by default.
    void setGain(float linear);
    float gain() const;

    // The deck's processing, in the order the mix applies it after resampling and before the volume:
    // EQ (band kEqLow … kEqHigh, dB clamped to kEqKillDb … kEqMaxDb; a band index out of range is
    // ignored, NaN counts as 0 dB), the kill switch per band, and the filter (−1 … 1, NaN = 0). At 0 dB,
    // no kill and the filter centred the buffer sounds bit for bit as without them. Changes ramp within
    // the next period.
    void setEq(int band, float dB);
    float eq(int band) const;
    void setEqKill(int band, bool on);
    bool eqKill(int band) const;
    void setFilter(float value);
    float filter() const;
    // The EQ's crossover frequencies (validCrossovers applies).
    void setEqCrossovers(float lowHz, float highHz);
    EqCrossovers eqCrossovers() const;
    // The level after EQ and filter, before volume and gain, since the previous call (lock-free).
    PeakReading takePeak();

    // Key lock: the tempo follows the frequency and the key stays (a time-stretcher takes the resampler's
    // place). Positions, the clock and timed starts stay exact either way; a switch while playing is
    // cross-faded within the next period. The first switch-on allocates the stretcher.
    void setKeyLock(bool on);
    bool keyLock() const;

    // Playback frequency in Hz (resampled to the device rate); 0 restores the format's rate. Clamped to
    // kMinFrequencyHz … kMaxFrequencyHz.
    void setFrequency(std::uint32_t hz);
    std::uint32_t frequency() const; // to the nearest hertz
    // The same with a fraction of a hertz, used by the mix as it is (a synced deck's rate is not bound
    // to whole hertz). 0 or NaN restores the format's rate; the clamp is the same.
    void setExactFrequency(double hz);
    double exactFrequency() const;

    // Replaces the notification positions (an empty list removes them). Offsets beyond the buffer are
    // refused (false). The events are kept alive as long as the buffer names them.
    bool setNotifications(std::vector<Notification> positions);

    // Direct write of a byte range (wraps around the end); false for a range longer than the buffer.
    bool write(std::uint32_t offset, const void *data, std::uint32_t bytes);
    // Copy of the current bytes (tests, diagnostics).
    std::vector<std::uint8_t> read(std::uint32_t offset, std::uint32_t bytes) const;

    // Makes this buffer follow master's play cursor (normally a buffer on another device with the same
    // bytes): its rate is corrected by at most kMaxSlaveCorrection so that the two sound cards' clock
    // drift never lets it run into the part being rewritten. Formats and lengths must match (else
    // false). Null ends the slaving. The master may be destroyed first; the slave then runs free.
    bool slaveTo(const Buffer *master);
    // Current rate correction of a slave (ratio − 1); 0 for a free buffer.
    double slaveCorrection() const;

private:
    friend class Device;
    Buffer(std::shared_ptr<detail::DeviceMix> mixer, std::shared_ptr<detail::BufferCore> core);
    std::shared_ptr<detail::DeviceMix> mixer_;
    std::shared_ptr<detail::BufferCore> core_;
};

inline constexpr double kMaxSlaveCorrection = 0.002;

// ---------------------------------------------------------------------------------------------------
// Devices

enum class Backend {
    PortAudio, // a real output through PortAudio, callback driven
    Null,      // no sound card: an own clock thread consumes the mix in real time
    Manual,    // nothing runs by itself: render() produces the next frames (tests)
    Offline    // render() as fast as the deck keeps up: waits for each signalled refill to be done
};

class Device {
public:
    virtual ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    static std::shared_ptr<Device> createManual(std::string description = "Manuell");
    static std::shared_ptr<Device> createOffline(std::string description = "Offline");
    // A running null device; periodFrames is its clock's step. clockRatio above 1 lets its clock run fast
    // like a real card's crystal (tests of clock drift).
    static std::shared_ptr<Device> createNull(std::string description = "Null",
                                              std::size_t periodFrames = 512, double clockRatio = 1.0);

    Backend backend() const { return backend_; }
    const std::string &description() const { return description_; }

    // A new buffer of byteLength bytes (a multiple of the block alignment), silent data, stopped, cursor 0,
    // volume 0, frequency = the format's rate. Throws SoundError for an unsupported format or length.
    std::unique_ptr<Buffer> createBuffer(const PcmFormat &format, std::uint32_t byteLength);

    // Manual and offline devices: the next frames of the mix, interleaved stereo int16. On a manual
    // device each call is one device period; an offline device renders in fixed periods of
    // offlinePeriodFrames() whatever the call's length, so its output does not depend on how it is
    // called. Real-time devices throw SoundError.
    std::vector<std::int16_t> render(std::size_t frames);
    void render(std::int16_t *out, std::size_t frames);
    // Frames the device has mixed so far.
    std::uint64_t framesRendered() const;
    // Output underflows since the device was opened: periods the card played before the mix delivered
    // them (PortAudio's underflow reports; periods a null device's clock mixed late). Manual and offline
    // devices wait for their caller and never underflow.
    std::uint64_t underflows() const;
    // The output's level since the previous call (after the limiter, lock-free); clipped: the sum went
    // over full scale and the limiter held it down.
    PeakReading takeOutputPeak();

    // Offline devices: period length, and how long one signalled refill may take before the device
    // stops waiting (a worker that never answers must not freeze rendering).
    static constexpr std::size_t offlinePeriodFrames() { return 512; }
    void setRefillTimeout(std::chrono::milliseconds timeout);

protected:
    Device(Backend backend, std::string description);
    // Backends start mixing only after construction is complete.
    std::shared_ptr<detail::DeviceMix> mixer_;

private:
    Backend backend_;
    std::string description_;
    // Offline period staging (allocated once).
    std::vector<std::int16_t> offlinePeriod_;
    std::size_t offlineUsed_ = 0;
    std::size_t offlineFill_ = 0;
    std::chrono::milliseconds refillTimeout_{10000};
};

// ---------------------------------------------------------------------------------------------------
// Enumeration and selection

struct DeviceInfo {
    std::optional<Guid> guid; // none for the system's default-device entry
    std::string description;  // what the device dialog lists
    std::string module;       // driver / host API text
    std::string stableName;   // backend's stable name (host API + device name); the GUID derives from it
};

// Description of the default-device entry that every enumeration reports first.
inline constexpr std::string_view kDefaultDeviceDescription = "Primärer Soundtreiber";

class DeviceProvider {
public:
    virtual ~DeviceProvider() = default;
    // The default entry first, then each output device, in a stable order.
    virtual std::vector<DeviceInfo> enumerate() = 0;
    // Opens the device of an entry (the default entry too) or throws SoundError with the reason.
    virtual std::shared_ptr<Device> open(const DeviceInfo &info) = 0;
};

struct VirtualDevice {
    std::string description;
    Backend backend = Backend::Manual; // Null, Manual or Offline
};

// Devices without a sound card: for tests and for running the program without one. GUIDs are the name-based
// GUIDs of "Virtual/<description>", so they are the same in every run.
class VirtualProvider : public DeviceProvider {
public:
    explicit VirtualProvider(std::vector<VirtualDevice> devices);
    std::vector<DeviceInfo> enumerate() override;
    std::shared_ptr<Device> open(const DeviceInfo &info) override; // the default entry opens device 0
    // The device last opened for entry index (0-based, default entry not counted); null if none is open.
    std::shared_ptr<Device> opened(std::size_t index) const;
    // Makes opening device index fail with this reason (empty: succeed again).
    void setOpenFailure(std::size_t index, std::string reason);

private:
    struct Entry {
        VirtualDevice device;
        std::weak_ptr<Device> opened;
        std::string failure;
    };
    std::vector<Entry> entries_;
};

// PortAudio's output devices (stereo capable), ALSA/JACK chatter silenced.
std::shared_ptr<DeviceProvider> portAudioProvider();

// The provider in use: the one installed for testing, else MIXORA_SOUND=null → two null devices, else
// PortAudio.
std::shared_ptr<DeviceProvider> currentProvider();
// Null restores the environment's choice.
void setProviderForTesting(std::shared_ptr<DeviceProvider> provider);

std::vector<DeviceInfo> enumerateDevices();

// The devices open in this process, oldest first, with their underflows so far (the figure a DJ asks
// for after a dropout).
struct OpenDeviceStatus {
    std::string description;
    Backend backend;
    std::uint64_t underflows;
};
std::vector<OpenDeviceStatus> openDeviceStatus();
// Opens the device with this GUID; SoundError when no present device has it or it cannot be opened.
std::shared_ptr<Device> openDevice(const Guid &guid);

} // namespace mixora::sound
