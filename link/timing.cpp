#include "link/timing.h"

namespace {
constexpr LinkTiming kProgramTiming{10, 10, 200};
LinkTiming current = kProgramTiming;
}  // namespace

const LinkTiming& link_timing() { return current; }
void link_timing_set_for_tests(const LinkTiming& timing) { current = timing; }
void link_timing_reset_for_tests() { current = kProgramTiming; }
