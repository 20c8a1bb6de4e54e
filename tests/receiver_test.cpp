// The receiving side over a real line: a scripted sender on the far end of a pseudo-terminal
// offers files, sends data and damages it; the tests check every frame the receiver sends back,
// what it prints, what it stores and how the session ends.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/receiver.h"
#include "line_fixture.h"
#include "scripted_peer.h"
#include "support/esl.h"

namespace {

using peer::Frame;
using peer::Peer;
using Lines = std::vector<std::string>;

// What a remote sender puts on the line.

std::string offer(const std::string& name, std::size_t size, bool crc32 = false) {
    std::string block = name + '\0' + std::to_string(size) + " 0 0 0" + '\0';
    if (crc32) return wire::bin32_header(ZFILE, 0, 0, 0, ZCBIN) + wire::subpacket32(block, ZCRCW);
    return wire::bin16_header(ZFILE, 0, 0, 0, ZCBIN) + wire::subpacket16(block, ZCRCW);
}

std::string subpacket(const std::string& data, char end, bool crc32) {
    return crc32 ? wire::subpacket32(data, end) : wire::subpacket16(data, end);
}

std::string zdata(unsigned position, bool crc32) {
    return crc32 ? wire::bin32_position_header(ZDATA, position)
                 : wire::bin16_position_header(ZDATA, position);
}

// ZDATA at `from`, then the rest of the content in subpackets of 1024 bytes: ZCRCG, the last ZCRCE.
std::string data_from(const std::string& content, std::size_t from, bool crc32 = false) {
    std::string out = zdata(static_cast<unsigned>(from), crc32);
    for (std::size_t at = from; at < content.size(); at += 1024)
        out += subpacket(content.substr(at, 1024), at + 1024 < content.size() ? ZCRCG : ZCRCE, crc32);
    return out;
}

std::string eof(std::size_t position) {
    return wire::hex_position_header(ZEOF, static_cast<unsigned>(position));
}

const std::string kAbortSequence = std::string(8, '\x18') + std::string(10, '\x08');

// Sends a whole file after the receiver's invitation; returns when the receiver has confirmed it
// with ZRINIT, or at the first unexpected answer.
void send_file(Peer& p, const std::string& name, const std::string& content, bool crc32 = false) {
    p.send(offer(name, content.size(), crc32));
    Frame f;
    if (!p.expect(ZRPOS, &f) || f.position() != 0) return;
    p.send((content.empty() ? "" : data_from(content, 0, crc32)) + eof(content.size()));
    p.expect(ZRINIT);
}

void close_session(Peer& p) {
    p.send(wire::hex_header(ZFIN));
    if (p.expect(ZFIN)) p.send("OO");
}

// A catalogue message as the register formats it.
template <typename... Args>
std::string message(const char* tmpl, Args... args) {
    char text[300];
    std::snprintf(text, sizeof text, tmpl, args...);
    return text;
}

class ReceiverTest : public LineFixture {
  protected:
    void SetUp() override {
        LineFixture::SetUp();
        ASSERT_TRUE(dir.enter());
    }

    void TearDown() override {
        LineFixture::TearDown();
        dir.leave();
    }

    // Runs the receiver against a remote playing `script` (none: a silent remote); returns what
    // the receiver printed.
    std::string receive(std::function<void(Peer&)> script) {
        if (script) peer::use_answering_timing();
        remote = std::make_unique<Peer>(master);
        remote->start(std::move(script));
        testing::internal::CaptureStdout();
        zmd_receive(s);
        remote->finish();
        return testing::internal::GetCapturedStdout();
    }

    // Every frame the receiver sent, one line each.
    Lines sent() const { return remote->summary(); }

    // The session's outcome fields and the code of the error left pending.
    std::string outcome() const {
        return "finished " + std::to_string(s.finished) + ", offered " +
               std::to_string(s.files_offered) + ", completed " + std::to_string(s.files_completed) +
               ", refused " + std::to_string(s.files_refused) + ", pending " +
               (esl_error.pending ? std::string(esl_error.identity, 6) : "none");
    }

    std::string stored(const std::string& name) const {
        std::string bytes;
        return peer::read_whole(dir.work + "/" + name, &bytes) ? bytes : "<missing>";
    }

    peer::ScratchDir dir;
    std::unique_ptr<Peer> remote;
};

// Whole sessions: files in either CRC form, an empty file, several files.

struct RemoteFile {
    std::string name;
    std::size_t size;
};

struct SessionCase {
    const char* label;
    bool crc32;
    std::vector<RemoteFile> files;
};

void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.label; }

