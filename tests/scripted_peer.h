// A scripted remote for in-process tests: it plays the far end of a LineFixture line on its own
// thread, reads what the engine writes, decodes it into frames (headers, data subpackets and any
// other bytes) and answers as its script says. Every frame it reads is kept in `log`, so the test
// checks the whole exchange once the engine has returned and `finish` has joined the thread.
//
// The decoder is written from the wire format alone, independently of the engine: headers are
// found by '*' ZDLE 'A' / 'C' and '*' '*' ZDLE 'B'; a binary ZFILE or ZDATA header is followed by
// subpackets until one ends with anything but ZCRCG or ZCRCQ.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "line_fixture.h"
#include "link/port.h"
#include "link/timing.h"

namespace peer {

struct Frame {
    enum Kind { kHeader, kSubpacket, kBytes, kEnd };
    Kind kind = kEnd;
    char format = 0;           // header: 'A' binary CRC-16, 'B' hex, 'C' binary CRC-32
    int type = -1;             // header: frame type
    unsigned char data[4]{};   // header: ZP0..ZP3
    char end = 0;              // subpacket: frame-end code, 0 when the subpacket was cut short
    std::string bytes;         // subpacket: data unescaped; other bytes: as they came
    bool crc_ok = false;       // header or subpacket: the checksum matched

    unsigned position() const {
        return data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<unsigned>(data[3]) << 24);
    }
    bool is(int t) const { return kind == kHeader && type == t && crc_ok; }
};

inline std::string type_name(int type) {
    static const char* const kNames[] = {"ZRQINIT", "ZRINIT", "ZSINIT", "ZACK",  "ZFILE", "ZSKIP",
                                         "ZNAK",    "ZABORT", "ZFIN",   "ZRPOS", "ZDATA", "ZEOF"};
    if (type >= 0 && type < 12) return kNames[type];
    return "type " + std::to_string(type);
}

