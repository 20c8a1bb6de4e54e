// Setting a session up and tearing it down: the record's sizes, the line, the buffer.
#pragma once

#include "engine/session.h"

// The program's one session record, its I/O object stored right after it.
struct SessionRecord {
    ZmdSession session;
    TransferIo io;
};

// Buffer size 18000, block size 1024.
void session_init(ZmdSession& s);
// Opens and configures the line and allocates the buffer; returns the port's result (0 success,
// 1 to 3 the port could not be opened or configured, nothing is then allocated).
int session_open(ZmdSession& s, TransferIo& io);
// Releases the buffer, closes any file left open and the line.
void session_close(ZmdSession& s);