class ReceiveSession : public ReceiverTest, public testing::WithParamInterface<SessionCase> {};

TEST_P(ReceiveSession, StoresEveryFileAndClosesTheSession) {
    const SessionCase& c = GetParam();
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < c.files.size(); ++i)
        contents.push_back(peer::test_bytes(c.files[i].size, static_cast<unsigned>(i + 1)));

    std::string printed = receive([&](Peer& p) {
        if (!p.expect(ZRINIT)) return;
        p.send(wire::hex_header(ZRQINIT));
        if (!p.expect(ZRINIT)) return;
        for (std::size_t i = 0; i < c.files.size(); ++i)
            send_file(p, c.files[i].name, contents[i], c.crc32);
        close_session(p);
    });

    Lines expected_wire = {"ZRINIT", "ZRINIT"};
    std::string expected_printed;
    for (const RemoteFile& f : c.files) {
        expected_wire.insert(expected_wire.end(), {"ZRPOS 0", "ZRINIT"});
        expected_printed += "opening file " + f.name + "\nclosing file\n";
    }
    expected_wire.push_back("ZFIN");
    EXPECT_EQ(sent(), expected_wire);
    for (const Frame& f : remote->log) EXPECT_EQ(f.format, 'B') << peer::describe(f);
    ASSERT_FALSE(remote->log.empty());
    EXPECT_EQ(remote->log[0].data[3], CANFDX | CANOVIO | CANFC32);
    EXPECT_EQ(printed, expected_printed);
    std::string n = std::to_string(c.files.size());
    EXPECT_EQ(outcome(), "finished 1, offered " + n + ", completed " + n + ", refused 0, pending none");
    for (std::size_t i = 0; i < c.files.size(); ++i)
        EXPECT_TRUE(stored(c.files[i].name) == contents[i]) << c.files[i].name;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReceiveSession,
    testing::Values(SessionCase{"Crc16", false, {{"data.bin", 2500}}},
                    SessionCase{"Crc32", true, {{"data.bin", 2500}}},
                    SessionCase{"EmptyFile", false, {{"empty.txt", 0}}},
                    SessionCase{"TwoFiles", false, {{"one.bin", 1024}, {"two.bin", 3000}}}),
    [](const testing::TestParamInfo<SessionCase>& info) { return info.param.label; });

// A damaged subpacket in mid-file: the error is printed, the receiver asks again from the first
// byte it has not stored, and the file ends up whole.
class DamagedSubpacket : public ReceiverTest, public testing::WithParamInterface<bool> {};

TEST_P(DamagedSubpacket, IsAskedForAgainFromTheFirstMissingByte) {
    const bool crc32 = GetParam();
    std::string content = peer::test_bytes(3000, 7);
    content[1024] = 'A';
    std::string second = content.substr(1024, 1024);
    std::string damaged = subpacket(second, ZCRCG, crc32);
    damaged[0] = 'B';  // the first data byte, sent plain
    std::string received = "B" + second.substr(1);
    std::string expected_error =
        crc32 ? message(ZMD006, static_cast<unsigned long>(wire::crc32(received + 'i')),
                        static_cast<unsigned long>(wire::crc32(second + 'i')))
              : message(ZMD004, wire::crc16(received + 'i'), wire::crc16(second + 'i'));

    std::string printed = receive([&](Peer& p) {
        if (!p.expect(ZRINIT)) return;
        p.send(offer("f.bin", content.size(), crc32));
        if (!p.expect(ZRPOS)) return;
        p.send(zdata(0, crc32) + subpacket(content.substr(0, 1024), ZCRCG, crc32) + damaged);
        Frame f;
        if (!p.expect(ZRPOS, &f)) return;
        p.send(data_from(content, f.position(), crc32) + eof(content.size()));
        if (p.expect(ZRINIT)) close_session(p);
    });

    EXPECT_EQ(sent(), (Lines{"ZRINIT", "ZRPOS 0", "ZRPOS 1024", "ZRINIT", "ZFIN"}));
    EXPECT_EQ(printed, "opening file f.bin\n" + expected_error + "closing file\n");
    EXPECT_EQ(outcome(), "finished 1, offered 1, completed 1, refused 0, pending none");
    EXPECT_TRUE(stored("f.bin") == content);
}

INSTANTIATE_TEST_SUITE_P(Forms, DamagedSubpacket, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Crc32" : "Crc16";
                         });

