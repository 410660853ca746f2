// The updater's own silent workflow against the simulated driver and chip, end to end:
// a default update checked byte by byte in the trace, the outcomes of the chip check, and the
// result code and debugger message of every fault (a second run after a power cut: sim_cli).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/update_run.h"
#include "app/workflow.h"
#include "gfx/select_gfx_lib.h"
#include "platform/resources.h"
#include "sim/isp_mailbox.h"
#include "sim/simulator.h"
#include "tests/support/test_system.h"

namespace kdx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

class ProgressCount final : public TarvikControlDelegate {
public:
    void ReportProgress(int32_t, int32_t total) override { ++byTotal[total]; }
    std::map<int32_t, int> byTotal;
};

struct Outcome {
    int32_t result = -1;
    std::vector<std::string> debug;  // of the last run
    bool flashEqualsImage = false;
    RunRecord record;                // of the last run
    // What the chip runs after the last run when it was left in ISP mode; else Application.
    SimChip::Running ispLeftRunning = SimChip::Running::Application;
    ProgressCount progress;
    Bytes flash;
    size_t openDescriptors = 0;  // the kernel model's, after the worst run
};

SimImages EmbeddedImages() {
    SimImages images;
    std::string error;
    EXPECT_TRUE(LoadSimImages(SimOptions{}, images, error)) << error;
    return images;
}

// Runs the updater `options.runs` times on one simulated chip, as kdx4610-sim does.
Outcome Update(const SimOptions& options, const SimImages& images = EmbeddedImages()) {
    Outcome out;
    platform::VirtualClock clock;
    platform::MemoryResources resources;
    resources.Add(u"BIN", 129, images.ispDriver);
    resources.Add(u"BIN", 130, images.firmware);
    std::string error;
    auto sim = Simulator::Create(options, images, clock, &clock, error);
    EXPECT_TRUE(sim) << error;
    if (!sim) return out;
    for (uint32_t run = 1; run <= options.runs; ++run) {
        testing::RecordingDebugOutput debug;
        platform::System system{clock, debug, resources};
        sim->BeginRun(run);
        {
            const auto access = sim->ForUpdater();
            UpdateRun updateRun(system, access.connector, access.controlLibrary, access.dpAux);
            if (access.linuxCandidates) updateRun.chip.gfxCandidates = LinuxGfxCandidates();
            updateRun.chip.progressSink = &out.progress;
            WorkflowStages stages;
            RunSilentWorkflow(updateRun, stages);
            out.result = updateRun.resultCode;
        }
        out.openDescriptors = std::max(out.openDescriptors, sim->Kernel().OpenDescriptors());
        sim->EndRun();
        out.debug.clear();
        for (const WText& message : debug.messages) out.debug.push_back(ToUtf8(message));
    }
    out.record = sim->Record();
    if (sim->Chip().InIspMode()) out.ispLeftRunning = sim->Chip().NowRunning();
    out.flashEqualsImage = sim->FlashEqualsImage();
    const auto flash = sim->Chip().FlashMemory().Bytes();
    out.flash.assign(flash.begin(), flash.end());
    sim->Finish();
    return out;
}

// The options of kdx4610-sim's command line, given as one line of words.
SimOptions Options(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.push_back(word);
    SimOptions options;
    std::string error;
    EXPECT_TRUE(ParseOptions(words, options, error)) << line << ": " << error;
    return options;
}

struct TraceLine {
    bool read;
    uint32_t command, address, status;
    Bytes data;
    bool operator==(const TraceLine&) const = default;
};

