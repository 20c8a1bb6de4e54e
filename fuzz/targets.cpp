#include "fuzz/targets.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

#include "engine/frames.h"
#include "engine/header.h"
#include "engine/receiver.h"
#include "engine/retry.h"
#include "engine/session.h"
#include "engine/subpacket.h"
#include "link/interrupt.h"
#include "link/io.h"
#include "link/port.h"
#include "link/timing.h"
#include "support/esl.h"

namespace {

void (*failure_handler)(const char*) = nullptr;

void fail(const std::string& what) {
    if (failure_handler != nullptr) {
        failure_handler(what.c_str());
        return;
    }
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

// Fails unless the pending error is one a reader may leave.
void expect_reader_error(const char* reader, std::initializer_list<const char*> identities) {
    if (!zmd_pending_in(identities)) fail(std::string(reader) + " left " + esl_error.text);
}

// One session over the in-memory line, set up as the program sets up its own. The buffer is a
// heap block of exactly the session's size, so that any access past it is caught.
struct Rig {
    std::unique_ptr<unsigned char[]> buffer;
    std::size_t buffer_bytes = 0;
    ZmdSession s{};
    TransferIo io{};
};

void rig_open(Rig& r, const std::uint8_t* data, std::size_t size, std::size_t buffer_bytes) {
    static const std::uint8_t kNothing = 0;
    esl_clear_error();
    interrupt_set_for_tests(0);
    // Every quiet read returns at once: the input is all the line will ever bring.
    link_timing_set_for_tests(LinkTiming{0, 0, 1});
    port_open_memory(size > 0 ? data : &kNothing, size);
    r.buffer.reset(new unsigned char[buffer_bytes]);
    r.buffer_bytes = buffer_bytes;
    r.s = ZmdSession{};
    r.io = TransferIo{};
    r.s.buffer_size = static_cast<int>(buffer_bytes);
    r.s.block_size = 1024;
    r.s.wait_mode = 1;
    r.s.buffer_start = r.buffer.get();
    r.s.buffer_fill = r.buffer.get();
    r.s.buffer_limit = r.buffer.get() + buffer_bytes;
    r.s.io = &r.io;
}

void rig_close(Rig& r) {
    io_release(r.io);
    port_close();
    esl_clear_error();
    link_timing_reset_for_tests();
}

// The first input byte of the subpacket targets: CRC kind and buffer size.
struct Selector {
    unsigned char format;
    std::size_t buffer_bytes;
};

Selector take_selector(const std::uint8_t*& data, std::size_t& size) {
    unsigned char sel = 0;
    if (size > 0) {
        sel = data[0];
        ++data;
        --size;
    }
    Selector out;
    out.format = (sel & 1) ? ZBIN32 : ZBIN;
    out.buffer_bytes = (sel & 2) ? 1 + (sel >> 2) : static_cast<std::size_t>(kBufferSize);
    return out;
}

// Checks the buffer pointers after a subpacket read and, when it succeeded, what it added to
// position. A subpacket read in full whose content was then refused counts as read (ZMD007).
// Returns the number of data bytes read.
std::size_t check_subpacket(const Rig& r, std::uint32_t position_before) {
    const ZmdSession& s = r.s;
    if (s.buffer_fill < s.buffer_start || s.buffer_fill > s.buffer_limit) {
        fail("buffer fill outside the buffer");
        return 0;
    }
    std::size_t got = static_cast<std::size_t>(s.buffer_fill - s.buffer_start);
    if (!esl_error.pending || esl_is(ZMD007)) {
        if (got >= r.buffer_bytes) fail("accepted a subpacket that fills the whole buffer");
        if (s.position != position_before + got) fail("position does not count the data read");
    } else {
        if (s.position != position_before) fail("position moved on a failed read");
        if (s.more_data) fail("more_data left set after an error");
    }
    return got;
}

// The receiver's scratch directory: root holds only work, the working directory of the runs.
// Each run enters work and returns to where it was, so that the caller's relative paths (the
// fuzzer's corpus and artifacts) keep their meaning between runs.
struct Workspace {
    bool open = false;
    std::string root;
    std::string work;
};

Workspace workspace;

bool workspace_open() {
    if (workspace.open) return true;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zmodem-fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    workspace.root = pattern;
    workspace.work = pattern + "/work";
    if (mkdir(workspace.work.c_str(), 0700) != 0) {
        rmdir(workspace.root.c_str());
        return false;
    }
    workspace.open = true;
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(fuzz_workspace_close);
    }
    return true;
}

bool plain_name(const char* name) {
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

// Removes everything in `dir` (one level: the receiver makes no directories). With `check`,
// anything but a plain file with a plain name is a failure. Returns the number of entries.
int empty_directory(const std::string& dir, bool check) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        if (check) fail("cannot list " + dir);
        return 0;
    }
    int entries = 0;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        ++entries;
        std::string path = dir + "/" + e->d_name;
        struct stat st {};
        bool regular = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if (check && (!regular || !plain_name(e->d_name)))
            fail("the receiver left something other than a plain file: \"" +
                 std::string(e->d_name) + "\"");
        if (unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
    closedir(d);
    return entries;
}

// After each receiver run: still in the working directory, nothing beside it, only plain files
// in it, which are then removed.
void workspace_check_and_empty(int files_stored) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr || workspace.work != cwd)
        fail("the receiver changed the working directory");
    DIR* d = opendir(workspace.root.c_str());
    if (d == nullptr) {
        fail("cannot list " + workspace.root);
        return;
    }
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0 ||
            std::strcmp(e->d_name, "work") == 0)
            continue;
        fail("the receiver created \"" + std::string(e->d_name) + "\" outside its directory");
        std::string path = workspace.root + "/" + e->d_name;
        if (unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
    closedir(d);
    int entries = empty_directory(workspace.work, true);
    if (entries > files_stored) fail("more files in the directory than offers taken up");
}

}  // namespace

