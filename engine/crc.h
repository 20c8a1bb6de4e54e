// The two checksums of the line coding, table-driven, tables built at compile time.
// CRC-16/XMODEM: polynomial 0x1021, from 0, no final XOR, sent high byte first.
// CRC-32: reflected polynomial 0xEDB88320, from 0xFFFFFFFF; the complement travels, low byte first.
#pragma once

#include <array>
#include <cstdint>

constexpr std::array<std::uint16_t, 256> make_crc16_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> make_crc32_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        table[i] = crc;
    }
    return table;
}

inline constexpr auto kCrc16Table = make_crc16_table();
inline constexpr auto kCrc32Table = make_crc32_table();

constexpr std::uint16_t crc16_step(std::uint16_t crc, unsigned byte) {
    return static_cast<std::uint16_t>(((crc & 0xFF) << 8) ^ kCrc16Table[((crc >> 8) ^ byte) & 0xFF]);
}

constexpr std::uint32_t crc32_step(std::uint32_t crc, unsigned byte) {
    return (crc >> 8) ^ kCrc32Table[(crc ^ byte) & 0xFF];
}

static_assert(kCrc16Table[1] == 0x1021);
static_assert(kCrc32Table[1] == 0x77073096);
