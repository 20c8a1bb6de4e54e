#include "link/interrupt.h"

#include <csignal>
#include <initializer_list>

namespace {
volatile std::sig_atomic_t caught = 0;

void on_signal(int signo) { caught = signo; }
}  // namespace

void interrupt_install() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
}

int interrupt_signal() { return caught; }

const char* interrupt_signal_name(int signo) {
    switch (signo) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

void interrupt_set_for_tests(int signo) { caught = signo; }
