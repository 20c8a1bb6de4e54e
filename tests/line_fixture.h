// A real line for in-process tests: a pseudo-terminal pair whose slave end is the engine's serial
// port and whose master end the test drives as the remote. Timing is shortened through the
// test-only seam. Also: wire encoders written independently of the engine, to build the bytes a
// remote would send.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <string>
#include <vector>

#include "engine/session.h"

class LineFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Bytes from the remote onto the line.
    void remote_send(const std::string& bytes);
    // Everything the engine has written, read until the line has been quiet for quiet_ms.
    std::string remote_receive(int quiet_ms = 30);

    ZmdSession s{};
    TransferIo io{};
    std::vector<unsigned char> buffer;
    int master = -1;
    std::string slave_path;

  private:
    int slave_keepalive_ = -1;
};

// A pty pair standing in for a serial device, for tests of the port's settings: the slave starts
// in a cooked mode at 38400 baud, so that both the raw settings and their restoring show.
struct CookedPty {
    CookedPty();
    ~CookedPty();
    CookedPty(const CookedPty&) = delete;
    CookedPty& operator=(const CookedPty&) = delete;
    termios settings() const;

    int master = -1;
    int slave = -1;
    std::string path;
};

// Everything readable from `fd`, read until it has been quiet for quiet_ms.
std::string read_until_quiet(int fd, int quiet_ms);

// Shortened timing used by the fixture: 2 ms reads, 1 ms pauses, 5 further attempts.
void use_short_timing();

namespace wire {
std::string hex_header(int type, int d0 = 0, int d1 = 0, int d2 = 0, int d3 = 0);
std::string hex_position_header(int type, unsigned position);
std::string bin16_header(int type, int d0 = 0, int d1 = 0, int d2 = 0, int d3 = 0);
std::string bin16_position_header(int type, unsigned position);
std::string bin32_header(int type, int d0 = 0, int d1 = 0, int d2 = 0, int d3 = 0);
std::string bin32_position_header(int type, unsigned position);
// Data subpacket: escaped data, ZDLE, end code, escaped CRC.
std::string subpacket16(const std::string& data, char end);
std::string subpacket32(const std::string& data, char end);
std::string escape(const std::string& data);
unsigned crc16(const std::string& data);
unsigned crc32(const std::string& data);
// Shows bytes as hex for failure messages.
std::string dump(const std::string& bytes);
}  // namespace wire