std::vector<TraceLine> ReadTrace(const std::string& path) {
    std::vector<TraceLine> lines;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::string fields[8];  // time, method, device, command, address, length, status, data
        for (std::string& field : fields) std::getline(row, field, '\t');
        const std::string& data = fields[7];
        TraceLine t{fields[1] == "R", static_cast<uint32_t>(std::stoul(fields[3])),
                    static_cast<uint32_t>(std::stoul(fields[4], nullptr, 16)), static_cast<uint32_t>(std::stoul(fields[6])), {}};
        for (size_t i = 0; i + 1 < data.size(); i += 2) t.data.push_back(static_cast<uint8_t>(std::stoul(data.substr(i, 2), nullptr, 16)));
        lines.push_back(std::move(t));
    }
    return lines;
}

// The I2C write transactions of a trace: pieces joined until the one that ends each.
std::vector<Bytes> I2cMessages(const std::vector<TraceLine>& trace) {
    std::vector<Bytes> messages;
    Bytes current;
    for (const TraceLine& t : trace) {
        if (t.read || (t.command != 0 && t.command != 4) || t.status != 0) continue;
        current.insert(current.end(), t.data.begin(), t.data.end());
        if (t.command == 0) messages.push_back(std::exchange(current, {}));
    }
    return messages;
}

TEST(SimEndToEnd, DefaultRunWritesTheImageByteExactAndEndsWithOneEndIsp) {
    SimOptions options;
    options.tracePath = ::testing::TempDir() + "sim_e2e_trace.tsv";
    const SimImages images = EmbeddedImages();
    const Outcome out = Update(options, images);
    ASSERT_EQ(out.result, 0);
    EXPECT_TRUE(out.debug.empty());
    EXPECT_TRUE(out.flashEqualsImage);
    EXPECT_EQ(out.record.endIspPosted, 1u);
    EXPECT_TRUE(out.record.lastRequestWasEndIsp);
    EXPECT_EQ(out.progress.byTotal.at(12288), 106);
    EXPECT_EQ(out.progress.byTotal.at(524288), 1041);

    size_t blank = 0;
    for (size_t at = 0; at < images.firmware.size(); at += 504) {
        const size_t n = std::min<size_t>(504, images.firmware.size() - at);
        blank += std::all_of(images.firmware.begin() + at, images.firmware.begin() + at + n, [](uint8_t b) { return b == 0xFF; });
    }
    EXPECT_EQ(out.record.blocksSent, 1041 - blank);
    EXPECT_EQ(out.record.blocksSkipped, blank);

    const auto trace = ReadTrace(options.tracePath);
    const auto messages = I2cMessages(trace);
    ASSERT_GE(messages.size(), 111u);
    EXPECT_EQ(messages[0], Bytes({0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0A, 0x71}));
    EXPECT_EQ(messages[1], Bytes({0x51, 0x87, 0xC2, 0x00, 0x00, 0x05, 0x06, 0xC8, 0x02, 0xB3}));
    EXPECT_EQ(messages[2], Bytes({0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x09, 0x72}));
    EXPECT_EQ(messages[3], Bytes({0x51, 0x86, 0xC2, 0x00, 0x00, 0x04, 0x20, 0x00, 0x5F}));
    // 106 driver chunks, each byte-exact in the ISP entry tests, then the start command.
    EXPECT_EQ(messages[110], Bytes({0x51, 0x87, 0xC2, 0x00, 0x00, 0x05, 0x1D, 0x18, 0x00, 0x7A}));
    ASSERT_EQ(trace.front().address, 0x6Eu);
    const auto dpcdBlock = std::find_if(trace.begin(), trace.end(), [](const TraceLine& t) { return t.command == 9 && t.address == 0x503; });
    ASSERT_NE(dpcdBlock, trace.end());
    EXPECT_EQ(dpcdBlock->data, Bytes({'K', 'X', '4', '6', '1', '0', 0x22, 0x01, 0x28, 0x00}));

    // The request blocks, each taken when its length byte is written last; the blocks'
    // headers, halves and CRC fields are checked in the firmware-write tests, and here by
    // the simulator, which takes a block only with its CRC, and by the flash it leaves.
    constexpr uint32_t kCmd = IspMailbox::kCmdBufferAddr;
    Bytes cmd(512, 0);
    std::vector<Bytes> requests;
    for (const TraceLine& t : trace) {
        if (t.read || t.command != 8 || t.address < kCmd || t.address >= kCmd + 512) continue;
        std::copy(t.data.begin(), t.data.end(), cmd.begin() + (t.address - kCmd));
        if (t.address == kCmd && t.data.size() == 1) requests.emplace_back(cmd.begin(), cmd.begin() + cmd[0]);
    }
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[0], Bytes({0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0x44}));
    EXPECT_EQ(requests[1], Bytes({0x05, 0x19, 0xFF, 0xA2, 0x41}));
    EXPECT_EQ(requests[requests.size() - 2], Bytes({0x07, 0x1B, 0x07, 0xFF, 0xEC, 0x03, 0x0B}));
    EXPECT_EQ(requests.back(), Bytes({0x04, 0x20, 0x01, 0x25}));
    EXPECT_EQ(std::count(requests.begin(), requests.end(), Bytes({0x03, 0x10, 0x13})), static_cast<long>(out.record.blocksSent));
    std::remove(options.tracePath.c_str());
}

