// Data subpackets over a real line: writing file data and the file-information block, reading
// subpackets with either CRC, the more_data and position rules, and the file offer's checks.
#include <cstring>
#include <string>
#include <thread>

#include "engine/bytes.h"
#include "engine/frames.h"
#include "engine/subpacket.h"
#include "line_fixture.h"
#include "support/esl.h"

namespace {

using namespace std::string_literals;

class SubpacketTest : public LineFixture {
  protected:
    void fresh() { esl_clear_error(); }

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

    std::string received() const {
        return std::string(reinterpret_cast<const char*>(s.buffer_start),
                           static_cast<std::size_t>(s.buffer_fill - s.buffer_start));
    }

    void put_block(const std::string& data) {
        std::memcpy(s.buffer_start, data.data(), data.size());
        s.block_count = static_cast<std::uint32_t>(data.size());
    }
};

// n bytes cycling through all 256 values, so every escaped value appears.
std::string every_byte(std::size_t n) {
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i * 7 + i / 256);
    return data;
}

std::string plain(std::size_t n) {
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>('A' + i % 26);
    return data;
}

TEST_F(SubpacketTest, EmptySubpacketsAreTheCrcOfTheCodeAlone) {
    const struct {
        int more_data;
        std::string wire;
    } cases[] = {
        {0, "\x18h\xed\xae"},
        {1, "\x18i\xfd\x8f"},
    };
    for (const auto& c : cases) {
        s.more_data = c.more_data;
        s.block_count = 0;
        s.position = 77;
        zmd_send_data(s);
        std::string got = remote_receive();
        EXPECT_EQ(got, c.wire) << wire::dump(got);
        EXPECT_EQ(s.position, 77u);
    }
}

TEST_F(SubpacketTest, SendDataWritesTheBlockAndAdvancesPosition) {
    const struct {
        const char* name;
        std::string data;
        int more_data;
        char code;
    } cases[] = {
        {"1024 plain, last", plain(1024), 0, 'h'},
        {"1024 plain, more", plain(1024), 1, 'i'},
        {"1024 of every value", every_byte(1024), 1, 'i'},
        {"escaped bytes only", "\x10\x11\x13\x18\x7f\x90\x91\x93\x98\xff"s, 0, 'h'},
        {"escaped at both ends", "\x18" "abc\r\n@\x8d" "def\x11"s, 1, 'i'},
        {"one byte", "Z", 0, 'h'},
    };
    ASSERT_EQ(wire::escape(plain(1024)), plain(1024));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        put_block(c.data);
        s.more_data = c.more_data;
        s.position = 1000;
        zmd_send_data(s);
        EXPECT_EQ(s.position, 1000u + c.data.size());
        std::string sent = remote_receive();
        std::string expected = wire::subpacket16(c.data, c.code);
        ASSERT_EQ(sent.size(), expected.size()) << wire::dump(sent);
        EXPECT_TRUE(sent == expected) << wire::dump(sent);

        // What the engine wrote, the engine reads back.
        std::memset(s.buffer_start, 0, c.data.size());
        s.header_format = ZBIN;
        s.position = 0;
        remote_send(sent);
        zmd_get_data(s);
        ASSERT_FALSE(esl_error.pending) << esl_error.text;
        EXPECT_TRUE(received() == c.data);
        EXPECT_EQ(s.more_data, c.more_data);
        EXPECT_EQ(s.position, c.data.size());
    }
}

TEST_F(SubpacketTest, FileInfoOfA500ByteFile) {
    std::strcpy(s.file_name, "a.txt");
    s.file_size = 500;
    zmd_send_file_info(s);
    std::string got = remote_receive();
    EXPECT_EQ(got, "a.txt\0" "500 0 0 0\0" "\x18k\x45\x53\x11"s) << wire::dump(got);
}

