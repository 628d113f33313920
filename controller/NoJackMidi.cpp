// Built without the JACK: the service is never there.
#include "controller/Midi.h"

namespace mixora::controller {
std::unique_ptr<MidiBackend> openJackMidi(DeviceEvents &, const std::string &) {
    return nullptr;
}
} // namespace mixora::controller
