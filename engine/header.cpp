#include "engine/header.h"

#include "engine/bytes.h"
#include "engine/crc.h"
#include "engine/frames.h"
#include "support/esl.h"

namespace {

void put_raw(ZmdSession& s, int byte) {
    s.current_char = byte;
    zmd_put_raw(s);
}

void fill(ZmdSession& s, int format, int type, unsigned zp0, unsigned zp1, unsigned zp2,
          unsigned zp3) {
    s.header_format = static_cast<unsigned char>(format);
    s.header_type = static_cast<unsigned char>(type);
    s.header_data[0] = static_cast<unsigned char>(zp0);
    s.header_data[1] = static_cast<unsigned char>(zp1);
    s.header_data[2] = static_cast<unsigned char>(zp2);
    s.header_data[3] = static_cast<unsigned char>(zp3);
}

void fill_position(ZmdSession& s, int format, int type) {
    fill(s, format, type, 0, 0, 0, 0);
    zmd_set_header_position(s, s.position);
}

void send_hex_header(ZmdSession& s) {
    for (int byte : {ZPAD, ZPAD, ZDLE, ZHEX}) {
        put_raw(s, byte);
        if (esl_error.pending) return;
    }
    const unsigned char body[5] = {s.header_type, s.header_data[0], s.header_data[1],
                                   s.header_data[2], s.header_data[3]};
    std::uint16_t crc = 0;
    for (unsigned char byte : body) {
        crc = crc16_step(crc, byte);
        s.current_char = byte;
        zmd_put_hex(s);
        if (esl_error.pending) return;
    }
    for (int byte : {crc >> 8, crc & 0xFF}) {
        s.current_char = byte;
        zmd_put_hex(s);
        if (esl_error.pending) return;
    }
    put_raw(s, CR);
    if (esl_error.pending) return;
    put_raw(s, LF);
    if (esl_error.pending) return;
    if (s.header_type != ZFIN && s.header_type != ZACK) put_raw(s, XON);
}

void send_binary_header(ZmdSession& s) {
    for (int byte : {ZPAD, ZDLE, ZBIN}) {
        put_raw(s, byte);
        if (esl_error.pending) return;
    }
    const unsigned char body[5] = {s.header_type, s.header_data[0], s.header_data[1],
                                   s.header_data[2], s.header_data[3]};
    std::uint16_t crc = 0;
    for (unsigned char byte : body) {
        crc = crc16_step(crc, byte);
        s.current_char = byte;
        zmd_put_escaped(s);
        if (esl_error.pending) return;
    }
    for (int byte : {crc >> 8, crc & 0xFF}) {
        s.current_char = byte;
        zmd_put_escaped(s);
        if (esl_error.pending) return;
    }
}

// Reads the type and the four data bytes with `get`, stored as they arrive, folded into a CRC.
template <typename Crc, typename Step>
Crc read_body(ZmdSession& s, void (*get)(ZmdSession&), Crc crc, Step step) {
    for (int i = 0; i < 5; ++i) {
        get(s);
        if (esl_error.pending) return crc;
        unsigned char byte = static_cast<unsigned char>(s.current_char);
        if (i == 0)
            s.header_type = byte;
        else
            s.header_data[i - 1] = byte;
        crc = step(crc, byte);
    }
    return crc;
}

void read_hex_body(ZmdSession& s) {
    std::uint16_t crc = read_body<std::uint16_t>(s, zmd_get_hex_byte, 0, crc16_step);
    if (esl_error.pending) return;
    unsigned received = 0;
    for (int i = 0; i < 2; ++i) {
        zmd_get_hex_byte(s);
        if (esl_error.pending) return;
        received = (received << 8) | static_cast<unsigned>(s.current_char);
    }
    if (received != crc) {
        esl_set_error(ZMD004, static_cast<unsigned>(crc), received);
        return;
    }
    // CR LF ends the header; a lone LF or a CR with bit 7 set is accepted as well.
    zmd_get_raw(s);
    if (!esl_error.pending && s.current_char == CR) zmd_get_raw(s);
    if (!esl_error.pending) s.got_header = 1;
}

void read_binary16_body(ZmdSession& s) {
    std::uint16_t crc = read_body<std::uint16_t>(s, zmd_get_escaped, 0, crc16_step);
    if (esl_error.pending) return;
    unsigned received = 0;
    for (int i = 0; i < 2; ++i) {
        zmd_get_escaped(s);
        if (esl_error.pending) return;
        received = (received << 8) | static_cast<unsigned>(s.current_char);
    }
    if (received != crc)
        esl_set_error(ZMD004, static_cast<unsigned>(crc), received);
    else
        s.got_header = 1;
}

void read_binary32_body(ZmdSession& s) {
    std::uint32_t crc = read_body<std::uint32_t>(s, zmd_get_escaped, 0xFFFFFFFFu, crc32_step);
    if (esl_error.pending) return;
    std::uint32_t received = 0;
    for (int i = 0; i < 4; ++i) {
        zmd_get_escaped(s);
        if (esl_error.pending) return;
        received |= static_cast<std::uint32_t>(s.current_char) << (8 * i);
    }
    if (received != ~crc)
        esl_set_error(ZMD006, static_cast<unsigned long>(~crc), static_cast<unsigned long>(received));
    else
        s.got_header = 1;
}

}  // namespace

