// Modelled durations of the simulated AUX channel, chip and flash. With a VirtualClock the
// simulator moves time on by these amounts; with the real clock only the chip's own
// latencies count, measured against real elapsed time.
#pragma once

#include <cstdint>

namespace kdx::sim {

inline constexpr int64_t kNsPerUs = 1'000;
inline constexpr int64_t kNsPerMs = 1'000'000;

// --- AUX channel --------------------------------------------------------------------
// The AUX channel runs at 1 Mbit/s with Manchester-II coding: one bit time is 1 us.
inline constexpr int64_t kAuxBitTimeNs = 1 * kNsPerUs;
// A request carries 66 bit times of framing besides its data: 10 precharge zeros, a
// 20-bit sync pattern (16 zeros and the 4-bit end pattern), the 4-bit command, the 20-bit
// address, the 8-bit length and the 4-bit stop pattern.
inline constexpr int64_t kAuxRequestFramingBits = 10 + 20 + 4 + 20 + 8 + 4;
// A reply carries 42: precharge 10, sync 20, the 4-bit reply command with 4 padding bits,
// and the stop pattern.
inline constexpr int64_t kAuxReplyFramingBits = 10 + 20 + 4 + 4 + 4;
// Every data byte, in the request (writes) or in the reply (reads): 8 bit times. A
// 16-byte transfer thus takes 66 + 42 + 128 = 236 us on the wire.
inline constexpr int64_t kAuxBitsPerDataByte = 8;
// What one call of the driver's read or write method costs besides the wire: the COM call,
// the escape into the kernel-mode driver and the programming of the AUX engine. A few
// tens of microseconds is what such a round trip through a display driver takes.
inline constexpr int64_t kDriverCallCostNs = 40 * kNsPerUs;

// The graphics engine waits this long for a reply before it reports a timeout: the longest
// setting of the AUX controller, the one i915 programs on Skylake and later.
inline constexpr int64_t kAuxReplyTimeoutNs = 1'600 * kNsPerUs;

// --- Linux kernel (the model behind --backend linux) -------------------------------------
// One system call (open, pread, pwrite, ioctl, close) into the kernel and back.
inline constexpr int64_t kSyscallCostNs = 2 * kNsPerUs;
// What one AUX transfer costs i915 besides the wire: loading the data registers, starting
// the engine and waking up on its done interrupt.
inline constexpr int64_t kKernelTransferCostNs = 10 * kNsPerUs;
// usleep_range(500, 600) between the DRM helpers' tries: the timer fires at the start of
// the range on an idle machine.
inline constexpr int64_t kKernelRetrySleepNs = 500 * kNsPerUs;
// i915 waits for a busy AUX engine three times with msleep(1) before it answers EBUSY.
inline constexpr int64_t kKernelBusyWaitNs = 3 * kNsPerMs;

// --- Chip, command port -----------------------------------------------------------------
// The chip's firmware serves its DDC/CI buffer from its main loop: a reply is ready about
// a millisecond after the command's last byte.
inline constexpr int64_t kCommandReplyLatencyNs = 1 * kNsPerMs;
// Storing an ISP driver chunk into on-chip RAM is quicker: the loader copies up to 117
// bytes and acknowledges at once, before the host's first poll.
inline constexpr int64_t kChunkStoreLatencyNs = 150 * kNsPerUs;
// From the start command until the ISP driver has set up its DPCD window.
inline constexpr int64_t kIspDriverStartupNs = 20 * kNsPerMs;

// --- ISP driver and flash -----------------------------------------------------------------
// The ISP driver polls its mailbox in a tight loop: it picks a request or a flag up within
// a few tens of microseconds.
inline constexpr int64_t kMailboxPickupNs = 30 * kNsPerUs;
// Reading the flash's identifier or a few bytes of it over the chip's SPI bus.
inline constexpr int64_t kFlashCommandNs = 100 * kNsPerUs;
// Whole-chip erase of a 4 Mbit serial NOR flash: such parts list about 1 s typical
// (several seconds worst case). The host allows 250 ms + 150 polls of 50 ms.
inline constexpr int64_t kChipEraseNs = 1'000 * kNsPerMs;
// An erase that never finishes within the host's patience (the erase-timeout fault).
inline constexpr int64_t kStuckEraseNs = 60'000 * kNsPerMs;
// Page program of the same parts: about 0.7 ms typical per 256-byte page; a 504-byte
// block touches two or three pages.
inline constexpr int64_t kPageProgramNs = 700 * kNsPerUs;
inline constexpr uint32_t kFlashPageSize = 256;
// The ISP driver's CRC check of a block on the chip's 8-bit-wide processor core.
inline constexpr int64_t kCrcPerByteNs = 1 * kNsPerUs;
// After acknowledging EndIsp the driver waits for the host to release the reply before it
// resets the chip into normal operation; the host looks only after 250 ms, so the driver
// waits up to a second.
inline constexpr int64_t kEndIspReleaseWaitNs = 1'000 * kNsPerMs;
// Once the host has released the reply, the driver resets the chip a moment later.
inline constexpr int64_t kEndIspResetDelayNs = 1 * kNsPerMs;

// Between two runs of the updater (the program ends, the user starts it again).
inline constexpr int64_t kBetweenRunsNs = 1'000 * kNsPerMs;

// Duration of one elementary AUX transfer on the wire.
constexpr int64_t AuxWireTimeNs(uint32_t dataBytes) {
    return (kAuxRequestFramingBits + kAuxReplyFramingBits + kAuxBitsPerDataByte * dataBytes) * kAuxBitTimeNs;
}

// A request that gets no reply: the request itself (with a write's data), then the wait.
constexpr int64_t AuxTimedOutWireNs(uint32_t requestDataBytes) {
    return (kAuxRequestFramingBits + kAuxBitsPerDataByte * requestDataBytes) * kAuxBitTimeNs + kAuxReplyTimeoutNs;
}

}  // namespace kdx::sim