// A sender that ends a subpacket with ZCRCW or ZCRCQ waits for ZACK with the position reached.
// After ZCRCW a header follows; after ZCRCQ the frame goes on with more subpackets.
TEST_F(ReceiverTest, AcknowledgesSubpacketsThatAskForIt) {
    std::string printed = receive([](Peer& p) {
        if (!p.expect(ZRINIT)) return;
        p.send(offer("f", 7));
        if (!p.expect(ZRPOS)) return;
        p.send(zdata(0, false) + wire::subpacket16("abc", ZCRCW));
        Frame f;
        if (!p.expect(ZACK, &f) || f.position() != 3) return;
        p.send(zdata(3, false) + wire::subpacket16("de", ZCRCQ));
        if (!p.expect(ZACK, &f) || f.position() != 5) return;
        p.send(wire::subpacket16("fg", ZCRCE) + eof(7));
        if (p.expect(ZRINIT)) close_session(p);
    });

    EXPECT_EQ(sent(), (Lines{"ZRINIT", "ZRPOS 0", "ZACK 3", "ZACK 5", "ZRINIT", "ZFIN"}));
    EXPECT_EQ(printed, "opening file f\nclosing file\n");
    EXPECT_EQ(outcome(), "finished 1, offered 1, completed 1, refused 0, pending none");
    EXPECT_EQ(stored("f"), "abcdefg");
}

TEST_F(ReceiverTest, SilentSenderGetsElevenInvitationsThenTheTimeOutStaysPending) {
    std::string printed = receive(nullptr);

    EXPECT_EQ(sent(), Lines(11, "ZRINIT"));
    std::string ten_timeouts;
    for (int i = 0; i < 10; ++i) ten_timeouts += "ZMD009 Timeout\n";
    EXPECT_EQ(printed, ten_timeouts);
    EXPECT_EQ(outcome(), "finished 0, offered 0, completed 0, refused 0, pending ZMD009");
}

TEST_F(ReceiverTest, FinRightAfterTheInvitationEndsTheSessionWithoutClosingBytes) {
    std::string printed = receive([](Peer& p) {
        if (p.expect(ZRINIT)) p.send(wire::hex_header(ZFIN));
        p.expect(ZFIN);  // and no "OO": the receiver's wait for it times out
    });

    EXPECT_EQ(sent(), (Lines{"ZRINIT", "ZFIN"}));
    EXPECT_EQ(printed, "");
    EXPECT_EQ(outcome(), "finished 1, offered 0, completed 0, refused 0, pending none");
}

// Errors at each level: the ones a level retries are printed and answered with a new request, the
// others end the session and stay pending.

enum Stage {
    kInvited,   // after the first ZRINIT
    kAsked,     // a file "f" offered and asked for with ZRPOS 0
    kInData,    // and its data "abc" received in one ZCRCE subpacket
};

struct ErrorCase {
    const char* label;
    Stage stage;
    std::string bytes;    // what the remote sends at that stage
    Lines wire;           // every frame the receiver sends
    std::string printed;  // what the receiver prints
    int completed;
    const char* pending;  // the code left pending, "none" when the session finished
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.label; }

class ErrorAtLevel : public ReceiverTest, public testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorAtLevel, IsRetriedOnlyWhereThatLevelRetriesIt) {
    const ErrorCase& c = GetParam();
    std::string printed = receive([&](Peer& p) {
        if (!p.expect(ZRINIT)) return;
        if (c.stage != kInvited) {
            p.send(offer("f", 3));
            if (!p.expect(ZRPOS)) return;
        }
        if (c.stage == kInData) p.send(zdata(0, false) + wire::subpacket16("abc", ZCRCE));
        p.send(c.bytes);
        // From here on a plain sender: ends the file where asked, then the session.
        for (Frame f = p.next_header(); f.kind == Frame::kHeader; f = p.next_header()) {
            if (f.is(ZRPOS)) p.send(eof(f.position()));
            if (f.is(ZRINIT)) p.send(wire::hex_header(ZFIN));
            if (f.is(ZFIN)) {
                p.send("OO");
                break;
            }
        }
    });

    EXPECT_EQ(sent(), c.wire);
    EXPECT_EQ(printed, c.printed);
    std::string finished = std::string(c.pending) == "none" ? "1" : "0";
    std::string offered = c.stage == kInvited ? "0" : "1";
    EXPECT_EQ(outcome(), "finished " + finished + ", offered " + offered + ", completed " +
                             std::to_string(c.completed) + ", refused 0, pending " + c.pending);
}

