// nullmodem: joins two pseudo-terminals like a null-modem cable, so that two programs that each
// expect a serial device can talk to each other. Optionally paces the line like a UART and injects
// reproducible line faults (bit errors, lost bytes, noise bursts, a pulled cable).
//
// Each side is a pty pair. The nullmodem keeps the master ends and relays master A -> master B
// and master B -> master A; the slave ends are the devices that peers open. It also keeps its own
// descriptor on each slave, so a peer closing and reopening its device never hangs up the line.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kUnpacedQueue = 64 * 1024;  // big reads and writes for throughput
constexpr std::size_t kPacedQueue = 4096;         // bytes held per direction, like a driver queue
constexpr double kPacedChunkSeconds = 0.005;      // a write is due once this much has accrued
constexpr double kPacedBurstSeconds = 0.010;      // at most this much goes out in one write
constexpr auto kHangupRetry = std::chrono::milliseconds(100);  // pause after EIO or a hangup
constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kNoEvent = std::numeric_limits<std::uint64_t>::max();

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

// ---------------------------------------------------------------------------------------------
// Options

struct Options {
    std::uint64_t rate = 0;  // bytes per second per direction; 0 = as fast as possible
    std::uint64_t seed = 1;
    double ber = 0;
    double drop = 0;
    std::uint64_t burst_len = 0;
    double burst_p = 0;
    std::optional<std::uint64_t> cut_after;
    bool faults_a2b = true;
    bool faults_b2a = true;
    std::string link_a;
    std::string link_b;
};

void print_help() {
    std::printf(
        "Usage: nullmodem [OPTION]...\n"
        "Join two pseudo-terminals like a null-modem cable. Prints the two device paths on\n"
        "stdout, one per line, then relays bytes both ways until SIGTERM or SIGINT, and prints\n"
        "the bytes relayed and faults injected on stderr.\n"
        "\n"
        "Options (VALUE may also be given as --option=VALUE):\n"
        "  --rate BYTES_PER_S  pace each direction like a UART at this many bytes a second,\n"
        "                      holding at most %zu bytes per direction (9600 baud 8N1 = 960);\n"
        "                      0 relays as fast as possible (default 0)\n"
        "  --link A,B          also create symlinks A and B pointing to the two devices\n"
        "                      (an existing symlink is replaced; both are removed on exit)\n"
        "Faults, reproducible for a given seed; each direction has its own random stream:\n"
        "  --seed N            seed for the fault generators (default 1)\n"
        "  --ber P             flip one random bit of a byte with probability P (default 0)\n"
        "  --drop P            lose a byte with probability P (default 0)\n"
        "  --burst N/P         with probability P per byte, replace that byte and the next\n"
        "                      N-1 by random noise (default off)\n"
        "  --cut-after BYTES   pull the cable after BYTES have been relayed in a direction:\n"
        "                      later bytes are read and discarded (default never)\n"
        "  --dir a2b|b2a|both  directions the faults above apply to (default both)\n"
        "  -h, --help          show this help and exit\n"
        "\n"
        "Direction a2b carries bytes written to the first device to the second one.\n"
        "Exit status: 0 when stopped by a signal, 1 on a system error, 2 on a bad option.\n",
        kPacedQueue);
}

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "nullmodem: %s\nTry 'nullmodem --help' for more information.\n",
                 message.c_str());
    std::exit(2);
}

std::uint64_t parse_count(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' ||
        errno == ERANGE) {
        usage_error(option + " wants a non-negative whole number, not '" + text + "'");
    }
    return value;
}

double parse_probability(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0' ||
        errno == ERANGE || !(value >= 0.0 && value <= 1.0)) {
        usage_error(option + " wants a probability from 0 to 1, not '" + text + "'");
    }
    return value;
}

