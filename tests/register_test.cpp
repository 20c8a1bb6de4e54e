// The pending-error register: the first error wins, a report prints it once and clears it,
// identities ignore the arguments, texts are the templates formatted printf-style, and the
// allocation wrapper records a failed allocation.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <limits>
#include <string>

#include "support/esl.h"

// Under AddressSanitizer a huge allocation aborts the program unless the allocator may return
// null, which is what the wrapper must cope with.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

class Register : public ::testing::Test {
   protected:
    void SetUp() override { esl_clear_error(); }
    void TearDown() override { esl_clear_error(); }

    // Runs esl_report_error and returns what it printed.
    static std::string report() {
        testing::internal::CaptureStdout();
        esl_report_error();
        return testing::internal::GetCapturedStdout();
    }
};

struct FormatCase {
    const char* identity;
    std::function<void()> record;
    const char* text;
};

TEST_F(Register, TextIsTheTemplateFormattedWithItsArguments) {
    const FormatCase cases[] = {
        {ZMD004, [] { esl_set_error(ZMD004, 0x1fu, 0x2eu); },
         "ZMD004 CRCXM error, ours = 1f, theirs = 2e\n"},
        {ZMD004, [] { esl_set_error(ZMD004, 0xbeefu, 0x0u); },
         "ZMD004 CRCXM error, ours = beef, theirs = 0\n"},
        {ZMD006, [] { esl_set_error(ZMD006, 0xdeadbeeful, 0x7ul); },
         "ZMD006 CRC32 error - ours = deadbeef, theirs = 7\n"},
        {ZMD008, [] { esl_set_error(ZMD008, 0x41u); }, "ZMD008 Bad hex character 41 received\n"},
        {ZMD009, [] { esl_set_error(ZMD009); }, "ZMD009 Timeout\n"},
        {ZMD010, [] { esl_set_error(ZMD010); }, "ZMD010 Received cancel signal from remote\n"},
        {ESL001, [] { esl_set_error(ESL001, 18000ul); },
         "ESL001 Insufficient memory allocating 18000 bytes\n"},
        {ZMD_FILE_FAULT, [] { esl_set_error(ZMD_FILE_FAULT, "write to", "a.bin", "Disk full"); },
         "ZMD011 Cannot write to a.bin: Disk full\n"},
    };
    for (const FormatCase& c : cases) {
        c.record();
        ASSERT_EQ(esl_error.pending, 1) << c.text;
        EXPECT_TRUE(esl_is(c.identity)) << c.text;
        EXPECT_STREQ(esl_error.text, c.text);
        EXPECT_EQ(report(), c.text);
        EXPECT_EQ(esl_error.pending, 0) << c.text;
    }
}

TEST_F(Register, FirstErrorWinsAndOneReportPrintsOnlyIt) {
    esl_set_error(ZMD004, 0x1fu, 0x2eu);
    esl_set_error(ZMD009);
    esl_set_error(ZMD006, 1ul, 2ul);
    EXPECT_TRUE(esl_is(ZMD004));
    EXPECT_FALSE(esl_is(ZMD009));
    EXPECT_FALSE(esl_is(ZMD006));
    EXPECT_STREQ(esl_error.text, "ZMD004 CRCXM error, ours = 1f, theirs = 2e\n");

    EXPECT_EQ(report(), "ZMD004 CRCXM error, ours = 1f, theirs = 2e\n");
    EXPECT_EQ(esl_error.pending, 0);
    EXPECT_FALSE(esl_is(ZMD004)) << "identity tests hold only while an error is pending";
    EXPECT_EQ(report(), "") << "the later errors were neither stored nor printed";

    // Once cleared, the register takes the next error.
    esl_set_error(ZMD009);
    EXPECT_TRUE(esl_is(ZMD009));
    EXPECT_EQ(report(), "ZMD009 Timeout\n");
}

TEST_F(Register, ReportWithNothingPendingPrintsNothing) {
    EXPECT_EQ(report(), "");
    EXPECT_EQ(esl_error.pending, 0);
}

TEST_F(Register, IdentityIsTheTemplateNotTheArguments) {
    esl_set_error(ZMD004, 1u, 2u);
    EXPECT_TRUE(esl_is(ZMD004));
    esl_clear_error();
    esl_set_error(ZMD004, 0xffffu, 0xabcu);
    EXPECT_TRUE(esl_is(ZMD004));
    EXPECT_FALSE(esl_is(ZMD006));
    EXPECT_FALSE(esl_is(ZMD008));
}

TEST_F(Register, SilentClearPrintsNothing) {
    esl_set_error(ZMD009);
    testing::internal::CaptureStdout();
    esl_clear_error();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(esl_error.pending, 0);
    EXPECT_EQ(report(), "");
}

TEST_F(Register, AllocationOfNothingRecordsNothing) {
    void* block = esl_alloc(0);
    EXPECT_EQ(esl_error.pending, 0);
    esl_free(block);
}

TEST_F(Register, FailedAllocationRecordsInsufficientMemoryWithTheSize) {
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    void* block = esl_alloc(huge);
    EXPECT_EQ(block, nullptr);
    ASSERT_TRUE(esl_is(ESL001));
    EXPECT_EQ(std::string(esl_error.text),
              "ESL001 Insufficient memory allocating " + std::to_string(huge) + " bytes\n");

    // A second failure while the first is pending leaves the first in place.
    EXPECT_EQ(esl_alloc(huge - 1), nullptr);
    EXPECT_EQ(std::string(esl_error.text),
              "ESL001 Insufficient memory allocating " + std::to_string(huge) + " bytes\n");
    esl_free(block);
}

}  // namespace
