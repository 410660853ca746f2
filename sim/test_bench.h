// A simulator on a virtual clock with small synthetic images, for tests and fuzz targets
// that speak to the simulated driver record by record.
#pragma once

#include <memory>
#include <string>

#include "platform/clock.h"
#include "sim/record_client.h"
#include "sim/simulator.h"

namespace kdx::sim {

// A 512 KiB Tarvik image of version 1.58 with a few blank 504-byte blocks, and an ISP
// driver image of 768 code bytes behind its 4-byte length header.
inline SimImages SmallImages() {
    SimImages images;
    images.firmware.resize(Flash::kSize);
    uint32_t state = 0x4610;
    for (uint8_t& b : images.firmware) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    for (size_t block : {3, 4, 200}) std::fill_n(images.firmware.begin() + static_cast<ptrdiff_t>(block * 504), 504, 0xFF);
    const size_t end = images.firmware.size();
    images.firmware[end - 20] = 0x3A;
    images.firmware[end - 19] = 0x01;
    images.firmware[end - 18] = 0x00;
    std::copy_n("TRVK", 4, images.firmware.begin() + static_cast<ptrdiff_t>(end - 16));
    images.firmware[end - 10] = 0xFF;
    images.ispDriver = {0x00, 0x03, 0x00, 0x00};
    for (int i = 0; i < 0x300; ++i) images.ispDriver.push_back(static_cast<uint8_t>(i * 7 + 3));
    return images;
}

struct TestBench {
    explicit TestBench(SimOptions opts = {}, SimImages imgs = SmallImages())
        : options(std::move(opts)), images(std::move(imgs)) {
        sim = Simulator::Create(options, images, clock, &clock, error);
        if (sim) sim->Connector().CreateInstance(driver);
    }
    RecordClient Client(uint32_t deviceId = 0x0C) { return RecordClient(*driver, deviceId); }

    SimOptions options;
    SimImages images;
    platform::VirtualClock clock;
    std::string error;
    std::unique_ptr<Simulator> sim;
    platform::DriverInterface* driver = nullptr;
};

}  // namespace kdx::sim