void parse_burst(const std::string& text, Options& options) {
    auto slash = text.find('/');
    if (slash == std::string::npos) usage_error("--burst wants N/P, e.g. 16/0.0001");
    options.burst_len = parse_count("--burst length", text.substr(0, slash));
    options.burst_p = parse_probability("--burst", text.substr(slash + 1));
    if (options.burst_len == 0) usage_error("--burst length must be at least 1");
}

void parse_link(const std::string& text, Options& options) {
    auto comma = text.find(',');
    if (comma == std::string::npos) usage_error("--link wants two paths, A,B");
    options.link_a = text.substr(0, comma);
    options.link_b = text.substr(comma + 1);
    if (options.link_a.empty() || options.link_b.empty() || options.link_a == options.link_b) {
        usage_error("--link wants two different, non-empty paths, A,B");
    }
}

void parse_dir(const std::string& text, Options& options) {
    if (text != "a2b" && text != "b2a" && text != "both") {
        usage_error("--dir wants a2b, b2a or both, not '" + text + "'");
    }
    options.faults_a2b = text != "b2a";
    options.faults_b2a = text != "a2b";
}

bool known_option(const std::string& name) {
    for (const char* known :
         {"--rate", "--seed", "--ber", "--drop", "--burst", "--cut-after", "--dir", "--link"}) {
        if (name == known) return true;
    }
    return false;
}

void apply_option(const std::string& name, const std::string& value, Options& options) {
    if (name == "--rate") {
        options.rate = parse_count(name, value);
    } else if (name == "--seed") {
        options.seed = parse_count(name, value);
    } else if (name == "--ber") {
        options.ber = parse_probability(name, value);
    } else if (name == "--drop") {
        options.drop = parse_probability(name, value);
    } else if (name == "--burst") {
        parse_burst(value, options);
    } else if (name == "--cut-after") {
        options.cut_after = parse_count(name, value);
    } else if (name == "--dir") {
        parse_dir(value, options);
    } else if (name == "--link") {
        parse_link(value, options);
    }
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_help();
            std::exit(0);
        }
        auto equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        if (!known_option(name)) usage_error("unknown option '" + arg + "'");
        if (equals != std::string::npos) {
            apply_option(name, arg.substr(equals + 1), options);
        } else if (i + 1 < argc) {
            apply_option(name, argv[++i], options);
        } else {
            usage_error(name + " needs a value");
        }
    }
    return options;
}

// ---------------------------------------------------------------------------------------------
// Fault generators

// splitmix64: small, fast and fully determined by its seed.
struct Rng {
    std::uint64_t state;

    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in (0, 1].
    double unit() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }
};

// Independent stream for (seed, stream number): a direction's faults depend only on the seed and
// that direction's own bytes.
Rng make_rng(std::uint64_t seed, std::uint64_t stream) {
    Rng mixer{seed ^ (stream * 0xd1b54a32d192ed03ULL)};
    return Rng{mixer.next()};
}

// Positions of events that each happen to a byte with probability p. Rather than drawing a number
// per byte, the gap to the next event is drawn from the geometric distribution, so a rare fault
// costs nothing on the bytes in between.
struct EventStream {
    Rng rng{0};
    double log_miss = 0;               // log(1 - p)
    bool every = false;                // p == 1
    std::uint64_t next_at = kNoEvent;  // position of the next event in the byte stream

    void start(double p, Rng generator) {
        rng = generator;
        if (p <= 0) return;
        every = p >= 1;
        log_miss = std::log1p(-p);
        next_at = gap();
    }
    std::uint64_t gap() {
        if (every) return 0;
        double g = std::floor(std::log(rng.unit()) / log_miss);
        return g < 1e18 ? static_cast<std::uint64_t>(g) : static_cast<std::uint64_t>(1e18);
    }
    // Schedules the next event after position `after`.
    void schedule_after(std::uint64_t after) { next_at = after + 1 + gap(); }
};

