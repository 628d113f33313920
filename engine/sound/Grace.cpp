#include "engine/sound/Grace.h"

#include "engine/sound/DeviceMix.h"

#include <chrono>
#include <thread>

namespace mixora::sound::detail {

void Grace::synchronize() const {
    assertNotRealtime();
    const std::uint64_t seen = state_.load(std::memory_order_seq_cst);
    if ((seen & 1) == 0)
        return;
    // A pass lasts one period at most; sleeping briefly leaves the shared cores to the mix.
    while (state_.load(std::memory_order_seq_cst) == seen)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
}

} // namespace mixora::sound::detail