// Bytes shown with control and high bytes as \xNN, for summaries and failure messages.
inline std::string printable(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// One line per frame: "ZRPOS 1024" (ZACK, ZRPOS, ZDATA and ZEOF with their position), "ZRINIT", "i 1024" (a subpacket's end code and length),
// "bytes rz\r". A failed checksum is marked.
inline std::string describe(const Frame& f) {
    std::string out;
    switch (f.kind) {
        case Frame::kHeader:
            out = type_name(f.type);
            if (f.type == 3 || f.type == 9 || f.type == 10 || f.type == 11) out += " " + std::to_string(f.position());
            break;
        case Frame::kSubpacket:
            out = std::string(1, f.end ? f.end : '?') + " " + std::to_string(f.bytes.size());
            break;
        case Frame::kBytes:
            return "bytes " + printable(f.bytes);
        case Frame::kEnd:
            return "end";
    }
    if (!f.crc_ok) out += " (bad CRC)";
    return out;
}

class Peer {
  public:
    explicit Peer(int master) : fd_(master) {}
    ~Peer() { stop(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Runs `script` on the peer's thread. When the script returns, the peer goes on reading (and
    // logging) what the engine writes, so the engine is never held up by a full line.
    void start(std::function<void(Peer&)> script) {
        thread_ = std::thread([this, script] {
            if (script) script(*this);
            for (;;) {
                bool was_finishing = finishing_;
                if (next().kind == Frame::kEnd && was_finishing) break;
            }
        });
    }

    // Called on the engine's thread once the engine has returned: pushes out what the port still
    // holds, lets the peer read the rest and joins it.
    void finish() {
        port_flush();
        stop();
    }

    // The next frame from the engine; kEnd when none comes within timeout_ms, or once `finish`
    // was called and the line has gone quiet.
    Frame next(int timeout_ms = 3000) {
        Frame f = read_frame(timeout_ms);
        if (f.kind != Frame::kEnd) log.push_back(f);
        return f;
    }

    // The next header, reading past subpackets and other bytes; kEnd when none comes.
    Frame next_header(int timeout_ms = 3000) {
        for (;;) {
            Frame f = next(timeout_ms);
            if (f.kind == Frame::kHeader || f.kind == Frame::kEnd) return f;
        }
    }

    // Reads frames up to and including the next header; true when it is a good one of `type`.
    bool expect(int type, Frame* out = nullptr) {
        Frame f = next_header();
        if (out != nullptr) *out = f;
        return f.is(type);
    }

    // Bytes onto the line, in one go.
    void send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 50);
            }
        }
    }

    // Everything read, one frame each; valid once `finish` has returned.
    std::vector<Frame> log;

    std::vector<std::string> summary() const {
        std::vector<std::string> out;
        for (const Frame& f : log) out.push_back(describe(f));
        return out;
    }

    int count(int type) const {
        int n = 0;
        for (const Frame& f : log) n += f.kind == Frame::kHeader && f.type == type;
        return n;
    }

  private:
    static constexpr int kZdle = 0x18;
    static constexpr int kQuietAfterFinishMs = 50;

    void stop() {
        finishing_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // One byte from the line, or -1 when none came in time.
    int byte(int timeout_ms) {
        if (pos_ < in_.size()) return static_cast<unsigned char>(in_[pos_++]);
        int waited = 0;
        int quiet = 0;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
                char chunk[4096];
                ssize_t n = ::read(fd_, chunk, sizeof chunk);
                if (n > 0) {
                    in_.append(chunk, static_cast<std::size_t>(n));
                    return static_cast<unsigned char>(in_[pos_++]);
                }
            }
            waited += 5;
            quiet = finishing_ ? quiet + 5 : 0;
            if (waited >= timeout_ms || quiet >= kQuietAfterFinishMs) return -1;
        }
    }

    // Gives back the last n bytes read.
    void unread(std::size_t n) { pos_ -= n; }

    // A ZDLE-escaped byte: the value, or -1 when none came; `code` gets the byte after a ZDLE
    // that is not an escape (a frame end, or the start of a header or of a run of CAN).
    int escaped(int timeout_ms, int* code) {
        *code = 0;
        int b = byte(timeout_ms);
        if (b != kZdle) return b;
        int c = byte(timeout_ms);
        if (c < 0) return -1;
        if (c == 'l') return 0x7F;
        if (c == 'm') return 0xFF;
        // Only the bytes that must travel escaped are expected after a ZDLE.
        switch (c & 0x7F) {
            case 0x50: case 0x51: case 0x53: case 0x58: return c ^ 0x40;
            default: break;
        }
        *code = c;
        return c;
    }

    int hex_digit(int timeout_ms) {
        int c = byte(timeout_ms);
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }

    // Reads the body of a header whose format byte has been read. False when it is incomplete
    // or malformed (the bytes then count as other bytes).
    bool read_header(char format, int timeout_ms, Frame& f) {
        f.kind = Frame::kHeader;
        f.format = format;
        unsigned char body[9];
        int length = format == 'C' ? 9 : 7;
        for (int i = 0; i < length; ++i) {
            int v;
            if (format == 'B') {
                int hi = hex_digit(timeout_ms);
                int lo = hi < 0 ? -1 : hex_digit(timeout_ms);
                if (lo < 0) return false;
                v = hi * 16 + lo;
            } else {
                int code;
                v = escaped(timeout_ms, &code);
                if (v < 0 || code != 0) return false;
            }
            body[i] = static_cast<unsigned char>(v);
        }
        std::string covered(reinterpret_cast<const char*>(body), 5);
        f.type = body[0];
        for (int i = 0; i < 4; ++i) f.data[i] = body[i + 1];
        if (format == 'C') {
            unsigned got = body[5] | (body[6] << 8) | (body[7] << 16) |
                           (static_cast<unsigned>(body[8]) << 24);
            f.crc_ok = got == wire::crc32(covered);
        } else {
            f.crc_ok = ((body[5] << 8) | body[6]) == static_cast<int>(wire::crc16(covered));
        }
        if (format == 'B') {
            // CR LF, then XON after all but ZFIN and ZACK.
            bool xon = f.type != 8 && f.type != 3;
            for (int expected : {0x0D, 0x0A, 0x11}) {
                if (expected == 0x11 && !xon) break;
                int c = byte(timeout_ms);
                if (c < 0) break;
                if ((c & 0x7F) != expected) {
                    unread(1);
                    break;
                }
            }
        }
        if (f.crc_ok && format != 'B' && (f.type == 4 || f.type == 10)) {
            in_data_ = true;
            crc32_data_ = format == 'C';
        }
        return true;
    }

    // Reads one subpacket. It is cut short (end 0) by a header or a run of CAN inside it; those
    // bytes are given back for the next frame.
    Frame read_subpacket(int timeout_ms) {
        Frame f;
        f.kind = Frame::kSubpacket;
        for (;;) {
            int code;
            int v = escaped(timeout_ms, &code);
            if (v < 0) {
                in_data_ = false;
                return f;
            }
            if (code == 0) {
                f.bytes += static_cast<char>(v);
                continue;
            }
            if (code == 'h' || code == 'i' || code == 'j' || code == 'k') {
                f.end = static_cast<char>(code);
                break;
            }
            // Not a frame end: a header or the abort sequence has begun.
            unread(2);
            if (code != kZdle) {
                while (!f.bytes.empty() && f.bytes.back() == '*') {
                    f.bytes.pop_back();
                    unread(1);
                }
            }
            in_data_ = false;
            return f;
        }
        std::string tail;
        for (int i = 0; i < (crc32_data_ ? 4 : 2); ++i) {
            int code;
            int v = escaped(timeout_ms, &code);
            if (v < 0) {
                in_data_ = false;
                return f;
            }
            tail += static_cast<char>(v);
        }
        std::string covered = f.bytes + f.end;
        if (crc32_data_) {
            unsigned got = 0;
            for (int i = 0; i < 4; ++i) got |= static_cast<unsigned>(static_cast<unsigned char>(tail[i])) << (8 * i);
            f.crc_ok = got == wire::crc32(covered);
        } else {
            unsigned got = (static_cast<unsigned char>(tail[0]) << 8) | static_cast<unsigned char>(tail[1]);
            f.crc_ok = got == wire::crc16(covered);
        }
        if (f.end == 'k') {
            int c = byte(timeout_ms);
            if (c >= 0 && c != 0x11) unread(1);
        }
        if (f.end != 'i' && f.end != 'j') in_data_ = false;
        return f;
    }

    Frame read_frame(int timeout_ms) {
        if (in_data_) return read_subpacket(timeout_ms);
        Frame other;
        other.kind = Frame::kBytes;
        for (;;) {
            int c = byte(other.bytes.empty() ? timeout_ms : 20);
            if (c < 0) return other.bytes.empty() ? Frame{} : other;
            if (c != '*') {
                other.bytes += static_cast<char>(c);
                continue;
            }
            std::size_t start = pos_ - 1;
            int pads = 1;
            int d = byte(timeout_ms);
            while (d == '*') {
                ++pads;
                d = byte(timeout_ms);
            }
            int format = d == kZdle ? byte(timeout_ms) : -1;
            bool known = format == 'A' || format == 'C' || (format == 'B' && pads >= 2);
            if (known && !other.bytes.empty()) {
                // Report the bytes before the header first; the header is read next time.
                pos_ = start;
                return other;
            }
            Frame f;
            if (known && read_header(static_cast<char>(format), timeout_ms, f)) return f;
            // Not a header: keep the '*' as another byte and look again from the byte after it.
            pos_ = start + 1;
            other.bytes += '*';
        }
    }

    int fd_;
    std::thread thread_;
    std::atomic<bool> finishing_{false};
    std::string in_;        // every byte read so far
    std::size_t pos_ = 0;   // the next byte to decode
    bool in_data_ = false;  // subpackets follow
    bool crc32_data_ = false;
};