struct RunCase {
    const char* options;
    int32_t result;
    const char* debug;  // the one debugger message, or "" for none
    // Without a running ISP driver EndIsp meets NACKs: a failed posting, made three times.
    uint32_t endIspPostings = 1;
    SimChip::Running ispLeftRunning = SimChip::Running::Application;  // as in Outcome
    // Driver calls that wrote, where counted: probes on the outputs before the chip's, then the update.
    std::optional<uint32_t> writeCalls = std::nullopt;
};

constexpr auto kApplication = SimChip::Running::Application;

const RunCase kRunCases[] = {
    // The chip check refuses (30) or finds the firmware up to date (40): no ISP, so no EndIsp.
    {"--fault no-driver", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--fault no-chip", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--chip-id KX4630", 30, "ERROR!! ChipID:1\r\n", 0},
    {"--hw-rev 0x21", 30, "ERROR!! Chip Version:2.1\r\n", 0},
    {"--fw-version 1.58", 40, "", 0},
    {"--fw-version 1.60", 40, "", 0},
    {"--fault defer-always", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--fault regs-unreadable", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--fault not-supported", 30, "ERROR!! ChipID:-1\r\n", 0},
    // Updated: a chip in its internal ROM, deferrals within the retries, the branch block unreadable.
    {"--chip-id XX9999 --hw-rev 0x23", 0, ""},
    {"--fault defer=5", 0, ""},
    {"--fault dpcd-block-fail", 0, ""},
    // The ISP procedure's faults.
    {"--fault drop-ack=entry1", 10, "ISP initialization failed!\r\n", 3},
    {"--fault drop-ack=entry2", 10, "ISP initialization failed!\r\n", 3, SimChip::Running::IspLoader},
    {"--fault stop-ack-at-chunk=50", 10, "Load ISP driver failed!\r\n", 3, SimChip::Running::IspLoader},
    {"--fault window-zero", 10, "Getting DPCD buffer addr ... failed!\r\n"},
    {"--fault reply-size-zero", 10, "Getting DPCD buffer addr ... failed!\r\n"},
    {"--fault flash-id-timeout", 10, "Get FlashID failed!\r\n"},
    {"--fault flash-id-bad-code", 10, "Get FlashID failed!\r\n"},
    {"--fault erase-nak", 20, "Erase Flash failed!\r\n"},
    // The driver still erasing, or waiting for the rest of a block, does not take EndIsp.
    {"--fault erase-timeout", 20, "Erase Flash failed!\r\n", 1, SimChip::Running::IspDriver},
    {"--fault block-nak=1", 20, "Write FW failed!\r\n"},
    {"--fault block-nak=200", 20, "Write FW failed!\r\n"},
    {"--fault flag-stuck=low", 20, "Write FW failed!\r\n", 1, SimChip::Running::IspDriver},
    {"--fault flag-stuck=high", 20, "Write FW failed!\r\n", 1, SimChip::Running::IspDriver},
    {"--fault readback-mismatch", 20, "Compare FW version failed!\r\n"},
    {"--fault power-cut-at-erase", 20, "Erase Flash failed!\r\n", 3},
    {"--fault drop-ack=start", 0, ""},
    {"--fault cmd-buffer-size=256", 0, ""},
    // Through the kernel model its limits show at their edges: 31 NACKs of a native access are
    // within its 32 tries and 32 are not; a bare address takes 7 tries, so 6 EBUSY answers are
    // survived. Writes carry no probe read: EndIsp gets through even when every native read fails.
    {"--backend linux", 0, ""},
    {"--backend linux --fault over-read=ff", 0, ""},
    {"--backend linux --fault over-read=nack", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--backend linux --fault over-read=defer", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--backend linux --fault no-i2c-dev", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--backend linux --fault nodes-root-only", 30,
     "Gfx Selection = 0\r\nGraphics adapter initialization - Linux (DP AUX): done!\r\n"
     "  Port 1 (card0-DP-1: drm_dp_aux0, i2c-5) = Permission denied! Run the program as root.\r\n", 0},
    {"--backend linux --fault ebusy-burst=6", 0, ""},
    {"--backend linux --fault ebusy-burst=7", 30, "ERROR!! ChipID:-1\r\n", 0},
    {"--backend linux --fault nack-burst=31", 0, ""},
    {"--backend linux --fault nack-burst=32", 10, "Getting DPCD buffer addr ... failed!\r\n"},
    {"--backend linux --fault dpcd0-silent-isp", 10, "Getting DPCD buffer addr ... failed!\r\n"},
    {"--backend linux --fault i915-traffic=3", 0, ""},
    // After the cut nothing answers: the kernel tries each of the three postings 32 times.
    {"--backend linux --fault power-cut-at-block=3", 20, "Write FW failed!\r\n", 96},
    {"--backend linux --fault power-cut-at-block=3 --runs 2", 0, ""},
    // The Control Library's own faults: the search stops without a write reaching the chip, or
    // finds what the shrunken output list still holds.
    {"--backend igcl --fault controllib-not-admin --device-id 0x0C", 30,
     "Gfx Selection = 0\r\nNo available Gfx LIB! (1)\r\nNo available Gfx LIB! (2)\r\n"
     "Graphics adapter initialization - Intel (LS-PCON): failed! (-2147221164)\r\n"
     "Graphics adapter initialization - Intel (Control Library): done!\r\n"
     "  Output 1 = Insufficient permissions! Run the program as administrator.\r\n", 0, kApplication, 0},
    {"--backend igcl --fault controllib-outputs-shrink --device-id 0x0F", 30, "ERROR!! ChipID:-1\r\n", 0,
     kApplication, 3},
    {"--backend igcl --fault controllib-outputs-shrink --device-id 0x0E", 0, "", 1, kApplication, 26872 + 2},
    {"--backend igcl --fault no-controllib --device-id 0x0C", 30, "ERROR!! ChipID:-1\r\n", 0, kApplication, 0},
};

