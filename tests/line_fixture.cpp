#include "line_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "link/interrupt.h"
#include "link/port.h"
#include "link/timing.h"
#include "support/esl.h"

void use_short_timing() { link_timing_set_for_tests(LinkTiming{2, 1, 5}); }

void LineFixture::SetUp() {
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    slave_path = name;
    // Keep the slave open here too, so the line stays up whatever the port does.
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    slave_keepalive_ = slave;
    use_short_timing();
    esl_clear_error();
    interrupt_set_for_tests(0);
    port_configure(slave_path.c_str(), 9600);
    testing::internal::CaptureStdout();
    ASSERT_EQ(port_open(), 0);
    testing::internal::GetCapturedStdout();
    buffer.assign(18000, 0);
    s = ZmdSession{};
    io = TransferIo{};
    s.buffer_size = 18000;
    s.block_size = 1024;
    s.wait_mode = 1;
    s.buffer_start = buffer.data();
    s.buffer_fill = buffer.data();
    s.buffer_limit = buffer.data() + buffer.size();
    s.io = &io;
}

void LineFixture::TearDown() {
    port_close();
    io_release(io);
    if (master >= 0) close(master);
    if (slave_keepalive_ >= 0) close(slave_keepalive_);
    master = slave_keepalive_ = -1;
    link_timing_reset_for_tests();
    esl_clear_error();
    interrupt_set_for_tests(0);
}

void LineFixture::remote_send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{master, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

std::string LineFixture::remote_receive(int quiet_ms) {
    port_flush();
    return read_until_quiet(master, quiet_ms);
}

std::string read_until_quiet(int fd, int quiet_ms) {
    std::string got;
    char chunk[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) break;
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

CookedPty::CookedPty() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    path = name;
    termios t{};
    tcgetattr(slave, &t);
    t.c_iflag |= ICRNL | IXON | IXOFF | BRKINT;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    t.c_cflag |= CRTSCTS;
    t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    tcsetattr(slave, TCSANOW, &t);
}

CookedPty::~CookedPty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
}

termios CookedPty::settings() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
}

namespace wire {

unsigned crc16(const std::string& data) {
    unsigned crc = 0;
    for (unsigned char c : data) {
        crc ^= static_cast<unsigned>(c) << 8;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        crc &= 0xFFFF;
    }
    return crc;
}

unsigned crc32(const std::string& data) {
    unsigned crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? ((crc >> 1) ^ 0xEDB88320u) : (crc >> 1);
    }
    return ~crc;
}

std::string escape(const std::string& data) {
    std::string out;
    for (unsigned char c : data) {
        switch (c & 0x7F) {
            case 0x10: case 0x11: case 0x13: case 0x18: case 0x7F:
                out += '\x18';
                out += static_cast<char>(c == 0x7F ? 'l' : c == 0xFF ? 'm' : (c | 0x40));
                break;
            default:
                out += static_cast<char>(c);
        }
    }
    return out;
}

static std::string body(int type, int d0, int d1, int d2, int d3) {
    return std::string{static_cast<char>(type), static_cast<char>(d0), static_cast<char>(d1),
                       static_cast<char>(d2), static_cast<char>(d3)};
}

std::string hex_header(int type, int d0, int d1, int d2, int d3) {
    std::string b = body(type, d0, d1, d2, d3);
    unsigned crc = crc16(b);
    b += static_cast<char>(crc >> 8);
    b += static_cast<char>(crc & 0xFF);
    std::string out = "**\x18" "B";
    char hex[3];
    for (unsigned char c : b) {
        std::snprintf(hex, sizeof hex, "%02x", c);
        out += hex;
    }
    out += "\r\n";
    if (type != 8 && type != 3) out += '\x11';
    return out;
}

std::string hex_position_header(int type, unsigned p) {
    return hex_header(type, p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF, (p >> 24) & 0xFF);
}

std::string bin16_header(int type, int d0, int d1, int d2, int d3) {
    std::string b = body(type, d0, d1, d2, d3);
    unsigned crc = crc16(b);
    b += static_cast<char>(crc >> 8);
    b += static_cast<char>(crc & 0xFF);
    return "*\x18" "A" + escape(b);
}

std::string bin16_position_header(int type, unsigned p) {
    return bin16_header(type, p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF, (p >> 24) & 0xFF);
}

std::string bin32_header(int type, int d0, int d1, int d2, int d3) {
    std::string b = body(type, d0, d1, d2, d3);
    unsigned crc = crc32(b);
    for (int i = 0; i < 4; ++i) b += static_cast<char>((crc >> (8 * i)) & 0xFF);
    return "*\x18" "C" + escape(b);
}

std::string bin32_position_header(int type, unsigned p) {
    return bin32_header(type, p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF, (p >> 24) & 0xFF);
}

std::string subpacket16(const std::string& data, char end) {
    unsigned crc = crc16(data + end);
    std::string tail{static_cast<char>(crc >> 8), static_cast<char>(crc & 0xFF)};
    return escape(data) + '\x18' + end + escape(tail);
}

std::string subpacket32(const std::string& data, char end) {
    unsigned crc = crc32(data + end);
    std::string tail;
    for (int i = 0; i < 4; ++i) tail += static_cast<char>((crc >> (8 * i)) & 0xFF);
    return escape(data) + '\x18' + end + escape(tail);
}

std::string dump(const std::string& bytes) {
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        std::snprintf(hex, sizeof hex, "%02x ", c);
        out += hex;
    }
    return out;
}

}  // namespace wire
