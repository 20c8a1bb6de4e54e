// libFuzzer target: the header reader, all three forms, fed the input until it is used up.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz_header_input(data, size);
}
