// Devices without a sound card: manual (the caller renders), offline (renders as fast as the deck keeps
// up, reproducibly) and null (an own real-time clock consumes the mix).
#include "engine/sound/DeviceMix.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace mixora::sound {

namespace {

class NullDevice final : public Device {
public:
    NullDevice(std::string description, std::size_t periodFrames, double clockRatio)
        : Device(Backend::Null, std::move(description)), period_(periodFrames ? periodFrames : 512),
          rate_(clockRatio > 0 ? kDeviceRate * clockRatio : kDeviceRate), scratch_(period_ * 2) {
        thread_ = std::thread([this] { run(); });
    }
    ~NullDevice() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    // Mixing ahead by up to three periods stays well inside a deck's refill margin and the lead of
    // a timed start.
    static constexpr int kPeriodsPerWake = 4;

    void run() {
        using clock = std::chrono::steady_clock;
        const auto start = clock::now();
        std::uint64_t periods = 0;
        // Absolute deadlines: the clock never drifts however late a wake-up comes, and each period is
        // stamped with the time it is due, as a card's own clock would, not with a late wake-up's time.
        auto due = [&](std::uint64_t n) {
            return start + std::chrono::nanoseconds(std::uint64_t(1e9 * double(n * period_) / rate_));
        };
        std::unique_lock lock(mutex_);
        while (!stop_) {
            lock.unlock();
            // A few periods per wake-up, each mixed no later than it would be alone: the wake-ups
            // themselves cost more than the mix.
            for (int i = 0; i < kPeriodsPerWake; ++i) {
                mixer_->mix(
                    scratch_.data(), period_,
                    std::chrono::duration_cast<std::chrono::nanoseconds>(due(periods).time_since_epoch())
                        .count());
                ++periods;
                // Like a card with two periods of buffer: a period still unmixed when it should already
                // have played out left the card without sound.
                if (clock::now() > due(periods))
                    mixer_->countUnderflow();
            }
            lock.lock();
            cv_.wait_until(lock, due(periods), [this] { return stop_; });
        }
    }

    std::size_t period_;
    double rate_;
    std::vector<std::int16_t> scratch_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

class PlainDevice final : public Device {
public:
    PlainDevice(Backend backend, std::string description) : Device(backend, std::move(description)) {}
};

// Every open device, for the status a user can look up; a device leaves it in its destructor, before
// its members go.
std::mutex gOpenMutex;
std::vector<const Device *> gOpen;

} // namespace

Device::Device(Backend backend, std::string description)
    : mixer_(std::make_shared<detail::DeviceMix>(backend == Backend::Offline,
                                                 backend == Backend::Null || backend == Backend::PortAudio)),
      backend_(backend), description_(std::move(description)) {
    if (backend == Backend::Offline)
        offlinePeriod_.resize(offlinePeriodFrames() * 2);
    std::lock_guard lock(gOpenMutex);
    gOpen.push_back(this);
}

Device::~Device() {
    std::lock_guard lock(gOpenMutex);
    gOpen.erase(std::find(gOpen.begin(), gOpen.end(), this));
}

std::vector<OpenDeviceStatus> openDeviceStatus() {
    std::lock_guard lock(gOpenMutex);
    std::vector<OpenDeviceStatus> out;
    for (const Device *d : gOpen)
        out.push_back({d->description(), d->backend(), d->underflows()});
    return out;
}

std::shared_ptr<Device> Device::createManual(std::string description) {
    return std::make_shared<PlainDevice>(Backend::Manual, std::move(description));
}

std::shared_ptr<Device> Device::createOffline(std::string description) {
    return std::make_shared<PlainDevice>(Backend::Offline, std::move(description));
}

std::shared_ptr<Device> Device::createNull(std::string description, std::size_t periodFrames,
                                           double clockRatio) {
    return std::make_shared<NullDevice>(std::move(description), periodFrames, clockRatio);
}

std::unique_ptr<Buffer> Device::createBuffer(const PcmFormat &format, std::uint32_t byteLength) {
    if (format.bitsPerSample != 16)
        throw SoundError("Nur 16-Bit-PCM wird unterstützt");
    if (format.channels != 1 && format.channels != 2)
        throw SoundError("Nur Mono und Stereo werden unterstützt");
    if (format.sampleRate < int(kMinFrequencyHz) || format.sampleRate > int(kMaxFrequencyHz))
        throw SoundError("Abtastrate außerhalb des unterstützten Bereichs");
    if (byteLength == 0 || byteLength % std::uint32_t(format.blockAlign()) != 0)
        throw SoundError("Pufferlänge ist kein Vielfaches der Blockgröße");
    auto core = std::make_shared<detail::BufferCore>(format, byteLength);
    return std::unique_ptr<Buffer>(new Buffer(mixer_, std::move(core)));
}

std::vector<std::int16_t> Device::render(std::size_t frames) {
    std::vector<std::int16_t> out(frames * 2);
    render(out.data(), frames);
    return out;
}

void Device::render(std::int16_t *out, std::size_t frames) {
    if (backend_ == Backend::Manual) {
        mixer_->mix(out, frames);
        return;
    }
    if (backend_ != Backend::Offline)
        throw SoundError("Dieses Gerät läuft von selbst und kann nicht gerendert werden");
    const std::size_t period = offlinePeriodFrames();
    std::size_t done = 0;
    while (done < frames) {
        if (offlineUsed_ == offlineFill_) {
            mixer_->mix(offlinePeriod_.data(), period);
            // Render no further until every refill this period asked for is done: that makes the
            // output independent of how fast the worker runs.
            const auto deadline = std::chrono::steady_clock::now() + refillTimeout_;
            for (std::size_t i = 0; i < mixer_->signalledCount(); ++i) {
                const auto &s = mixer_->signalled(i);
                int spins = 0;
                while (s.event->doneCount() < s.setCount && std::chrono::steady_clock::now() < deadline) {
                    if (++spins < 100)
                        std::this_thread::yield();
                    else
                        std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
            mixer_->clearSignalled();
            offlineUsed_ = 0;
            offlineFill_ = period;
        }
        std::size_t n = std::min(frames - done, offlineFill_ - offlineUsed_);
        std::copy_n(offlinePeriod_.data() + 2 * offlineUsed_, 2 * n, out + 2 * done);
        offlineUsed_ += n;
        done += n;
    }
}

std::uint64_t Device::framesRendered() const {
    return mixer_->framesMixed();
}

PeakReading Device::takeOutputPeak() {
    return mixer_->outputMeter().take();
}

std::uint64_t Device::underflows() const {
    return mixer_->underflows();
}

void Device::setRefillTimeout(std::chrono::milliseconds timeout) {
    refillTimeout_ = timeout;
}

} // namespace mixora::sound