struct FaultCounts {
    std::uint64_t flipped = 0;
    std::uint64_t dropped = 0;
    std::uint64_t bursts = 0;
};

// Damages the bytes of one direction as they pass, in order: noise bursts, bit flips, drops.
// Event positions count the bytes read from the source, before any were dropped.
class FaultInjector {
  public:
    FaultInjector(const Options& o, std::uint64_t direction) : burst_len_(o.burst_len) {
        flip_.start(o.ber, make_rng(o.seed, direction * 8 + 0));
        drop_.start(o.drop, make_rng(o.seed, direction * 8 + 1));
        burst_.start(o.burst_p, make_rng(o.seed, direction * 8 + 2));
        noise_ = make_rng(o.seed, direction * 8 + 3);
        enabled_ = o.ber > 0 || o.drop > 0 || o.burst_p > 0;
    }

    // Damages data[0, n) in place and returns how many bytes remain.
    std::size_t apply(unsigned char* data, std::size_t n) {
        if (!enabled_) return n;
        const std::uint64_t end = position_ + n;
        apply_bursts(data, n, end);
        apply_flips(data, end);
        n = apply_drops(data, n, end);
        position_ = end;
        return n;
    }

    const FaultCounts& counts() const { return counts_; }

  private:
    void apply_bursts(unsigned char* data, std::size_t n, std::uint64_t end) {
        std::size_t i = 0;
        while (i < n) {
            if (burst_left_ == 0) {
                if (burst_.next_at >= end) return;
                i = burst_.next_at - position_;
                burst_left_ = burst_len_;
                ++counts_.bursts;
                // Bursts do not overlap: the next one may start only after this one ends.
                burst_.schedule_after(burst_.next_at + burst_len_ - 1);
            }
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(burst_left_, n - i));
            fill_noise(data + i, k);
            i += k;
            burst_left_ -= k;
        }
    }

    void fill_noise(unsigned char* data, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(noise_.next());
    }

    void apply_flips(unsigned char* data, std::uint64_t end) {
        for (; flip_.next_at < end; flip_.schedule_after(flip_.next_at)) {
            data[flip_.next_at - position_] ^=
                static_cast<unsigned char>(1u << (flip_.rng.next() & 7));
            ++counts_.flipped;
        }
    }

    // Removes the dropped bytes by sliding the survivors down over them.
    std::size_t apply_drops(unsigned char* data, std::size_t n, std::uint64_t end) {
        if (drop_.next_at >= end) return n;
        std::size_t write = static_cast<std::size_t>(drop_.next_at - position_);
        std::size_t read = write;
        for (; drop_.next_at < end; drop_.schedule_after(drop_.next_at)) {
            std::size_t dropped = static_cast<std::size_t>(drop_.next_at - position_);
            std::memmove(data + write, data + read, dropped - read);
            write += dropped - read;
            read = dropped + 1;
            ++counts_.dropped;
        }
        std::memmove(data + write, data + read, n - read);
        return write + (n - read);
    }

    std::uint64_t burst_len_;
    bool enabled_ = false;
    EventStream flip_, drop_, burst_;
    Rng noise_{0};
    std::uint64_t burst_left_ = 0;
    std::uint64_t position_ = 0;
    FaultCounts counts_;
};

// ---------------------------------------------------------------------------------------------
// The line

// One pty pair: the master end the nullmodem relays through, the slave end peers open.
struct Side {
    int slot = 0;  // 0 for A, 1 for B: its place in the poll set
    int master = -1;
    int slave = -1;  // kept open so that a peer closing its device does not hang up the master
    std::string path;
    Clock::time_point retry_at{};  // after EIO or a hangup, the master rests until then

    bool resting(Clock::time_point now) const { return now < retry_at; }
    void rest(Clock::time_point now) { retry_at = now + kHangupRetry; }
};

