// libFuzzer target: the file-information parser, with checks on the name and info it takes.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz_file_info_input(data, size);
}
