// One opened output device, kept running from the main window's start-up until it closes. Deck players
// create their buffers on `device`; they must be destroyed before this object.
#pragma once

#include "engine/sound/Sound.h"

#include <memory>
#include <string_view>

namespace mixora {

class DSBasicObject {
public:
    // Opens the device with this GUID. A GUID that names no present device, or a device that cannot be
    // opened, throws sound::SoundError with a reason the window can show; no object exists then.
    explicit DSBasicObject(const sound::Guid &guid);
    // The same from the GUID's text form; invalid text throws sound::SoundError too.
    explicit DSBasicObject(std::string_view guidText);
    ~DSBasicObject();
    DSBasicObject(const DSBasicObject &) = delete;
    DSBasicObject &operator=(const DSBasicObject &) = delete;

    // The running device (its continuous mix stands for the primary buffer). Never null.
    std::shared_ptr<sound::Device> device;
};

} // namespace mixora
