#include "link/port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/interrupt.h"
#include "link/timing.h"
#include "support/console.h"

namespace {

constexpr std::size_t kInputQueue = 5000;    // read-ahead: everything waiting, up to the queue
constexpr std::size_t kOutputQueue = 16384;  // writes gathered before they reach the device
// Above this much gathered output a writer waits for the device, unless input arrives meanwhile:
// the engine then gets to read a request (a ZRPOS) without first pushing out stale data.
constexpr std::size_t kOutputSoftLimit = 4096;
constexpr int kFailuresBeforeLost = 3;       // consecutive read failures that mean a dead line
constexpr int kWriteStallMs = 10000;         // no output accepted for this long: the line is dead
constexpr int kWriteStallInterruptedMs = 1000;
constexpr std::size_t kMemoryPiece = 16;
constexpr long kPeekIntervalMs = 1;         // at most one look at the device per millisecond     // bytes an in-memory line delivers per read

struct SpeedEntry {
    long baud;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

struct Port {
    std::string device = "/dev/ttyS1";
    long baud = 9600;
    int fd = -1;
    bool memory = false;
    const unsigned char* memory_in = nullptr;
    std::size_t memory_left = 0;
    std::string memory_out;
    termios saved{};
    unsigned char in[kInputQueue];
    std::size_t in_head = 0, in_tail = 0;
    unsigned char out[kOutputQueue];
    std::size_t out_len = 0;
    int read_failures = 0;
    long last_peek_ms = 0;
    bool lost = false;
    char lost_reason[160] = "";
};

Port port;

bool is_open() { return port.fd >= 0 || port.memory; }

long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

void mark_lost(const char* what, int err) {
    if (port.lost) return;
    port.lost = true;
    std::snprintf(port.lost_reason, sizeof port.lost_reason, "%s: %s", what, std::strerror(err));
}

enum class PushMode {
    kNoWait,            // write what the device takes now
    kWait,              // keep going until done (or the line is dead)
    kWaitUnlessInput,   // as kWait, but stop early once input has arrived for the engine to see
};

// Writes queued output until at most `keep` bytes stay queued. Returns false when the line is
// lost.
bool push(std::size_t keep, PushMode mode) {
    if (port.memory) {
        port.memory_out.append(reinterpret_cast<const char*>(port.out), port.out_len);
        port.out_len = 0;
        return true;
    }
    std::size_t done = 0;
    long last_progress = now_ms();
    while (port.out_len - done > keep && !port.lost) {
        ssize_t n = ::write(port.fd, port.out + done, port.out_len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            last_progress = now_ms();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            int err = errno;
            console_print("write to %s failed: %s\n", port.device.c_str(), std::strerror(err));
            mark_lost("write failed", err);
            break;
        }
        if (mode == PushMode::kNoWait) break;
        if (mode == PushMode::kWaitUnlessInput && port.in_head != port.in_tail) break;
        int limit = interrupt_signal() ? kWriteStallInterruptedMs : kWriteStallMs;
        if (now_ms() - last_progress > limit) {
            console_print("write to %s stalled: no byte left for %d s\n", port.device.c_str(),
                          limit / 1000);
            mark_lost("output stalled", ETIMEDOUT);
            break;
        }
        short events = POLLOUT;
        if (mode == PushMode::kWaitUnlessInput) events |= POLLIN;
        pollfd p{port.fd, events, 0};
        if (::poll(&p, 1, 100) > 0 && (p.revents & POLLIN) && mode == PushMode::kWaitUnlessInput)
            break;
    }
    std::memmove(port.out, port.out + done, port.out_len - done);
    port.out_len -= done;
    if (port.lost) port.out_len = 0;
    return !port.lost;
}

// Takes whatever the source has waiting (waiting up to timeout_ms for the first byte) into the
// read-ahead buffer. Returns false on a read failure.
bool fill(int timeout_ms) {
    port.in_head = port.in_tail = 0;
    if (port.memory) {
        std::size_t n = port.memory_left < kMemoryPiece ? port.memory_left : kMemoryPiece;
        std::memcpy(port.in, port.memory_in, n);
        port.memory_in += n;
        port.memory_left -= n;
        port.in_tail = n;
        return true;
    }
    if (timeout_ms == 0) {
        // A look without waiting, as the sender makes between data subpackets. On a fast line
        // these come thousands of times a second; asking the device more often than every
        // kPeekIntervalMs only costs system calls, so until then report a quiet line and let the
        // output gather.
        long now = now_ms();
        if (now - port.last_peek_ms < kPeekIntervalMs && port.out_len < kOutputSoftLimit)
            return true;
        port.last_peek_ms = now;
    }
    push(0, timeout_ms > 0 ? PushMode::kWait : PushMode::kNoWait);
    bool hung_up = false;
    bool hang_up_reported = false;
    if (timeout_ms > 0) {
        pollfd p{port.fd, POLLIN, 0};
        int ready = ::poll(&p, 1, timeout_ms);
        if (ready == 0 || (ready < 0 && errno == EINTR)) return true;
        hang_up_reported = (p.revents & (POLLHUP | POLLERR)) != 0;
        hung_up = hang_up_reported && !(p.revents & POLLIN);
    }
    // In raw mode without a minimum count, a read with nothing waiting returns 0.
    ssize_t n = hung_up ? -1 : ::read(port.fd, port.in, sizeof port.in);
    if (n > 0) {
        port.in_tail = static_cast<std::size_t>(n);
        port.read_failures = 0;
        return true;
    }
    // A terminal whose other end has gone may report input and then read as end of file.
    if (n == 0 && hang_up_reported) hung_up = true;
    if (!hung_up && (n == 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))) return true;
    int err = hung_up ? EIO : errno;
    console_print("read from %s failed: %s\n", port.device.c_str(), std::strerror(err));
    if (++port.read_failures >= kFailuresBeforeLost) mark_lost("read failed", err);
    // A dead device answers at once; pause like a quiet line so repeats are not a busy loop.
    if (!port.lost && timeout_ms > 0) ::poll(nullptr, 0, timeout_ms);
    return false;
}

int read_with(int timeout_ms, unsigned char* buffer, std::size_t n, std::size_t* count_out) {
    *count_out = 0;
    if (!is_open() || port.lost) return 1;
    if (port.in_head == port.in_tail && !fill(timeout_ms)) return 1;
    std::size_t have = port.in_tail - port.in_head;
    std::size_t take = have < n ? have : n;
    std::memcpy(buffer, port.in + port.in_head, take);
    port.in_head += take;
    *count_out = take;
    return 0;
}

void lower_modem_lines(int fd) {
    // A pseudo-terminal has no modem lines; the request then fails and that is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
}

void apply_raw(termios& t, speed_t speed) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
}

