// The receiving side: invites a sender with ZRINIT, takes every file it offers, asks for the data
// with ZRPOS (again from the first missing byte after each retried error), closes each file on a
// matching ZEOF and ends on ZFIN. Each level retries its own errors up to ten times; any other
// error stays pending and ends the session. Outcome counts are left in the session.
#pragma once

#include "engine/session.h"

void zmd_receive(ZmdSession& s);
// One offered file, after its file-information block was accepted.
void zmd_receive_file(ZmdSession& s);
// The current file's data, after a ZDATA header.
void zmd_receive_data(ZmdSession& s);
// True when the header data, as a position, equals the session's position.
bool zmd_offset_matches(const ZmdSession& s);
// Reads the two bytes ("OO") that end a session; a time-out there is no error.
void zmd_get_over_and_out(ZmdSession& s);
