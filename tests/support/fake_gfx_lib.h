// A scriptable GfxLib for unit tests of the layers above the adapter: it records every
// call, answers I2C reads from a queue of scripted replies, and serves native reads and
// writes from a sparse DPCD memory, with hooks for tests that need more.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <vector>

#include "gfx/gfx_lib.h"
#include "sim/ddc_port.h"

namespace kdx::testing {

struct FakeCall {
    enum Kind { I2cWrite, I2cRead, NativeWrite, NativeRead } kind;
    uint32_t deviceId;
    uint32_t address;
    std::vector<uint8_t> data;  // bytes written, or bytes returned by a read
    int32_t result;
    size_t capacity = 0;  // of an I2C read: the buffer it was handed
};

struct I2cReply {
    int32_t status = 0;
    std::vector<uint8_t> bytes;  // the whole reply: address byte through checksum
    std::u16string diagnostic;
};

class FakeGfxLib final : public GfxLib {
public:
    std::vector<FakeCall> calls;
    std::deque<I2cReply> i2cReplies;        // consumed one per I2cRead
    I2cReply i2cDefaultReply{0, {0x6E, 0x80, 0xBE}, {}};  // the null message
    int32_t i2cWriteResult = 0;
    std::map<uint32_t, uint8_t> dpcd;       // native address space; unset bytes read 0
    // Optional overrides; return true when they handled the call.
    std::function<bool(uint32_t address, std::span<const uint8_t> data, int32_t& result)> onNativeWrite;
    std::function<bool(uint32_t address, std::span<uint8_t> buffer, int32_t& result)> onNativeRead;

    int32_t Initialize(WText&) override { return 0; }
    int32_t findDeviceResult = 0;
    int32_t FindDevice(uint32_t& deviceId, uint32_t, WText& log) override {
        deviceId = findDeviceResult == 0 ? 0x0C : 0;
        log = FormatW(u"  search: %d\r\n", {findDeviceResult});
        return findDeviceResult;
    }
    int32_t I2cWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) override {
        calls.push_back({FakeCall::I2cWrite, deviceId, address, {data.begin(), data.end()}, i2cWriteResult});
        return i2cWriteResult;
    }
    int32_t I2cRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer, int32_t& count,
                    WText& diagnostic) override {
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
        calls.push_back({FakeCall::I2cRead, deviceId, address, reply.bytes, reply.status, buffer.size()});
        return reply.status;
    }
    int32_t NativeWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) override {
        int32_t result = 0;
        if (!(onNativeWrite && onNativeWrite(address, data, result)) && result == 0) {
            for (size_t i = 0; i < data.size(); ++i) dpcd[address + static_cast<uint32_t>(i)] = data[i];
        }
        calls.push_back({FakeCall::NativeWrite, deviceId, address, {data.begin(), data.end()}, result});
        return result;
    }
    int32_t NativeRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer) override {
        int32_t result = 0;
        if (!(onNativeRead && onNativeRead(address, buffer, result)) && result == 0) {
            for (size_t i = 0; i < buffer.size(); ++i) {
                const auto it = dpcd.find(address + static_cast<uint32_t>(i));
                buffer[i] = it == dpcd.end() ? 0 : it->second;
            }
        }
        calls.push_back({FakeCall::NativeRead, deviceId, address, {buffer.begin(), buffer.end()}, result});
        return result;
    }

    // Calls of one kind, in order.
    std::vector<FakeCall> CallsOf(FakeCall::Kind kind) const {
        std::vector<FakeCall> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                     [kind](const FakeCall& c) { return c.kind == kind; });
        return out;
    }
};

// A reply frame as the chip sends it: 6E, 80|(k+5), C2 00 00, ll=k+3, op, payload,
// 0x50 XOR every byte before the checksum.
inline std::vector<uint8_t> ChipReply(uint8_t op, std::span<const uint8_t> payload) {
    return sim::DdcPort::Frame(0x6E, op, payload, 0x50);
}

inline std::vector<uint8_t> AckReply() { return {0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76}; }

}  // namespace kdx::testing
