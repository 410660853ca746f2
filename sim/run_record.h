// What the simulator saw of one run of the updater: the moments the chip reached each
// stage (virtual time since the run began) and the counts the summary reports.
#pragma once

#include <array>
#include <cstdint>

namespace kdx::sim {

enum class Milestone : uint8_t {
    ProbeAcknowledged,
    IdentityRead,
    VersionBlockRead,
    IspEntered,
    DriverDownloaded,
    DriverStarted,
    WindowRead,
    FlashIdentified,
    FlashErased,
    FirstBlockProgrammed,
    LastBlockProgrammed,
    VersionReadBack,
    IspEnded,
    PowerCut,
    Count,
};

inline const char* MilestoneText(Milestone m) {
    switch (m) {
        case Milestone::ProbeAcknowledged: return "presence probe acknowledged";
        case Milestone::IdentityRead: return "identity register read";
        case Milestone::VersionBlockRead: return "branch identification block read";
        case Milestone::IspEntered: return "ISP mode entered";
        case Milestone::DriverDownloaded: return "ISP driver downloaded";
        case Milestone::DriverStarted: return "ISP driver started";
        case Milestone::WindowRead: return "mailbox window read";
        case Milestone::FlashIdentified: return "flash identified";
        case Milestone::FlashErased: return "flash erased";
        case Milestone::FirstBlockProgrammed: return "first block programmed";
        case Milestone::LastBlockProgrammed: return "last block programmed";
        case Milestone::VersionReadBack: return "version read back";
        case Milestone::IspEnded: return "ISP mode left, chip restarted";
        case Milestone::PowerCut: return "power cut, chip restarted";
        case Milestone::Count: break;
    }
    return "?";
}

struct RunRecord {
    static constexpr int64_t kNotReached = -1;

    int64_t startNs = 0;
    std::array<int64_t, static_cast<size_t>(Milestone::Count)> reachedNs{};  // since startNs

    uint32_t readCalls = 0;
    uint32_t writeCalls = 0;
    uint32_t deferredCalls = 0;
    uint32_t blocksSent = 0;     // block headers the ISP driver took
    uint32_t blocksSkipped = 0;  // blocks the host passed over (blank), from the gaps between headers
    uint32_t endIspPosted = 0;   // EndIsp request bodies the host wrote
    bool lastRequestWasEndIsp = false;
    // The host's EndIsp postings as the driver answered them: calls that carried its body
    // (deferred and failed ones included), postings whose body and then length byte the
    // driver reported done, and whether such a posting had a write not carried out.
    uint32_t endIspBodyCalls = 0;
    uint32_t endIspReportedDone = 0;
    bool endIspWriteLost = false;

    void Begin(int64_t nowNs) { *this = RunRecord{}; startNs = nowNs; reachedNs.fill(kNotReached); }
    // The first time a stage is reached.
    void Reach(Milestone m, int64_t nowNs) {
        int64_t& at = reachedNs[static_cast<size_t>(m)];
        if (at == kNotReached) at = nowNs - startNs;
    }
    // A stage reached again and again (the last block): the latest time.
    void Mark(Milestone m, int64_t nowNs) { reachedNs[static_cast<size_t>(m)] = nowNs - startNs; }
    bool Reached(Milestone m) const { return reachedNs[static_cast<size_t>(m)] != kNotReached; }
    int64_t At(Milestone m) const { return reachedNs[static_cast<size_t>(m)]; }
};

}  // namespace kdx::sim