// Paces one direction like a UART: a token bucket filled at `rate` bytes a second.
class Pacer {
  public:
    explicit Pacer(std::uint64_t rate) : rate_(static_cast<double>(rate)) {
        chunk_ = std::max(1.0, std::floor(rate_ * kPacedChunkSeconds));
        capacity_ = std::max(chunk_, rate_ * kPacedBurstSeconds);
        tokens_ = capacity_;
    }
    bool paced() const { return rate_ > 0; }

    void refill(Clock::time_point now) {
        if (!paced()) return;
        double elapsed = std::chrono::duration<double>(now - last_).count();
        tokens_ = std::min(capacity_, tokens_ + elapsed * rate_);
        last_ = now;
    }
    // How many of `queued` bytes may be written now.
    std::size_t allowance(std::size_t queued) const {
        if (!paced()) return queued;
        return std::min(queued, static_cast<std::size_t>(tokens_));
    }
    void spend(std::size_t n) {
        if (paced()) tokens_ -= static_cast<double>(n);
    }
    // Seconds until a chunk of `queued` bytes (or all of them, if fewer) may be written.
    double wait(std::size_t queued) const {
        if (!paced() || queued == 0) return kNever;
        double need = std::min(static_cast<double>(queued), chunk_);
        return tokens_ >= need ? 0.0 : (need - tokens_) / rate_;
    }

  private:
    double rate_;
    double chunk_ = 1;
    double capacity_ = 1;
    double tokens_ = 0;
    Clock::time_point last_ = Clock::now();
};

// One direction of the cable: bytes read from one master, damaged as configured, queued, and
// written to the other master as pacing and the reader allow.
class Direction {
  public:
    Direction(const char* name, Side& from, Side& to, const Options& o, std::uint64_t index,
              bool faulty)
        : name_(name),
          from_(from),
          to_(to),
          queue_(o.rate > 0 ? kPacedQueue : kUnpacedQueue),
          faults_(faulty ? o : Options{}, index),
          pacer_(o.rate) {
        if (faulty && o.cut_after) {
            cut_budget_ = o.cut_after;
            cut_ = *o.cut_after == 0;
        }
    }

    // Read from the source while there is room; after a cut, always (bytes are then discarded).
    bool wants_input() const { return cut_ || queued() < queue_.size(); }
    bool wants_writable() const { return queued() > 0 && !writable_; }
    void mark_writable() { writable_ = true; }

    double pacing_wait(Clock::time_point now) const {
        if (!writable_ || to_.resting(now)) return kNever;
        return pacer_.wait(queued());
    }

    void receive(Clock::time_point now, std::vector<unsigned char>& scratch) {
        if (cut_) {
            read_some(now, scratch.data(), scratch.size());  // a pulled cable: bytes vanish
            return;
        }
        make_room();
        std::size_t n = read_some(now, queue_.data() + tail_, queue_.size() - tail_);
        if (n > 0) enqueue(n);
    }

    void send(Clock::time_point now) {
        pacer_.refill(now);
        if (queued() == 0 || !writable_ || to_.resting(now)) return;
        std::size_t n = pacer_.allowance(queued());
        if (n == 0) return;
        ssize_t written = ::write(to_.master, queue_.data() + head_, n);
        if (written > 0) {
            consume(static_cast<std::size_t>(written));
            if (static_cast<std::size_t>(written) < n) writable_ = false;  // the reader is full
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writable_ = false;
        } else if (written < 0 && errno != EINTR) {
            to_.rest(now);
        }
    }

    std::string summary() const {
        return std::string(name_) + " " + std::to_string(relayed_) + " bytes";
    }
    const char* name() const { return name_; }
    bool cut() const { return cut_; }
    const FaultCounts& fault_counts() const { return faults_.counts(); }
    const Side& from() const { return from_; }
    const Side& to() const { return to_; }

  private:
    std::size_t queued() const { return tail_ - head_; }