void zmd_send_zrinit(ZmdSession& s) {
    fill(s, ZHEX, ZRINIT, 0, 0, 0, CANFDX | CANOVIO | CANFC32);
    zmd_send_header(s);
}

void zmd_send_zskip(ZmdSession& s) {
    fill(s, ZHEX, ZSKIP, 0, 0, 0, 0);
    zmd_send_header(s);
}

void zmd_send_zrpos(ZmdSession& s) {
    fill_position(s, ZHEX, ZRPOS);
    io_purge(s, *s.io);
    zmd_send_header(s);
}

void zmd_send_zfin(ZmdSession& s) {
    fill(s, ZHEX, ZFIN, 0, 0, 0, 0);
    zmd_send_header(s);
}

void zmd_send_zeof(ZmdSession& s) {
    fill_position(s, ZHEX, ZEOF);
    zmd_send_header(s);
}

void zmd_send_zack(ZmdSession& s) {
    fill_position(s, ZHEX, ZACK);
    zmd_send_header(s);
}

void zmd_send_zfile(ZmdSession& s) {
    fill(s, ZBIN, ZFILE, 0, 0, 0, ZCBIN);
    zmd_send_header(s);
}

void zmd_send_zdata(ZmdSession& s) {
    fill_position(s, ZBIN, ZDATA);
    zmd_send_header(s);
}

void zmd_send_zrqinit(ZmdSession& s) {
    static constexpr unsigned char kText[] = {ZPAD, ZPAD, ZDLE, ZHEX, '0', '0', '0', '0', '0', '0', '0',
                                              '0',  '0',  '0',  '0',  '0', '0', '0', CR,  LF,  XON};
    static_assert(sizeof kText == 21);
    io_write(s, *s.io, kText, sizeof kText);
}

void zmd_send_header(ZmdSession& s) {
    if (s.header_format == ZHEX)
        send_hex_header(s);
    else
        send_binary_header(s);
}

void zmd_get_header(ZmdSession& s) {
    s.got_header = 0;
    // A run of CAN bytes outside a header is the remote's abort sequence: valid frames never
    // carry more than one CAN (ZDLE) in a row.
    int cans = 0;
    auto scan = [&s, &cans]() {
        zmd_get_raw(s);
        if (esl_error.pending) return false;
        cans = s.current_char == CAN ? cans + 1 : 0;
        if (cans >= kCancelRun) {
            esl_set_error(ZMD010);
            return false;
        }
        return true;
    };
    if (!scan()) return;
    while (!esl_error.pending && !s.got_header) {
        while (s.current_char != ZPAD)
            if (!scan()) return;
        int pads = 1;
        if (!scan()) return;
        while (s.current_char == ZPAD) {
            ++pads;
            if (!scan()) return;
        }
        if (s.current_char != ZDLE) continue;
        if (!scan()) return;
        int format = s.current_char;
        if (format == ZBIN) {
            s.header_format = ZBIN;
            read_binary16_body(s);
        } else if (format == ZBIN32) {
            s.header_format = ZBIN32;
            read_binary32_body(s);
        } else if (format == ZHEX && pads >= 2) {
            s.header_format = ZHEX;
            read_hex_body(s);
        }
        // Anything else goes back to the scan with the byte just read.
    }
    if (s.got_header) s.heard_remote = 1;
}

void zmd_send_abort(ZmdSession& s) {
    static constexpr unsigned char kAbort[] = {CAN, CAN, CAN, CAN, CAN, CAN, CAN, CAN, BS,
                                               BS,  BS,  BS,  BS,  BS,  BS,  BS,  BS,  BS};
    io_write(s, *s.io, kAbort, sizeof kAbort);
    io_flush(s, *s.io);
}
