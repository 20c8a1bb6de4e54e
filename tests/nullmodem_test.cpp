// The virtual null-modem, driven as a separate process through its two devices, as the transfer
// tests and benchmarks use it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#ifndef NULLMODEM_BIN
#error "NULLMODEM_BIN must name the built nullmodem binary"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A child process with its stdout and stderr on pipes.
struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child spawn(const std::vector<std::string>& args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> argv{const_cast<char*>(NULLMODEM_BIN)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(NULLMODEM_BIN, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    return {pid, out[0], err[0]};
}

// Everything from fd until EOF or the deadline.
std::string read_all(int fd, Clock::time_point deadline) {
    std::string text;
    char buf[4096];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

struct Finished {
    int status = -1;  // exit status, or -1 if it did not exit normally
    std::string out;
    std::string err;
};

// Waits for the child; kills it if it has not exited within the deadline.
Finished finish(Child& c, Clock::time_point deadline) {
    Finished f;
    f.out = read_all(c.out, deadline);
    f.err = read_all(c.err, deadline);
    int ws = 0;
    if (::waitpid(c.pid, &ws, WNOHANG) == 0) {
        ::kill(c.pid, SIGKILL);
        ::waitpid(c.pid, &ws, 0);
    }
    ::close(c.out);
    ::close(c.err);
    c = Child{};
    if (WIFEXITED(ws)) f.status = WEXITSTATUS(ws);
    return f;
}

Finished run_to_exit(const std::vector<std::string>& args) {
    Child c = spawn(args);
    return finish(c, Clock::now() + std::chrono::seconds(5));
}

bool set_raw_nonblocking(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

// A running nullmodem with both of its devices opened as a peer would.
class Nullmodem {
  public:
    ~Nullmodem() { stop(); }

    // Starts it and opens both devices raw and non-blocking.
    bool start(const std::vector<std::string>& args) {
        child_ = spawn(args);
        if (child_.pid <= 0) return false;
        std::string lines;
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (std::count(lines.begin(), lines.end(), '\n') < 2 && Clock::now() < deadline) {
            pollfd p{child_.out, POLLIN, 0};
            char ch;
            if (::poll(&p, 1, 50) > 0 && ::read(child_.out, &ch, 1) == 1) lines += ch;
        }
        auto newline = lines.find('\n');
        if (std::count(lines.begin(), lines.end(), '\n') != 2) {
            ADD_FAILURE() << "nullmodem printed '" << lines << "' instead of two paths";
            return false;
        }
        path[0] = lines.substr(0, newline);
        path[1] = lines.substr(newline + 1, lines.size() - newline - 2);
        for (int i = 0; i < 2; ++i) {
            if (!open_end(i)) return false;
        }
        return true;
    }

    bool open_end(int i) {
        fd[i] = ::open(path[i].c_str(), O_RDWR | O_NOCTTY);
        if (fd[i] < 0 || !set_raw_nonblocking(fd[i])) {
            ADD_FAILURE() << "cannot open " << path[i] << ": " << std::strerror(errno);
            return false;
        }
        return true;
    }

    // SIGTERM, then its exit status and what it printed on stderr.
    Finished stop() {
        for (int& f : fd) {
            if (f >= 0) ::close(f);
            f = -1;
        }
        if (child_.pid <= 0) return {};
        ::kill(child_.pid, SIGTERM);
        return finish(child_, Clock::now() + std::chrono::seconds(5));
    }

    int fd[2] = {-1, -1};
    std::string path[2];

  private:
    Child child_;
};

struct Received {
    std::string at_b;  // what arrived at end B, sent from A
    std::string at_a;
    bool all_sent = false;
};

// Writes to_b into end A and to_a into end B while collecting what arrives at the other ends.
// Returns once everything sent has arrived, or when nothing has moved for `idle`.
Received exchange(int a, int b, const std::string& to_b, const std::string& to_a,
                  milliseconds idle = milliseconds(300)) {
    Received r;
    std::size_t sent_b = 0, sent_a = 0;
    auto hard_deadline = Clock::now() + std::chrono::seconds(8);
    auto last_progress = Clock::now();
    char buf[65536];
    while (Clock::now() - last_progress < idle && Clock::now() < hard_deadline) {
        if (sent_b == to_b.size() && sent_a == to_a.size() && r.at_b.size() >= to_b.size() &&
            r.at_a.size() >= to_a.size()) {
            break;
        }
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (sent_b < to_b.size()) p[0].events |= POLLOUT;
        if (sent_a < to_a.size()) p[1].events |= POLLOUT;
        if (::poll(p, 2, 20) <= 0) continue;
        struct Flow {
            int fd;
            short revents;
            const std::string& out;
            std::size_t& sent;
            std::string& in;
        } flows[2] = {{a, p[0].revents, to_b, sent_b, r.at_a},
                      {b, p[1].revents, to_a, sent_a, r.at_b}};
        for (auto& f : flows) {
            if ((f.revents & POLLOUT) && f.sent < f.out.size()) {
                ssize_t n = ::write(f.fd, f.out.data() + f.sent, f.out.size() - f.sent);
                if (n > 0) {
                    f.sent += static_cast<std::size_t>(n);
                    last_progress = Clock::now();
                }
            }
            if (f.revents & POLLIN) {
                ssize_t n = ::read(f.fd, buf, sizeof buf);
                if (n > 0) {
                    f.in.append(buf, static_cast<std::size_t>(n));
                    last_progress = Clock::now();
                }
            }
        }
    }
    r.all_sent = sent_b == to_b.size() && sent_a == to_a.size();
    return r;
}

// n bytes covering every byte value, different for each salt.
std::string pattern(std::size_t n, unsigned salt) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + salt + i / 256 * salt);
    return s;
}

// The number after `label` in the summary line, e.g. counter(err, "flipped") for "3 flipped".
long counter(const std::string& err, const std::string& label) {
    std::smatch m;
    if (!std::regex_search(err, m, std::regex("(\\d+) " + label))) return -1;
    return std::stol(m[1]);
}

TEST(Nullmodem, RelaysBothDirectionsByteForByteAndReportsCountsOnSigterm) {
    Nullmodem nm;
    ASSERT_TRUE(nm.start({}));
    const std::string a_to_b = pattern(100 * 1024, 1), b_to_a = pattern(100 * 1024, 2);
    Received r = exchange(nm.fd[0], nm.fd[1], a_to_b, b_to_a);
    EXPECT_TRUE(r.all_sent);
    EXPECT_TRUE(r.at_b == a_to_b) << "a->b got " << r.at_b.size() << " bytes";
    EXPECT_TRUE(r.at_a == b_to_a) << "b->a got " << r.at_a.size() << " bytes";

    Finished f = nm.stop();
    EXPECT_EQ(f.status, 0);
    EXPECT_NE(f.err.find("a->b 102400 bytes, b->a 102400 bytes"), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("0 flipped, 0 dropped, 0 burst"), std::string::npos) << f.err;
    EXPECT_EQ(f.err.find("cut"), std::string::npos) << f.err;
}

TEST(Nullmodem, PeerReopeningItsDeviceKeepsTheLine) {
    Nullmodem nm;
    ASSERT_TRUE(nm.start({}));
    ASSERT_EQ(exchange(nm.fd[0], nm.fd[1], "first", "").at_b, "first");
    ::close(nm.fd[0]);
    ::usleep(200 * 1000);  // the nullmodem must ride out the closed device
    ASSERT_TRUE(nm.open_end(0));
    Received r = exchange(nm.fd[0], nm.fd[1], "again", "reply");
    EXPECT_EQ(r.at_b, "again");
    EXPECT_EQ(r.at_a, "reply");
}

TEST(Nullmodem, RatePacesDeliveryLikeAUart) {
    Nullmodem nm;
    ASSERT_TRUE(nm.start({"--rate", "960"}));
    const std::string data = pattern(1000, 3);
    auto start = Clock::now();
    Received r = exchange(nm.fd[0], nm.fd[1], data, "");
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(r.at_b == data) << "got " << r.at_b.size() << " bytes";
    EXPECT_GE(seconds, 0.5);
}

TEST(Nullmodem, RateHoldsTheWriterBack) {
    Nullmodem nm;
    ASSERT_TRUE(nm.start({"--rate", "960"}));
    // Write whenever the device takes more, until it has refused for a while: a line that
    // queued without limit would take all 200 KB within moments.
    const std::string block(4096, 'x');
    std::size_t written = 0;
    auto last_accepted = Clock::now();
    while (written < 200 * 1024 && Clock::now() - last_accepted < milliseconds(300)) {
        pollfd p{nm.fd[0], POLLOUT, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        ssize_t n = ::write(nm.fd[0], block.data(), block.size());
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            last_accepted = Clock::now();
        }
    }
    EXPECT_LT(written, 200u * 1024) << "the line accepted data without limit";
    EXPECT_GT(written, 0u);
}

// Sends `data` from A to B, and `reverse` from B to A, through a nullmodem started with `args`;
// returns what arrived at B.
struct FaultRun {
    std::string received;
    std::string err;
};

FaultRun run_one_way(const std::vector<std::string>& args, const std::string& data,
                     const std::string& reverse = "") {
    Nullmodem nm;
    if (!nm.start(args)) return {};
    Received r = exchange(nm.fd[0], nm.fd[1], data, reverse);
    EXPECT_TRUE(r.all_sent);
    Finished f = nm.stop();
    EXPECT_EQ(f.status, 0);
    return {r.at_b, f.err};
}

TEST(Nullmodem, BitErrorsFlipOneBitAndAreReproducible) {
    const std::string data = pattern(20000, 4);
    FaultRun first = run_one_way({"--ber", "0.002", "--seed", "7"}, data);
    ASSERT_EQ(first.received.size(), data.size());
    long differing = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        unsigned diff = static_cast<unsigned char>(first.received[i] ^ data[i]);
        if (diff == 0) continue;
        ++differing;
        EXPECT_EQ(diff & (diff - 1), 0u) << "more than one bit changed at " << i;
    }
    EXPECT_GT(differing, 0);
    EXPECT_EQ(counter(first.err, "flipped"), differing) << first.err;

    // Same seed: the same damage, even with traffic in the other direction meanwhile.
    FaultRun again = run_one_way({"--ber", "0.002", "--seed", "7"}, data, pattern(30000, 5));
    EXPECT_TRUE(again.received == first.received);
    FaultRun other_seed = run_one_way({"--ber", "0.002", "--seed", "8"}, data);
    EXPECT_FALSE(other_seed.received == first.received);
}

// True if `part` is `whole` with some bytes left out.
bool is_subsequence(const std::string& part, const std::string& whole) {
    std::size_t j = 0;
    for (char c : whole) {
        if (j < part.size() && part[j] == c) ++j;
    }
    return j == part.size();
}

TEST(Nullmodem, DropLosesBytesAndKeepsTheRestInOrder) {
    const std::string data = pattern(20000, 6);
    FaultRun run = run_one_way({"--drop", "0.01", "--seed", "3"}, data);
    EXPECT_LT(run.received.size(), data.size());
    EXPECT_GT(run.received.size(), data.size() - 1000);
    EXPECT_TRUE(is_subsequence(run.received, data));
    EXPECT_EQ(counter(run.err, "dropped"), static_cast<long>(data.size() - run.received.size()))
        << run.err;
}

TEST(Nullmodem, BurstReplacesRunsOfBytesByNoise) {
    const std::string data = pattern(20000, 7);
    FaultRun run = run_one_way({"--burst=8/0.002"}, data);
    ASSERT_EQ(run.received.size(), data.size());
    EXPECT_GT(counter(run.err, "burst"), 0) << run.err;
    // Damage comes in runs no longer than a burst (noise may match a byte by chance).
    std::size_t run_length = 0, damaged = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        run_length = run.received[i] == data[i] ? 0 : run_length + 1;
        damaged += run_length > 0;
        EXPECT_LE(run_length, 8u * 2) << "at " << i;
    }
    EXPECT_GT(damaged, 0u);
}

