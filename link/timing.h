// The line's timing: how long one read attempt waits, the pause between attempts, and how many
// further attempts make up a patient read. This is the only definition; tests shorten it through
// `link_timing_set_for_tests`, nothing else changes it.
#pragma once

struct LinkTiming {
    int read_timeout_ms;  // one read attempt on a quiet line
    int pause_ms;         // pause before each further attempt of a patient read
    int patience;         // further attempts of a patient read (about 4 s in all)
};

const LinkTiming& link_timing();

// Test-only seam: replaces the timing until the next call.
void link_timing_set_for_tests(const LinkTiming& timing);
// Test-only seam: back to the program's own timing.
void link_timing_reset_for_tests();
