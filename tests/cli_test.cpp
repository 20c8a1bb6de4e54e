// The command line against the built program: usage and argument errors and bad speeds end with
// status 1 before the line is touched, a device that cannot be had ends with status 2, and a
// receiver started on a pty line invites a sender, is stopped by SIGTERM with status 143 and
// leaves the line's settings as it found them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

#include "line_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kBanner = "\nZmodem program...";
const std::string kUsage = kBanner + "\nUsage: zmodem /r /s [filename]";
const std::string kUnrecognized = kBanner + "\nUnrecognized argument";
const std::string kNeedsName = kBanner + "\nError: send requires filename";
const std::string kZrinit =
    "**\x18"
    "B0100000023be50\r\n\x11";

// The built program running in a child process, its standard output read through a pipe.
class Program {
   public:
    Program(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& dir = "") {
        std::vector<std::string> arg_text{ZMODEM_BIN};
        arg_text.insert(arg_text.end(), args.begin(), args.end());
        std::vector<std::string> env_text;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (entry.rfind("ZMODEM_PORT=", 0) != 0 && entry.rfind("ZMODEM_BAUD=", 0) != 0)
                env_text.push_back(entry);
        }
        env_text.insert(env_text.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (std::string& a : arg_text) argv.push_back(a.data());
        for (std::string& e : env_text) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            int quiet = open("/dev/null", O_RDWR);
            dup2(quiet, STDIN_FILENO);
            dup2(quiet, STDERR_FILENO);
            dup2(out[1], STDOUT_FILENO);
            if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Program() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    bool started() const { return pid_ > 0 && out_ >= 0; }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

    // Reads standard output until it holds `text` or the time is up; true when it does.
    bool read_until(const std::string& text, int timeout_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (output_.find(text) == std::string::npos) {
            if (!read_some(deadline)) return false;
        }
        return true;
    }

    // Reads the rest of standard output and waits for the program to end. Returns the exit
    // status, or -1 (the program is killed) when it does not end in time or ends by a signal.
    int finish(int timeout_ms = 10000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (read_some(deadline)) {
        }
        if (Clock::now() >= deadline) kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

   private:
    // One read from the pipe; false at its end or when the deadline has passed.
    bool read_some(Clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[1024];
        ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        output_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    std::string output_;
};

// The serial device; its settings must come back as they were.
struct Line : CookedPty {
    // What has been written on the line, read until it holds `text` or the time is up.
    std::string receive_until(const std::string& text, int timeout_ms) const {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::string got;
        while (got.find(text) == std::string::npos && read_some(got, ms_left(deadline))) {
        }
        return got;
    }
    // What has been written on the line, read until it has been quiet for quiet_ms.
    std::string receive_quiet(int quiet_ms) const {
        std::string got;
        while (read_some(got, quiet_ms)) {
        }
        return got;
    }

   private:
    static int ms_left(Clock::time_point deadline) {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    }
    // One read from the master within timeout_ms; false when nothing came.
    bool read_some(std::string& got, int timeout_ms) const {
        if (timeout_ms <= 0) return false;
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char chunk[256];
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0) return false;
        got.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
};

void expect_same_settings(const termios& a, const termios& b) {
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
    EXPECT_EQ(std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc), 0);
}

std::string describe(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::string text = "zmodem";
    for (const std::string& a : args) text += " [" + a.substr(0, 12) + "]";
    for (const std::string& e : env) text += " " + e;
    return text;
}

struct RefusedCase {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string exact;     // the whole output, when not empty
    std::string contains;  // otherwise a part that names what was wrong
};

TEST(CommandLine, UsageAndArgumentErrorsEndWithStatus1BeforeTheLineIsTouched) {
    Line line;
    ASSERT_FALSE(line.path.empty()) << "openpty failed";
    const std::string long_name(300, 'n');
    const RefusedCase cases[] = {
        {{}, {}, kUsage, ""},
        {{"/s", "a", "b"}, {}, kUsage, ""},
        {{"/r", "a", "b"}, {}, kUsage, ""},
        {{"r"}, {}, kUnrecognized, ""},
        {{"/x", "name"}, {}, kUnrecognized, ""},
        {{"/"}, {}, kUnrecognized, ""},
        {{""}, {}, kUnrecognized, ""},
        {{"/s"}, {}, kNeedsName, ""},
        {{"/s", long_name}, {}, "", "too long"},
        {{"/r"}, {"ZMODEM_BAUD=1234"}, "", "1234"},
        {{"/r"}, {"ZMODEM_BAUD=abc"}, "", "abc"},
        {{"/s", "file.bin"}, {"ZMODEM_BAUD=9600x"}, "", "9600x"},
        {{"/r"}, {"ZMODEM_BAUD=5000000"}, "", "5000000"},
    };
    const termios before = line.settings();
    for (const RefusedCase& c : cases) {
        std::vector<std::string> env = c.env;
        env.push_back("ZMODEM_PORT=" + line.path);
        SCOPED_TRACE(describe(c.args, c.env));
        Program program(c.args, env);
        ASSERT_TRUE(program.started());
        EXPECT_EQ(program.finish(), 1);
        const std::string& out = program.output();
        if (!c.exact.empty()) {
            EXPECT_EQ(out, c.exact);
        } else {
            EXPECT_EQ(out.rfind(kBanner + "\n", 0), 0u) << out;
            EXPECT_NE(out.find(c.contains), std::string::npos) << out;
        }
        EXPECT_EQ(out.find("erial port"), std::string::npos) << out;
        EXPECT_EQ(out.find(line.path), std::string::npos) << out;
        EXPECT_EQ(line.receive_quiet(20), "") << "nothing may be written on the line";
        expect_same_settings(line.settings(), before);
    }
}

struct PortFailureCase {
    std::vector<std::string> args;
    std::string device;
    std::string reason;
};

TEST(CommandLine, ADeviceThatCannotBeOpenedEndsWithStatus2) {
    Line busy;
    ASSERT_FALSE(busy.path.empty()) << "openpty failed";
    int holder = open(busy.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    // A name of 259 characters is accepted: the run gets as far as the port.
    const std::string longest_name(259, 'n');
    const PortFailureCase cases[] = {
        {{"/r"}, "/nonexistent/ttyZ", std::strerror(ENOENT)},
        {{"/r", "extra"}, "/dev/null", std::strerror(ENOTTY)},
        {{"/s", longest_name}, "/nonexistent/ttyZ", std::strerror(ENOENT)},
        {{"/r"}, busy.path, "busy"},
    };
    for (const PortFailureCase& c : cases) {
        SCOPED_TRACE(describe(c.args, {"ZMODEM_PORT=" + c.device}));
        Program program(c.args, {"ZMODEM_PORT=" + c.device});
        ASSERT_TRUE(program.started());
        EXPECT_EQ(program.finish(), 2);
        const std::string& out = program.output();
        EXPECT_EQ(out.rfind(kBanner, 0), 0u) << out;
        EXPECT_NE(out.find(c.device), std::string::npos) << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
        EXPECT_EQ(out.find("opening file"), std::string::npos) << "no transfer without a line";
    }
    EXPECT_EQ(busy.receive_quiet(20), "");
    close(holder);
}

TEST(CommandLine, AReceiverInvitesASenderAndLeavesTheLineAsItWasWhenTerminated) {
    Line line;
    ASSERT_FALSE(line.path.empty()) << "openpty failed";
    char pattern[] = "/tmp/zmodem-cli.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const termios before = line.settings();

    {
        // The extra word after /r is ignored.
        Program program({"/r", "extra"}, {"ZMODEM_PORT=" + line.path}, dir);
        ASSERT_TRUE(program.started());
        EXPECT_TRUE(
            program.read_until("Serial port " + line.path + " successfully reconfigured.\n", 5000))
            << program.output();
        std::string wire = line.receive_until(kZrinit, 5000);
        EXPECT_EQ(wire.rfind(kZrinit, 0), 0u) << "the line carried " << wire.size() << " bytes";

        termios during = line.settings();
        EXPECT_EQ(during.c_lflag & (ECHO | ICANON | ISIG), 0u) << "the line was not made raw";
        EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B9600));

        ASSERT_EQ(kill(program.pid(), SIGTERM), 0);
        const std::string abort = "\x18\x18\x18\x18\x18\x18\x18\x18\b\b\b\b\b\b\b\b\b\b";
        EXPECT_NE(line.receive_until(abort, 5000).find(abort), std::string::npos)
            << "the remote is not told that the session ends";
        EXPECT_EQ(program.finish(), 128 + SIGTERM) << program.output();
        EXPECT_NE(program.output().find("SIGTERM"), std::string::npos) << program.output();
    }
    expect_same_settings(line.settings(), before);
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "a receiver that got no file created one";
    std::filesystem::remove_all(dir);
}

}  // namespace
