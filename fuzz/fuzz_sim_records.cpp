// Arbitrary request records into the simulated driver, as a broken or hostile backend
// might send them: any command code, device ID, length, address and data, on either
// method, with time passing in between, optionally after the ISP driver has been started
// so that the mailbox is reachable. The simulator must answer every one of them with a
// status and never read or write outside its buffers.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "gfx/aux_request.h"
#include "sim/isp_mailbox.h"
#include "sim/test_bench.h"

namespace {

using namespace kdx::sim;

// Addresses where something answers, to which the fuzzer adds a small offset.
constexpr uint32_t kBases[] = {0x6E, 0x0, 0x40C, 0x503, IspMailbox::kWindowAddress, IspMailbox::kReplyBufferAddr,
                               IspMailbox::kCmdBufferAddr, IspMailbox::kCmdBufferAddr + 0xF8,
                               IspMailbox::kCmdBufferAddr + 0x1F8};

// Brings the chip into ISP mode and starts the downloaded driver, over plain records.
void StartIspDriver(TestBench& bench) {
    RecordClient c = bench.Client();
    std::vector<uint8_t> reply;
    const auto send = [&](uint8_t op, const std::vector<uint8_t>& args) {
        c.I2cWrite(RecordClient::Command(op, args));
        bench.clock.AdvanceUs(1000);
        c.I2cReadReply(reply);
    };
    send(0x09, {});
    send(0x20, {0x00});
    const std::vector<uint8_t> code = DriverCodeOf(bench.images.ispDriver);
    for (size_t at = 0; at < code.size(); at += 117) {
        std::vector<uint8_t> args{static_cast<uint8_t>((0x1800 + at) >> 8), static_cast<uint8_t>(0x1800 + at)};
        args.insert(args.end(), code.begin() + static_cast<ptrdiff_t>(at),
                    code.begin() + static_cast<ptrdiff_t>(std::min(code.size(), at + 117)));
        send(0x13, args);
    }
    send(0x1D, {0x18, 0x00});
    bench.clock.AdvanceUs(20'000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    SimOptions options;
    options.faults.cmdBufferSizeSet = data.ConsumeBool();
    options.faults.cmdBufferSize = data.ConsumeIntegral<uint16_t>();
    options.faults.flagStuckLow = data.ConsumeBool();
    options.faults.powerCutAtBlock = data.ConsumeIntegralInRange<uint32_t>(0, 3);
    if (data.ConsumeBool()) options.chaos = true, options.chaosSeed = data.ConsumeIntegral<uint8_t>(), options.chaosRate = 0.05;
    static const SimImages images = SmallImages();
    TestBench bench(options, images);
    if (!bench.sim || bench.driver == nullptr) return 0;
    if (data.ConsumeBool()) StartIspDriver(bench);

    while (data.remaining_bytes() > 0) {
        kdx::gfx::AuxRequest request;
        request.SetDeviceId(data.ConsumeIntegralInRange<uint32_t>(0x0B, 0x10));
        request.SetCommand(data.ConsumeIntegralInRange<uint32_t>(0, 15));
        request.SetLength(data.ConsumeIntegralInRange<uint32_t>(0, 20));
        const uint32_t base = kBases[data.ConsumeIntegralInRange<size_t>(0, std::size(kBases) - 1)];
        request.SetAddress(data.ConsumeBool() ? data.ConsumeIntegral<uint32_t>() : base + data.ConsumeIntegral<uint8_t>());
        const std::vector<uint8_t> payload = data.ConsumeBytes<uint8_t>(16);
        std::copy(payload.begin(), payload.end(), request.Data().begin());
        uint32_t status = 0;
        if (data.ConsumeBool()) bench.driver->CallRead(request.Record(), status);
        else bench.driver->CallWrite(request.Record(), status);
        bench.clock.AdvanceUs(data.ConsumeIntegralInRange<int64_t>(0, 2'000'000));
    }
    return 0;
}
