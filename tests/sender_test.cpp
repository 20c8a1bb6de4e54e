// The sending side over a real line: a scripted receiver on the far end of a pseudo-terminal
// answers (or does not); the tests check every frame the sender puts on the line, what it prints
// and how the session ends.
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/sender.h"
#include "line_fixture.h"
#include "scripted_peer.h"
#include "support/esl.h"

namespace {

using peer::Frame;
using peer::Peer;
using Lines = std::vector<std::string>;

const std::string kAbortSequence = std::string(8, '\x18') + std::string(10, '\x08');
// What a successful send prints after its file: the list's empty end mark fails to open.
const std::string kEndOfList = "opening file \nfailed to open file \n";

std::string zrinit() { return wire::hex_header(ZRINIT, 0, 0, 0, CANFDX | CANOVIO | CANFC32); }

std::string zrpos(unsigned position) { return wire::hex_position_header(ZRPOS, position); }

// A hex header whose checksum no longer matches.
std::string with_bad_crc(std::string header) {
    char& last_digit = header[4 + 13];
    last_digit = last_digit == '0' ? '1' : '0';
    return header;
}

std::string repeated(const std::string& bytes, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += bytes;
    return out;
}

// The remote receiver's steps. Each returns false at the first unexpected frame.

// Waits for the sender's wake-up and answers it with ZRINIT.
bool invite(Peer& p) {
    if (!p.expect(ZRQINIT)) return false;
    p.send(zrinit());
    return true;
}

// Takes the offer (ZFILE and its block) and answers it with `answer`.
bool take_offer(Peer& p, const std::string& answer) {
    if (!p.expect(ZFILE) || p.next().kind != Frame::kSubpacket) return false;
    p.send(answer);
    return true;
}

// Reads the data up to ZEOF and answers it with `answer`.
bool answer_eof(Peer& p, const std::string& answer) {
    for (Frame f = p.next_header(); f.kind == Frame::kHeader; f = p.next_header()) {
        if (f.is(ZEOF)) {
            p.send(answer);
            return true;
        }
    }
    return false;
}

void answer_fin(Peer& p) {
    if (p.expect(ZFIN)) p.send(wire::hex_header(ZFIN));
}

class SenderTest : public LineFixture {
  protected:
    void SetUp() override {
        LineFixture::SetUp();
        ASSERT_TRUE(dir.enter());
    }

    void TearDown() override {
        LineFixture::TearDown();
        dir.leave();
    }

    // Sends `name` to a remote playing `script` (none: no receiver at all); returns what the
    // sender printed.
    std::string send(const std::string& name, std::function<void(Peer&)> script) {
        io_build_list(io, name.c_str());
        if (script) peer::use_answering_timing();
        remote = std::make_unique<Peer>(master);
        remote->start(std::move(script));
        testing::internal::CaptureStdout();
        zmd_send(s);
        remote->finish();
        return testing::internal::GetCapturedStdout();
    }

    Lines sent() const { return remote->summary(); }

    // The session's outcome fields and the code of the error left pending.
    std::string outcome() const {
        return "finished " + std::to_string(s.finished) + ", completed " +
               std::to_string(s.files_completed) + ", failed " + std::to_string(s.file_failed) +
               ", pending " + (esl_error.pending ? std::string(esl_error.identity, 6) : "none");
    }

    // The data of the stream that begins with the ZDATA header at log index `at`.
    std::string streamed(std::size_t at) const {
        std::string data;
        for (std::size_t i = at + 1; i < remote->log.size(); ++i) {
            const Frame& f = remote->log[i];
            if (f.kind != Frame::kSubpacket) break;
            data += f.bytes;
            if (f.end != ZCRCG) break;
        }
        return data;
    }

