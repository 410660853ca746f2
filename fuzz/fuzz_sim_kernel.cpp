// Arbitrary system calls into the simulated Linux kernel, as a broken Linux program (or a
// test library handing over whatever the program calls) might make them: any node path,
// descriptor, offset and length, I2C_RDWR with any number of messages of any length and
// address, the sysfs walk with any path, with chaos and time passing in between. The model
// must answer each with a count or an errno, never touch bytes outside the caller's
// buffers, and hand read data back only when a transfer succeeded.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/test_bench.h"

namespace {

using namespace kdx::sim;

constexpr const char* kPaths[] = {"/dev/drm_dp_aux0", "/dev/drm_dp_aux1", "/dev/i2c-5", "/dev/i2c-6", "/dev/i2c-0",
                                  "/dev/i2c-9", "/sys/class/i2c-dev/i2c-5/device/../drm_dp_aux0/name",
                                  "/sys/class/drm_dp_aux_dev", "/sys/class/drm_dp_aux_dev/drm_dp_aux0/device"};
constexpr uint32_t kOffsets[] = {0x0, 0x503, 0xFF8, 0x40C, 0x10000, 0x20000, 0x30000, 0xFFFF8};
constexpr uint8_t kGuard = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    SimOptions options;
    options.chaos = data.ConsumeBool();
    options.chaosSeed = data.ConsumeIntegral<uint8_t>();
    options.chaosRate = 0.05;
    options.faults.overRead = static_cast<OverRead>(data.ConsumeIntegralInRange<int>(0, 2));
    options.faults.i915Traffic = data.ConsumeIntegralInRange<uint32_t>(0, 4);
    options.faults.ebusyBurst = data.ConsumeIntegralInRange<uint32_t>(0, 3);
    static const SimImages images = SmallImages();
    TestBench bench(options, images);
    if (!bench.sim) return 0;
    kdx::platform::DpAuxSystem& kernel = bench.sim->DpAux();
    std::vector<int> fds{-1, 99};

    for (int step = 0; step < 24 && data.remaining_bytes() > 0; ++step) {
        const auto path = [&] {
            return data.ConsumeBool() ? std::string(kPaths[data.ConsumeIntegralInRange<size_t>(0, std::size(kPaths) - 1)])
                                      : data.ConsumeRandomLengthString(48);
        };
        const int fd = fds[data.ConsumeIntegralInRange<size_t>(0, fds.size() - 1)];
        const uint32_t offset =
            kOffsets[data.ConsumeIntegralInRange<size_t>(0, std::size(kOffsets) - 1)] + data.ConsumeIntegral<uint8_t>();
        switch (data.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: fds.push_back(kernel.Open(path())); break;
            case 1: kernel.Close(fd); break;
            case 2: {
                std::vector<uint8_t> buffer(data.ConsumeIntegralInRange<size_t>(0, 40) + 2, kGuard);
                const int64_t n = kernel.Pread(fd, std::span(buffer).subspan(1, buffer.size() - 2), offset);
                if (n > static_cast<int64_t>(buffer.size() - 2) || buffer.front() != kGuard || buffer.back() != kGuard)
                    __builtin_trap();
                break;
            }
            case 3: {
                const std::vector<uint8_t> bytesOut = data.ConsumeBytes<uint8_t>(data.ConsumeIntegralInRange<size_t>(0, 40));
                if (kernel.Pwrite(fd, bytesOut, offset) > static_cast<int64_t>(bytesOut.size())) __builtin_trap();
                break;
            }
            case 4: {
                const size_t count = data.ConsumeIntegralInRange<size_t>(0, 4);
                std::vector<std::vector<uint8_t>> buffers;
                std::vector<kdx::platform::I2cMessage> messages;
                for (size_t i = 0; i < count; ++i)
                    buffers.emplace_back(data.ConsumeIntegralInRange<size_t>(0, 300) + 2, kGuard);
                for (auto& b : buffers)
                    messages.push_back({data.ConsumeIntegralInRange<uint16_t>(0x36, 0x38), data.ConsumeBool(),
                                        std::span(b).subspan(1, b.size() - 2)});
                const int result = kernel.I2cTransfer(fd, messages);
                for (size_t i = 0; i < count; ++i) {
                    const auto& b = buffers[i];
                    if (b.front() != kGuard || b.back() != kGuard) __builtin_trap();
                    // A read message that failed keeps what the caller put there.
                    if (result < 0 && messages[i].read &&
                        std::any_of(b.begin(), b.end(), [](uint8_t x) { return x != kGuard; }))
                        __builtin_trap();
                }
                break;
            }
            case 5: (void)kernel.ListDirectory(path()); break;
            case 6: (void)kernel.ResolvePath(path()); (void)kernel.ReadAttribute(path()); break;
            default: bench.clock.AdvanceUs(data.ConsumeIntegralInRange<uint32_t>(0, 5000)); break;
        }
    }
    return 0;
}
