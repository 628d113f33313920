// Which devices the program sees: a provider installed by a test, the null devices asked for by
// MIXORA_SOUND=null, or PortAudio's real outputs.
#include "engine/sound/Sound.h"

#include <cstdlib>
#include <mutex>

namespace mixora::sound {

namespace {

std::mutex gProviderMutex;
std::shared_ptr<DeviceProvider> gTestProvider;

std::string nameOf(const VirtualDevice &device) {
    return "Virtual/" + device.description;
}

} // namespace

VirtualProvider::VirtualProvider(std::vector<VirtualDevice> devices) {
    for (auto &d : devices)
        entries_.push_back(Entry{std::move(d), {}, {}});
}

std::vector<DeviceInfo> VirtualProvider::enumerate() {
    std::vector<DeviceInfo> out;
    out.push_back(DeviceInfo{std::nullopt, std::string(kDefaultDeviceDescription), "Virtual", "default"});
    for (const auto &e : entries_) {
        DeviceInfo info;
        info.stableName = nameOf(e.device);
        info.guid = Guid::nameBased(Guid::deviceNamespace(), info.stableName);
        info.description = e.device.description;
        info.module = "Virtual";
        out.push_back(std::move(info));
    }
    return out;
}

std::shared_ptr<Device> VirtualProvider::open(const DeviceInfo &info) {
    for (auto &e : entries_) {
        bool match = info.guid ? *info.guid == Guid::nameBased(Guid::deviceNamespace(), nameOf(e.device))
                               : &e == &entries_.front();
        if (!match)
            continue;
        if (!e.failure.empty())
            throw SoundError("Soundkarte \"" + e.device.description +
                             "\" lässt sich nicht öffnen: " + e.failure);
        std::shared_ptr<Device> device;
        switch (e.device.backend) {
        case Backend::Null:
            device = Device::createNull(e.device.description);
            break;
        case Backend::Offline:
            device = Device::createOffline(e.device.description);
            break;
        case Backend::Manual:
        case Backend::PortAudio:
            device = Device::createManual(e.device.description);
            break;
        }
        e.opened = device;
        return device;
    }
    throw SoundError("Soundkarte \"" + info.description + "\" ist nicht vorhanden");
}

std::shared_ptr<Device> VirtualProvider::opened(std::size_t index) const {
    return index < entries_.size() ? entries_[index].opened.lock() : nullptr;
}

void VirtualProvider::setOpenFailure(std::size_t index, std::string reason) {
    if (index < entries_.size())
        entries_[index].failure = std::move(reason);
}

std::shared_ptr<DeviceProvider> currentProvider() {
    {
        std::lock_guard lock(gProviderMutex);
        if (gTestProvider)
            return gTestProvider;
    }
    const char *env = std::getenv("MIXORA_SOUND");
    if (env && std::string_view(env) == "null") {
        static auto nullDevices = std::make_shared<VirtualProvider>(
            std::vector<VirtualDevice>{{"Null-Ausgabe 1", Backend::Null}, {"Null-Ausgabe 2", Backend::Null}});
        return nullDevices;
    }
    return portAudioProvider();
}

void setProviderForTesting(std::shared_ptr<DeviceProvider> provider) {
    std::lock_guard lock(gProviderMutex);
    gTestProvider = std::move(provider);
}

std::vector<DeviceInfo> enumerateDevices() {
    return currentProvider()->enumerate();
}

std::shared_ptr<Device> openDevice(const Guid &guid) {
    auto provider = currentProvider();
    for (const auto &info : provider->enumerate())
        if (info.guid && *info.guid == guid)
            return provider->open(info);
    throw SoundError("Die Soundkarte " + guid.toString() + " ist nicht vorhanden");
}

} // namespace mixora::sound