    peer::ScratchDir dir;
    std::unique_ptr<Peer> remote;
};

// The shape of one file's stream: ZCRCG while the blocks read are full, ZCRCE on the first short
// one (possibly empty), ZEOF with the length; no ZDATA at all for an empty file.
struct ShapeCase {
    std::size_t size;
    Lines subpackets;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.size << " bytes"; }

class StreamShape : public SenderTest, public testing::WithParamInterface<ShapeCase> {};

TEST_P(StreamShape, OffersStreamsAndClosesTheSession) {
    const ShapeCase& c = GetParam();
    std::string content = peer::test_bytes(c.size, 11);
    peer::write_whole("data.bin", content);

    std::string printed = send("data.bin", [](Peer& p) {
        if (invite(p) && take_offer(p, zrpos(0)) && answer_eof(p, zrinit())) answer_fin(p);
    });

    std::string block = std::string("data.bin") + '\0' + std::to_string(c.size) + " 0 0 0" + '\0';
    Lines expected = {"bytes rz\\r", "ZRQINIT", "ZFILE", "k " + std::to_string(block.size())};
    if (c.size > 0) {
        expected.push_back("ZDATA 0");
        expected.insert(expected.end(), c.subpackets.begin(), c.subpackets.end());
    }
    expected.insert(expected.end(), {"ZEOF " + std::to_string(c.size), "ZFIN", "bytes OO"});
    ASSERT_EQ(sent(), expected);

    const std::vector<Frame>& log = remote->log;
    EXPECT_EQ(log[1].position(), 0u);  // ZRQINIT carries nothing
    EXPECT_EQ(log[2].format, 'A');
    EXPECT_EQ(log[2].data[3], ZCBIN);
    EXPECT_TRUE(log[3].bytes == block) << peer::printable(log[3].bytes);
    if (c.size > 0) {
        EXPECT_EQ(log[4].format, 'A');
        EXPECT_TRUE(streamed(4) == content);
    }
    EXPECT_EQ(printed, "opening file data.bin\nseeking to offset 0\n" + kEndOfList);
    EXPECT_EQ(outcome(), "finished 1, completed 1, failed 0, pending none");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StreamShape,
    testing::Values(ShapeCase{2500, {"i 1024", "i 1024", "h 452"}},
                    ShapeCase{2048, {"i 1024", "i 1024", "h 0"}},
                    ShapeCase{1000, {"i 1000", "h 0"}}, ShapeCase{0, {}}),
    [](const testing::TestParamInfo<ShapeCase>& info) {
        return "Bytes" + std::to_string(info.param.size);
    });

TEST_F(SenderTest, ZrposInMidStreamRestartsTheStreamThereWithSmallerBlocksForAWhile) {
    std::string content = peer::test_bytes(1024 + 16 * 512 + 1500, 13);
    peer::write_whole("data.bin", content);

    // The second request is on the line before the data starts: the sender sees it in its
    // first look between subpackets, with position at 1024.
    std::string printed = send("data.bin", [](Peer& p) {
        if (invite(p) && take_offer(p, zrpos(0) + zrpos(1024)) && answer_eof(p, zrinit()))
            answer_fin(p);
    });

    // The sender drops what of the rejected stream has not left the port yet, so how much of it
    // reaches the line varies: between the offer and the new ZDATA only ZDATA 0 and its data.
    // After the request the blocks are halved; sixteen clean ones bring back full blocks.
    Lines wire = sent();
    const Lines head = {"bytes rz\\r", "ZRQINIT", "ZFILE", "k 21"};
    Lines tail = {"ZDATA 1024"};
    tail.insert(tail.end(), 16, "i 512");
    tail.insert(tail.end(), {"i 1024", "h 476", "ZEOF 10716", "ZFIN", "bytes OO"});
    ASSERT_GE(wire.size(), head.size() + tail.size()) << testing::PrintToString(wire);
    EXPECT_EQ(Lines(wire.begin(), wire.begin() + 4), head);
    EXPECT_EQ(Lines(wire.end() - static_cast<long>(tail.size()), wire.end()), tail);
    for (std::size_t i = head.size(); i < wire.size() - tail.size(); ++i) {
        const Frame& f = remote->log[i];
        EXPECT_TRUE(f.kind == Frame::kSubpacket || (f.is(ZDATA) && f.position() == 0)) << wire[i];
    }
    EXPECT_TRUE(streamed(wire.size() - tail.size()) == content.substr(1024));
    EXPECT_EQ(printed,
              "opening file data.bin\nseeking to offset 0\nseeking to offset 1024\n" + kEndOfList);
    EXPECT_EQ(outcome(), "finished 1, completed 1, failed 0, pending none");
}

// Noise on the line back: a damaged answer to the offer brings a new offer; a damaged header
// seen between subpackets is shown and the stream goes on.
TEST_F(SenderTest, DamagedAnswersAreShownAndTheTransferGoesOn) {
    std::string content = peer::test_bytes(2500, 29);
    peer::write_whole("data.bin", content);

    std::string printed = send("data.bin", [](Peer& p) {
        if (invite(p) && take_offer(p, with_bad_crc(zrpos(0))) &&
            take_offer(p, zrpos(0) + with_bad_crc(zrpos(1024))) && answer_eof(p, zrinit()))
            answer_fin(p);
    });

    EXPECT_EQ(sent(), (Lines{"bytes rz\\r", "ZRQINIT", "ZFILE", "k 20", "ZFILE", "k 20", "ZDATA 0",
                             "i 1024", "i 1024", "h 452", "ZEOF 2500", "ZFIN", "bytes OO"}));
    EXPECT_TRUE(streamed(6) == content);
    const std::string damaged = "ZMD004 CRCXM error";
    std::size_t first = printed.find(damaged);
    ASSERT_NE(first, std::string::npos) << printed;
    EXPECT_NE(printed.find(damaged, first + 1), std::string::npos) << printed;
    EXPECT_EQ(outcome(), "finished 1, completed 1, failed 0, pending none");
}

TEST_F(SenderTest, ZrposAfterEofSendsTheDataAgainFromThere) {
    std::string content = peer::test_bytes(2500, 23);
    peer::write_whole("data.bin", content);

    std::string printed = send("data.bin", [](Peer& p) {
        if (invite(p) && take_offer(p, zrpos(0)) && answer_eof(p, zrpos(1024)) &&
            answer_eof(p, zrinit()))
            answer_fin(p);
    });

    EXPECT_EQ(sent(), (Lines{"bytes rz\\r", "ZRQINIT", "ZFILE", "k 20", "ZDATA 0", "i 1024",
                             "i 1024", "h 452", "ZEOF 2500", "ZDATA 1024", "i 512", "i 512",
                             "h 452", "ZEOF 2500", "ZFIN", "bytes OO"}));
    EXPECT_TRUE(streamed(4) == content);
    EXPECT_TRUE(streamed(9) == content.substr(1024));
    EXPECT_EQ(printed,
              "opening file data.bin\nseeking to offset 0\nseeking to offset 1024\n" + kEndOfList);
    EXPECT_EQ(outcome(), "finished 1, completed 1, failed 0, pending none");
}

TEST_F(SenderTest, SkippedFileSendsNoDataAndClosesTheSession) {
    peer::write_whole("data.bin", peer::test_bytes(2500, 17));

    std::string printed = send("data.bin", [](Peer& p) {
        if (invite(p) && take_offer(p, wire::hex_header(ZSKIP))) answer_fin(p);
    });

    EXPECT_EQ(sent(), (Lines{"bytes rz\\r", "ZRQINIT", "ZFILE", "k 20", "ZFIN", "bytes OO"}));
    EXPECT_EQ(printed, "opening file data.bin\n" + kEndOfList);
    EXPECT_EQ(outcome(), "finished 1, completed 0, failed " + std::to_string(kFileSkipped) +
                             ", pending none");
}

TEST_F(SenderTest, MissingFileIsNotOfferedAndTheSessionCloses) {
    std::string printed = send("missing.bin", [](Peer& p) {
        if (invite(p)) answer_fin(p);
    });

    EXPECT_EQ(sent(), (Lines{"bytes rz\\r", "ZRQINIT", "ZFIN", "bytes OO"}));
    EXPECT_EQ(printed,
              "opening file missing.bin\nfailed to open file missing.bin\n"
              "cannot open missing.bin: No such file or directory\n");
    EXPECT_EQ(outcome(), "finished 1, completed 0, failed " + std::to_string(kFileNotOpened) +
                             ", pending none");
}

TEST_F(SenderTest, NoReceiverTenWakeUpsThenElevenFinsAndTheLastTimeOutStaysPending) {
    peer::write_whole("data.bin", "x");

    std::string printed = send("data.bin", nullptr);

    Lines expected = {"bytes rz\\r"};
    expected.insert(expected.end(), 10, "ZRQINIT");
    expected.insert(expected.end(), 11, "ZFIN");
    EXPECT_EQ(sent(), expected);
    std::string timeouts;
    for (int i = 0; i < 20; ++i) timeouts += "ZMD009 Timeout\n";
    EXPECT_EQ(printed, timeouts);
    EXPECT_EQ(outcome(), "finished 0, completed 0, failed " + std::to_string(kNoReceiver) +
                             ", pending ZMD009");
}

// After ZEOF the sender waits for the receiver's ZRINIT: nine failures are absorbed silently,
// the tenth stays pending; headers of other types only count.
struct AfterEofCase {
    const char* label;
    std::string answer;  // the receiver's answer to ZEOF
    bool delivered;
    const char* pending;
};

void PrintTo(const AfterEofCase& c, std::ostream* os) { *os << c.label; }

class AfterEof : public SenderTest, public testing::WithParamInterface<AfterEofCase> {};

TEST_P(AfterEof, FailuresAreAbsorbedUpToNine) {
    const AfterEofCase& c = GetParam();
    std::string content = peer::test_bytes(1500, 19);
    peer::write_whole("data.bin", content);

    std::string printed = send("data.bin", [&](Peer& p) {
        if (invite(p) && take_offer(p, zrpos(0)) && answer_eof(p, c.answer)) answer_fin(p);
    });

    Lines expected = {"bytes rz\\r", "ZRQINIT", "ZFILE", "k 20", "ZDATA 0", "i 1024", "h 476",
                      "ZEOF 1500"};
    if (c.delivered) expected.insert(expected.end(), {"ZFIN", "bytes OO"});
    EXPECT_EQ(sent(), expected);
    EXPECT_EQ(printed,
              "opening file data.bin\nseeking to offset 0\n" + (c.delivered ? kEndOfList : ""));
    EXPECT_EQ(outcome(), c.delivered ? "finished 1, completed 1, failed 0, pending none"
                                     : std::string("finished 0, completed 0, failed 0, pending ") +
                                           c.pending);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AfterEof,
    testing::Values(
        AfterEofCase{"NineDamagedHeadersThenZrinit",
                     repeated(with_bad_crc(zrinit()), 9) + zrinit(), true, "none"},
        AfterEofCase{"TenDamagedHeaders", repeated(with_bad_crc(zrinit()), 10) + zrinit(), false,
                     "ZMD004"},
        AfterEofCase{"TwelveOtherHeadersThenZrinit",
                     repeated(wire::hex_header(ZACK), 12) + zrinit(), true, "none"},
        AfterEofCase{"Silence", "", false, "ZMD009"}),
    [](const testing::TestParamInfo<AfterEofCase>& info) { return info.param.label; });

TEST_F(SenderTest, ReadErrorAbortsTheReceiverInsteadOfEndingTheFileShort) {
    // A regular file whose reads fail: this process's memory, read at address 0.
    const std::string name = "/proc/self/mem";
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        GTEST_SKIP() << name << " is not a regular file here";

    std::string printed = send(name, [](Peer& p) {
        if (invite(p)) take_offer(p, zrpos(0));
    });

    EXPECT_EQ(sent(), (Lines{"bytes rz\\r", "ZRQINIT", "ZFILE", "k " + std::to_string(name.size() + 9),
                             "bytes " + peer::printable(kAbortSequence)}));
    EXPECT_EQ(printed, "opening file " + name + "\nseeking to offset 0\n");
    EXPECT_EQ(outcome(), "finished 0, completed 0, failed 0, pending ZMD011");
    EXPECT_STREQ(esl_error.text, ("ZMD011 Cannot read " + name + ": Input/output error\n").c_str());
}

}  // namespace
