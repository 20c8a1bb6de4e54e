// The session record: all state of one transfer, taken as first argument by every engine
// operation. Operations speak through it and through the pending-error register.
#pragma once

#include <cstdint>

#include "link/io.h"

struct ZmdSession {
    int wait_mode;                   // 1 patient reads; 0 one attempt; 2 only waiting bytes, once
    char file_name[kNameSize];       // the current file's name, as received or as sent
    const char* file_info;           // receiver: the info text that followed the offered name
    std::uint32_t block_count;       // sender: file bytes in the buffer for the next subpacket
    int buffer_size;                 // 18000
    std::uint32_t block_size;        // file bytes per data subpacket sent: 1024, less after errors
    std::uint32_t clean_blocks;      // sender: subpackets sent since the last ZRPOS
    std::uint32_t position;          // bytes of the file received, or sent / asked for
    std::int32_t file_size;          // sender: size of the current file
    int frame_end;                   // the escaped-byte reader met a frame-end code
    int frame_end_code;              // receiver: how the last good subpacket ended ('h'..'k')
    int got_header;                  // the header reader has read and checked a header
    int more_data;                   // receiver: a subpacket follows; sender: no short block yet
    int skip_file;                   // the receiver declines the offered file
    unsigned char header_format;     // 'A' binary CRC-16, 'B' hex, 'C' binary CRC-32
    unsigned char header_type;
    unsigned char header_data[4];    // ZP0..ZP3; as flags ZF0 is the fourth byte
    unsigned char* buffer_start;
    unsigned char* buffer_fill;      // receiver: one past the last byte of the last subpacket
    unsigned char* buffer_limit;
    int current_char;                // the byte register, 0 to 255
    TransferIo* io;

    // Outcome of the run, for the driver's exit status.
    int finished;                    // the closing ZFIN exchange took place
    int heard_remote;                // a header from the remote has been read and checked
    int files_offered;               // receiver: offers taken up (stored or refused)
    int files_completed;             // files stored in full / confirmed by the receiver's ZRINIT
    int files_refused;               // receiver: offers answered with ZSKIP
    int file_failed;                 // sender: why a file was not delivered (see sender.h)
    std::uint32_t retries;           // errors retried in this run, for the progress line
};

// Header data as a position (ZP0 least significant) and back.
inline std::uint32_t zmd_header_position(const ZmdSession& s) {
    return s.header_data[0] | (s.header_data[1] << 8) | (s.header_data[2] << 16) |
           (static_cast<std::uint32_t>(s.header_data[3]) << 24);
}

inline void zmd_set_header_position(ZmdSession& s, std::uint32_t position) {
    s.header_data[0] = position & 0xFF;
    s.header_data[1] = (position >> 8) & 0xFF;
    s.header_data[2] = (position >> 16) & 0xFF;
    s.header_data[3] = (position >> 24) & 0xFF;
}