    // Returns the number of bytes read; on a hangup or EIO, rests the source.
    std::size_t read_some(Clock::time_point now, unsigned char* into, std::size_t room) {
        ssize_t n = ::read(from_.master, into, room);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            from_.rest(now);
        }
        return 0;
    }

    // Moves queued bytes to the front once the free space at the end runs short.
    void make_room() {
        if (head_ == 0 || queue_.size() - tail_ >= queue_.size() / 2) return;
        std::memmove(queue_.data(), queue_.data() + head_, queued());
        tail_ -= head_;
        head_ = 0;
    }

    // Bytes just read at the queue's tail: damage them, stop at the cut, keep the rest.
    void enqueue(std::size_t n) {
        n = faults_.apply(queue_.data() + tail_, n);
        if (cut_budget_) {
            if (n >= *cut_budget_) {
                n = static_cast<std::size_t>(*cut_budget_);
                cut_ = true;
            }
            *cut_budget_ -= n;
        }
        tail_ += n;
    }

    void consume(std::size_t n) {
        head_ += n;
        relayed_ += n;
        pacer_.spend(n);
        if (head_ == tail_) head_ = tail_ = 0;
    }

    const char* name_;
    Side& from_;
    Side& to_;
    std::vector<unsigned char> queue_;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    FaultInjector faults_;
    Pacer pacer_;
    bool writable_ = true;  // false after a short write or EAGAIN, until poll reports POLLOUT
    std::optional<std::uint64_t> cut_budget_;
    bool cut_ = false;
    std::uint64_t relayed_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Setup

bool make_raw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool open_side(Side& side) {
    if (::openpty(&side.master, &side.slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("nullmodem: openpty");
        return false;
    }
    char name[256];
    if (::ttyname_r(side.slave, name, sizeof name) != 0) {
        std::perror("nullmodem: ttyname");
        return false;
    }
    side.path = name;
    if (!make_raw(side.master) || !make_raw(side.slave)) {
        std::perror("nullmodem: tcsetattr");
        return false;
    }
    int flags = ::fcntl(side.master, F_GETFL);
    if (flags < 0 || ::fcntl(side.master, F_SETFL, flags | O_NONBLOCK) != 0) {
        std::perror("nullmodem: fcntl");
        return false;
    }
    return true;
}

// Points `link` at `target`, replacing an existing symlink but nothing else.
bool make_link(const std::string& link, const std::string& target) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "nullmodem: %s exists and is not a symlink\n", link.c_str());
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "nullmodem: cannot create symlink %s: %s\n", link.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

// Removes `link` if it still points at `target`.
void remove_link(const std::string& link, const std::string& target) {
    char buffer[4096];
    ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (n >= 0 && std::string_view(buffer, static_cast<std::size_t>(n)) == target) {
        ::unlink(link.c_str());
    }
}

// SIGTERM and SIGINT only set a flag. They stay blocked except inside ppoll, so a signal that
// arrives while the loop is busy is seen at the next wait instead of being lost before it.
sigset_t install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    sigset_t stop_signals, original;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop_signals, &original);
    sigdelset(&original, SIGTERM);
    sigdelset(&original, SIGINT);
    return original;
}

// ---------------------------------------------------------------------------------------------
// Relay loop

timespec to_timespec(double seconds) {
    seconds = std::clamp(seconds, 0.0, 3600.0);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    return ts;
}

// Builds the poll set for both masters and returns how long poll may wait (kNever: no limit).
double prepare_poll(Side* sides, Direction* dirs, pollfd* fds, Clock::time_point now) {
    double timeout = kNever;
    for (int i = 0; i < 2; ++i) {
        bool resting = sides[i].resting(now);
        // A resting master is left out entirely: poll would report its hangup again at once.
        fds[i] = pollfd{resting ? -1 : sides[i].master, 0, 0};
        if (resting) {
            timeout =
                std::min(timeout, std::chrono::duration<double>(sides[i].retry_at - now).count());
        }
    }
    for (int d = 0; d < 2; ++d) {
        pollfd& in = fds[dirs[d].from().slot];
        pollfd& out = fds[dirs[d].to().slot];
        if (dirs[d].wants_input()) in.events |= POLLIN;
        if (dirs[d].wants_writable()) out.events |= POLLOUT;
        timeout = std::min(timeout, dirs[d].pacing_wait(now));
    }
    return timeout;
}

