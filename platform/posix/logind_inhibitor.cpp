#include "platform/posix/logind_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace kdx::platform {

namespace {

constexpr char kWhat[] = "sleep:shutdown:idle:handle-lid-switch";
constexpr char kWho[] = "kdx4610-update";
constexpr char kWhy[] = "Updating the HDMI converter firmware";
constexpr char kMode[] = "block";
// logind answers at once when it runs; a bus that does not answer must not hold the
// update up for sd-bus's default of 25 seconds.
constexpr uint64_t kCallTimeoutUs = 3'000'000;

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};

std::string ErrnoText(int negativeErrno) { return std::strerror(-negativeErrno); }

}  // namespace

bool LogindInhibitor::Take(std::string& reason) {
    Release();
    sd_bus* rawBus = nullptr;
    int r = sd_bus_open_system(&rawBus);
    std::unique_ptr<sd_bus, BusUnref> bus(rawBus);
    if (r < 0) {
        reason = "no system bus: " + ErrnoText(r);
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* rawReply = nullptr;
    sd_bus_message* rawCall = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &rawCall, "org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    std::unique_ptr<sd_bus_message, MessageUnref> call(rawCall);
    if (r >= 0) r = sd_bus_message_append(call.get(), "ssss", kWhat, kWho, kWhy, kMode);
    if (r >= 0) r = sd_bus_call(bus.get(), call.get(), kCallTimeoutUs, &error, &rawReply);
    std::unique_ptr<sd_bus_message, MessageUnref> reply(rawReply);
    if (r < 0) {
        reason = error.message != nullptr ? std::string(error.message) : "logind: " + ErrnoText(r);
        sd_bus_error_free(&error);
        return false;
    }
    int fd = -1;
    r = sd_bus_message_read(reply.get(), "h", &fd);
    // The descriptor belongs to the reply: the lock is a copy that outlives it.
    if (r < 0 || (fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) {
        reason = "logind's reply carried no lock";
        return false;
    }
    return true;
}

void LogindInhibitor::Release() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

}  // namespace kdx::platform
