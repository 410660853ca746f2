#include "app/command_line.h"

#include <gtest/gtest.h>

#include "chip/result_code.h"

namespace kdx {
namespace {

TEST(CommandLine, SilentOnlyWhenTheFirstTokenIsS) {
    // U+3000, the ideographic space, is white space too.
    for (const char16_t* line : {u"/s", u"//s", u"s", u"/ s", u"\t/s\r\n", u"/s/x", u"/s /q", u"\u3000/s"}) {
        EXPECT_TRUE(IsSilentCommandLine(line)) << ToUtf8(line);
    }
    for (const char16_t* line : {u"/S", u"-s", u"/silent", u"/s x", u"/x /s", u"x/s", u"/", u"", u"/\u00A0"}) {
        EXPECT_FALSE(IsSilentCommandLine(line)) << ToUtf8(line);
    }
}

TEST(ResultCodeName, NamesEveryCode) {
    EXPECT_STREQ(ResultCodeName(0), "Success");
    EXPECT_STREQ(ResultCodeName(10), "IspSetupFailed");
    EXPECT_STREQ(ResultCodeName(20), "FlashProgramFailed");
    EXPECT_STREQ(ResultCodeName(30), "NotTarget");
    EXPECT_STREQ(ResultCodeName(40), "UpToDate");
    EXPECT_STREQ(ResultCodeName(99), "UnexpectedError");
    EXPECT_STREQ(ResultCodeName(1), "Unknown");
}

}  // namespace
}  // namespace kdx
