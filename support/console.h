// Standard output for the program's messages. Every message goes through `console_print`, so a
// live status line on standard error can be cleared first and the two never interleave.
#pragma once

// printf-style message on standard output, flushed at once.
void console_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Installs the function called before each message (nullptr removes it).
void console_set_before_print(void (*hook)());

// True when standard error is a terminal, where a live status line makes sense.
bool console_status_enabled();
// Shows `line` as the status line on standard error, replacing the one shown before.
void console_status(const char* line);
// Removes the status line, if one is shown.
void console_status_clear();
// Prints a finished line on standard error (after clearing the status line).
void console_note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