struct CutCase {
    std::vector<std::string> args;
    std::size_t a2b_delivered;
    std::size_t b2a_delivered;
    const char* cut_report;
};

class NullmodemCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(NullmodemCut, DeliversExactlyTheBytesBeforeTheCut) {
    const CutCase& c = GetParam();
    Nullmodem nm;
    ASSERT_TRUE(nm.start(c.args));
    // Far more than the line buffers hold: after a cut the writer must not be blocked.
    const std::string a_to_b = pattern(300 * 1024, 8), b_to_a = pattern(1000, 9);
    Received r = exchange(nm.fd[0], nm.fd[1], a_to_b, b_to_a);
    EXPECT_TRUE(r.all_sent);
    EXPECT_TRUE(r.at_b == a_to_b.substr(0, c.a2b_delivered)) << r.at_b.size() << " bytes";
    EXPECT_TRUE(r.at_a == b_to_a.substr(0, c.b2a_delivered)) << r.at_a.size() << " bytes";
    // Nothing more later either.
    r = exchange(nm.fd[0], nm.fd[1], "more", "");
    EXPECT_EQ(r.at_b, "");
    Finished f = nm.stop();
    EXPECT_EQ(f.status, 0);
    EXPECT_NE(f.err.find(c.cut_report), std::string::npos) << f.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NullmodemCut,
    ::testing::Values(CutCase{{"--cut-after", "100"}, 100, 100, ", cut a->b b->a\n"},
                      CutCase{{"--cut-after", "100", "--dir", "a2b"}, 100, 1000, ", cut a->b\n"},
                      CutCase{{"--cut-after=0", "--rate=50000"}, 0, 0, ", cut a->b b->a\n"}));

