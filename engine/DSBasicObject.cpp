#include "engine/DSBasicObject.h"

namespace mixora {

DSBasicObject::DSBasicObject(const sound::Guid &guid) : device(sound::openDevice(guid)) {}

DSBasicObject::DSBasicObject(std::string_view guidText) : DSBasicObject(sound::Guid::parse(guidText)) {}

// Releasing the device stops its stream; buffers still alive merely fall silent.
DSBasicObject::~DSBasicObject() = default;

} // namespace mixora
