#include "sim/faults.h"

#include <charconv>

namespace kdx::sim {

namespace {

enum class ValueKind { None, Count, Choice };

struct FaultEntry {
    const char* name;
    ValueKind kind;
    const char* value;  // how the value is written, for the list
    const char* what;
};

constexpr FaultEntry kFaults[] = {
    {"no-driver", ValueKind::None, "", "the driver's COM class is not registered: creating the interface fails"},
    {"no-chip", ValueKind::None, "", "no connection carries the chip"},
    {"not-supported", ValueKind::None, "", "connection 0x0C answers status 5 to I2C-over-AUX writes"},
    {"defer", ValueKind::Count, "N", "the first N driver calls of the session answer status 70"},
    {"defer-always", ValueKind::None, "", "every driver call answers status 70"},
    {"dpcd-block-fail", ValueKind::None, "", "native reads of DPCD 0x503..0x50C fail"},
    {"no-controllib", ValueKind::None, "", "the Control Library (ControlLib.dll) is not installed"},
    {"controllib-init-fails", ValueKind::None, "", "ctlInit refuses with 0x40010001"},
    {"controllib-not-admin", ValueKind::None, "",
     "the Control Library refuses AUX writes with 0x40000006, as for a program not run as administrator"},
    {"controllib-outputs-shrink", ValueKind::None, "",
     "the second display output enumeration lists three outputs, the first said four"},
    {"bad-checksum", ValueKind::None, "", "every DDC/CI reply carries a wrong checksum"},
    {"regs-unreadable", ValueKind::None, "", "register reads (0x06) are never answered"},
    {"drop-ack", ValueKind::Choice, "entry1|entry2|start",
     "the ISP entry command 0x09, 0x20 or the start 0x1D is carried out but not acknowledged"},
    {"stop-ack-at-chunk", ValueKind::Count, "N",
     "from the N-th ISP driver chunk of a download on, chunks are neither stored nor acknowledged"},
    {"window-zero", ValueKind::None, "", "DPCD 0x40C reads 00 00 00 while the ISP driver runs"},
    {"reply-size-zero", ValueKind::None, "", "the window descriptor gives a reply buffer size of 0"},
    {"cmd-buffer-size", ValueKind::Count, "N", "the ISP driver's command buffer has N bytes (0..65535)"},
    {"flash-id-timeout", ValueKind::None, "", "the flash identifier reply never becomes ready (byte 3 is 0)"},
    {"flash-id-bad-code", ValueKind::None, "", "the flash identifier reply echoes 0x1D instead of 0x1C"},
    {"erase-nak", ValueKind::None, "", "the erase request is refused with a negative acknowledgement"},
    {"erase-timeout", ValueKind::None, "", "the erase takes 60 s, longer than the host waits"},
    {"erase-ms", ValueKind::Count, "N", "the erase takes N ms instead of 1 s (a faster or slower flash part)"},
    {"block-nak", ValueKind::Count, "K", "the K-th block sent gets a negative acknowledgement and is not programmed"},
    {"flag-stuck", ValueKind::Choice, "low|high", "the lower or upper command buffer flag reads 0xFF whatever is written"},
    {"readback-mismatch", ValueKind::None, "", "ReadFlash answers with its first data byte changed"},
    {"power-cut-at-block", ValueKind::Count, "K", "the chip resets half way through programming the K-th block sent"},
    {"power-cut-at-erase", ValueKind::None, "", "the chip resets half way through the erase"},
    {"over-read", ValueKind::Choice, "ff|nack|defer",
     "in the kernel's framing, a read past the end of the chip's reply gets 0xFF bytes (the default), or the "
     "part past the end is NACKed, or DEFERred for ever"},
    {"dpcd0-silent-isp", ValueKind::None, "",
     "the running ISP driver leaves DPCD 0x000 unanswered: the kernel's probe read before every native read times out"},
    {"no-i2c-dev", ValueKind::None, "", "Linux: the module i2c-dev is not loaded, no /dev/i2c-N nodes"},
    {"nodes-root-only", ValueKind::None, "", "Linux: the AUX and I2C nodes are root's: open fails with EACCES"},
    {"ebusy-burst", ValueKind::Count, "N", "Linux: the first N AUX transfers of every system call end with EBUSY"},
    {"nack-burst", ValueKind::Count, "N",
     "Linux: from the first access of the ISP mailbox on, N native AUX transactions are NACKed"},
    {"i915-traffic", ValueKind::Count, "N",
     "Linux: after every N-th AUX transaction of the updater i915 reads DPCD 0x000 or 0x500-0x50B, or writes 0x516"},
};

bool ParseCount(std::string_view text, uint32_t& out) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool Apply(std::string_view name, std::string_view value, uint32_t count, Faults& f) {
    if (name == "no-driver") f.noDriver = true;
    else if (name == "no-chip") f.noChip = true;
    else if (name == "not-supported") f.notSupported = true;
    else if (name == "defer") f.deferCalls = count;
    else if (name == "defer-always") f.deferAlways = true;
    else if (name == "dpcd-block-fail") f.dpcdBlockFail = true;
    else if (name == "no-controllib") f.noControlLibrary = true;
    else if (name == "controllib-init-fails") f.controlLibraryInitFails = true;
    else if (name == "controllib-not-admin") f.controlLibraryNotAdmin = true;
    else if (name == "controllib-outputs-shrink") f.controlLibraryOutputsShrink = true;
    else if (name == "bad-checksum") f.badChecksum = true;
    else if (name == "regs-unreadable") f.regsUnreadable = true;
    else if (name == "drop-ack") {
        if (value == "entry1") f.dropAckEntry1 = true;
        else if (value == "entry2") f.dropAckEntry2 = true;
        else if (value == "start") f.dropAckStart = true;
        else return false;
    } else if (name == "stop-ack-at-chunk") f.stopAckAtChunk = count;
    else if (name == "window-zero") f.windowZero = true;
    else if (name == "reply-size-zero") f.replySizeZero = true;
    else if (name == "cmd-buffer-size") {
        if (count > 0xFFFF) return false;
        f.cmdBufferSizeSet = true;
        f.cmdBufferSize = static_cast<uint16_t>(count);
    } else if (name == "flash-id-timeout") f.flashIdTimeout = true;
    else if (name == "flash-id-bad-code") f.flashIdBadCode = true;
    else if (name == "erase-nak") f.eraseNak = true;
    else if (name == "erase-timeout") f.eraseTimeout = true;
    else if (name == "erase-ms") f.eraseMs = count;
    else if (name == "block-nak") f.blockNak = count;
    else if (name == "flag-stuck") {
        if (value == "low") f.flagStuckLow = true;
        else if (value == "high") f.flagStuckHigh = true;
        else return false;
    } else if (name == "readback-mismatch") f.readbackMismatch = true;
    else if (name == "power-cut-at-block") f.powerCutAtBlock = count;
    else if (name == "power-cut-at-erase") f.powerCutAtErase = true;
    else if (name == "over-read") {
        if (value == "ff") f.overRead = OverRead::Ff;
        else if (value == "nack") f.overRead = OverRead::Nack;
        else if (value == "defer") f.overRead = OverRead::Defer;
        else return false;
    } else if (name == "dpcd0-silent-isp") f.dpcdRevSilentInIsp = true;
    else if (name == "no-i2c-dev") f.noI2cDev = true;
    else if (name == "nodes-root-only") f.nodesRootOnly = true;
    else if (name == "ebusy-burst") f.ebusyBurst = count;
    else if (name == "nack-burst") f.nackBurst = count;
    else if (name == "i915-traffic") f.i915Traffic = count;
    else return false;
    return true;
}

}  // namespace

bool ParseFault(std::string_view word, Faults& faults, std::string& error) {
    const size_t eq = word.find('=');
    const std::string_view name = word.substr(0, eq);
    const bool hasValue = eq != std::string_view::npos;
    const std::string_view value = hasValue ? word.substr(eq + 1) : std::string_view();
    for (const FaultEntry& entry : kFaults) {
        if (name != entry.name) continue;
        uint32_t count = 0;
        const bool valueOk = entry.kind == ValueKind::None    ? !hasValue
                             : entry.kind == ValueKind::Count ? ParseCount(value, count) && (count > 0 || name == "cmd-buffer-size")
                                                              : hasValue;
        if (valueOk && Apply(name, value, count, faults)) return true;
        error = "fault " + std::string(name) +
                (entry.kind == ValueKind::None ? " takes no value" : " needs =" + std::string(entry.value));
        return false;
    }
    error = "unknown fault '" + std::string(name) + "' (--list-faults lists them)";
    return false;
}

std::string FaultList() {
    std::string out;
    for (const FaultEntry& entry : kFaults) {
        std::string head = entry.name;
        if (entry.kind != ValueKind::None) head += std::string("=") + entry.value;
        out += "  " + head;
        out += std::string(head.size() < 28 ? 28 - head.size() : 1, ' ');
        out += entry.what;
        out += '\n';
    }
    return out;
}

}  // namespace kdx::sim
