// Feeds arbitrary driver behaviour to the I2C read and the device search: every driver
// call takes its HRESULT, status word and the bytes it writes over the whole request
// record from the input. The caller's buffer is a heap block of exactly its capacity, so
// that the address sanitizer catches any byte read or written outside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "gfx/gfx_lib_intel_skylake.h"

namespace {

using kdx::platform::AuxRecord;

class InputDriver final : public kdx::platform::DriverInterface {
public:
    InputDriver(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    int32_t CallRead(AuxRecord& record, uint32_t& status) override { return Call(record, status); }
    int32_t CallWrite(AuxRecord& record, uint32_t& status) override { return Call(record, status); }
    void Release() override { ++releases; }

    int calls = 0;
    int releases = 0;

private:
    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

    int32_t Call(AuxRecord& record, uint32_t& status) {
        ++calls;
        const uint8_t control = Next();
        const int32_t hr = (control & 0x01) != 0 ? -1 : 0;
        switch ((control >> 1) & 0x07) {
            case 0: status = 0; break;
            case 1: status = 70; break;
            case 2: status = 5; break;
            case 3: break;  // the status word is left alone
            default:
                status = static_cast<uint32_t>(Next()) | static_cast<uint32_t>(Next()) << 8 |
                         static_cast<uint32_t>(Next()) << 16 | static_cast<uint32_t>(Next()) << 24;
        }
        // Data bytes, and sometimes a scribble over the rest of the record (length field
        // included): the backend must not take its sizes from what the driver left there.
        const size_t first = (control & 0x10) != 0 ? 0 : kdx::gfx::AuxRequest::kDataOffset;
        const size_t last = (control & 0x10) != 0 ? record.size() : first + kdx::gfx::AuxRequest::kDataSize;
        for (size_t i = first; i < last && at_ < size_; ++i) record[i] = Next();
        return hr;
    }

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class InputConnector final : public kdx::platform::DriverConnector {
public:
    explicit InputConnector(InputDriver& driver) : driver_(driver) {}
    int32_t CreateInstance(kdx::platform::DriverInterface*& out) override {
        out = &driver_;
        return 0;
    }

private:
    InputDriver& driver_;
};

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t capacity = data[0];
    const bool search = (data[1] & 1) != 0;
    InputDriver driver(data + 2, size - 2);
    InputConnector connector(driver);
    kdx::platform::VirtualClock clock;
    {
        kdx::GfxLibIntelSkylake gfx(connector, clock);
        kdx::WText log;
        Check(gfx.Initialize(log) == 0);
        if (search) {
            uint32_t deviceId = 0;
            const int32_t result = gfx.FindDevice(deviceId, 0x6E, log);
            Check(result == 0 || result == 2 || result == 5);
            Check(result == 0 ? deviceId >= 0x0C && deviceId <= 0x0F : deviceId == 0);
            // At most 4 probes of one write (a single piece) and 20 reads of at most
            // 1 header and 1 continuation transfer, each of at most 6 calls.
            Check(driver.calls <= 4 * (1 + 20 * 2) * 6);
        } else {
            std::vector<uint8_t> buffer(capacity);
            int32_t count = -1;
            const int32_t result = gfx.I2cRead(0x0C, 0x6E, buffer, count, log);
            if (result == 0) {
                Check(count >= 2 && count <= 130);
                Check(capacity >= 2 || count == 2);
            } else {
                Check(count == -1);
            }
            // One header and at most 8 continuation transfers of at most 6 calls each.
            Check(driver.calls <= 9 * 6);
        }
    }
    Check(driver.releases == 1);
    return 0;
}
