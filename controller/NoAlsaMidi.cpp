// Built without the ALSA sequencer: the service is never there.
#include "controller/Midi.h"

namespace mixora::controller {
std::unique_ptr<MidiBackend> openAlsaMidi(DeviceEvents &, const std::string &) {
    return nullptr;
}
} // namespace mixora::controller
