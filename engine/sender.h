// The sending side: wakes the receiver (rz, ZRQINIT), offers each file of the send list with
// ZFILE and its block, streams the file from the position the receiver asks for without waiting
// for acknowledgements, goes back on ZRPOS, ends each file with ZEOF and closes with ZFIN and
// "OO". Outcome flags are left in the session.
#pragma once

#include "engine/session.h"

// Why the file was not delivered (session file_failed).
inline constexpr int kFileNotOpened = 1;
inline constexpr int kFileSkipped = 2;
inline constexpr int kFileGivenUp = 3;
inline constexpr int kNoReceiver = 4;

void zmd_send(ZmdSession& s);
void zmd_send_files(ZmdSession& s);
// Sends the current file from the current position until the receiver confirms its ZEOF.
void zmd_send_file_data(ZmdSession& s);
// Reads a header without patience: the first byte only if one is waiting, the rest of a header
// that has begun with single attempts.
void zmd_peek_header(ZmdSession& s);
void zmd_send_rz(ZmdSession& s);
void zmd_send_over_and_out(ZmdSession& s);
