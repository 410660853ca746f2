// The options of kdx4610-sim and a simulator session, the fault names, and the chaos
// sequence's dependence on its seed alone. Refused words are run through the program
// (sim_cli bad_usage, backend_bad).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/options.h"

namespace kdx::sim {
namespace {

bool Parse(std::vector<std::string> words, SimOptions& o, std::string& error) { return ParseOptions(words, o, error); }

TEST(SimOptions, EveryOptionInBothSpellings) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--chip-id", "KX4630", "--hw-rev=0x21", "--fw-version", "1.5.2", "--reg-c802", "0x26AB",
                       "--reg-8002=4364", "--device-id", "0x0F", "--firmware", "fw.bin", "--isp-driver=isp.bin",
                       "--flash-in", "in.bin", "--flash-out", "out.bin", "--trace", "t.tsv", "--fault", "defer=5",
                       "--fault=flag-stuck=high", "--chaos", "7:1/500", "--runs", "3", "--real-time", "--quiet", "--",
                       "/s", "/x"},
                      o, error))
        << error;
    EXPECT_THAT(o.chipId, ::testing::ElementsAre('K', 'X', '4', '6', '3', '0'));
    EXPECT_EQ(o.hwRev, 0x21);
    EXPECT_EQ(std::tuple(o.fwMajor, o.fwMinor, o.fwThird), std::tuple(1, 5, 2));
    EXPECT_EQ(std::tuple(o.regC802, o.reg8002), std::tuple(0x26AB, 0x4364));
    EXPECT_EQ(o.deviceId, 0x0Fu);
    EXPECT_THAT((std::vector{o.firmwarePath, o.ispDriverPath, o.flashInPath, o.flashOutPath, o.tracePath}),
                ::testing::ElementsAre("fw.bin", "isp.bin", "in.bin", "out.bin", "t.tsv"));
    EXPECT_EQ(o.faults.deferCalls, 5u);
    EXPECT_TRUE(o.faults.flagStuckHigh);
    EXPECT_TRUE(o.chaos);
    EXPECT_EQ(o.chaosSeed, 7u);
    EXPECT_DOUBLE_EQ(o.chaosRate, 1.0 / 500);
    EXPECT_EQ(o.runs, 3u);
    EXPECT_TRUE(o.realTime);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.commandLine, "/s /x");
}

TEST(SimOptions, EveryFaultIsListedAndParses) {
    const std::string list = FaultList();
    for (const char* word : {"no-driver", "no-chip", "not-supported", "defer=2", "defer-always", "dpcd-block-fail",
                             "bad-checksum", "regs-unreadable", "drop-ack=entry1", "drop-ack=entry2", "drop-ack=start",
                             "stop-ack-at-chunk=3", "window-zero", "reply-size-zero", "cmd-buffer-size=0", "flash-id-timeout",
                             "flash-id-bad-code", "erase-nak", "erase-timeout", "block-nak=4", "flag-stuck=low",
                             "flag-stuck=high", "readback-mismatch", "power-cut-at-block=9", "power-cut-at-erase"}) {
        Faults faults;
        std::string error;
        EXPECT_TRUE(ParseFault(word, faults, error)) << word << ": " << error;
        const std::string name = std::string(word).substr(0, std::string(word).find('='));
        EXPECT_NE(list.find("  " + name), std::string::npos) << name;
    }
}

TEST(SimChaos, TheSeedAloneDecidesWhichCallsMisbehaveAndHow) {
    Chaos a(42, 0.01), b(42, 0.01), c(43, 0.01), off(42, 0);
    int events = 0, differences = 0;
    for (int call = 0; call < 20000; ++call) {
        const bool read = call % 3 == 0;
        const ChaosAction x = a.Next(read, 16), y = b.Next(read, 16), z = c.Next(read, 16);
        EXPECT_EQ(off.Next(read, 16).kind, ChaosKind::None);
        ASSERT_EQ(x.kind, y.kind);
        ASSERT_EQ(x.bitIndex, y.bitIndex);
        events += x.kind != ChaosKind::None;
        differences += x.kind != z.kind;
        EXPECT_LT(x.bitIndex, 128u);
        EXPECT_LT(x.keepBytes, 16u);
        EXPECT_TRUE(x.kind == ChaosKind::None || (x.burst >= 2 && x.burst <= 10));
        EXPECT_FALSE(read && x.kind == ChaosKind::WriteNotDone);
        EXPECT_FALSE(!read && (x.kind == ChaosKind::FlippedBit || x.kind == ChaosKind::ShortReply));
    }
    EXPECT_GT(events, 150);
    EXPECT_LT(events, 250);
    EXPECT_GT(differences, 0);
}

}  // namespace
}  // namespace kdx::sim
