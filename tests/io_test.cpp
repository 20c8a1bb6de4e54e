// The line and file operations the engine works through: reads with and without patience over a
// pty line, draining the line, the send list and its end mark, creating, appending, seeking and
// reading files in a directory of the test's own, the local names remote files are stored under,
// and file failures.
#include "link/io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "line_fixture.h"
#include "link/port.h"
#include "link/timing.h"
#include "support/esl.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string printed(const std::function<void()>& step) {
    testing::internal::CaptureStdout();
    step();
    return testing::internal::GetCapturedStdout();
}

class IoLine : public LineFixture {};

TEST_F(IoLine, PatientReadOnAQuietLineTimesOutAfterItsFurtherAttempts) {
    link_timing_set_for_tests(LinkTiming{20, 10, 5});  // 20 ms, then 5 x (10 ms + 20 ms)
    unsigned char byte = 0x55;
    std::size_t count = 99;
    auto start = Clock::now();
    std::string out = printed([&] { io_read(s, io, &byte, 1, &count); });
    EXPECT_GE(ms_since(start), 120.0) << "the further attempts were not made";
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(esl_is(ZMD009));
    EXPECT_STREQ(esl_error.text, "ZMD009 Timeout\n");
    EXPECT_EQ(out, "") << "a time-out is recorded, not printed";
}

TEST_F(IoLine, PatientReadReturnsAByteThatArrivesWhileItWaits) {
    link_timing_reset_for_tests();  // the program's own patience of about 4 s
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        remote_send("L");
    });
    unsigned char byte = 0;
    std::size_t count = 0;
    auto start = Clock::now();
    io_read(s, io, &byte, 1, &count);
    double took = ms_since(start);
    late.join();
    EXPECT_FALSE(esl_error.pending) << esl_error.text;
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 'L');
    EXPECT_GE(took, 100.0) << "the byte cannot have come before it was sent";
}

TEST_F(IoLine, ReadWithoutPatienceMakesOneAttempt) {
    link_timing_set_for_tests(LinkTiming{20, 10, 200});
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        remote_send("N");
    });
    unsigned char byte = 0;
    std::size_t count = 99;
    io_read_nowait(s, io, &byte, 1, &count);
    EXPECT_EQ(count, 0u) << "one attempt of 20 ms cannot see a byte sent after 300 ms";
    EXPECT_TRUE(esl_is(ZMD009));
    late.join();
    esl_clear_error();

    io_read_nowait(s, io, &byte, 1, &count);
    EXPECT_FALSE(esl_error.pending);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 'N');
}

TEST_F(IoLine, PurgeDiscardsWhatHasArrived) {
    remote_send(std::string(3000, 'g'));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    unsigned char byte = 0;
    std::size_t count = 0;
    io_read(s, io, &byte, 1, &count);  // leaves the rest in the port's read-ahead
    ASSERT_EQ(byte, 'g');

    io_purge(s, io);
    EXPECT_FALSE(esl_error.pending) << "a purge records no error";
    io_read_nowait(s, io, &byte, 1, &count);
    EXPECT_EQ(count, 0u) << "byte " << byte << " survived the purge";
    esl_clear_error();

    remote_send("!");
    io_read(s, io, &byte, 1, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, '!');

    io_purge(s, io);  // a quiet line
    EXPECT_FALSE(esl_error.pending);
}

