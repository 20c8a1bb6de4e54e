// Data subpackets: escaped data bytes closed by ZDLE, a frame-end code and a CRC. Reading leaves
// ZMD009, ZMD004, ZMD006 or ZMD005 pending on failure, ZMD007 for a malformed file offer.
#pragma once

#include "engine/session.h"

// The largest subpacket a receiver accepts: one less than the buffer.
inline constexpr int kBufferSize = 18000;

// Reads one subpacket into the buffer (buffer start to buffer fill), with the CRC kind of the
// header just read. A good one adds its length to position; a frame end other than ZCRCG and
// every error clear more_data.
void zmd_get_data(ZmdSession& s);
// Reads the block after ZFILE and takes the file name (cut to 259 characters) and info from it.
void zmd_get_file_info(ZmdSession& s);
// Sends block count bytes at buffer start as one subpacket: ZCRCG while more_data, else ZCRCE.
void zmd_send_data(ZmdSession& s);
// Sends the file name and "size 0 0 0", closed by ZCRCW and followed by XON.
void zmd_send_file_info(ZmdSession& s);
