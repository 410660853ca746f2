#include "sim/trace.h"

#include <cinttypes>
#include <cstdio>

namespace kdx::sim {

bool TraceWriter::Open(const std::string& path, std::string& error) {
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_.is_open()) {
        error = "cannot write the trace file " + path;
        return false;
    }
    out_ << "time_us\tmethod\tdevice\tcommand\taddress\tlength\tstatus\tdata\n";
    return true;
}

void TraceWriter::BeginRun(uint32_t runIndex) {
    if (out_.is_open() && runIndex >= 2) out_ << "# run " << runIndex << '\n';
}

std::string TraceWriter::FormatLine(const TraceCall& call) {
    char head[128];
    std::snprintf(head, sizeof head, "%" PRId64 "\t%c\t0x%02X\t%u\t0x%X\t%u\t%u\t", call.timeUs, call.read ? 'R' : 'W',
                  call.deviceId, call.command, call.address, call.length, call.status);
    std::string line = head;
    static constexpr char kHex[] = "0123456789abcdef";
    for (uint8_t b : call.data) {
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
    }
    return line;
}

void TraceWriter::Write(const TraceCall& call) {
    if (out_.is_open()) out_ << FormatLine(call) << '\n';
}

void TraceWriter::Close() {
    if (out_.is_open()) out_.close();
}

}  // namespace kdx::sim
