#include "support/console.h"

#include <cstdarg>
#include <cstdio>

#include <unistd.h>

namespace {
void (*before_print)() = nullptr;
}

void console_set_before_print(void (*hook)()) { before_print = hook; }

void console_print(const char* fmt, ...) {
    if (before_print != nullptr) before_print();
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::fflush(stdout);
}

namespace {
bool status_shown = false;
}

bool console_status_enabled() { return isatty(STDERR_FILENO) == 1; }

void console_status(const char* line) {
    std::fprintf(stderr, "\r%s\x1b[K", line);
    std::fflush(stderr);
    status_shown = true;
}

void console_status_clear() {
    if (!status_shown) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    status_shown = false;
}

void console_note(const char* fmt, ...) {
    console_status_clear();
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fflush(stderr);
}