void handle_events(Side* sides, Direction* dirs, const pollfd* fds,
                   std::vector<unsigned char>& scratch) {
    Clock::time_point now = Clock::now();
    for (int d = 0; d < 2; ++d) {
        const pollfd& in = fds[dirs[d].from().slot];
        const pollfd& out = fds[dirs[d].to().slot];
        if (out.revents & (POLLOUT | POLLHUP | POLLERR)) dirs[d].mark_writable();
        if (in.revents & POLLIN) dirs[d].receive(now, scratch);
    }
    for (int i = 0; i < 2; ++i) {
        // A hangup without data: rest this master instead of polling it in a tight loop.
        if ((fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[i].revents & POLLIN)) {
            sides[i].rest(now);
        }
    }
}

int relay(Side* sides, Direction* dirs, const sigset_t& wait_mask) {
    std::vector<unsigned char> scratch(kUnpacedQueue);
    while (!g_stop) {
        Clock::time_point now = Clock::now();
        for (int d = 0; d < 2; ++d) dirs[d].send(now);
        pollfd fds[2];
        double timeout = prepare_poll(sides, dirs, fds, now);
        timespec ts = to_timespec(timeout);
        int rc = ::ppoll(fds, 2, timeout == kNever ? nullptr : &ts, &wait_mask);
        if (rc < 0) {
            if (errno == EINTR) continue;
            std::perror("nullmodem: poll");
            return 1;
        }
        if (rc > 0) handle_events(sides, dirs, fds, scratch);
    }
    return 0;
}

void print_summary(const Direction* dirs) {
    FaultCounts total;
    std::string cuts;
    for (int d = 0; d < 2; ++d) {
        total.flipped += dirs[d].fault_counts().flipped;
        total.dropped += dirs[d].fault_counts().dropped;
        total.bursts += dirs[d].fault_counts().bursts;
        if (dirs[d].cut()) cuts += std::string(cuts.empty() ? ", cut " : " ") + dirs[d].name();
    }
    std::fprintf(stderr, "nullmodem: %s, %s, faults: %llu flipped, %llu dropped, %llu burst%s\n",
                 dirs[0].summary().c_str(), dirs[1].summary().c_str(),
                 static_cast<unsigned long long>(total.flipped),
                 static_cast<unsigned long long>(total.dropped),
                 static_cast<unsigned long long>(total.bursts), cuts.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else, so that an early SIGTERM still ends in a clean exit.
    sigset_t wait_mask = install_signal_handlers();
    Options options = parse_options(argc, argv);

    Side sides[2];
    sides[1].slot = 1;
    if (!open_side(sides[0]) || !open_side(sides[1])) return 1;

    bool linked = !options.link_a.empty();
    if (linked &&
        (!make_link(options.link_a, sides[0].path) || !make_link(options.link_b, sides[1].path))) {
        remove_link(options.link_a, sides[0].path);
        return 1;
    }

    std::printf("%s\n%s\n", sides[0].path.c_str(), sides[1].path.c_str());
    std::fflush(stdout);

    Direction dirs[2] = {
        Direction("a->b", sides[0], sides[1], options, 0, options.faults_a2b),
        Direction("b->a", sides[1], sides[0], options, 1, options.faults_b2a),
    };
    int status = relay(sides, dirs, wait_mask);
    print_summary(dirs);

    if (linked) {
        remove_link(options.link_a, sides[0].path);
        remove_link(options.link_b, sides[1].path);
    }
    return status;
}
