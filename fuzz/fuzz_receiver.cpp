// libFuzzer target: the whole receiver, fed the input as everything the remote sends.
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/targets.h"

// Each input runs inside a scratch directory, which is where a crash would leave its input. Unless
// the command line says where, crash inputs go to the directory the fuzzer was started from.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-artifact_prefix=", 17) == 0) return 0;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
    static std::string prefix;
    static std::vector<char*> args;
    prefix = std::string("-artifact_prefix=") + cwd + "/";
    args.assign(*argv, *argv + *argc);
    args.push_back(prefix.data());
    args.push_back(nullptr);
    *argv = args.data();
    ++*argc;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz_receiver_input(data, size);
}
