// libFuzzer target: the subpacket reader, CRC-16 and CRC-32, fed the input until it is used up.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz_subpacket_input(data, size);
}