TEST_F(SubpacketTest, FileInfoEscapesTheNameAndReadsBackIntact) {
    const struct {
        const char* name;
        std::string file_name;
        std::int32_t size;
    } cases[] = {
        {"plain", "report.pdf", 123456},
        {"path and spaces", "dir/sub dir/file name.bin", 0},
        {"CAN", "a\x18" "b", 1},
        {"XON", "\x11start", 17},
        {"XOFF and DLE", "x\x13y\x10z", 2000000000},
        {"rubouts", "\x7f\xff", 5},
        {"high bit", "\x90\x91\x93\x98" "end", 42},
        {"star and CR", "**\r", 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        std::strcpy(s.file_name, c.file_name.c_str());
        s.file_size = c.size;
        zmd_send_file_info(s);
        std::string sent = remote_receive();
        std::string info = std::to_string(c.size) + " 0 0 0";
        std::string block = c.file_name + '\0' + info + '\0';
        EXPECT_EQ(sent, wire::subpacket16(block, 'k') + '\x11') << wire::dump(sent);
        if (wire::escape(block) == block) {
            // A plain name goes out byte for byte.
            EXPECT_EQ(sent.substr(0, block.size()), block);
        }

        std::memset(s.file_name, 0, sizeof s.file_name);
        s.file_info = nullptr;
        s.header_format = ZBIN;
        remote_send(sent);
        zmd_get_file_info(s);
        ASSERT_FALSE(esl_error.pending) << esl_error.text;
        EXPECT_EQ(std::string(s.file_name), c.file_name);
        ASSERT_NE(s.file_info, nullptr);
        EXPECT_EQ(std::string(s.file_info), info);
        drain();
    }
}

TEST_F(SubpacketTest, ReadsEverySizeWithEitherCrc) {
    const struct {
        std::size_t size;
        int format;
        char code;
    } cases[] = {
        {0, ZBIN, 'h'},     {1, ZBIN, 'i'},     {1024, ZBIN, 'j'},     {17999, ZBIN, 'i'},
        {0, ZBIN32, 'i'},   {1, ZBIN32, 'k'},   {1024, ZBIN32, 'h'},   {17999, ZBIN32, 'i'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, format " + static_cast<char>(c.format));
        fresh();
        std::string data = every_byte(c.size);
        std::memset(s.buffer_start, 0, s.buffer_size);
        s.header_format = static_cast<unsigned char>(c.format);
        s.position = 5;
        s.more_data = 1;
        // Large subpackets outgrow the pty's buffer: the remote writes while the engine reads.
        std::thread remote([&] {
            remote_send(c.format == ZBIN32 ? wire::subpacket32(data, c.code)
                                           : wire::subpacket16(data, c.code));
        });
        zmd_get_data(s);
        remote.join();
        ASSERT_FALSE(esl_error.pending) << esl_error.text;
        EXPECT_EQ(s.buffer_fill - s.buffer_start, static_cast<std::ptrdiff_t>(c.size));
        EXPECT_TRUE(received() == data);
        EXPECT_EQ(s.position, 5u + c.size);
        EXPECT_EQ(s.frame_end, 0) << "the CRC bytes after the frame end are plain bytes";
        EXPECT_EQ(s.more_data, c.code == ZCRCG ? 1 : 0);
        expect_line_empty();
    }
}

TEST_F(SubpacketTest, EighteenThousandDataBytesAreTooLong) {
    for (int format : {ZBIN, ZBIN32}) {
        SCOPED_TRACE(static_cast<char>(format));
        fresh();
        std::string data = plain(18000);
        s.header_format = static_cast<unsigned char>(format);
        s.position = 5;
        s.more_data = 1;
        std::thread remote([&] {
            remote_send(format == ZBIN32 ? wire::subpacket32(data, 'i')
                                         : wire::subpacket16(data, 'i'));
        });
        zmd_get_data(s);
        remote.join();
        EXPECT_TRUE(esl_is(ZMD005)) << esl_error.text;
        EXPECT_EQ(s.buffer_fill, s.buffer_limit);
        EXPECT_EQ(s.position, 5u);
        EXPECT_EQ(s.more_data, 0);
        drain();
    }
}

TEST_F(SubpacketTest, MoreDataIsLeftOnlyByAGoodZcrcg) {
    const struct {
        const char* name;
        std::string wire;
        int before;
        int after;
        const char* error;
    } cases[] = {
        {"ZCRCG keeps it set", wire::subpacket16("abc", 'i'), 1, 1, nullptr},
        {"ZCRCG keeps it clear", wire::subpacket16("abc", 'i'), 0, 0, nullptr},
        {"ZCRCE", wire::subpacket16("abc", 'h'), 1, 0, nullptr},
        {"ZCRCQ", wire::subpacket16("abc", 'j'), 1, 0, nullptr},
        {"ZCRCW", wire::subpacket16("abc", 'k'), 1, 0, nullptr},
        {"ZCRCG, bad CRC", "abc\x18i\x00\x00"s, 1, 0, ZMD004},
        {"time-out in data", "abc", 1, 0, ZMD009},
        {"time-out in CRC", "abc\x18i\x01"s, 1, 0, ZMD009},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        s.header_format = ZBIN;
        s.more_data = c.before;
        remote_send(c.wire);
        zmd_get_data(s);
        if (c.error == nullptr)
            EXPECT_FALSE(esl_error.pending) << esl_error.text;
        else
            EXPECT_TRUE(esl_is(c.error)) << esl_error.text;
        EXPECT_EQ(s.more_data, c.after);
        expect_line_empty();
    }
}

struct Damage {
    const char* part;
    int format;
    std::size_t offset;
    int mask;
    const char* outcome;
    const char* text;  // the recorded text, when it is checked
};

TEST_F(SubpacketTest, FlippedBitIsCaughtAndPositionStays) {
    // "hello world" closed by ZCRCE: CRC-16 0x8e96, CRC-32 0x0cb43b59; nothing travels escaped.
    const Damage cases[] = {
        {"data, CRC-16", ZBIN, 0, 0x01, ZMD004, nullptr},
        {"data high bit, CRC-16", ZBIN, 6, 0x80, ZMD004, nullptr},
        {"ZDLE, CRC-16", ZBIN, 11, 0x01, ZMD009, nullptr},
        {"end code to ZCRCG, CRC-16", ZBIN, 12, 0x01, ZMD004, nullptr},
        {"end code to a data escape, CRC-16", ZBIN, 12, 0x20, ZMD009, nullptr},
        {"CRC high, CRC-16", ZBIN, 13, 0x40, ZMD004, "ZMD004 CRCXM error, ours = 8e96, theirs = ce96\n"},
        {"CRC low, CRC-16", ZBIN, 14, 0x01, ZMD004, "ZMD004 CRCXM error, ours = 8e96, theirs = 8e97\n"},
        {"data, CRC-32", ZBIN32, 4, 0x02, ZMD006, nullptr},
        {"ZDLE, CRC-32", ZBIN32, 11, 0x04, ZMD009, nullptr},
        {"end code to ZCRCG, CRC-32", ZBIN32, 12, 0x01, ZMD006, nullptr},
        {"end code to a data escape, CRC-32", ZBIN32, 12, 0x20, ZMD009, nullptr},
        {"CRC first, CRC-32", ZBIN32, 13, 0x01, ZMD006,
         "ZMD006 CRC32 error - ours = cb43b59, theirs = cb43b58\n"},
        {"CRC last, CRC-32", ZBIN32, 16, 0x80, ZMD006,
         "ZMD006 CRC32 error - ours = cb43b59, theirs = 8cb43b59\n"},
    };
    ASSERT_EQ(wire::subpacket16("hello world", 'h'), "hello world\x18h\x8e\x96"s);
    ASSERT_EQ(wire::subpacket32("hello world", 'h'), "hello world\x18h\x59\x3b\xb4\x0c"s);
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.part);
        fresh();
        std::string damaged = c.format == ZBIN32 ? wire::subpacket32("hello world", 'h')
                                                 : wire::subpacket16("hello world", 'h');
        damaged[c.offset] = static_cast<char>(damaged[c.offset] ^ c.mask);
        s.header_format = static_cast<unsigned char>(c.format);
        s.position = 1000;
        s.more_data = 1;
        remote_send(damaged);
        zmd_get_data(s);
        ASSERT_TRUE(esl_is(c.outcome)) << esl_error.text;
        if (c.text != nullptr) {
            EXPECT_STREQ(esl_error.text, c.text);
        }
        EXPECT_EQ(s.position, 1000u);
        EXPECT_EQ(s.more_data, 0);
        expect_line_empty();
    }
}

