// A ChipContext on the virtual clock with a FakeGfxLib, and a small model of the ISP
// driver's mailbox behind the fake's native-transfer hooks: it takes request blocks, block
// headers and the two halves of each block, programs a flash array, and answers with the
// replies the driver gives.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "chip/chip_context.h"
#include "tests/support/fake_gfx_lib.h"
#include "tests/support/test_system.h"

namespace kdx::testing {

struct ProgressLog : TarvikControlDelegate {
    std::vector<std::pair<int32_t, int32_t>> reports;
    void ReportProgress(int32_t current, int32_t total) override { reports.emplace_back(current, total); }
};

// One block as the model received it.
struct ReceivedBlock {
    std::vector<uint8_t> header;
    uint8_t upperCount = 0;
    uint8_t lowerCount = 0;
    std::vector<uint8_t> data;  // upper half then lower half: data bytes and the CRC field
};

class MailboxModel {
public:
    static constexpr uint32_t kWindowAddr = 0x30000;
    static constexpr size_t kFlashSize = 512 * 1024;

    uint32_t cmdAddr = 0x20000;
    uint16_t cmdSize = 512;
    uint32_t replyAddr = 0x10000;
    uint16_t replySize = 128;

    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0xFF);
    std::vector<std::vector<uint8_t>> requests;  // every request block taken, in order
    std::vector<ReceivedBlock> blocks;
    std::vector<uint8_t> flashIdReply{0x05, 0x1C, 0xC2, 0x20, 0x00};
    int eraseAckOnPoll = 1;         // the erase is acknowledged on this reply poll
    std::vector<uint8_t> ack{0x03, 0x0C, 0xF1};
    bool answerEndIsp = true;
    int endIspCount = 0;

    explicit MailboxModel(FakeGfxLib& gfx) : gfx_(gfx) {
        gfx.onNativeWrite = [this](uint32_t address, std::span<const uint8_t> data, int32_t& result) {
            result = 0;
            for (size_t i = 0; i < data.size(); ++i) gfx_.dpcd[address + static_cast<uint32_t>(i)] = data[i];
            OnWrite(address, data);
            return true;
        };
        gfx.onNativeRead = [this](uint32_t address, std::span<uint8_t>, int32_t&) {
            if (address == replyAddr && erasePending_ && ++erasePolls_ >= eraseAckOnPoll) {
                erasePending_ = false;
                PutReply(ack);
            }
            return false;
        };
    }

    // DPCD 0x40C and the descriptor, as the started driver leaves them.
    void PublishWindow() {
        Put(0x40C, {kWindowAddr & 0xFF, (kWindowAddr >> 8) & 0xFF, kWindowAddr >> 16});
        std::vector<uint8_t> d;
        for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(cmdAddr >> (8 * i)));
        for (int i = 0; i < 2; ++i) d.push_back(static_cast<uint8_t>(cmdSize >> (8 * i)));
        for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(replyAddr >> (8 * i)));
        for (int i = 0; i < 2; ++i) d.push_back(static_cast<uint8_t>(replySize >> (8 * i)));
        Put(kWindowAddr, d);
    }

    void Put(uint32_t address, const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) gfx_.dpcd[address + static_cast<uint32_t>(i)] = bytes[i];
    }
    void PutReply(const std::vector<uint8_t>& bytes) { Put(replyAddr, bytes); }

    // A ReadFlash reply: R, 0x1B, data, a trailing byte, in packets of at most 15 bytes.
    static std::vector<uint8_t> PacketiseDataReply(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> payload{static_cast<uint8_t>(data.size() + 3), 0x1B};
        payload.insert(payload.end(), data.begin(), data.end());
        payload.push_back(0xEE);
        std::vector<uint8_t> out;
        for (size_t pos = 0; pos < payload.size(); pos += 15) {
            const size_t n = std::min<size_t>(15, payload.size() - pos);
            out.push_back(static_cast<uint8_t>(n));
            out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(pos),
                       payload.begin() + static_cast<std::ptrdiff_t>(pos + n));
        }
        return out;
    }

