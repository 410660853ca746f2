// Misbehaviour of the simulated driver and chip, chosen with --fault NAME[=VALUE].
//
// Faults that count (defer=N, block-nak=K, power-cut-at-block=K, power-cut-at-erase)
// happen once per session, as an event on the one simulated chip; all others describe a
// lasting condition and hold in every run of the session.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kdx::sim {

// What the chip sends when a read runs past the end of its pending reply.
enum class OverRead { Ff, Nack, Defer };

struct Faults {
    // Driver and connections.
    bool noDriver = false;       // the driver's COM class is not registered
    bool noChip = false;         // no connection carries the chip
    bool notSupported = false;   // the first connection (0x0C) refuses I2C-over-AUX writes: status 5
    uint32_t deferCalls = 0;     // the first N driver calls of the session answer 70
    bool deferAlways = false;    // every driver call answers 70
    bool dpcdBlockFail = false;  // native reads of the branch block 0x503..0x50C fail
    // The Graphics Control Library.
    bool noControlLibrary = false;             // ControlLib.dll is not installed
    bool controlLibraryInitFails = false;      // ctlInit refuses
    bool controlLibraryNotAdmin = false;       // AUX writes refused: 0x40000006, not administrator
    bool controlLibraryOutputsShrink = false;  // the second output enumeration lists one fewer
    // Command port.
    bool badChecksum = false;     // every DDC/CI reply carries a wrong checksum
    bool regsUnreadable = false;  // register reads (0x06) are never answered
    bool dropAckEntry1 = false;   // 0x09 carried out, its acknowledgement not given
    bool dropAckEntry2 = false;   // 0x20 likewise
    bool dropAckStart = false;    // 0x1D likewise (the ISP driver still starts)
    uint32_t stopAckAtChunk = 0;  // from the N-th driver chunk of a download on: no ack, not stored
    // ISP driver mailbox.
    bool windowZero = false;            // DPCD 0x40C reads 00 00 00
    bool replySizeZero = false;         // the window descriptor's reply buffer size is 0
    bool cmdBufferSizeSet = false;      // the command buffer has cmdBufferSize bytes
    uint16_t cmdBufferSize = 0;
    bool flashIdTimeout = false;        // the identifier reply never has its byte 3 set
    bool flashIdBadCode = false;        // the identifier reply echoes a wrong code
    bool eraseNak = false;              // the erase is refused with a negative acknowledgement
    bool eraseTimeout = false;          // the erase does not finish within the host's patience
    uint32_t eraseMs = 0;               // when set, the erase takes this many milliseconds
    uint32_t blockNak = 0;              // the K-th block sent is answered negatively, not programmed
    bool flagStuckLow = false;          // the lower flag reads 0xFF whatever is written
    bool flagStuckHigh = false;         // the upper flag likewise
    bool readbackMismatch = false;      // ReadFlash answers with its first data byte changed
    uint32_t powerCutAtBlock = 0;       // the chip resets while programming the K-th block sent
    bool powerCutAtErase = false;       // the chip resets half way through the erase
    // Reads past the end of the pending reply, in a transaction opened by a bare address:
    // 0xFF bytes, or NACK or DEFER for that part.
    OverRead overRead = OverRead::Ff;
    bool dpcdRevSilentInIsp = false;  // the running ISP driver leaves DPCD 0x000 unanswered
    // The Linux kernel (--backend linux).
    bool noI2cDev = false;        // the module i2c-dev is not loaded: no /dev/i2c-N, no class i2c-dev
    bool nodesRootOnly = false;   // the nodes are root's and the program is not: EACCES on open
    uint32_t ebusyBurst = 0;      // the first N AUX transfers of each system call: EBUSY from i915
    uint32_t nackBurst = 0;       // from the first mailbox access on, N native transactions NACKed
    uint32_t i915Traffic = 0;     // after every N-th AUX transaction of ours, one access of i915's
};

// Parses one --fault argument into `faults`; false with `error` set when it is unknown or
// its value is missing or malformed.
bool ParseFault(std::string_view word, Faults& faults, std::string& error);

// One line per fault: its name, its value and what it does (for --list-faults).
std::string FaultList();

}  // namespace kdx::sim
