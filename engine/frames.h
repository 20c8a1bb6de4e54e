// ZMODEM's line codes and frame types.
#pragma once

inline constexpr int ZPAD = '*';
inline constexpr int ZDLE = 0x18;
inline constexpr int ZBIN = 'A';    // binary header, CRC-16
inline constexpr int ZHEX = 'B';    // hex header
inline constexpr int ZBIN32 = 'C';  // binary header, CRC-32
inline constexpr int XON = 0x11;
inline constexpr int XOFF = 0x13;
inline constexpr int CR = 0x0D;
inline constexpr int LF = 0x0A;
inline constexpr int CAN = 0x18;
inline constexpr int BS = 0x08;
// CAN bytes in a row that mean the remote aborted (the abort sequence sends eight).
inline constexpr int kCancelRun = 5;
inline constexpr int ZRUB0 = 'l';   // stands for 0x7F
inline constexpr int ZRUB1 = 'm';   // stands for 0xFF

// Frame-end codes of data subpackets.
inline constexpr int ZCRCE = 'h';   // the frame ends, a header follows
inline constexpr int ZCRCG = 'i';   // the frame goes on, no reply expected
inline constexpr int ZCRCQ = 'j';
inline constexpr int ZCRCW = 'k';

// Frame types.
inline constexpr int ZRQINIT = 0;
inline constexpr int ZRINIT = 1;
inline constexpr int ZACK = 3;
inline constexpr int ZFILE = 4;
inline constexpr int ZSKIP = 5;
inline constexpr int ZFIN = 8;
inline constexpr int ZRPOS = 9;
inline constexpr int ZDATA = 10;
inline constexpr int ZEOF = 11;
inline constexpr int ZCANCELLED = 254;  // the remote cancelled before the first file

// ZRINIT capabilities: full duplex, overlapped I/O, CRC-32.
inline constexpr int CANFDX = 0x01;
inline constexpr int CANOVIO = 0x02;
inline constexpr int CANFC32 = 0x20;
// ZFILE conversion option: binary transfer.
inline constexpr int ZCBIN = 1;