TEST(SimEndToEnd, EachSetupEndsWithItsCodeAndOneMessageAndEndIspIsSentOnceIspBegan) {
    const SimImages images = EmbeddedImages();
    for (const RunCase& c : kRunCases) {
        const Outcome out = Update(Options(c.options), images);
        EXPECT_EQ(out.result, c.result) << c.options;
        EXPECT_EQ(out.debug, *c.debug ? std::vector<std::string>{c.debug} : std::vector<std::string>{}) << c.options;
        EXPECT_EQ(out.record.endIspPosted, c.endIspPostings) << c.options;
        EXPECT_EQ(out.record.lastRequestWasEndIsp, c.endIspPostings > 0) << c.options;
        EXPECT_EQ(out.ispLeftRunning, c.ispLeftRunning) << c.options;
        EXPECT_EQ(out.openDescriptors, 0u) << c.options;
        if (c.writeCalls) {
            EXPECT_EQ(out.record.writeCalls, *c.writeCalls) << c.options;
        }
        if (c.result == 10) {
            // The flash is untouched: it still holds the installed 1.40 image.
            EXPECT_EQ(out.flash[images.firmware.size() - 20], 40) << c.options;
            EXPECT_EQ(out.record.blocksSent, 0u) << c.options;
        }
        // Written (0), written but read back changed, or holding the image's 1.58 already.
        const std::string options = c.options;
        EXPECT_EQ(out.flashEqualsImage,
                  c.result == 0 || options == "--fault readback-mismatch" || options == "--fw-version 1.58") << options;
    }
}

