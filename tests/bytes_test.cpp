// Byte coding over a real line: escaping, ZDLE sequences, hex pairs, the two checksums.
#include <string>

#include "engine/bytes.h"
#include "engine/crc.h"
#include "line_fixture.h"
#include "support/esl.h"

namespace {

class BytesTest : public LineFixture {};

TEST(Crc, KnownValues) {
    EXPECT_EQ(kCrc16Table[1], 0x1021);
    EXPECT_EQ(kCrc32Table[1], 0x77073096u);
    std::uint16_t crc16 = 0;
    for (char c : std::string("123456789")) crc16 = crc16_step(crc16, static_cast<unsigned char>(c));
    EXPECT_EQ(crc16, 0x31C3);  // the CRC-16/XMODEM check value
    std::uint32_t crc32 = 0xFFFFFFFFu;
    for (char c : std::string("123456789")) crc32 = crc32_step(crc32, static_cast<unsigned char>(c));
    EXPECT_EQ(~crc32, 0xCBF43926u);  // the CRC-32 check value
    std::uint16_t zeros = 0;
    for (int i = 0; i < 5; ++i) zeros = crc16_step(zeros, 0);
    EXPECT_EQ(zeros, 0);
}

struct EscapeCase {
    int byte;
    std::string wire;
};

TEST_F(BytesTest, PutEscapedWritesEveryByteAsTheLineExpects) {
    const EscapeCase cases[] = {
        {0x10, "\x18\x50"}, {0x11, "\x18\x51"}, {0x13, "\x18\x53"}, {0x18, "\x18\x58"},
        {0x7F, "\x18l"},    {0x90, "\x18\xD0"}, {0x91, "\x18\xD1"}, {0x93, "\x18\xD3"},
        {0x98, "\x18\xD8"}, {0xFF, "\x18m"},    {0x0D, "\x0D"},     {0x8D, "\x8D"},
        {0x40, "@"},        {0x00, std::string(1, '\0')},
    };
    for (const EscapeCase& c : cases) {
        s.current_char = c.byte;
        zmd_put_escaped(s);
        EXPECT_EQ(remote_receive(), c.wire) << "byte " << c.byte;
    }
}

TEST_F(BytesTest, EveryByteValueSurvivesEscapingBothWays) {
    for (int byte = 0; byte < 256; ++byte) {
        s.current_char = byte;
        zmd_put_escaped(s);
    }
    std::string sent = remote_receive();
    remote_send(sent);
    for (int byte = 0; byte < 256; ++byte) {
        zmd_get_escaped(s);
        ASSERT_FALSE(esl_error.pending) << byte;
        EXPECT_EQ(s.current_char, byte);
        EXPECT_EQ(s.frame_end, 0);
    }
}

struct ReadCase {
    std::string wire;
    int value;
    int frame_end;
};

TEST_F(BytesTest, GetEscapedUndoesZdleSequences) {
    const ReadCase cases[] = {
        {"\x18\x58", 0x18, 0}, {"\x18i", 'i', 1},     {"\x18\x18", 0x18, 1}, {"\x18l", 0x7F, 0},
        {"\x18m", 0xFF, 0},    {"\x18\xD8", 0x98, 0}, {"A", 'A', 0},         {"\x18h", 'h', 1},
    };
    for (const ReadCase& c : cases) {
        remote_send(c.wire);
        zmd_get_escaped(s);
        ASSERT_FALSE(esl_error.pending) << wire::dump(c.wire);
        EXPECT_EQ(s.current_char, c.value) << wire::dump(c.wire);
        EXPECT_EQ(s.frame_end, c.frame_end) << wire::dump(c.wire);
    }
}

TEST_F(BytesTest, HexPairs) {
    s.current_char = 0xA5;
    zmd_put_hex(s);
    EXPECT_EQ(remote_receive(), "a5");

    remote_send("a0");
    zmd_get_hex_byte(s);
    EXPECT_FALSE(esl_error.pending);
    EXPECT_EQ(s.current_char, 0xA0);

    remote_send("A0");
    zmd_get_hex_byte(s);
    ASSERT_TRUE(esl_is(ZMD008));
    EXPECT_STREQ(esl_error.text, "ZMD008 Bad hex character 41 received\n");
}

TEST_F(BytesTest, QuietLineLeavesTimeoutAndKeepsTheCurrentCharacter) {
    s.current_char = 0x55;
    zmd_get_raw(s);
    EXPECT_TRUE(esl_is(ZMD009));
    EXPECT_EQ(s.current_char, 0x55);
}

}  // namespace
