// The trace file of kdx4610-sim: one tab-separated line per call of the driver's read or
// write method, deferred calls included, under the header line
//   time_us  method  device  command  address  length  status  data
// time_us: microseconds since the run began, at the call's start; method: R or W; device:
// the device ID as 0x0C; command: the record's command code in decimal; address: in hex
// (0x6E, 0x503); length: decimal; status: the driver status in decimal; data: lowercase hex
// without separators, the bytes sent for W, the bytes returned for R (empty when the
// status is not 0). With several runs, a line "# run N" precedes the lines of run N >= 2.
// Through the Linux kernel model a line is one AUX transaction on the wire: the request
// code with its MOT bit, the 7-bit I2C address 0x37, a bare address as length 0, and
// status 31 for a request without reply.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>

namespace kdx::sim {

struct TraceCall {
    int64_t timeUs = 0;
    bool read = false;
    uint32_t deviceId = 0;
    uint32_t command = 0;
    uint32_t address = 0;
    uint32_t length = 0;
    uint32_t status = 0;
    std::span<const uint8_t> data;
};

class TraceWriter {
public:
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return out_.is_open(); }
    void BeginRun(uint32_t runIndex);
    void Write(const TraceCall& call);
    void Close();

    // One line as Write puts it (without the line end).
    static std::string FormatLine(const TraceCall& call);

private:
    std::ofstream out_;
};

}  // namespace kdx::sim
