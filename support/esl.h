// The pending-error register: every engine failure and every empty line read is recorded here
// instead of being returned. The first error wins until it is reported or cleared; callers test
// `esl_error.pending` after each step and compare identities with `esl_is`.
#pragma once

#include <cstddef>

// Catalogue of the engine's messages. The template is an error's identity.
inline constexpr char ESL001[] = "ESL001 Insufficient memory allocating %lu bytes\n";
inline constexpr char ZMD001[] = "ZMD001 Remote didn't accept my ZRINIT\n";
inline constexpr char ZMD002[] = "ZMD002 Remote failed to respond to my ZRPOS\n";
inline constexpr char ZMD004[] = "ZMD004 CRCXM error, ours = %x, theirs = %x\n";
inline constexpr char ZMD005[] = "ZMD005 Error - subpacket too long\n";
inline constexpr char ZMD006[] = "ZMD006 CRC32 error - ours = %lx, theirs = %lx\n";
inline constexpr char ZMD007[] = "ZMD007 File Data is out of spec\n";
inline constexpr char ZMD008[] = "ZMD008 Bad hex character %x received\n";
inline constexpr char ZMD009[] = "ZMD009 Timeout\n";
inline constexpr char ZMD010[] = "ZMD010 Received cancel signal from remote\n";

// Local faults that end a session: no retry loop retries them, so they unwind every level.
// Arguments: what was being done, the file, the system's reason.
inline constexpr char ZMD_FILE_FAULT[] = "ZMD011 Cannot %s %s: %s\n";
// Arguments: the device, the system's reason.
inline constexpr char ZMD_LINE_LOST[] = "ZMD012 Line lost on %s: %s\n";
// Argument: the signal's name.
inline constexpr char ZMD_INTERRUPTED[] = "ZMD013 Interrupted by %s\n";

struct PendingError {
    int pending;             // 1 while an error is recorded and not yet reported or cleared
    const char* identity;    // the catalogue template of the recorded error
    char text[300];          // the template formatted with the error's arguments
};

extern PendingError esl_error;

// Records an error unless one is pending already; `tmpl` must be a catalogue entry.
void esl_set_error(const char* tmpl, ...);
// Prints the pending error's text on standard output and clears it; does nothing otherwise.
void esl_report_error();
// Clears the pending error without printing it.
void esl_clear_error();
// True while an error is pending and its identity is `tmpl`.
bool esl_is(const char* tmpl);
// Allocates from the heap; a failed allocation of a non-zero size records ESL001.
void* esl_alloc(std::size_t size);
void esl_free(void* block);
