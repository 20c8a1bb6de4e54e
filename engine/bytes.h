// The byte level of the line coding: single raw bytes, ZDLE escaping both ways and hex byte
// pairs, each moving one byte through the session's current character. Reads stop at the first
// pending error; a bad hex digit records ZMD008.
#pragma once

#include "engine/session.h"

// True for the bytes that always travel escaped (0x10, 0x11, 0x13, 0x18, 0x7F, with or without
// bit 7).
constexpr bool zmd_needs_escape(unsigned byte) {
    switch (byte & 0x7F) {
        case 0x10: case 0x11: case 0x13: case 0x18: case 0x7F: return true;
        default: return false;
    }
}

void zmd_put_raw(ZmdSession& s);
void zmd_put_escaped(ZmdSession& s);
void zmd_put_hex(ZmdSession& s);
void zmd_get_raw(ZmdSession& s);
// Undoes escaping; sets frame_end when the byte after ZDLE is a frame-end code (then the current
// character is that code).
void zmd_get_escaped(ZmdSession& s);
void zmd_get_hex_byte(ZmdSession& s);
