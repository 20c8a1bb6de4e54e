#include "engine/subpacket.h"

#include <cstdio>
#include <cstring>

#include "engine/bytes.h"
#include "engine/crc.h"
#include "engine/frames.h"
#include "support/esl.h"

namespace {

void put_escaped(ZmdSession& s, int byte) {
    s.current_char = byte;
    zmd_put_escaped(s);
}

void put_raw(ZmdSession& s, int byte) {
    s.current_char = byte;
    zmd_put_raw(s);
}

// Writes n bytes escaped: runs of plain bytes in one write each, escaped bytes one by one.
// Returns the CRC-16 over the bytes, continued from `crc`.
std::uint16_t send_escaped_run(ZmdSession& s, const unsigned char* data, std::size_t n,
                               std::uint16_t crc) {
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < n && !esl_error.pending; ++i) {
        crc = crc16_step(crc, data[i]);
        if (!zmd_needs_escape(data[i])) continue;
        if (i > plain_from) io_write(s, *s.io, data + plain_from, i - plain_from);
        put_escaped(s, data[i]);
        plain_from = i + 1;
    }
    if (!esl_error.pending && n > plain_from) io_write(s, *s.io, data + plain_from, n - plain_from);
    return crc;
}

// Closes a subpacket: ZDLE, the frame-end code, then the CRC-16 escaped, high byte first.
void send_frame_end(ZmdSession& s, int code, std::uint16_t crc) {
    crc = crc16_step(crc, static_cast<unsigned>(code));
    put_raw(s, ZDLE);
    if (!esl_error.pending) put_raw(s, code);
    if (!esl_error.pending) put_escaped(s, crc >> 8);
    if (!esl_error.pending) put_escaped(s, crc & 0xFF);
}

// ZDLE followed by CAN never occurs in a valid frame; when more CANs follow, the remote is sending
// its abort sequence. Records ZMD010 and returns true then.
bool cancel_run(ZmdSession& s) {
    for (int seen = 2; seen < kCancelRun; ++seen) {
        zmd_get_raw(s);
        if (esl_error.pending) return true;
        if (s.current_char != CAN) return false;
    }
    esl_set_error(ZMD010);
    return true;
}

// Reads a subpacket's body and frame end, checking the CRC with `Crc`'s rules.
template <bool kCrc32>
void read_subpacket(ZmdSession& s) {
    s.buffer_fill = s.buffer_start;
    std::uint32_t crc = kCrc32 ? 0xFFFFFFFFu : 0;
    bool done = false;
    while (!esl_error.pending && s.buffer_fill < s.buffer_limit && !done) {
        zmd_get_escaped(s);
        if (esl_error.pending) break;
        unsigned byte = static_cast<unsigned>(s.current_char);
        if (kCrc32)
            crc = crc32_step(crc, byte);
        else
            crc = crc16_step(static_cast<std::uint16_t>(crc), byte);
        if (!s.frame_end) {
            *s.buffer_fill++ = static_cast<unsigned char>(byte);
            continue;
        }
        if (byte != ZCRCG) s.more_data = 0;
        if (byte == CAN && cancel_run(s)) return;
        std::uint32_t received = 0;
        for (int i = 0; i < (kCrc32 ? 4 : 2); ++i) {
            zmd_get_escaped(s);
            if (esl_error.pending) return;
            unsigned b = static_cast<unsigned>(s.current_char);
            received = kCrc32 ? received | (b << (8 * i)) : (received << 8) | b;
        }
        std::uint32_t ours = kCrc32 ? ~crc : crc;
        if (received != ours) {
            if (kCrc32)
                esl_set_error(ZMD006, static_cast<unsigned long>(ours),
                              static_cast<unsigned long>(received));
            else
                esl_set_error(ZMD004, static_cast<unsigned>(ours), static_cast<unsigned>(received));
            return;
        }
        s.position += static_cast<std::uint32_t>(s.buffer_fill - s.buffer_start);
        s.frame_end_code = static_cast<int>(byte);
        done = true;
    }
    if (!done && !esl_error.pending && s.buffer_fill >= s.buffer_limit) esl_set_error(ZMD005);
}

}  // namespace

void zmd_get_data(ZmdSession& s) {
    if (s.header_format == ZBIN32)
        read_subpacket<true>(s);
    else
        read_subpacket<false>(s);
    if (esl_error.pending) s.more_data = 0;
}

void zmd_get_file_info(ZmdSession& s) {
    zmd_get_data(s);
    if (esl_error.pending) return;
    std::size_t received = static_cast<std::size_t>(s.buffer_fill - s.buffer_start);
    std::size_t copy = received < kNameSize ? received : kNameSize;
    std::memset(s.file_name, 0, sizeof s.file_name);
    std::memcpy(s.file_name, s.buffer_start, copy);
    s.file_name[kNameSize - 1] = '\0';

    const unsigned char* start = s.buffer_start;
    const void* first = std::memchr(start, 0, received);
    const unsigned char* second = nullptr;
    if (first != nullptr) {
        const unsigned char* info = static_cast<const unsigned char*>(first) + 1;
        s.file_info = reinterpret_cast<const char*>(info);
        second = static_cast<const unsigned char*>(
            std::memchr(info, 0, static_cast<std::size_t>(s.buffer_fill - info)));
    }
    if (second == nullptr || second - start >= 1024) esl_set_error(ZMD007);
}

void zmd_send_data(ZmdSession& s) {
    int code = s.more_data ? ZCRCG : ZCRCE;
    std::uint16_t crc = send_escaped_run(s, s.buffer_start, s.block_count, 0);
    if (!esl_error.pending) send_frame_end(s, code, crc);
    s.position += s.block_count;
}

void zmd_send_file_info(ZmdSession& s) {
    // The name and the info text go out escaped like data, so a name holding a byte such as
    // 0x18 or 0x11 cannot break the frame; a plain name is sent byte for byte.
    std::size_t name_len = std::strlen(s.file_name) + 1;
    std::memcpy(s.buffer_start, s.file_name, name_len);
    int info_len = std::snprintf(reinterpret_cast<char*>(s.buffer_start + name_len),
                                 static_cast<std::size_t>(s.buffer_size) - name_len, "%ld 0 0 0",
                                 static_cast<long>(s.file_size));
    std::size_t len = name_len + static_cast<std::size_t>(info_len) + 1;
    std::uint16_t crc = send_escaped_run(s, s.buffer_start, len, 0);
    if (!esl_error.pending) send_frame_end(s, ZCRCW, crc);
    if (!esl_error.pending) put_raw(s, XON);
}
