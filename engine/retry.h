// Helpers shared by the receiver's and the sender's retry loops.
#pragma once

#include <initializer_list>

#include "engine/header.h"
#include "engine/session.h"
#include "support/esl.h"

// True when the pending error is one of `identities`.
inline bool zmd_pending_in(std::initializer_list<const char*> identities) {
    for (const char* identity : identities)
        if (esl_is(identity)) return true;
    return false;
}

// When the pending error is retryable at this level and tries remain: prints it, clears it and
// counts the retry. The caller then resends its request.
inline bool zmd_take_retry(ZmdSession& s, std::initializer_list<const char*> identities,
                           int& counter) {
    if (!zmd_pending_in(identities) || counter >= 10) return false;
    esl_report_error();
    ++counter;
    ++s.retries;
    return true;
}

// Errors that no retry can mend: a file fault, a signal, a dead line, the remote's abort.
inline bool zmd_fatal_pending() {
    return zmd_pending_in({ZMD_FILE_FAULT, ZMD_INTERRUPTED, ZMD_LINE_LOST, ZMD010});
}

// Errors raised on this side that the remote cannot know about: the remote is told to stop.
inline void zmd_abort_on_local_fault(ZmdSession& s) {
    if (zmd_pending_in({ZMD_FILE_FAULT, ZMD_INTERRUPTED})) zmd_send_abort(s);
}
