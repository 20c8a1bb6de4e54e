// The serial port and the line operations on a real pseudo-terminal pair: settings applied and
// restored, reads with and without patience, purging, exclusive use, and a dead line.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "line_fixture.h"
#include "link/io.h"
#include "link/port.h"
#include "link/timing.h"
#include "support/esl.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A pty pair whose slave starts in a cooked mode, so applying and restoring are both visible.
struct CookedPty {
    int master = -1, slave = -1;
    std::string path;
    CookedPty() {
        char name[128];
        openpty(&master, &slave, name, nullptr, nullptr);
        path = name;
        termios t{};
        tcgetattr(slave, &t);
        t.c_lflag |= ECHO | ICANON | ISIG;
        t.c_iflag |= ICRNL | IXON;
        t.c_oflag |= OPOST;
        cfsetispeed(&t, B38400);
        cfsetospeed(&t, B38400);
        tcsetattr(slave, TCSANOW, &t);
    }
    ~CookedPty() {
        close(slave);
        close(master);
    }
    termios settings() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
};

TEST(SerialPort, AppliesRawSettingsAndRestoresTheDevicesOwn) {
    CookedPty pty;
    termios before = pty.settings();
    port_configure(pty.path.c_str(), 115200);
    testing::internal::CaptureStdout();
    ASSERT_EQ(port_open(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Serial port " + pty.path + " successfully reconfigured.\n");
    termios during = pty.settings();
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(during.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP | INLCR | IGNCR), 0u);
    EXPECT_EQ(during.c_oflag & OPOST, 0u);
    EXPECT_EQ(during.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(during.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B115200));
    port_close();
    termios after = pty.settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));
}

TEST(SerialPort, RefusesADeviceThatIsBusyOrMissing) {
    CookedPty pty;
    int holder = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    port_configure(pty.path.c_str(), 9600);
    testing::internal::CaptureStdout();
    EXPECT_EQ(port_open(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "serial port " + pty.path + " is busy: another program has it open\n");
    close(holder);

    port_configure("/nonexistent/ttyZ", 9600);
    testing::internal::CaptureStdout();
    EXPECT_EQ(port_open(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "cannot open serial port /nonexistent/ttyZ: No such file or directory\n");
}

TEST(SerialPort, KnowsTheStandardSpeeds) {
    for (long baud : {300L, 1200L, 9600L, 19200L, 115200L, 921600L, 4000000L})
        EXPECT_TRUE(port_baud_supported(baud)) << baud;
    for (long baud : {0L, 50L, 1234L, 9601L, 5000000L, -9600L})
        EXPECT_FALSE(port_baud_supported(baud)) << baud;
}

class SerialLine : public LineFixture {};

TEST_F(SerialLine, ReadsAWaitingByteAtOnceAndAQuietLineAfterTheTimeout) {
    link_timing_set_for_tests(LinkTiming{50, 1, 5});
    remote_send("xyz");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unsigned char byte = 0;
    std::size_t count = 0;
    auto start = Clock::now();
    for (char want : std::string("xyz")) {
        ASSERT_EQ(port_read(&byte, 1, &count), 0);
        ASSERT_EQ(count, 1u);
        EXPECT_EQ(byte, static_cast<unsigned char>(want));
    }
    EXPECT_LT(ms_since(start), 140.0) << "waiting bytes must not wait out the time-out";
    start = Clock::now();
    ASSERT_EQ(port_read(&byte, 1, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(ms_since(start), 40.0);
}

TEST_F(SerialLine, PatientReadTakesALateByteAndOtherwiseTimesOut) {
    link_timing_set_for_tests(LinkTiming{5, 5, 40});  // about 400 ms of patience
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        remote_send("L");
    });
    unsigned char byte = 0;
    std::size_t count = 0;
    io_read(s, io, &byte, 1, &count);
    late.join();
    EXPECT_FALSE(esl_error.pending);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 'L');

    io_read(s, io, &byte, 1, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(esl_is(ZMD009));
    esl_clear_error();

    io_read_nowait(s, io, &byte, 1, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(esl_is(ZMD009));
}

TEST_F(SerialLine, PurgeDropsWhatArrivedAndReturnsWhileBytesKeepComing) {
    remote_send(std::string(3000, 'g'));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unsigned char byte = 0;
    std::size_t count = 0;
    port_read(&byte, 1, &count);  // fills the read-ahead too
    std::atomic<bool> stop{false};
    std::thread stream([this, &stop] {
        while (!stop) {
            remote_send(std::string(64, 'n'));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    auto start = Clock::now();
    io_purge(s, io);
    double took = ms_since(start);
    stop = true;
    stream.join();
    EXPECT_LT(took, 1000.0) << "the purge must not wait for a quiet line";
    EXPECT_FALSE(esl_error.pending);
    remote_receive(20);
    io_purge(s, io);
    remote_send("!");
    io_read(s, io, &byte, 1, &count);
    EXPECT_EQ(byte, '!') << "nothing sent before the purge is left";
}

TEST_F(SerialLine, AHungUpLineIsLostAfterAFewFailedReads) {
    close(master);
    master = -1;
    LineFixture::TearDown();  // also drops the fixture's own copy of the slave
    port_configure(slave_path.c_str(), 9600);
    // The device is gone for good once both ends are closed; reopen fails or reads fail.
    testing::internal::CaptureStdout();
    int opened = port_open();
    unsigned char byte = 0;
    std::size_t count = 0;
    for (int i = 0; opened == 0 && i < 5 && !port_lost(); ++i) io_read_nowait(s, io, &byte, 1, &count);
    std::string out = testing::internal::GetCapturedStdout();
    if (opened == 0) {
        EXPECT_TRUE(port_lost()) << out;
        EXPECT_TRUE(esl_is(ZMD_LINE_LOST)) << out;
        EXPECT_NE(out.find("read from " + slave_path + " failed"), std::string::npos) << out;
    } else {
        EXPECT_NE(out.find(slave_path), std::string::npos) << out;
    }
    port_close();
    esl_clear_error();
}

}  // namespace
