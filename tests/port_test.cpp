// The serial port on a pseudo-terminal pair of the test's own: raw 8N1 settings at the chosen
// speed and the device's own settings back on close, reads that return waiting bytes at once and
// an empty result after the read time-out, the read-ahead, exclusive use, devices that cannot be
// used, and a line that hangs up.
#include "link/port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "line_fixture.h"
#include "link/timing.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int open_fd_count() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

struct Pty : CookedPty {
    void send(const std::string& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Waits until the slave's input queue holds at least n bytes (or a second has passed).
    int wait_waiting(int n) const {
        int waiting = 0;
        for (int i = 0; i < 1000; ++i) {
            ioctl(slave, FIONREAD, &waiting);
            if (waiting >= n) break;
            usleep(1000);
        }
        return waiting;
    }
    // What the port wrote, read until the master has been quiet for quiet_ms.
    std::string receive(int quiet_ms = 50) const { return read_until_quiet(master, quiet_ms); }
};

// Opens the port on `device` and returns port_open's result and what it printed.
std::pair<int, std::string> open_port(const std::string& device, long baud = 9600) {
    port_configure(device.c_str(), baud);
    testing::internal::CaptureStdout();
    int result = port_open();
    return {result, testing::internal::GetCapturedStdout()};
}

class PortTest : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_FALSE(pty.path.empty()) << "openpty failed"; }
    void TearDown() override {
        port_close();
        link_timing_reset_for_tests();
    }

    Pty pty;
};

struct SpeedCase {
    long baud;
    speed_t code;
};

TEST(Port, AppliesRaw8N1AtTheChosenSpeedAndRestoresTheDevicesOwnSettings) {
    const SpeedCase cases[] = {
        {9600, B9600}, {300, B300}, {115200, B115200}, {921600, B921600}, {4000000, B4000000}};
    for (const SpeedCase& c : cases) {
        SCOPED_TRACE(c.baud);
        Pty pty;
        ASSERT_FALSE(pty.path.empty());
        termios before = pty.settings();
        ASSERT_TRUE(before.c_lflag & ICANON) << "the cooked mode did not take";

        auto [result, out] = open_port(pty.path, c.baud);
        ASSERT_EQ(result, 0) << out;
        EXPECT_EQ(out, "Serial port " + pty.path + " successfully reconfigured.\n");

        termios during = pty.settings();
        EXPECT_EQ(during.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(during.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT |
                                    PARMRK | INPCK),
                  0u);
        EXPECT_EQ(during.c_oflag & OPOST, 0u);
        EXPECT_EQ(during.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(during.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(cfgetispeed(&during), c.code);
        EXPECT_EQ(cfgetospeed(&during), c.code);

        port_close();
        termios after = pty.settings();
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
        EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
    }
}

TEST_F(PortTest, RawLinePassesEveryByteUnchangedAndEchoesNothing) {
    link_timing_set_for_tests(LinkTiming{100, 1, 0});
    ASSERT_EQ(open_port(pty.path).first, 0);
    // Carriage return, line feed, interrupt, end of file, XON, XOFF, literal-next, suspend,
    // delete, NUL and a byte with the high bit set: each is special to a cooked line.
    const std::string special("\r\n\x03\x04\x11\x13\x16\x1a\x7f\x00\xff\x18", 12);
    pty.send(special);
    std::string got;
    unsigned char byte = 0;
    std::size_t count = 0;
    while (got.size() < special.size() && port_read(&byte, 1, &count) == 0 && count == 1)
        got += static_cast<char>(byte);
    EXPECT_EQ(got, special);
    EXPECT_EQ(pty.receive(), "") << "nothing may be echoed back";

    const std::string out("x\n\r\x11\x13\x00\xff", 7);
    ASSERT_EQ(port_write(reinterpret_cast<const unsigned char*>(out.data()), out.size()), 1);
    port_flush();
    EXPECT_EQ(pty.receive(), out) << "no line feed translation or other output processing";
}

TEST_F(PortTest, AWaitingByteIsReturnedWithoutWaitingOutTheTimeout) {
    link_timing_set_for_tests(LinkTiming{3000, 1, 0});
    ASSERT_EQ(open_port(pty.path).first, 0);
    pty.send("a");
    ASSERT_EQ(pty.wait_waiting(1), 1);
    unsigned char byte = 0;
    std::size_t count = 0;
    auto start = Clock::now();
    EXPECT_EQ(port_read(&byte, 1, &count), 0);
    double took = ms_since(start);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 'a');
    EXPECT_LT(took, 1500.0) << "a 3-second read time-out was waited out with a byte waiting";
}

TEST_F(PortTest, AQuietLineGivesAnEmptyReadAfterTheReadTimeout) {
    link_timing_set_for_tests(LinkTiming{50, 1, 0});
    ASSERT_EQ(open_port(pty.path).first, 0);
    unsigned char byte = 0x55;
    std::size_t count = 99;
    auto start = Clock::now();
    EXPECT_EQ(port_read(&byte, 1, &count), 0);
    EXPECT_GE(ms_since(start), 40.0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(byte, 0x55);
    EXPECT_FALSE(port_lost());
}

TEST_F(PortTest, ReadAheadTakesEverythingWaitingAndHandsItOutInPieces) {
    link_timing_set_for_tests(LinkTiming{50, 1, 0});
    ASSERT_EQ(open_port(pty.path).first, 0);
    pty.send("abcdefgh");
    ASSERT_EQ(pty.wait_waiting(8), 8);

    unsigned char byte = 0;
    std::size_t count = 0;
    ASSERT_EQ(port_read(&byte, 1, &count), 0);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(byte, 'a');
    int waiting = -1;
    ioctl(pty.slave, FIONREAD, &waiting);
    EXPECT_EQ(waiting, 0) << "the first one-byte read takes everything waiting into the port";

    unsigned char four[4] = {};
    ASSERT_EQ(port_read(four, 4, &count), 0);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(four), 4), "bcde");
    for (char want : std::string("fgh")) {
        ASSERT_EQ(port_read(&byte, 1, &count), 0);
        ASSERT_EQ(count, 1u);
        EXPECT_EQ(byte, static_cast<unsigned char>(want));
    }
    ASSERT_EQ(port_read(&byte, 1, &count), 0);
    EXPECT_EQ(count, 0u) << "the read-ahead hands out each byte once";
}