void fuzz_set_failure_handler(void (*handler)(const char* what)) {
    failure_handler = handler;
}

void fuzz_workspace_close() {
    if (!workspace.open) return;
    workspace.open = false;
    empty_directory(workspace.work, false);
    rmdir(workspace.work.c_str());
    empty_directory(workspace.root, false);
    rmdir(workspace.root.c_str());
}

int fuzz_header_input(const std::uint8_t* data, std::size_t size) {
    Rig r;
    rig_open(r, data, size, kBufferSize);
    // Every call reads at least one byte, so size + 1 calls use up any input.
    for (std::size_t calls = 0;; ++calls) {
        if (calls > size) {
            fail("the header reader returned without reading");
            break;
        }
        esl_clear_error();
        zmd_get_header(r.s);
        if (!esl_error.pending) {
            if (!r.s.got_header) fail("no header and no error");
            if (r.s.header_format != ZBIN && r.s.header_format != ZHEX &&
                r.s.header_format != ZBIN32)
                fail("a header of unknown form accepted");
            if (!r.s.heard_remote) fail("a header accepted but the remote not marked as heard");
            continue;
        }
        if (r.s.got_header) fail("a header accepted with an error pending");
        expect_reader_error("the header reader", {ZMD009, ZMD008, ZMD004, ZMD006, ZMD010});
        if (esl_is(ZMD009)) break;
    }
    rig_close(r);
    return 0;
}

int fuzz_subpacket_input(const std::uint8_t* data, std::size_t size) {
    Selector sel = take_selector(data, size);
    Rig r;
    rig_open(r, data, size, sel.buffer_bytes);
    r.s.header_format = sel.format;
    for (std::size_t calls = 0;; ++calls) {
        if (calls > size) {
            fail("the subpacket reader returned without reading");
            break;
        }
        esl_clear_error();
        r.s.more_data = 1;
        std::uint32_t before = r.s.position;
        zmd_get_data(r.s);
        check_subpacket(r, before);
        if (!esl_error.pending) continue;
        expect_reader_error("the subpacket reader", {ZMD009, ZMD004, ZMD006, ZMD005, ZMD010});
        if (esl_is(ZMD009)) break;
    }
    rig_close(r);
    return 0;
}

int fuzz_file_info_input(const std::uint8_t* data, std::size_t size) {
    Selector sel = take_selector(data, size);
    Rig r;
    rig_open(r, data, size, sel.buffer_bytes);
    r.s.header_format = sel.format;
    ZmdSession& s = r.s;
    for (std::size_t calls = 0;; ++calls) {
        if (calls > size) {
            fail("the file-information parser returned without reading");
            break;
        }
        esl_clear_error();
        std::uint32_t before = s.position;
        zmd_get_file_info(s);
        std::size_t got = check_subpacket(r, before);
        if (std::memchr(s.file_name, 0, kNameSize) == nullptr)
            fail("file name not ended within its 260 bytes");
        if (s.file_info != nullptr &&
            (reinterpret_cast<const unsigned char*>(s.file_info) < s.buffer_start ||
             reinterpret_cast<const unsigned char*>(s.file_info) >= s.buffer_limit))
            fail("file info points outside the buffer");
        if (!esl_error.pending) {
            // Accepted: the name is the block's first text cut to 259 characters, and the info
            // text ends within the first 1024 bytes.
            const unsigned char* nul =
                static_cast<const unsigned char*>(std::memchr(s.buffer_start, 0, got));
            std::size_t name_len =
                nul != nullptr ? static_cast<std::size_t>(nul - s.buffer_start) : 0;
            if (name_len > kNameSize - 1) name_len = kNameSize - 1;
            if (nul == nullptr || std::strlen(s.file_name) != name_len ||
                std::memcmp(s.file_name, s.buffer_start, name_len) != 0)
                fail("an accepted block whose name was not taken from it");
            if (s.file_info == nullptr ||
                reinterpret_cast<const unsigned char*>(s.file_info) != nul + 1) {
                fail("an accepted block whose info does not follow the name");
            } else {
                const unsigned char* info = nul + 1;
                const void* end =
                    std::memchr(info, 0, static_cast<std::size_t>(s.buffer_fill - info));
                if (end == nullptr ||
                    static_cast<const unsigned char*>(end) - s.buffer_start >= 1024)
                    fail("an accepted block whose info does not end within 1024 bytes");
            }
            continue;
        }
        expect_reader_error("the file-information parser",
                            {ZMD009, ZMD004, ZMD006, ZMD005, ZMD007, ZMD010});
        if (esl_is(ZMD009)) break;
    }
    rig_close(r);
    return 0;
}

int fuzz_receiver_input(const std::uint8_t* data, std::size_t size) {
    char home[PATH_MAX];
    if (getcwd(home, sizeof home) == nullptr || !workspace_open() ||
        chdir(workspace.work.c_str()) != 0) {
        fail("cannot enter the scratch directory");
        return 0;
    }
    Rig r;
    rig_open(r, data, size, kBufferSize);
    zmd_receive(r.s);
    const ZmdSession& s = r.s;
    if (s.files_completed + s.files_refused > s.files_offered)
        fail("more files completed or refused than offered");
    if (esl_error.pending && zmd_pending_in({ZMD_LINE_LOST, ZMD_INTERRUPTED, ESL001}))
        fail(std::string("the receiver left ") + esl_error.text);
    int stored = s.files_offered - s.files_refused;
    rig_close(r);
    workspace_check_and_empty(stored);
    if (chdir(home) != 0) fail(std::string("cannot return to ") + home);
    return 0;
}