TEST_F(SubpacketTest, CanRunInsideASubpacketIsTheRemoteAborting) {
    s.header_format = ZBIN;
    s.position = 1000;
    s.more_data = 1;
    remote_send("some data\x18\x18\x18\x18\x18\x18\x18\x18\x08\x08\x08\x08\x08\x08\x08\x08\x08\x08"s);
    zmd_get_data(s);
    EXPECT_TRUE(esl_is(ZMD010)) << esl_error.text;
    EXPECT_EQ(s.position, 1000u);
    EXPECT_EQ(s.more_data, 0);
}

TEST_F(SubpacketTest, FileInfoBlockChecks) {
    const std::string long_name(300, 'n');
    const struct {
        const char* name;
        std::string block;
        const char* error;
        std::string file_name;  // as kept in the session, also when the block is refused
        std::string info;       // checked when the block is accepted
    } cases[] = {
        {"300-char name", long_name + '\0' + "123 0 0 0" + '\0', nullptr, long_name.substr(0, 259),
         "123 0 0 0"},
        {"second NUL at 1023", std::string(1000, 'm') + '\0' + std::string(22, '7') + '\0',
         nullptr, std::string(259, 'm'), std::string(22, '7')},
        {"second NUL at 1024", "x\0"s + std::string(1022, '9') + '\0', ZMD007, "x", ""},
        {"second NUL missing", "name\0" "55 0 0 0"s, ZMD007, "name", ""},
        {"no NUL at all", "just a name", ZMD007, "just a name", ""},
        {"empty name", "\0" "0 0 0 0\0"s, nullptr, "", "0 0 0 0"},
        {"empty info", "f\0\0"s, nullptr, "f", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        std::memset(s.buffer_start, 0, s.buffer_size);
        std::strcpy(s.file_name, "previous");
        s.file_info = nullptr;
        s.header_format = ZBIN;
        remote_send(wire::subpacket16(c.block, 'k'));
        zmd_get_file_info(s);
        if (c.error == nullptr)
            EXPECT_FALSE(esl_error.pending) << esl_error.text;
        else
            EXPECT_TRUE(esl_is(c.error)) << esl_error.text;
        EXPECT_EQ(std::string(s.file_name), c.file_name);
        std::size_t first_nul = c.block.find('\0');
        if (first_nul != std::string::npos) {
            // file_info points just after the name's NUL in the buffer.
            EXPECT_EQ(s.file_info, reinterpret_cast<const char*>(s.buffer_start) + first_nul + 1);
            if (c.error == nullptr && s.file_info != nullptr) {
                EXPECT_EQ(std::string(s.file_info), c.info);
            }
        }
        expect_line_empty();
    }
}

}  // namespace
