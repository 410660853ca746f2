#include "app/command_line.h"

#include <gtest/gtest.h>

#include "chip/result_code.h"

namespace kdx {
namespace {

TEST(CommandLine, SilentOnlyWhenTheFirstTokenIsS) {
    const std::pair<const char16_t*, bool> cases[] = {
        {u"/s", true},
        {u"//s", true},
        {u"s", true},
        {u"/ s", true},
        {u"\t/s\r\n", true},
        {u"/s/x", true},
        {u"/s /q", true},
        {u"\u3000/s", true},  // ideographic space is white space too
        {u"/S", false},
        {u"-s", false},
        {u"/silent", false},
        {u"/s x", false},
        {u"/x /s", false},
        {u"x/s", false},
        {u"/", false},
        {u"", false},
        {u"/\u00A0", false},
    };
    for (const auto& [line, silent] : cases) EXPECT_EQ(IsSilentCommandLine(line), silent) << ToUtf8(line);
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