TEST_F(IoLine, PurgeReturnsWhileBytesKeepArriving) {
    std::atomic<bool> stop{false};
    std::atomic<bool> gave_up{false};
    std::thread stream([this, &stop, &gave_up] {
        auto start = Clock::now();
        while (!stop) {
            if (ms_since(start) > 5000) {
                gave_up = true;
                return;
            }
            remote_send(std::string(32, 'n'));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    io_purge(s, io);
    bool streaming = !gave_up;
    stop = true;
    stream.join();
    EXPECT_TRUE(streaming) << "the purge waited for the line to fall quiet";
    EXPECT_FALSE(esl_error.pending);

    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    io_purge(s, io);
    remote_send("!");
    unsigned char byte = 0;
    std::size_t count = 0;
    io_read(s, io, &byte, 1, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, '!');
}

// Files in a fresh directory: the test works in <root>/work, so that <root> shows anything
// written outside the working directory.
class IoFiles : public LineFixture {
   protected:
    void SetUp() override {
        LineFixture::SetUp();
        char pattern[] = "/tmp/zmodem-io.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directory(root / "work");
        previous = fs::current_path();
        fs::current_path(root / "work");
    }
    void TearDown() override {
        io_release(io);
        if (!previous.empty()) fs::current_path(previous);
        if (!root.empty()) fs::remove_all(root);
        LineFixture::TearDown();
    }

    static void write_file(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string read_file(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path root;
    fs::path previous;
};

TEST_F(IoFiles, SendListOpensItsNamesThenFailsOnTheEndMark) {
    fs::create_directory("sub");
    const std::string names[] = {"payload.bin", "name with spaces", "sub/" + std::string(255, 'n')};
    for (const std::string& name : names) {
        SCOPED_TRACE(name.substr(0, 20));
        ASSERT_LE(name.size(), 259u);
        write_file(name, std::string(1500, 'p'));
        io_build_list(io, name.c_str());
        EXPECT_EQ(io.index, 0);
        EXPECT_EQ(std::string(io.names[0]), name);
        EXPECT_EQ(io.names[1][0], '\0') << "the list ends with an empty name";

        char got[kNameSize] = {};
        std::int32_t size = -1;
        int opened = 0;
        EXPECT_EQ(printed([&] { opened = io_open_next(s, io, got, &size); }),
                  "opening file " + name + "\n");
        EXPECT_EQ(opened, 1);
        EXPECT_EQ(std::string(got), name);
        EXPECT_EQ(size, 1500);
        EXPECT_NE(io.file, nullptr);

        EXPECT_EQ(printed([&] { opened = io_open_next(s, io, got, &size); }),
                  "opening file \nfailed to open file \n");
        EXPECT_EQ(opened, 0);
        EXPECT_STREQ(got, "");
        EXPECT_EQ(io.file, nullptr);
        EXPECT_FALSE(esl_error.pending);
    }
}

struct UnopenableCase {
    const char* name;
    std::string reason;
};

TEST_F(IoFiles, ANameThatCannotBeSentIsAnnouncedAndRefused) {
    fs::create_directory("folder");
    const UnopenableCase cases[] = {
        {"missing.bin", std::strerror(ENOENT)},
        {"folder", "not a regular file"},
    };
    for (const UnopenableCase& c : cases) {
        SCOPED_TRACE(c.name);
        io_build_list(io, c.name);
        char got[kNameSize] = {};
        std::int32_t size = -1;
        int opened = 1;
        std::string out = printed([&] { opened = io_open_next(s, io, got, &size); });
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(out.rfind(std::string("opening file ") + c.name + "\nfailed to open file " +
                                c.name + "\n",
                            0),
                  0u)
            << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
        EXPECT_EQ(io.file, nullptr);
        EXPECT_FALSE(esl_error.pending);
        // The end mark still follows.
        EXPECT_EQ(printed([&] { opened = io_open_next(s, io, got, &size); }),
                  "opening file \nfailed to open file \n");
    }
}

TEST_F(IoFiles, AnEmptyFileIsOpenedWithSizeZero) {
    write_file("empty", "");
    io_build_list(io, "empty");
    char got[kNameSize] = {};
    std::int32_t size = -1;
    int opened = 0;
    printed([&] { opened = io_open_next(s, io, got, &size); });
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(size, 0);
    ASSERT_NE(io.file, nullptr);
    unsigned char block[16];
    std::size_t count = 99;
    EXPECT_EQ(io_read_block(s, io, block, sizeof block, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(esl_error.pending);
}

TEST_F(IoFiles, CreateAppendCloseThenOpenSeekAndReadBlocks) {
    write_file("out.bin", "old content that must go");
    std::uint32_t position = 99;
    int skip = 99;
    EXPECT_EQ(printed([&] { io_open_for_write(s, io, "out.bin", "11 0 0", &position, &skip); }),
              "opening file out.bin\n");
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(skip, 0);
    ASSERT_NE(io.file, nullptr);
    const std::string parts[] = {"hello ", "wor", std::string("ld\0", 3)};
    for (const std::string& part : parts)
        io_write_block(s, io, reinterpret_cast<const unsigned char*>(part.data()), part.size());
    EXPECT_EQ(printed([&] { io_close(s, io); }), "closing file\n");
    EXPECT_EQ(io.file, nullptr);
    EXPECT_EQ(read_file("out.bin"), std::string("hello world\0", 12));

    io_build_list(io, "out.bin");
    char got[kNameSize] = {};
    std::int32_t size = 0;
    printed([&] { io_open_next(s, io, got, &size); });
    EXPECT_EQ(size, 12);
    EXPECT_EQ(printed([&] { io_seek(s, io, 6); }), "seeking to offset 6\n");
    unsigned char block[16] = {};
    std::size_t count = 0;
    EXPECT_EQ(io_read_block(s, io, block, 4, &count), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), count), "worl");
    EXPECT_EQ(io_read_block(s, io, block, sizeof block, &count), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), count), std::string("d\0", 2));
    EXPECT_EQ(io_read_block(s, io, block, sizeof block, &count), 0);
    EXPECT_EQ(count, 0u);

    // Back to the start, as after a ZRPOS 0.
    EXPECT_EQ(printed([&] { io_seek(s, io, 0); }), "seeking to offset 0\n");
    EXPECT_EQ(io_read_block(s, io, block, 5, &count), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), count), "hello");
    EXPECT_FALSE(esl_error.pending);
}

struct LocalNameCase {
    const char* remote;
    const char* local;  // nullptr: refused
};

TEST(IoLocalName, StoresARemoteFileUnderItsLastComponent) {
    const LocalNameCase cases[] = {
        {"plain.txt", "plain.txt"},
        {"name with spaces", "name with spaces"},
        {"../x", "x"},
        {"/tmp/x", "x"},
        {"a/../../x", "x"},
        {"C:\\dir\\x", "x"},
        {"dir/sub/.hidden", ".hidden"},
        {"", nullptr},
        {".", nullptr},
        {"..", nullptr},
        {"a/..", nullptr},
        {"a/.", nullptr},
        {"dir/", nullptr},
        {"C:\\dir\\", nullptr},
        {"x\x1b[2J", nullptr},
        {"tab\there", nullptr},
        {"del\x7f", nullptr},
    };
    for (const LocalNameCase& c : cases) {
        char local[kNameSize] = "untouched";
        bool accepted = io_local_name(c.remote, local, sizeof local);
        if (c.local == nullptr) {
            EXPECT_FALSE(accepted) << "\"" << c.remote << "\" gave \"" << local << "\"";
        } else {
            EXPECT_TRUE(accepted) << c.remote;
            EXPECT_STREQ(local, c.local) << c.remote;
        }
    }
}

TEST_F(IoFiles, AReceivedFileIsCreatedInTheWorkingDirectoryOnly) {
    for (const char* remote : {"../x", "/tmp/zmodem-io-elsewhere/x", "a/../../x", "C:\\dir\\x"}) {
        SCOPED_TRACE(remote);
        std::uint32_t position = 0;
        int skip = 1;
        EXPECT_EQ(printed([&] { io_open_for_write(s, io, remote, "", &position, &skip); }),
                  "opening file x\n");
        EXPECT_EQ(skip, 0);
        io_write_block(s, io, reinterpret_cast<const unsigned char*>(remote), std::strlen(remote));
        printed([&] { io_close(s, io); });
        EXPECT_EQ(read_file("x"), remote);
        EXPECT_FALSE(fs::exists(root / "x"));
        EXPECT_FALSE(fs::exists("/tmp/zmodem-io-elsewhere"));
    }
    EXPECT_FALSE(esl_error.pending);
}

TEST_F(IoFiles, ARefusedNameIsSkippedAndShownWithoutItsControlBytes) {
    std::uint32_t position = 99;
    int skip = 0;
    std::string out = printed([&] { io_open_for_write(s, io, "x\x1b[2J", "", &position, &skip); });
    EXPECT_EQ(out, "refusing file name \"x\\x1b[2J\": not a plain file name\n");
    EXPECT_EQ(skip, 1);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(io.file, nullptr);
    EXPECT_TRUE(fs::is_empty(fs::current_path())) << "nothing was created";
    EXPECT_FALSE(esl_error.pending);
}

struct UncreatableCase {
    const char* name;
    std::function<void(const fs::path& root)> prepare;
};

TEST_F(IoFiles, AnOutputFileThatCannotBeCreatedIsSkipped) {
    const UncreatableCase cases[] = {
        // A symbolic link must not lead the data out of the working directory.
        {"link",
         [](const fs::path& root) {
             write_file(root / "outside.txt", "original");
             fs::create_symlink(root / "outside.txt", "link");
         }},
        {"dangling",
         [](const fs::path& root) { fs::create_symlink(root / "nowhere", "dangling"); }},
        {"taken", [](const fs::path&) { fs::create_directory("taken"); }},
    };
    for (const UncreatableCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare(root);
        std::uint32_t position = 99;
        int skip = 0;
        std::string out = printed([&] { io_open_for_write(s, io, c.name, "", &position, &skip); });
        EXPECT_EQ(out.rfind(std::string("opening file ") + c.name + "\nfailed to open file " +
                                c.name + "\n",
                            0),
                  0u)
            << out;
        EXPECT_EQ(skip, 1);
        EXPECT_EQ(position, 0u);
        EXPECT_EQ(io.file, nullptr);
        EXPECT_FALSE(esl_error.pending);
        // Whatever follows for a skipped file touches nothing.
        io_write_block(s, io, reinterpret_cast<const unsigned char*>("data"), 4);
        EXPECT_EQ(printed([&] { io_close(s, io); }), "");
    }
    EXPECT_EQ(read_file(root / "outside.txt"), "original");
    EXPECT_FALSE(fs::exists(root / "nowhere"));
    EXPECT_TRUE(fs::is_directory("taken"));
}

struct FullCase {
    std::size_t block;
    bool fault_on_write;  // the block is larger than the stream's buffer, so the write fails
};

TEST_F(IoFiles, AWriteThatLosesDataRecordsAFileFault) {
    const std::string fault =
        std::string("ZMD011 Cannot write to full.bin: ") + std::strerror(ENOSPC) + "\n";
    const FullCase cases[] = {{100, false}, {256 * 1024, true}};
    for (const FullCase& c : cases) {
        SCOPED_TRACE(c.block);
        esl_clear_error();
        io.file = std::fopen("/dev/full", "wb");
        ASSERT_NE(io.file, nullptr);
        std::snprintf(io.local_name, sizeof io.local_name, "full.bin");
        std::string data(c.block, 'f');
        bool fault_on_write = false;
        // Captured as one step: starting a capture flushes every open stream, this one too.
        std::string out = printed([&] {
            io_write_block(s, io, reinterpret_cast<const unsigned char*>(data.data()), data.size());
            fault_on_write = esl_is(ZMD_FILE_FAULT);
            io_close(s, io);
        });
        EXPECT_EQ(fault_on_write, c.fault_on_write);
        EXPECT_EQ(io.file, nullptr);
        ASSERT_TRUE(esl_is(ZMD_FILE_FAULT)) << out;
        EXPECT_EQ(std::string(esl_error.text), fault);
        if (!c.fault_on_write) {
            EXPECT_EQ(out, "") << "a file that lost its data is not reported as closed";
        }
    }
}

}  // namespace
