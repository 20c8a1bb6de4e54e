#include "support/esl.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "support/console.h"

PendingError esl_error{};

void esl_set_error(const char* tmpl, ...) {
    if (esl_error.pending) return;
    esl_error.identity = tmpl;
    va_list args;
    va_start(args, tmpl);
    std::vsnprintf(esl_error.text, sizeof esl_error.text, tmpl, args);
    va_end(args);
    esl_error.pending = 1;
}

void esl_report_error() {
    if (!esl_error.pending) return;
    console_print("%s", esl_error.text);
    esl_error.pending = 0;
}

void esl_clear_error() { esl_error.pending = 0; }

bool esl_is(const char* tmpl) { return esl_error.pending && esl_error.identity == tmpl; }

void* esl_alloc(std::size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr && size != 0) esl_set_error(ESL001, static_cast<unsigned long>(size));
    return block;
}

void esl_free(void* block) { std::free(block); }
