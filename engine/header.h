// ZMODEM headers: the senders that fill the session's header for each frame this system sends,
// the writer, and the reader that finds, checks and decodes the next header in the incoming
// bytes. The reader leaves ZMD009, ZMD008, ZMD004 or ZMD006 pending when it fails.
#pragma once

#include "engine/session.h"

void zmd_send_zrinit(ZmdSession& s);
void zmd_send_zskip(ZmdSession& s);
// Drains the line, then asks for the data from the session's position.
void zmd_send_zrpos(ZmdSession& s);
void zmd_send_zfin(ZmdSession& s);
void zmd_send_zeof(ZmdSession& s);
// Hex ZACK with the position: the answer to a subpacket that asks for one (ZCRCW, ZCRCQ).
void zmd_send_zack(ZmdSession& s);
void zmd_send_zfile(ZmdSession& s);
void zmd_send_zdata(ZmdSession& s);
// The fixed hex ZRQINIT text, in one write.
void zmd_send_zrqinit(ZmdSession& s);
// Writes the session's header: 'B' hex, 'A' binary with CRC-16.
void zmd_send_header(ZmdSession& s);
// Reads until a header has been read and checked (got_header) or an error is pending.
void zmd_get_header(ZmdSession& s);
// The standard abort sequence: eight CAN bytes, then ten backspaces, flushed at once.
void zmd_send_abort(ZmdSession& s);
