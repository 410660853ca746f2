// A scriptable GfxLib for unit tests of the layers above the adapter: it records every
// call, answers I2C reads from a queue of scripted replies, and hands native reads and
// writes to hooks (the simulated chip's, or a test's); with none, a native read reads 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "gfx/gfx_lib.h"
#include "sim/ddc_port.h"

namespace kdx::testing {

struct FakeCall {
    enum Kind { I2cWrite, I2cRead, NativeWrite, NativeRead } kind;
    uint32_t address;
    std::vector<uint8_t> data;  // bytes written, or bytes returned by a read
    size_t capacity = 0;  // of an I2C read: the buffer it was handed
};

struct I2cReply {
    int32_t status = 0;
    std::vector<uint8_t> bytes;  // the whole reply: address byte through checksum
    std::u16string diagnostic;
};

// A reply frame as the chip sends it: 6E, 80|(k+5), C2 00 00, ll=k+3, op, payload,
// 0x50 XOR every byte before the checksum.
inline std::vector<uint8_t> ChipReply(uint8_t op, std::span<const uint8_t> payload) {
    return sim::DdcPort::Frame(0x6E, op, payload, 0x50);
}

inline std::vector<uint8_t> AckReply() { return {0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76}; }

inline const I2cReply kNullReply{0, {0x6E, 0x80, 0xBE}, {}};
inline const I2cReply kAckReply{0, AckReply(), {}};

class FakeGfxLib final : public GfxLib {
public:
    // A hook answers a native transfer: it sets the status (0 unless it does) and fills the buffer read.
    using WriteHook = std::function<void(uint32_t address, std::span<const uint8_t> data, int32_t& result)>;
    using ReadHook = std::function<void(uint32_t address, std::span<uint8_t> buffer, int32_t& result)>;

    std::vector<FakeCall> calls;
    std::deque<I2cReply> i2cReplies;  // consumed one per I2cRead
    I2cReply i2cDefaultReply = kNullReply;
    int32_t i2cWriteResult = 0;
    int32_t findDeviceResult = 0;
    WriteHook onNativeWrite;
    ReadHook onNativeRead;

    int32_t Initialize(WText&) override { return 0; }
    int32_t FindDevice(uint32_t& deviceId, uint32_t, WText& log) override {
        deviceId = findDeviceResult == 0 ? 0x0C : 0;
        log = FormatW(u"  search: %d\r\n", {findDeviceResult});
        return findDeviceResult;
    }
    int32_t I2cWrite(uint32_t, uint32_t address, std::span<const uint8_t> data) override {
        calls.push_back({FakeCall::I2cWrite, address, {data.begin(), data.end()}});
        return i2cWriteResult;
    }
    int32_t I2cRead(uint32_t, uint32_t address, std::span<uint8_t> buffer, int32_t& count, WText& diagnostic) override {
        I2cReply reply = i2cDefaultReply;
        if (!i2cReplies.empty()) {
            reply = i2cReplies.front();
            i2cReplies.pop_front();
        }
        if (reply.status == 0) {
            count = static_cast<int32_t>(reply.bytes.size());
            std::copy_n(reply.bytes.begin(), std::min(reply.bytes.size(), buffer.size()), buffer.begin());
        }
        if (!reply.diagnostic.empty()) diagnostic = reply.diagnostic;
        calls.push_back({FakeCall::I2cRead, address, reply.bytes, buffer.size()});
        return reply.status;
    }
    int32_t NativeWrite(uint32_t, uint32_t address, std::span<const uint8_t> data) override {
        int32_t result = 0;
        Pass(onNativeWrite, address, data, result);
        calls.push_back({FakeCall::NativeWrite, address, {data.begin(), data.end()}});
        return result;
    }
    int32_t NativeRead(uint32_t, uint32_t address, std::span<uint8_t> buffer) override {
        int32_t result = 0;
        Pass(onNativeRead, address, buffer, result);
        calls.push_back({FakeCall::NativeRead, address, {buffer.begin(), buffer.end()}});
        return result;
    }

    // Calls of one kind, in order.
    std::vector<FakeCall> CallsOf(FakeCall::Kind kind) const {
        std::vector<FakeCall> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                     [kind](const FakeCall& c) { return c.kind == kind; });
        return out;
    }

    // The next `times` native writes at `address` end with `status`; others go on as before.
    void FailWritesAt(uint32_t address, int32_t status, int times = -1) {
        onNativeWrite = [=, next = onNativeWrite](uint32_t a, std::span<const uint8_t> d, int32_t& result) mutable {
            if (a != address || times == 0) return Pass(next, a, d, result);
            times -= times > 0;
            result = status;
        };
    }
    // Native reads that start within the `bytes` placed at `address` read them (0 beyond their
    // end); others go on as before.
    void ServeReadsAt(uint32_t address, std::vector<uint8_t> bytes) {
        onNativeRead = [=, next = onNativeRead](uint32_t a, std::span<uint8_t> buffer, int32_t& result) {
            if (a < address || a - address >= bytes.size()) return Pass(next, a, buffer, result);
            for (size_t i = 0, at = a - address; i < buffer.size(); ++i, ++at) buffer[i] = at < bytes.size() ? bytes[at] : 0;
        };
    }
    // Every native read at `address` ends with `status`; one that succeeds reads `value`.
    // Others go on as before.
    void AnswerReadsAt(uint32_t address, int32_t status, uint8_t value = 0) {
        onNativeRead = [=, next = onNativeRead](uint32_t a, std::span<uint8_t> buffer, int32_t& result) {
            if (a != address) return Pass(next, a, buffer, result);
            if (status == 0) buffer[0] = value;
            result = status;
        };
    }

private:
    static void Pass(const WriteHook& hook, uint32_t a, std::span<const uint8_t> data, int32_t& result) {
        if (hook) hook(a, data, result);
    }
    static void Pass(const ReadHook& hook, uint32_t a, std::span<uint8_t> buffer, int32_t& result) {
        if (hook) hook(a, buffer, result);
        else std::ranges::fill(buffer, 0);
    }
};

}  // namespace kdx::testing
