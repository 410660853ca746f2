// What the operating system is told while the ISP procedure runs: from the first ISP
// command until EndIsp has gone out, the chip's flash may be half written, so the machine
// must not sleep or shut down and the program must not be stopped. Each platform's front
// end fills this in (power requests, shutdown reasons, held signals, taskbar state); the
// procedure only marks where the span begins and ends.
#pragma once

namespace kdx::platform {

class IspGuard {
public:
    virtual ~IspGuard() = default;
    // Before the first ISP command.
    virtual void Begin() = 0;
    // After EndIsp, whatever the outcome; `success` is whether the flash now holds the image.
    virtual void End(bool success) = 0;
};

}  // namespace kdx::platform