private:
    enum class Phase { Idle, AwaitHeader, AwaitData };

    uint32_t LowFlag() const { return cmdAddr + cmdSize / 2 - 1; }
    uint32_t HighFlag() const { return cmdAddr + cmdSize - 1; }
    std::vector<uint8_t> Get(uint32_t address, size_t n) const {
        std::vector<uint8_t> out(n);
        for (size_t i = 0; i < n; ++i) {
            const auto it = gfx_.dpcd.find(address + static_cast<uint32_t>(i));
            out[i] = it == gfx_.dpcd.end() ? 0 : it->second;
        }
        return out;
    }

    void OnWrite(uint32_t address, std::span<const uint8_t> data) {
        // A lone byte at the start of the command buffer is a request's length byte, unless
        // a block's data are awaited (a backend of one-byte writes); a new request abandons
        // a block whose header has not come.
        if (address == cmdAddr && data.size() == 1 && phase_ != Phase::AwaitData) {
            phase_ = Phase::Idle;
            return TakeRequest(data[0]);
        }
        if (data.size() != 1 || data[0] == 0) return;
        if (address == LowFlag() && phase_ == Phase::AwaitHeader && data[0] == 8) {
            blocks.push_back({Get(cmdAddr, 8), 0, 0, {}});
            phase_ = Phase::AwaitData;
            gfx_.dpcd[LowFlag()] = 0;
        } else if (address == HighFlag() && phase_ == Phase::AwaitData) {
            blocks.back().upperCount = data[0];
            TakeHalf(cmdAddr + cmdSize / 2, data[0]);
            gfx_.dpcd[HighFlag()] = 0;
        } else if (address == LowFlag() && phase_ == Phase::AwaitData) {
            blocks.back().lowerCount = data[0];
            TakeHalf(cmdAddr, data[0]);
            gfx_.dpcd[LowFlag()] = 0;
        }
    }

    void TakeRequest(uint8_t length) {
        std::vector<uint8_t> block = Get(cmdAddr, length);
        requests.push_back(block);
        switch (block.size() > 1 ? block[1] : 0) {
            case 0x1C: PutReply(flashIdReply); break;
            case 0x19:
                std::fill(flash.begin(), flash.end(), uint8_t{0xFF});
                erasePending_ = true;
                erasePolls_ = 0;
                break;
            case 0x20:
                ++endIspCount;
                if (answerEndIsp) PutReply(ack);
                break;
            case 0x1B: {
                const uint32_t a = static_cast<uint32_t>(block[2] << 16 | block[3] << 8 | block[4]);
                std::vector<uint8_t> data(block[5]);
                for (size_t i = 0; i < data.size(); ++i) data[i] = a + i < flash.size() ? flash[a + i] : 0xFF;
                PutReply(PacketiseDataReply(data));
                break;
            }
            case 0x10: phase_ = Phase::AwaitHeader; break;
            default: break;
        }
    }

    void TakeHalf(uint32_t address, uint8_t count) {
        ReceivedBlock& block = blocks.back();
        const auto bytes = Get(address, count);
        block.data.insert(block.data.end(), bytes.begin(), bytes.end());
        const auto& h = block.header;
        const size_t n = static_cast<size_t>(h[4]) << 24 | h[5] << 16 | h[6] << 8 | h[7];
        if (block.data.size() < n + 4) return;
        const uint32_t address24 = static_cast<uint32_t>(h[1] << 16 | h[2] << 8 | h[3]) - 0x400000;
        for (size_t i = 0; i < n && address24 + i < flash.size(); ++i) flash[address24 + i] &= block.data[i];
        phase_ = Phase::Idle;
        PutReply(ack);
    }

    FakeGfxLib& gfx_;
    Phase phase_ = Phase::Idle;
    bool erasePending_ = false;
    int erasePolls_ = 0;
};

// (address, length) of native transfers, in order.
using Spans = std::vector<std::pair<uint32_t, size_t>>;

// The context and its surroundings; usable on its own where one test needs several.
struct ChipBench {
    TestSystem sys;
    platform::VirtualClock& clock = sys.clock;
    RecordingDebugOutput& debug = sys.debug;
    ChipContext context{sys.system, sys.connector, sys.controlLibrary};
    FakeGfxLib gfx;
    ProgressLog progress;

    ChipBench() {
        context.activeAdapter = &gfx;
        context.progressSink = &progress;
    }

    std::vector<FakeCall> Writes() const { return gfx.CallsOf(FakeCall::NativeWrite); }
    std::vector<FakeCall> Reads() const { return gfx.CallsOf(FakeCall::NativeRead); }
    int64_t ElapsedMs() const { return clock.NowUs() / 1000; }
    static Spans SpansOf(const std::vector<FakeCall>& calls) {
        Spans spans;
        for (const auto& c : calls) spans.emplace_back(c.address, c.data.size());
        return spans;
    }
    // The next `times` native writes at `address` end with `status`; others go on as before.
    void FailWritesAt(uint32_t address, int32_t status, int times = -1) {
        gfx.onNativeWrite = [=, next = gfx.onNativeWrite](uint32_t a, std::span<const uint8_t> d, int32_t& result) mutable {
            if (a != address || times == 0) return next && next(a, d, result);
            times -= times > 0;
            result = status;
            return true;
        };
    }
    // Every native read at `address` ends with `status`; one that succeeds reads `value`.
    void AnswerReadsAt(uint32_t address, int32_t status, uint8_t value = 0) {
        gfx.onNativeRead = [=](uint32_t a, std::span<uint8_t> buffer, int32_t& result) {
            if (a != address) return false;
            if (status == 0) buffer[0] = value;
            result = status;
            return true;
        };
    }
};

struct ChipFixture : ::testing::Test, ChipBench {};

}  // namespace kdx::testing
