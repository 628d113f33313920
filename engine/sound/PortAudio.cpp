// Real outputs through PortAudio (callback streams only: blocking writes crash on JACK). ALSA and JACK
// print dozens of lines while probing; their handlers are silenced before PortAudio starts.
#include "engine/sound/DeviceMix.h"

#include <portaudio.h>

#include <algorithm>
#include <mutex>

#if defined(MIXORA_HAVE_ALSA)
#include <alsa/asoundlib.h>
#endif
#if defined(MIXORA_HAVE_JACK)
#include <jack/jack.h>
#endif

namespace mixora::sound {

namespace {

#if defined(MIXORA_HAVE_ALSA)
void silentAlsa(const char *, int, const char *, int, const char *, ...) {}
#endif
#if defined(MIXORA_HAVE_JACK)
void silentJack(const char *) {}
#endif

// PortAudio is initialised once and kept for the process: terminating it would close open streams.
std::mutex gPaMutex;
bool gPaReady = false;
std::string gPaFailure;

bool ensurePortAudio(std::string &reason) {
    std::lock_guard lock(gPaMutex);
    if (!gPaReady && gPaFailure.empty()) {
#if defined(MIXORA_HAVE_ALSA)
        snd_lib_error_set_handler(&silentAlsa);
#endif
#if defined(MIXORA_HAVE_JACK)
        jack_set_error_function(&silentJack);
        jack_set_info_function(&silentJack);
#endif
        PaError err = Pa_Initialize();
        if (err == paNoError)
            gPaReady = true;
        else
            gPaFailure = std::string("PortAudio lässt sich nicht starten: ") + Pa_GetErrorText(err);
    }
    reason = gPaFailure;
    return gPaReady;
}

int callback(const void *, void *output, unsigned long frames, const PaStreamCallbackTimeInfo *,
             PaStreamCallbackFlags status, void *user) {
    auto *mixer = static_cast<detail::DeviceMix *>(user);
    // Reported once per callback after the gap (JACK: after any xrun of the server).
    if (status & paOutputUnderflow)
        mixer->countUnderflow();
    mixer->mix(static_cast<std::int16_t *>(output), frames);
    return paContinue;
}

class PortAudioDevice final : public Device {
public:
    PortAudioDevice(PaDeviceIndex index, std::string description) : Device(Backend::PortAudio, description) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(index);
        if (!info)
            throw SoundError("Soundkarte \"" + description + "\" ist nicht vorhanden");
        PaStreamParameters params{};
        params.device = index;
        params.channelCount = kDeviceChannels;
        params.sampleFormat = paInt16;
        // Never below the driver's low latency, at most 40 ms: no dropouts at a gig, fader moves still
        // heard at once.
        params.suggestedLatency =
            std::max(info->defaultLowOutputLatency, std::min(info->defaultHighOutputLatency, 0.04));
        PaError err = Pa_OpenStream(&stream_, nullptr, &params, kDeviceRate, paFramesPerBufferUnspecified,
                                    paClipOff | paDitherOff, &callback, mixer_.get());
        if (err != paNoError)
            throw SoundError("Soundkarte \"" + description +
                             "\" lässt sich nicht öffnen: " + Pa_GetErrorText(err));
        err = Pa_StartStream(stream_);
        if (err != paNoError) {
            Pa_CloseStream(stream_);
            throw SoundError("Soundkarte \"" + description +
                             "\" lässt sich nicht starten: " + Pa_GetErrorText(err));
        }
    }
    ~PortAudioDevice() override {
        Pa_StopStream(stream_);
        Pa_CloseStream(stream_);
    }

private:
    PaStream *stream_ = nullptr;
};

struct PaEntry {
    DeviceInfo info;
    PaDeviceIndex index;
};

std::vector<PaEntry> listDevices() {
    std::vector<PaEntry> out;
    std::string reason;
    out.push_back({DeviceInfo{std::nullopt, std::string(kDefaultDeviceDescription), "PortAudio", "default"},
                   paNoDevice});
    if (!ensurePortAudio(reason))
        return out;
    std::lock_guard lock(gPaMutex);
    out.front().index = Pa_GetDefaultOutputDevice();
    // PortAudio's order (host API, then device) is the platform's reporting order.
    int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo *d = Pa_GetDeviceInfo(i);
        if (!d || d->maxOutputChannels < kDeviceChannels)
            continue;
        const PaHostApiInfo *api = Pa_GetHostApiInfo(d->hostApi);
        std::string apiName = api && api->name ? api->name : "?";
        std::string name = d->name ? d->name : "?";
        DeviceInfo info;
        info.stableName = apiName + "/" + name;
        info.guid = Guid::nameBased(Guid::deviceNamespace(), info.stableName);
        info.description = name + " (" + apiName + ")";
        info.module = apiName;
        out.push_back({std::move(info), PaDeviceIndex(i)});
    }
    return out;
}

class PortAudioProvider final : public DeviceProvider {
public:
    std::vector<DeviceInfo> enumerate() override {
        std::vector<DeviceInfo> out;
        for (auto &e : listDevices())
            out.push_back(std::move(e.info));
        return out;
    }
    std::shared_ptr<Device> open(const DeviceInfo &wanted) override {
        std::string reason;
        if (!ensurePortAudio(reason))
            throw SoundError(reason);
        for (auto &e : listDevices()) {
            if (e.info.guid != wanted.guid)
                continue;
            if (e.index == paNoDevice)
                throw SoundError("Es ist kein Ausgabegerät vorhanden");
            std::lock_guard lock(gPaMutex);
            return std::make_shared<PortAudioDevice>(e.index, e.info.description);
        }
        throw SoundError("Soundkarte \"" + wanted.description + "\" ist nicht vorhanden");
    }
};

} // namespace

std::shared_ptr<DeviceProvider> portAudioProvider() {
    static auto provider = std::make_shared<PortAudioProvider>();
    return provider;
}

} // namespace mixora::sound