int fail_open(int fd, const char* what, int err, int result) {
    console_print("%s %s: %s\n", what, port.device.c_str(), std::strerror(err));
    if (fd >= 0) ::close(fd);
    return result;
}

}  // namespace

bool port_baud_supported(long baud) {
    for (const SpeedEntry& s : kSpeeds)
        if (s.baud == baud) return true;
    return false;
}

void port_configure(const char* device, long baud) {
    port.device = device;
    port.baud = baud;
}

const char* port_device() { return port.device.c_str(); }
long port_baud() { return port.baud; }

int port_open() {
    speed_t speed = B9600;
    for (const SpeedEntry& s : kSpeeds)
        if (s.baud == port.baud) speed = s.code;

    int fd = ::open(port.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail_open(-1, "cannot open serial port", errno, 1);
    if (!::isatty(fd)) return fail_open(fd, "cannot use", ENOTTY, 1);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            console_print("serial port %s is busy: another program has it open\n",
                          port.device.c_str());
            ::close(fd);
            return 1;
        }
        return fail_open(fd, "cannot lock serial port", errno, 1);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) return fail_open(fd, "cannot take serial port", errno, 1);
    if (::tcgetattr(fd, &port.saved) != 0) {
        ::ioctl(fd, TIOCNXCL);
        return fail_open(fd, "cannot read the settings of", errno, 2);
    }
    termios raw = port.saved;
    apply_raw(raw, speed);
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
        ::ioctl(fd, TIOCNXCL);
        return fail_open(fd, "cannot configure", errno, 3);
    }
    lower_modem_lines(fd);
    port.fd = fd;
    port.memory = false;
    port.in_head = port.in_tail = port.out_len = 0;
    port.read_failures = 0;
    port.lost = false;
    console_print("Serial port %s successfully reconfigured.\n", port.device.c_str());
    return 0;
}

void port_open_memory(const unsigned char* data, std::size_t n) {
    port_close();
    port.memory = true;
    port.memory_in = data;
    port.memory_left = n;
    port.memory_out.clear();
    port.in_head = port.in_tail = port.out_len = 0;
    port.read_failures = 0;
    port.lost = false;
}

const std::string& port_memory_output() {
    push(0, PushMode::kNoWait);
    return port.memory_out;
}

int port_read(unsigned char* buffer, std::size_t n, std::size_t* count_out) {
    return read_with(link_timing().read_timeout_ms, buffer, n, count_out);
}

int port_read_waiting(unsigned char* buffer, std::size_t n, std::size_t* count_out) {
    return read_with(0, buffer, n, count_out);
}

int port_write(const unsigned char* buffer, std::size_t n) {
    if (!is_open() || port.lost) return 0;
    if (port.out_len + n > kOutputSoftLimit && !push(kOutputSoftLimit, PushMode::kWaitUnlessInput))
        return 0;
    while (n > 0) {
        if (port.out_len == sizeof port.out && !push(0, PushMode::kWait)) return 0;
        std::size_t room = sizeof port.out - port.out_len;
        std::size_t take = n < room ? n : room;
        std::memcpy(port.out + port.out_len, buffer, take);
        port.out_len += take;
        buffer += take;
        n -= take;
    }
    return 1;
}

void port_flush() {
    if (is_open()) push(0, PushMode::kWait);
}

void port_purge_input() {
    port.in_head = port.in_tail = 0;
    if (port.fd >= 0) ::tcflush(port.fd, TCIFLUSH);
}

void port_discard_output() {
    port.out_len = 0;
    if (port.fd >= 0) ::tcflush(port.fd, TCOFLUSH);
}

std::size_t port_output_pending() {
    int queued = 0;
    if (port.fd >= 0 && ::ioctl(port.fd, TIOCOUTQ, &queued) != 0) queued = 0;
    return port.out_len + static_cast<std::size_t>(queued > 0 ? queued : 0);
}

bool port_lost() { return port.lost; }
const char* port_lost_reason() { return port.lost_reason; }

void port_close() {
    if (port.memory) {
        push(0, PushMode::kNoWait);
        port.memory = false;
        return;
    }
    if (port.fd < 0) return;
    push(0, PushMode::kWait);
    // Let what is queued leave at the session's speed before the device's own settings return.
    ::tcsetattr(port.fd, TCSADRAIN, &port.saved);
    ::ioctl(port.fd, TIOCNXCL);
    ::close(port.fd);
    port.fd = -1;
    port.in_head = port.in_tail = port.out_len = 0;
}
