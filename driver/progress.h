// The live progress line and the per-file summary on standard error, shown only when standard
// error is a terminal. Standard output is untouched.
#pragma once

#include "engine/session.h"

// Starts reporting the session's progress (does nothing when standard error is not a terminal).
void progress_install(ZmdSession& s);
// Clears the progress line before the run's last messages.
void progress_finish();
