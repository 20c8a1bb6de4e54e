#include "engine/bytes.h"

#include "engine/frames.h"
#include "support/esl.h"

namespace {

void put_byte(ZmdSession& s, int byte) {
    s.current_char = byte & 0xFF;
    zmd_put_raw(s);
}

// Reads one hex digit; anything but 0-9 and a-f records ZMD008.
int get_hex_digit(ZmdSession& s) {
    zmd_get_raw(s);
    if (esl_error.pending) return 0;
    int c = s.current_char;
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    esl_set_error(ZMD008, static_cast<unsigned>(c));
    return 0;
}

}  // namespace

void zmd_put_raw(ZmdSession& s) {
    unsigned char byte = static_cast<unsigned char>(s.current_char & 0xFF);
    io_write(s, *s.io, &byte, 1);
}

void zmd_put_escaped(ZmdSession& s) {
    int x = s.current_char & 0xFF;
    if (!zmd_needs_escape(x)) {
        zmd_put_raw(s);
        return;
    }
    put_byte(s, ZDLE);
    if (esl_error.pending) return;
    put_byte(s, x == 0x7F ? ZRUB0 : x == 0xFF ? ZRUB1 : x | 0x40);
}

void zmd_put_hex(ZmdSession& s) {
    static constexpr char kDigits[] = "0123456789abcdef";
    int v = s.current_char & 0xFF;
    put_byte(s, kDigits[(v >> 4) & 0xF]);
    if (esl_error.pending) return;
    put_byte(s, kDigits[v & 0xF]);
}

void zmd_get_raw(ZmdSession& s) {
    unsigned char byte = 0;
    std::size_t count = 0;
    if (s.wait_mode == 1) {
        io_read(s, *s.io, &byte, 1, &count);
    } else if (s.wait_mode == 2) {
        // A peek: take a byte only if one is waiting; once a header has begun, read the rest of
        // it with the normal single attempts.
        io_read_waiting(s, *s.io, &byte, 1, &count);
        s.wait_mode = 0;
    } else {
        io_read_nowait(s, *s.io, &byte, 1, &count);
    }
    if (!esl_error.pending && count == 1) s.current_char = byte;
}

void zmd_get_escaped(ZmdSession& s) {
    s.frame_end = 0;
    zmd_get_raw(s);
    if (esl_error.pending || s.current_char != ZDLE) return;
    zmd_get_raw(s);
    if (esl_error.pending) return;
    s.frame_end = 0;
    int x = s.current_char;
    if (x == ZRUB0) {
        s.current_char = 0x7F;
    } else if (x == ZRUB1) {
        s.current_char = 0xFF;
    } else if ((x & 0x40) && !(x & 0x20)) {
        s.current_char = x & 0xBF;
    } else {
        s.frame_end = 1;
    }
}

void zmd_get_hex_byte(ZmdSession& s) {
    int high = get_hex_digit(s);
    if (esl_error.pending) return;
    int low = get_hex_digit(s);
    if (esl_error.pending) return;
    s.current_char = high * 16 + low;
}
