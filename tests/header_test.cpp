// Header codec over a real line: the bytes each header-filling sender writes, and the reader's
// scan, decoding and checks on hex, CRC-16 binary and CRC-32 binary headers.
#include <unistd.h>

#include <string>

#include "engine/bytes.h"
#include "engine/frames.h"
#include "engine/header.h"
#include "line_fixture.h"
#include "support/esl.h"

namespace {

using namespace std::string_literals;

class HeaderTest : public LineFixture {
  protected:
    void fresh() {
        esl_clear_error();
        s.got_header = 0;
    }

    // What the engine reads next from the line.
    void expect_next_byte(int byte) {
        fresh();
        zmd_get_raw(s);
        ASSERT_FALSE(esl_error.pending);
        EXPECT_EQ(s.current_char, byte);
    }

    // Reads and drops whatever is left on the line.
    void drain() {
        fresh();
        while (!esl_error.pending) zmd_get_raw(s);
        fresh();
    }

    void expect_line_empty() {
        fresh();
        zmd_get_raw(s);
        EXPECT_TRUE(esl_is(ZMD009)) << "left on the line: " << s.current_char;
        fresh();
    }

    void expect_header(int format, int type, const unsigned char (&data)[4]) {
        ASSERT_FALSE(esl_error.pending) << esl_error.text;
        ASSERT_EQ(s.got_header, 1);
        EXPECT_EQ(s.header_format, format);
        EXPECT_EQ(s.header_type, type);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(s.header_data[i], data[i]) << "ZP" << i;
    }
};

// The ZRINIT this system writes: CANFDX | CANOVIO | CANFC32 in ZF0.
const std::string kZrinit = "**\x18" "B0100000023be50\r\n\x11";

TEST(HeaderPosition, TravelsLeastSignificantByteFirst) {
    ZmdSession s{};
    zmd_set_header_position(s, 258);
    EXPECT_EQ(s.header_data[0], 2);
    EXPECT_EQ(s.header_data[1], 1);
    EXPECT_EQ(s.header_data[2], 0);
    EXPECT_EQ(s.header_data[3], 0);
    EXPECT_EQ(zmd_header_position(s), 258u);
    zmd_set_header_position(s, 0xFEDCBA98u);
    EXPECT_EQ(s.header_data[0], 0x98);
    EXPECT_EQ(s.header_data[3], 0xFE);
    EXPECT_EQ(zmd_header_position(s), 0xFEDCBA98u);
}

struct SenderCase {
    const char* name;
    void (*send)(ZmdSession&);
    std::uint32_t position;
    std::string wire;
};

TEST_F(HeaderTest, EverySenderWritesItsHeaderExactly) {
    const SenderCase cases[] = {
        {"zrinit", zmd_send_zrinit, 0, kZrinit},
        {"zrinit (encoder)", zmd_send_zrinit, 0, wire::hex_header(ZRINIT, 0, 0, 0, 0x23)},
        {"zskip", zmd_send_zskip, 0, wire::hex_header(ZSKIP)},
        {"zrpos 258", zmd_send_zrpos, 258, "**\x18" "B09020100007224\r\n\x11"},
        {"zrpos (encoder)", zmd_send_zrpos, 0x80FF1811u, wire::hex_position_header(ZRPOS, 0x80FF1811u)},
        {"zfin", zmd_send_zfin, 0, "**\x18" "B0800000000022d\r\n"},
        {"zfin (encoder)", zmd_send_zfin, 0, wire::hex_header(ZFIN)},
        {"zeof 500", zmd_send_zeof, 500, "**\x18" "B0bf40100008e73\r\n\x11"},
        {"zeof (encoder)", zmd_send_zeof, 0xFEDCBA98u, wire::hex_position_header(ZEOF, 0xFEDCBA98u)},
        {"zfile", zmd_send_zfile, 0, wire::bin16_header(ZFILE, 0, 0, 0, ZCBIN)},
        {"zdata", zmd_send_zdata, 0x12345678u, wire::bin16_position_header(ZDATA, 0x12345678u)},
        // Position bytes 0x18, 0x10, 0x91 and 0xFF travel escaped in a binary header.
        {"zdata escaped", zmd_send_zdata, 0xFF911018u, "*\x18" "A\x0a\x18X\x18P\x18\xd1\x18m\xae\x83"s},
        {"zdata escaped (encoder)", zmd_send_zdata, 0xFF911018u,
         wire::bin16_position_header(ZDATA, 0xFF911018u)},
        {"zrqinit", zmd_send_zrqinit, 0, "**\x18" "B00000000000000\r\n\x11"},
        {"zrqinit (encoder)", zmd_send_zrqinit, 0, wire::hex_header(ZRQINIT)},
    };
    for (const SenderCase& c : cases) {
        s.position = c.position;
        c.send(s);
        std::string got = remote_receive();
        EXPECT_FALSE(esl_error.pending) << c.name;
        EXPECT_EQ(got, c.wire) << c.name << ": " << wire::dump(got);
    }
}

TEST_F(HeaderTest, ZrposDrainsTheLineBeforeWriting) {
    // Bytes already taken into read-ahead and bytes still in the device both go.
    remote_send(wire::hex_header(ZRINIT) + wire::hex_header(ZSKIP) + "garbage");
    zmd_get_header(s);
    expect_header(ZHEX, ZRINIT, {0, 0, 0, 0});
    remote_send(wire::hex_header(ZFIN));
    usleep(50 * 1000);
    s.position = 258;
    zmd_send_zrpos(s);
    EXPECT_EQ(remote_receive(), wire::hex_position_header(ZRPOS, 258));
    expect_line_empty();
    remote_send(wire::bin16_position_header(ZDATA, 258));
    zmd_get_header(s);
    expect_header(ZBIN, ZDATA, {2, 1, 0, 0});
}

TEST_F(HeaderTest, ReadsZrinitAndLeavesItsXon) {
    remote_send(kZrinit);
    zmd_get_header(s);
    expect_header(ZHEX, ZRINIT, {0, 0, 0, 0x23});
    expect_next_byte(XON);
}

struct ReadCase {
    const char* name;
    std::string wire;
    int format;
    int type;
    unsigned char data[4];
};

TEST_F(HeaderTest, EveryFormFromTheRemoteIsRead) {
    const ReadCase cases[] = {
        {"hex zrqinit", wire::hex_header(ZRQINIT), ZHEX, ZRQINIT, {0, 0, 0, 0}},
        {"hex zrinit", wire::hex_header(ZRINIT, 0, 4, 0, 0x23), ZHEX, ZRINIT, {0, 4, 0, 0x23}},
        {"hex zrpos", wire::hex_position_header(ZRPOS, 0x80FF1811u), ZHEX, ZRPOS,
         {0x11, 0x18, 0xFF, 0x80}},
        {"hex zfin", wire::hex_header(ZFIN), ZHEX, ZFIN, {0, 0, 0, 0}},
        {"hex cancel", wire::hex_header(ZCANCELLED), ZHEX, ZCANCELLED, {0, 0, 0, 0}},
        {"bin16 zfile", wire::bin16_header(ZFILE, 0, 0, 0, ZCBIN), ZBIN, ZFILE, {0, 0, 0, 1}},
        {"bin16 zdata", wire::bin16_position_header(ZDATA, 0x7F139010u), ZBIN, ZDATA,
         {0x10, 0x90, 0x13, 0x7F}},
        {"bin16 escapes", wire::bin16_header(ZEOF, 0x18, 0x11, 0x91, 0xFF), ZBIN, ZEOF,
         {0x18, 0x11, 0x91, 0xFF}},
        {"bin32 zfile", wire::bin32_header(ZFILE, 0, 0, 0, ZCBIN), ZBIN32, ZFILE, {0, 0, 0, 1}},
        {"bin32 zdata", wire::bin32_position_header(ZDATA, 0x98931810u), ZBIN32, ZDATA,
         {0x10, 0x18, 0x93, 0x98}},
        {"bin32 escapes", wire::bin32_header(ZRPOS, 0x7F, 0xFF, 0x13, 0x11), ZBIN32, ZRPOS,
         {0x7F, 0xFF, 0x13, 0x11}},
        {"garbage first", "line noise\r\n\x18x\x00\xff+-"s + wire::hex_header(ZSKIP), ZHEX, ZSKIP,
         {0, 0, 0, 0}},
        {"many pads", "*******\x18" "B0800000000022d\r\n"s, ZHEX, ZFIN, {0, 0, 0, 0}},
        {"two pads, bin16", "*"s + wire::bin16_header(ZDATA, 1, 2, 3, 4), ZBIN, ZDATA, {1, 2, 3, 4}},
        {"pads, bin32", "****"s + wire::bin32_header(ZDATA, 4, 3, 2, 1), ZBIN32, ZDATA,
         {4, 3, 2, 1}},
        {"single pad before B", "*\x18" "B0800000000022d\r\n"s + wire::hex_header(ZSKIP), ZHEX,
         ZSKIP, {0, 0, 0, 0}},
        {"ZDLE, other byte", "**\x18" "D"s + wire::bin16_header(ZFILE), ZBIN, ZFILE, {0, 0, 0, 0}},
        {"pad run broken", "*x*\x18" "B0800000000022d\r\n"s + wire::bin32_header(ZFIN), ZBIN32,
         ZFIN, {0, 0, 0, 0}},
        {"four CANs", "\x18\x18\x18\x18"s + wire::hex_header(ZRINIT), ZHEX, ZRINIT, {0, 0, 0, 0}},
        {"CAN runs broken", "\x18\x18\x18\x18x\x18\x18\x18\x18"s + wire::hex_header(ZFIN), ZHEX,
         ZFIN, {0, 0, 0, 0}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        remote_send(c.wire);
        zmd_get_header(s);
        expect_header(c.format, c.type, c.data);
        EXPECT_EQ(zmd_header_position(s),
                  c.data[0] | (c.data[1] << 8) | (c.data[2] << 16) |
                      (static_cast<std::uint32_t>(c.data[3]) << 24));
        if (c.format == ZHEX && c.type != ZFIN) expect_next_byte(XON);
        expect_line_empty();
    }
}

TEST_F(HeaderTest, WrittenHeadersReadBack) {
    struct Case {
        int format;
        int type;
        unsigned char data[4];
    };
    const Case cases[] = {
        {ZHEX, ZRINIT, {0, 0, 0, 0x23}}, {ZHEX, ZFIN, {0, 0, 0, 0}},
        {ZHEX, ZACK, {1, 2, 3, 4}},      {ZHEX, ZRPOS, {0x18, 0x11, 0xFF, 0x7F}},
        {ZBIN, ZFILE, {0, 0, 0, 1}},     {ZBIN, ZDATA, {0x18, 0x10, 0x13, 0x11}},
        {ZBIN, ZEOF, {0x7F, 0xFF, 0x90, 0x98}}, {ZBIN, 0x18, {0x91, 0x93, 0x2A, 0x0D}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, static_cast<char>(c.format)) + " type " +
                     std::to_string(c.type));
        fresh();
        s.header_format = static_cast<unsigned char>(c.format);
        s.header_type = static_cast<unsigned char>(c.type);
        for (int i = 0; i < 4; ++i) s.header_data[i] = c.data[i];
        zmd_send_header(s);
        std::string sent = remote_receive();
        std::string expected = c.format == ZHEX
                                   ? wire::hex_header(c.type, c.data[0], c.data[1], c.data[2], c.data[3])
                                   : wire::bin16_header(c.type, c.data[0], c.data[1], c.data[2], c.data[3]);
        EXPECT_EQ(sent, expected) << wire::dump(sent);

        s.header_format = s.header_type = 0;
        for (unsigned char& d : s.header_data) d = 0;
        remote_send(sent);
        zmd_get_header(s);
        expect_header(c.format, c.type, c.data);
        if (c.format == ZHEX && c.type != ZFIN && c.type != ZACK) expect_next_byte(XON);
        expect_line_empty();
    }
}

TEST_F(HeaderTest, HexHeaderEndings) {
    struct Case {
        const char* name;
        std::string ending;
        int next;  // the byte left for the next read
    };
    const Case cases[] = {
        {"CR LF XON", "\r\n\x11", XON},
        {"lone LF", "\n\x11", XON},
        {"CR with bit 7", "\x8d\n\x11", LF},
        {"CR, any second byte", "\rz\x11", XON},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        remote_send("**\x18" "B0100000023be50"s + c.ending);
        zmd_get_header(s);
        expect_header(ZHEX, ZRINIT, {0, 0, 0, 0x23});
        expect_next_byte(c.next);
        if (c.next == LF) expect_next_byte(XON);
        expect_line_empty();
    }
}

TEST_F(HeaderTest, UpperCaseHexIsRefused) {
    const struct {
        std::string wire;
        const char* text;
    } cases[] = {
        {"**\x18" "B0100000023BE50\r\n\x11", "ZMD008 Bad hex character 42 received\n"},
        {"**\x18" "B0A00000000\r\n", "ZMD008 Bad hex character 41 received\n"},
        {"**\x18" "B01000000F3\r\n", "ZMD008 Bad hex character 46 received\n"},
    };
    for (const auto& c : cases) {
        fresh();
        remote_send(c.wire);
        zmd_get_header(s);
        ASSERT_TRUE(esl_is(ZMD008)) << wire::dump(c.wire) << esl_error.text;
        EXPECT_STREQ(esl_error.text, c.text);
        EXPECT_EQ(s.got_header, 0);
        // The rest of the header is dropped by the next scan.
        fresh();
        zmd_get_header(s);
        EXPECT_TRUE(esl_is(ZMD009));
    }
}

TEST_F(HeaderTest, TimeoutAnywhereLeavesZmd009) {
    // Everything a header needs before it is accepted: the hex form up to its LF.
    const std::string forms[] = {
        kZrinit.substr(0, kZrinit.size() - 1),
        wire::bin16_header(ZDATA, 0x18, 2, 3, 4),
        wire::bin32_header(ZDATA, 1, 0x11, 3, 4),
    };
    for (const std::string& form : forms) {
        for (std::size_t n = 0; n < form.size(); ++n) {
            SCOPED_TRACE(wire::dump(form.substr(0, n)));
            fresh();
            remote_send(form.substr(0, n));
            zmd_get_header(s);
            EXPECT_TRUE(esl_is(ZMD009)) << esl_error.text;
            EXPECT_EQ(s.got_header, 0);
        }
    }
}

struct Damage {
    const char* part;
    int format;
    std::size_t offset;
    int mask;
    const char* outcome;  // nullptr: the damaged header is skipped by the scan
    const char* text;     // the recorded text, when it is checked
};

// The damaged header is type ZRPOS with data 21 43 65 07, whose CRC-16 is 0x2943 and CRC-32
// 0x278e64ef; none of its bytes travel escaped.
std::string clean_header(int format) {
    switch (format) {
        case ZHEX: return wire::hex_header(ZRPOS, 0x21, 0x43, 0x65, 0x07);
        case ZBIN: return wire::bin16_header(ZRPOS, 0x21, 0x43, 0x65, 0x07);
        default: return wire::bin32_header(ZRPOS, 0x21, 0x43, 0x65, 0x07);
    }
}

TEST_F(HeaderTest, FlippedBitIsCaught) {
    const Damage cases[] = {
        {"hex first pad", ZHEX, 0, 0x01, nullptr, nullptr},
        {"hex second pad", ZHEX, 1, 0x01, nullptr, nullptr},
        {"hex ZDLE", ZHEX, 2, 0x01, nullptr, nullptr},
        {"hex format, no format", ZHEX, 3, 0x04, nullptr, nullptr},
        {"hex format, now C", ZHEX, 3, 0x01, ZMD006, nullptr},
        {"hex type digit, still a digit", ZHEX, 5, 0x01, ZMD004, nullptr},
        {"hex type digit, no digit", ZHEX, 4, 0x40, ZMD008, "ZMD008 Bad hex character 70 received\n"},
        {"hex data digit", ZHEX, 7, 0x02, ZMD004, nullptr},
        {"hex data digit, control byte", ZHEX, 10, 0x20, ZMD008,
         "ZMD008 Bad hex character 16 received\n"},
        {"hex CRC digit", ZHEX, 17, 0x01, ZMD004, "ZMD004 CRCXM error, ours = 2943, theirs = 2942\n"},
        {"bin16 pad", ZBIN, 0, 0x01, nullptr, nullptr},
        {"bin16 ZDLE", ZBIN, 1, 0x01, nullptr, nullptr},
        {"bin16 format, no format", ZBIN, 2, 0x04, nullptr, nullptr},
        {"bin16 format, now C", ZBIN, 2, 0x02, ZMD006, nullptr},
        {"bin16 type", ZBIN, 3, 0x01, ZMD004, nullptr},
        {"bin16 data", ZBIN, 5, 0x80, ZMD004, nullptr},
        {"bin16 CRC", ZBIN, 9, 0x01, ZMD004, "ZMD004 CRCXM error, ours = 2943, theirs = 2942\n"},
        {"bin32 pad", ZBIN32, 0, 0x08, nullptr, nullptr},
        {"bin32 ZDLE", ZBIN32, 1, 0x40, nullptr, nullptr},
        {"bin32 format, no format", ZBIN32, 2, 0x04, nullptr, nullptr},
        {"bin32 format, now A", ZBIN32, 2, 0x02, ZMD004, nullptr},
        {"bin32 type", ZBIN32, 3, 0x04, ZMD006, nullptr},
        {"bin32 data", ZBIN32, 7, 0x01, ZMD006, nullptr},
        {"bin32 CRC", ZBIN32, 8, 0x01, ZMD006,
         "ZMD006 CRC32 error - ours = 278e64ef, theirs = 278e64ee\n"},
    };
    ASSERT_EQ(clean_header(ZHEX), "**\x18" "B09214365072943\r\n\x11");
    ASSERT_EQ(clean_header(ZBIN).size(), 10u);
    ASSERT_EQ(clean_header(ZBIN32).size(), 12u);
    // Filler keeps a body read in the wrong form from reaching the header that follows.
    const std::string follow = "xxxxxxxxxx" + wire::hex_header(ZFIN);
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.part);
        std::string damaged = clean_header(c.format);
        damaged[c.offset] = static_cast<char>(damaged[c.offset] ^ c.mask);
        fresh();
        remote_send(damaged + follow);
        zmd_get_header(s);
        if (c.outcome != nullptr) {
            ASSERT_TRUE(esl_is(c.outcome)) << esl_error.text;
            EXPECT_EQ(s.got_header, 0);
            if (c.text != nullptr) {
                EXPECT_STREQ(esl_error.text, c.text);
            }
            // The retry's scan drops what is left of the damaged header.
            fresh();
            zmd_get_header(s);
        }
        expect_header(ZHEX, ZFIN, {0, 0, 0, 0});
        expect_line_empty();
    }
}

TEST_F(HeaderTest, CanRunOutsideAHeaderIsTheRemoteAborting) {
    const std::string cases[] = {
        "\x18\x18\x18\x18\x18"s + wire::hex_header(ZRINIT),
        "noise\x18\x18\x18\x18\x18\x18\x18\x18\x08\x08\x08\x08\x08\x08\x08\x08\x08\x08"s,
        "**\x18\x18\x18\x18\x18"s,
        "*\x18\x18\x18\x18\x18"s + wire::bin16_header(ZFIN),
    };
    for (const std::string& c : cases) {
        SCOPED_TRACE(wire::dump(c));
        fresh();
        remote_send(c);
        zmd_get_header(s);
        EXPECT_TRUE(esl_is(ZMD010)) << esl_error.text;
        EXPECT_EQ(s.got_header, 0);
        drain();
    }
}

}  // namespace