TEST(Port, KnowsTheStandardSpeeds) {
    for (long baud :
         {300L,     600L,     1200L,    1800L,    2400L,    4800L,    9600L,    19200L,
          38400L,   57600L,   115200L,  230400L,  460800L,  500000L,  576000L,  921600L,
          1000000L, 1152000L, 1500000L, 2000000L, 2500000L, 3000000L, 3500000L, 4000000L})
        EXPECT_TRUE(port_baud_supported(baud)) << baud;
    for (long baud : {0L, 1L, 50L, 150L, 1234L, 9601L, 14400L, 5000000L, -9600L})
        EXPECT_FALSE(port_baud_supported(baud)) << baud;
}

TEST_F(PortTest, ADeviceLockedByAnotherOpenerIsRefusedAsBusy) {
    int holder = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    int fds = open_fd_count();
    auto [result, out] = open_port(pty.path);
    EXPECT_EQ(result, 1);
    EXPECT_NE(out.find(pty.path), std::string::npos) << out;
    EXPECT_NE(out.find("busy"), std::string::npos) << out;
    EXPECT_EQ(out.find("successfully"), std::string::npos) << out;
    EXPECT_EQ(open_fd_count(), fds) << "the refused device must not stay open";
    close(holder);

    // Once the other opener has gone, the device can be had.
    EXPECT_EQ(open_port(pty.path).first, 0);
}

TEST_F(PortTest, ASecondProgramIsRefusedWhileThePortIsOpen) {
    ASSERT_EQ(open_port(pty.path).first, 0);
    int out_pipe[2];
    ASSERT_EQ(pipe(out_pipe), 0);
    std::fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another process trying the same device; it must not touch the parent's open port.
        dup2(out_pipe[1], STDOUT_FILENO);
        close(out_pipe[0]);
        port_configure(pty.path.c_str(), 9600);
        int result = port_open();
        std::fflush(stdout);
        _exit(result);
    }
    close(out_pipe[1]);
    std::string out;
    char chunk[256];
    ssize_t n;
    while ((n = read(out_pipe[0], chunk, sizeof chunk)) > 0) out.append(chunk, n);
    close(out_pipe[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(out, "serial port " + pty.path + " is busy: another program has it open\n");

    // The first opener keeps a working line.
    link_timing_set_for_tests(LinkTiming{100, 1, 0});
    pty.send("z");
    unsigned char byte = 0;
    std::size_t count = 0;
    ASSERT_EQ(port_read(&byte, 1, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 'z');

    // Closing releases the device.
    port_close();
    int again = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(again, 0);
    EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
    close(again);
}

struct MissingCase {
    const char* device;
    int reason;
};

TEST(Port, ADeviceThatCannotBeUsedIsNamedWithTheSystemsReason) {
    const MissingCase cases[] = {
        {"/nonexistent/ttyZ", ENOENT},
        {"/dev/null", ENOTTY},  // exists, but is no terminal
        {"/", EISDIR},
    };
    for (const MissingCase& c : cases) {
        SCOPED_TRACE(c.device);
        int fds = open_fd_count();
        auto [result, out] = open_port(c.device);
        EXPECT_EQ(result, 1);
        EXPECT_NE(out.find(c.device), std::string::npos) << out;
        EXPECT_NE(out.find(std::strerror(c.reason)), std::string::npos) << out;
        EXPECT_EQ(open_fd_count(), fds) << "nothing stays open after a failed open";
        unsigned char byte = 0;
        std::size_t count = 7;
        EXPECT_EQ(port_read(&byte, 1, &count), 1) << "there is no line to read";
        EXPECT_EQ(count, 0u);
        port_close();
    }
}

TEST_F(PortTest, AHungUpLineCountsAsLostAfterAFewFailedReads) {
    link_timing_set_for_tests(LinkTiming{10, 1, 0});
    ASSERT_EQ(open_port(pty.path).first, 0);
    close(pty.master);
    close(pty.slave);
    pty.master = pty.slave = -1;

    testing::internal::CaptureStdout();
    unsigned char byte = 0;
    std::size_t count = 0;
    int reads = 0;
    int failures = 0;
    while (!port_lost() && reads < 10) {
        ++reads;
        if (port_read(&byte, 1, &count) != 0) ++failures;
        EXPECT_EQ(count, 0u);
    }
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(port_lost()) << out;
    EXPECT_LE(reads, 5) << "a dead line is given up after a few reads, not read without end";
    EXPECT_EQ(failures, reads);
    EXPECT_NE(out.find("read from " + pty.path + " failed: " + std::strerror(EIO)),
              std::string::npos)
        << out;
    EXPECT_NE(std::string(port_lost_reason()).find(std::strerror(EIO)), std::string::npos)
        << port_lost_reason();
    EXPECT_EQ(port_read(&byte, 1, &count), 1) << "a lost line stays lost";
    const unsigned char ping = 'p';
    EXPECT_EQ(port_write(&ping, 1), 0);
}

}  // namespace