// Timing for a session with a remote that answers: a patience of about 120 ms instead of the
// fixture's 17 ms, so that a peer thread scheduled late on a busy machine still answers in time.
// A session with a silent remote keeps the fixture's timing.
inline void use_answering_timing() { link_timing_set_for_tests(LinkTiming{2, 1, 40}); }

// A fresh directory under /tmp made the working directory of one test: `base` holds only `work`,
// so that a file reaching outside the working directory shows up next to it.
class ScratchDir {
  public:
    // Creates the directories and enters `work`; false when that failed.
    bool enter() {
        char tmpl[] = "/tmp/zmodem-test-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) return false;
        base = tmpl;
        work = base + "/work";
        std::error_code ec;
        previous_ = std::filesystem::current_path(ec).string();
        return std::filesystem::create_directory(work, ec) && ::chdir(work.c_str()) == 0;
    }
    // Goes back and removes everything.
    void leave() {
        if (!previous_.empty() && ::chdir(previous_.c_str()) != 0) std::perror("chdir");
        std::error_code ec;
        if (!base.empty()) std::filesystem::remove_all(base, ec);
    }
    std::string base, work;

  private:
    std::string previous_;
};

// The names in a directory, sorted.
inline std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A file's whole contents; false when it cannot be read.
inline bool read_whole(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *out = all.str();
    return true;
}

inline void write_whole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// n bytes of a fixed pseudo-random sequence, every byte value likely (escaped ones included).
inline std::string test_bytes(std::size_t n, unsigned seed) {
    std::string out(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return out;
}

}  // namespace peer