TEST(Nullmodem, LinksPointToTheDevicesAndAreRemovedOnExit) {
    char dir[] = "/tmp/nullmodem-test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string a = std::string(dir) + "/a", b = std::string(dir) + "/b";
    ASSERT_EQ(::symlink("/nonexistent", a.c_str()), 0);  // a stale link is replaced
    {
        Nullmodem nm;
        ASSERT_TRUE(nm.start({"--link", a + "," + b}));
        char target[256] = {};
        ASSERT_GT(::readlink(a.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(target, nm.path[0]);
        std::memset(target, 0, sizeof target);
        ASSERT_GT(::readlink(b.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(target, nm.path[1]);
        EXPECT_EQ(nm.stop().status, 0);
    }
    struct stat st {};
    EXPECT_NE(::lstat(a.c_str(), &st), 0);
    EXPECT_NE(::lstat(b.c_str(), &st), 0);
    ::rmdir(dir);
}

TEST(Nullmodem, HelpDocumentsEveryOption) {
    Finished f = run_to_exit({"--help"});
    EXPECT_EQ(f.status, 0);
    for (const char* option :
         {"--rate", "--link", "--seed", "--ber", "--drop", "--burst", "--cut-after", "--dir"}) {
        EXPECT_NE(f.out.find(option), std::string::npos) << option;
    }
}

class NullmodemBadOption : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(NullmodemBadOption, ExitsWithStatus2AndAMessage) {
    Finished f = run_to_exit(GetParam());
    EXPECT_EQ(f.status, 2);
    EXPECT_NE(f.err.find("nullmodem: "), std::string::npos) << f.err;
    EXPECT_EQ(f.out, "");  // no device paths: it never started
}

INSTANTIATE_TEST_SUITE_P(Cases, NullmodemBadOption,
                         ::testing::Values(std::vector<std::string>{"--bogus"},
                                           std::vector<std::string>{"--ber", "2"},
                                           std::vector<std::string>{"--ber"},
                                           std::vector<std::string>{"--rate", "-5"},
                                           std::vector<std::string>{"--cut-after", "10k"},
                                           std::vector<std::string>{"--burst", "8"},
                                           std::vector<std::string>{"--burst", "0/0.1"},
                                           std::vector<std::string>{"--dir", "up"},
                                           std::vector<std::string>{"--link", "/tmp/x"},
                                           std::vector<std::string>{"stray"}));

}  // namespace
