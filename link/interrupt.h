// Termination signals (SIGINT, SIGTERM, SIGHUP). The handler only records which signal came; the
// port's waits and the engine's loops look at it and wind the transfer down.
#pragma once

// Installs the handlers (without SA_RESTART, so a blocked wait returns at once).
void interrupt_install();
// The signal that arrived, or 0.
int interrupt_signal();
// The signal's name ("SIGINT"), for messages.
const char* interrupt_signal_name(int signo);
// Test-only: behave as if `signo` had arrived (0 clears).
void interrupt_set_for_tests(int signo);