std::string damaged_offer(bool crc32) {
    std::string good = offer("f", 3, crc32);
    std::string header = crc32 ? wire::bin32_header(ZFILE, 0, 0, 0, ZCBIN)
                               : wire::bin16_header(ZFILE, 0, 0, 0, ZCBIN);
    std::string bad = good;
    bad[header.size()] = 'g';  // the name's first byte
    return bad;
}

std::string damaged_offer_error(bool crc32) {
    std::string block = std::string("f\0" "3 0 0 0\0", 10) + 'k';
    std::string received = block;
    received[0] = 'g';
    if (!crc32) return message(ZMD004, wire::crc16(received), wire::crc16(block));
    return message(ZMD006, static_cast<unsigned long>(wire::crc32(received)),
                   static_cast<unsigned long>(wire::crc32(block)));
}

// A hex ZEOF 0 whose checksum reads 0000.
const std::string kEofWithBadCrc = "**\x18" "B0b00000000" "0000\r\n\x11";
const std::string kBadHexDigit = "**\x18" "B0g";

std::string repeated(const std::string& bytes, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += bytes;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ErrorAtLevel,
    testing::Values(
        ErrorCase{"SessionRetriesABadHexDigit", kInvited, kBadHexDigit,
                  {"ZRINIT", "ZRINIT", "ZFIN"}, message(ZMD008, 'g'), 0, "none"},
        ErrorCase{"SessionRecordsZmd001AtTheEleventhZrqinit", kInvited,
                  repeated(wire::hex_header(ZRQINIT), 11), Lines(11, "ZRINIT"), "", 0, "ZMD001"},
        ErrorCase{"SessionRetriesACrc32ErrorInTheFileInformation", kInvited, damaged_offer(true),
                  {"ZRINIT", "ZRINIT", "ZFIN"}, damaged_offer_error(true), 0, "none"},
        ErrorCase{"SessionRetriesACrc16ErrorInTheFileInformation", kInvited, damaged_offer(false),
                  {"ZRINIT", "ZRINIT", "ZFIN"}, damaged_offer_error(false), 0, "none"},
        ErrorCase{"SessionEndsOnMalformedFileInformation", kInvited,
                  wire::bin16_header(ZFILE) + wire::subpacket16(std::string("f\0" "3 0 0 0", 9), ZCRCW),
                  {"ZRINIT"}, "", 0, "ZMD007"},
        ErrorCase{"SessionRetriesATimeOutInTheFileInformation", kInvited, wire::bin16_header(ZFILE),
                  {"ZRINIT", "ZRINIT", "ZFIN"}, message(ZMD009), 0, "none"},
        ErrorCase{"FileRetriesABadHexDigit", kAsked, kBadHexDigit,
                  {"ZRINIT", "ZRPOS 0", "ZRPOS 0", "ZRINIT", "ZFIN"},
                  "opening file f\n" + message(ZMD008, 'g') + "closing file\n", 1, "none"},
        ErrorCase{"FileRetriesADamagedHeader", kAsked, kEofWithBadCrc,
                  {"ZRINIT", "ZRPOS 0", "ZRPOS 0", "ZRINIT", "ZFIN"},
                  "opening file f\n" +
                      message(ZMD004, wire::crc16(std::string("\x0b\0\0\0\0", 5)), 0u) +
                      "closing file\n",
                  1, "none"},
        ErrorCase{"DataRetriesABadHexDigit", kInData, kBadHexDigit,
                  {"ZRINIT", "ZRPOS 0", "ZRPOS 3", "ZRINIT", "ZFIN"},
                  "opening file f\n" + message(ZMD008, 'g') + "closing file\n", 1, "none"},
        ErrorCase{"DataIgnoresZdataAtAnotherPosition", kInData,
                  wire::bin16_position_header(ZDATA, 99) + eof(3),
                  {"ZRINIT", "ZRPOS 0", "ZRINIT", "ZFIN"}, "opening file f\nclosing file\n", 1,
                  "none"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return info.param.label; });

// Names from the remote: stored under their last component in the working directory, or refused
// with ZSKIP; either way the session goes on.
TEST_F(ReceiverTest, HostileNamesStayInTheWorkingDirectoryOrAreRefused) {
    ASSERT_EQ(::mkdir("sub", 0777), 0);
    struct NameCase {
        std::string sent;
        std::string stored;  // empty when the offer is refused
        std::string printed;
    };
    const std::string refused = ": not a plain file name\n";
    const NameCase cases[] = {
        {"../up", "up", "opening file up\nclosing file\n"},
        {dir.base + "/abs", "abs", "opening file abs\nclosing file\n"},
        {"a/../../deep", "deep", "opening file deep\nclosing file\n"},
        {"C:\\dir\\dos", "dos", "opening file dos\nclosing file\n"},
        {"..", "", "refusing file name \"..\"" + refused},
        {".", "", "refusing file name \".\"" + refused},
        {"", "", "refusing file name \"\"" + refused},
        {"dir/", "", "refusing file name \"dir/\"" + refused},
        {"bad\x1b[31mname", "", "refusing file name \"bad\\x1b[31mname\"" + refused},
        {"sub", "", "opening file sub\nfailed to open file sub\ncannot create sub: Is a directory\n"},
        {"last.txt", "last.txt", "opening file last.txt\nclosing file\n"},
    };

    std::string printed = receive([&](Peer& p) {
        if (!p.expect(ZRINIT)) return;
        for (const NameCase& c : cases) {
            p.send(offer(c.sent, 3));
            Frame f = p.next_header();
            if (f.is(ZRPOS)) p.send(data_from(c.stored, 0) + eof(c.stored.size()));
            if (!p.expect(ZRINIT)) return;
        }
        close_session(p);
    });

    Lines expected_wire = {"ZRINIT"};
    std::string expected_printed;
    std::vector<std::string> expected_files = {"sub"};
    int refusals = 0;
    for (const NameCase& c : cases) {
        expected_wire.push_back(c.stored.empty() ? "ZSKIP" : "ZRPOS 0");
        expected_wire.push_back("ZRINIT");
        expected_printed += c.printed;
        if (c.stored.empty()) ++refusals;
        else expected_files.push_back(c.stored);
    }
    expected_wire.push_back("ZFIN");
    std::sort(expected_files.begin(), expected_files.end());

    EXPECT_EQ(sent(), expected_wire);
    EXPECT_EQ(printed, expected_printed);
    EXPECT_EQ(outcome(), "finished 1, offered " + std::to_string(std::size(cases)) +
                             ", completed " + std::to_string(std::size(cases) - refusals) +
                             ", refused " + std::to_string(refusals) + ", pending none");
    EXPECT_EQ(peer::entries(dir.base), Lines{"work"});
    EXPECT_EQ(peer::entries(dir.work), expected_files);
    for (const NameCase& c : cases) {
        if (!c.stored.empty()) {
            EXPECT_EQ(stored(c.stored), c.stored);  // each file holds its own name
        }
    }
}

TEST_F(ReceiverTest, FailedWriteAbortsTheSenderAndKeepsWhatWasWritten) {
    // A file size limit makes the output file fail to grow past 3000 bytes.
    const rlim_t kLimit = 3000;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = kLimit;
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string content = peer::test_bytes(10000, 3);

    std::string printed = receive([&](Peer& p) {
        if (!p.expect(ZRINIT)) return;
        p.send(offer("big.bin", content.size()));
        if (p.expect(ZRPOS)) p.send(data_from(content, 0) + eof(content.size()));
    });
    std::string fault = esl_error.text;
    io_release(io);  // still under the limit: what the stream holds cannot reach the file
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(sent(), (Lines{"ZRINIT", "ZRPOS 0", "bytes " + peer::printable(kAbortSequence)}));
    EXPECT_EQ(printed, "opening file big.bin\n");
    EXPECT_EQ(outcome(), "finished 0, offered 1, completed 0, refused 0, pending ZMD011");
    EXPECT_EQ(fault, "ZMD011 Cannot write to big.bin: File too large\n");
    std::string kept = stored("big.bin");
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LE(kept.size(), kLimit);
    EXPECT_TRUE(content.compare(0, kept.size(), kept) == 0);
}

TEST_F(ReceiverTest, SendersAbortSequenceInMidFileEndsTheSession) {
    std::string content = peer::test_bytes(1024, 5);
    std::string printed = receive([&](Peer& p) {
        if (!p.expect(ZRINIT)) return;
        p.send(offer("cut.bin", 5000));
        if (p.expect(ZRPOS))
            p.send(zdata(0, false) + wire::subpacket16(content, ZCRCG) + kAbortSequence);
    });
    io_release(io);

    EXPECT_EQ(sent(), (Lines{"ZRINIT", "ZRPOS 0"}));
    EXPECT_EQ(printed, "opening file cut.bin\n");
    EXPECT_EQ(outcome(), "finished 0, offered 1, completed 0, refused 0, pending ZMD010");
    EXPECT_TRUE(stored("cut.bin") == content);
}

}  // namespace