// Every driver call's line without its time.
std::vector<std::string> UntimedTrace(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        lines.push_back(tab == std::string::npos ? line : line.substr(tab));
    }
    return lines;
}

// A default update through the COM backend and through `other`, each trace as `read` gives it.
template <typename Read>
auto TracesOfComAnd(SimOptions::Backend other, const SimImages& images, Read read) {
    std::array<decltype(read(std::string())), 2> traces;
    for (const auto backend : {SimOptions::Backend::Com, other}) {
        SimOptions options;
        options.backend = backend;
        // Each test's own file: CTest runs the tests of this file side by side.
        options.tracePath = ::testing::TempDir() + "sim_e2e_backend_" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tsv";
        const Outcome out = Update(options, images);
        EXPECT_EQ(out.result, 0);
        EXPECT_TRUE(out.flashEqualsImage);
        EXPECT_EQ(out.openDescriptors, 0u);
        traces[backend == SimOptions::Backend::Com ? 0 : 1] = read(options.tracePath);
        std::remove(options.tracePath.c_str());
    }
    return traces;
}

TEST(SimEndToEnd, ControlLibraryBackendSendsTheChipWhatTheComBackendSends) {
    const auto traces = TracesOfComAnd(SimOptions::Backend::ControlLibrary, EmbeddedImages(), UntimedTrace);
    EXPECT_GT(traces[0].size(), 30000u);
    EXPECT_EQ(traces[0], traces[1]);
}

// The native transfers of a trace that went through, without the kernel's probe reads of
// DPCD 0x000, a poll that read the same bytes again counted once.
std::vector<TraceLine> NativeTransfers(const std::vector<TraceLine>& trace) {
    std::vector<TraceLine> natives;
    for (const TraceLine& t : trace) {
        if (t.status != 0 || (t.command != 8 && t.command != 9)) continue;
        if (t.read && t.address == 0 && t.data.size() == 1) continue;
        const auto same = [&t](const TraceLine& last) {
            return last.read && t.read && last.address == t.address && last.data == t.data;
        };
        if (!natives.empty() && same(natives.back())) continue;
        natives.push_back(t);
    }
    return natives;
}

TEST(SimEndToEnd, LinuxBackendSendsTheChipWhatTheComBackendSends) {
    const auto traces = TracesOfComAnd(SimOptions::Backend::Linux, EmbeddedImages(), ReadTrace);
    // The kernel's framing: each I2C write ends on a bare address without MOT, so the
    // messages join as the COM driver's do.
    const auto comMessages = I2cMessages(traces[0]);
    EXPECT_EQ(comMessages.size(), 111u);
    EXPECT_EQ(I2cMessages(traces[1]), comMessages);
    const auto comNatives = NativeTransfers(traces[0]);
    EXPECT_GT(comNatives.size(), 30000u);
    EXPECT_EQ(NativeTransfers(traces[1]), comNatives);
}

}  // namespace
}  // namespace kdx::sim
