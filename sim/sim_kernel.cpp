#include "sim/sim_kernel.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "gfx/gfx_lib.h"
#include "sim/chip.h"
#include "sim/options.h"
#include "sim/timing.h"

namespace kdx::sim {

namespace errno_ = platform::linux_errno;

namespace {

// errno values the model gives besides the shared ones (x86-64 numbers).
constexpr int kBadDescriptor = 9;    // EBADF
constexpr int kNotTty = 25;          // ENOTTY: drm_dp_aux_dev has no ioctl
constexpr int kIllegalSeek = 29;     // ESPIPE: i2c-dev cannot seek, so pread/pwrite fail

constexpr uint32_t kMot = 4;  // the middle-of-transaction bit of an I2C request code
constexpr uint32_t kDpcdRev = 0x000;

// What i915 does on the channel at detect, resume and modeset.
constexpr uint32_t kReceiverCapSize = 15;  // DPCD 0x000..0x00E
constexpr uint32_t kBranchOui = 0x500;     // the branch descriptor 0x500..0x50B
constexpr uint32_t kBranchDescSize = 12;
constexpr uint32_t kInfoFrameAddress = 0x516;  // an LSPCON's AVI infoframe, 0x516..0x51E
constexpr std::array<uint8_t, 9> kInfoFrame{0x82, 0x02, 0x0D, 0x00, 0x10, 0x08, 0x00, 0x00, 0x00};

// i915 sleeps 400..500 us after a receive error before it tries again.
constexpr int64_t kReceiveErrorSleepNs = 400 * kNsPerUs;

constexpr char kDevRoot[] = "/dev/";
constexpr char kAuxNode[] = "drm_dp_aux";
constexpr char kI2cNode[] = "i2c-";
constexpr char kCard[] = "/sys/devices/pci0000:00/0000:00:02.0/drm/card0";
constexpr char kGpu[] = "/sys/devices/pci0000:00/0000:00:02.0";
// The adapters below the first DP AUX adapter are i915's GMBUS pins, children of the GPU.
constexpr std::array<const char*, 5> kGmbusNames{"i915 gmbus ssc", "i915 gmbus vga", "i915 gmbus panel",
                                                "i915 gmbus dpc", "i915 gmbus dpb"};

bool IsI2cCommand(uint32_t command) { return command < gfx::kNativeWrite; }
bool IsReadCommand(uint32_t command) { return (command & 1) != 0; }

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A node's number as the kernel names it: decimal without leading zeros.
std::optional<unsigned> Number(std::string_view text) {
    if (text.size() > 1 && text[0] == '0') return std::nullopt;
    unsigned n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

// drm_dp_i2c_retry_count: the I2C bus time of the message at the assumed bus speed over
// the AUX time of one try and the pause after it, rounded up.
int I2cRetryCount(size_t size) {
    constexpr int kRequestBits = 10 + 20 + 4 + 4 + 20 + 8;
    constexpr int kReplyBits = 10 + 20 + 4 + 4 + 4;
    constexpr int kI2cFrameBits = 1 + 9 + 1;  // start, address with acknowledge, stop
    constexpr int kI2cDataBits = 9;
    // A read's data ride in the reply, a write's in the request: the sum is the same.
    const int data = static_cast<int>(size) * 8;
    const int auxUs = kRequestBits + kReplyBits + data;
    const int i2cUs = ((kI2cFrameBits + static_cast<int>(size) * kI2cDataBits) * 1000 + SimKernel::kAssumedI2cKhz - 1) /
                      SimKernel::kAssumedI2cKhz;
    const int perTry = auxUs + static_cast<int>(kKernelRetrySleepNs / kNsPerUs);
    return (i2cUs + perTry - 1) / perTry;
}

}  // namespace

SimKernel::SimKernel(SimDriver& wire, SimClock& clock, const Faults& faults, uint32_t chipDeviceId)
    : wire_(wire), clock_(clock), faults_(faults), chipDeviceId_(chipDeviceId) {
    BuildSysfs();
}

// --- sysfs ---------------------------------------------------------------------------------

std::string SimKernel::ConnectorPath(uint32_t connector) {
    return std::string(kCard) + "/card0-DP-" + std::to_string(connector + 1);
}

void SimKernel::AddDirectory(const std::string& path) {
    for (std::string p = path; p != "/" && directories_.insert(p).second; p = Parent(p)) {
    }
}

void SimKernel::AddLink(const std::string& path, const std::string& target) {
    AddDirectory(Parent(path));
    links_[path] = target;
}

void SimKernel::AddAttribute(const std::string& path, const std::string& content) {
    AddDirectory(Parent(path));
    attributes_[path] = content + "\n";
}

// The tree as Linux 6.1 lays it out for i915: each DP connector has its AUX device and its
// I2C adapter as children; the class directories hold links to the class devices, whose
// `device` links name their parents.
void SimKernel::BuildSysfs() {
    AddDirectory("/sys/class/drm_dp_aux_dev");
    AddAttribute(std::string(kCard) + "/dev", "226:0");
    // A class device as the driver core lays it out: its attributes, links to its parent
    // and its class, and the class directory's link to it.
    const auto addClassDevice = [this](const std::string& path, const std::string& className, const std::string& name,
                                       const std::string& dev, const std::string& parent) {
        AddAttribute(path + "/name", name);
        AddAttribute(path + "/dev", dev);
        AddLink(path + "/device", parent);
        AddLink(path + "/subsystem", "/sys/class/" + className);
        AddLink("/sys/class/" + className + "/" + path.substr(path.find_last_of('/') + 1), path);
    };
    const auto addAdapter = [&](const std::string& parent, unsigned number, const std::string& name) {
        const std::string adapter = parent + "/i2c-" + std::to_string(number);
        AddAttribute(adapter + "/name", name);
        AddLink("/sys/bus/i2c/devices/i2c-" + std::to_string(number), adapter);
        if (faults_.noI2cDev) return;
        addClassDevice(adapter + "/i2c-dev/i2c-" + std::to_string(number), "i2c-dev", name,
                       "89:" + std::to_string(number), adapter);
    };
    for (unsigned g = 0; g < kGmbusNames.size(); ++g) addAdapter(kGpu, g, kGmbusNames[g]);
    for (uint32_t k = 0; k < kConnectorCount; ++k) {
        const std::string connector = ConnectorPath(k);
        const char port = static_cast<char>('B' + k);
        const std::string name = std::string("AUX ") + port + "/DDI " + port + "/PHY " + port;
        AddAttribute(connector + "/status", k + kFirstDeviceId == chipDeviceId_ ? "connected" : "disconnected");
        AddLink(connector + "/device", kCard);
        addClassDevice(connector + "/drm_dp_aux" + std::to_string(k), "drm_dp_aux_dev", name,
                       "237:" + std::to_string(k), connector);
        addAdapter(connector, kFirstI2cAdapter + k, name);
    }
}

std::optional<std::string> SimKernel::ResolvePath(const std::string& path) {
    if (path.empty() || path[0] != '/') return std::nullopt;
    constexpr int kMaxLinks = 40;  // the kernel's ELOOP limit
    std::string current;
    size_t pos = 1;
    while (pos <= path.size()) {
        const size_t slash = std::min(path.find('/', pos), path.size());
        const std::string component = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            current = current.empty() ? current : Parent(current);
            if (current == "/") current.clear();
            continue;
        }
        std::string next = current + "/" + component;
        for (int hops = 0; links_.count(next) != 0; ++hops) {
            if (hops == kMaxLinks) return std::nullopt;
            next = links_.at(next);
        }
        if (directories_.count(next) == 0 && attributes_.count(next) == 0) return std::nullopt;
        current = next;
    }
    return current.empty() ? std::string("/") : current;
}

std::vector<std::string> SimKernel::ListDirectory(const std::string& path) {
    const auto dir = ResolvePath(path);
    if (!dir || directories_.count(*dir) == 0) return {};
    std::set<std::string> names;
    const std::string prefix = *dir == "/" ? "/" : *dir + "/";
    const auto collect = [&](const std::string& entry) {
        if (entry.size() > prefix.size() && entry.compare(0, prefix.size(), prefix) == 0 &&
            entry.find('/', prefix.size()) == std::string::npos)
            names.insert(entry.substr(prefix.size()));
    };
    for (const std::string& d : directories_) collect(d);
    for (const auto& [link, target] : links_) collect(link);
    for (const auto& [attribute, content] : attributes_) collect(attribute);
    // sysfs lists in no promised order: the model lists backwards, so that nothing comes to
    // rely on the numbers' order.
    return {names.rbegin(), names.rend()};
}

std::optional<std::string> SimKernel::ReadAttribute(const std::string& path) {
    const auto resolved = ResolvePath(path);
    if (!resolved) return std::nullopt;
    const auto found = attributes_.find(*resolved);
    if (found == attributes_.end()) return std::nullopt;
    return found->second.substr(0, found->second.find('\n'));
}

std::string SimKernel::ErrorText(int error) {
    switch (error) {
        case errno_::kPermission: return "Operation not permitted";
        case errno_::kNoEntry: return "No such file or directory";
        case errno_::kIo: return "Input/output error";
        case errno_::kNoDeviceOrAddress: return "No such device or address";
        case kBadDescriptor: return "Bad file descriptor";
        case errno_::kAgain: return "Resource temporarily unavailable";
        case errno_::kAccess: return "Permission denied";
        case errno_::kBusy: return "Device or resource busy";
        case errno_::kNoDevice: return "No such device";
        case errno_::kInvalid: return "Invalid argument";
        case kNotTty: return "Inappropriate ioctl for device";
        case kIllegalSeek: return "Illegal seek";
        case errno_::kProtocol: return "Protocol error";
        case errno_::kTimedOut: return "Connection timed out";
        case errno_::kRemoteIo: return "Remote I/O error";
        default: return "Unknown error " + std::to_string(error);
    }
}

// --- Device nodes --------------------------------------------------------------------------

void SimKernel::BeginSystemCall() {
    clock_.Spend(kSyscallCostNs);
    busyLeft_ = faults_.ebusyBurst;
}

int SimKernel::Open(const std::string& path) {
    BeginSystemCall();
    if (path.compare(0, sizeof kDevRoot - 1, kDevRoot) != 0) return -errno_::kNoEntry;
    const std::string_view name = std::string_view(path).substr(sizeof kDevRoot - 1);
    Node node;
    if (name.substr(0, sizeof kAuxNode - 1) == kAuxNode) {
        const auto n = Number(name.substr(sizeof kAuxNode - 1));
        if (!n || *n >= kConnectorCount) return -errno_::kNoEntry;
        node = {true, *n};
    } else if (name.substr(0, sizeof kI2cNode - 1) == kI2cNode) {
        const auto n = Number(name.substr(sizeof kI2cNode - 1));
        if (!n || *n >= kFirstI2cAdapter + kConnectorCount || faults_.noI2cDev) return -errno_::kNoEntry;
        // A GMBUS adapter opens too; it leads to no AUX channel (connector past the four).
        node = {false, *n >= kFirstI2cAdapter ? *n - kFirstI2cAdapter : kConnectorCount};
    } else {
        return -errno_::kNoEntry;
    }
    if (faults_.nodesRootOnly) return -errno_::kAccess;
    const int fd = nextFd_++;
    open_[fd] = node;
    return fd;
}

void SimKernel::Close(int fd) {
    BeginSystemCall();
    open_.erase(fd);
}

const SimKernel::Node* SimKernel::NodeOf(int fd) const {
    const auto found = open_.find(fd);
    return found == open_.end() ? nullptr : &found->second;
}

// auxdev_read_iter and auxdev_write_iter: pieces of at most 16 bytes until the first
// failure; a failure after some pieces leaves the count carried.
int64_t SimKernel::InPieces(int fd, size_t size, uint32_t offset, const PieceAccess& access) {
    BeginSystemCall();
    const Node* node = NodeOf(fd);
    if (node == nullptr) return -kBadDescriptor;
    if (!node->aux) return -kIllegalSeek;
    if (offset >= kAuxMaxOffset) return 0;
    size = std::min<size_t>(size, kAuxMaxOffset - offset);
    size_t done = 0;
    int64_t result = 0;
    while (done < size) {
        result = access(node->connector, offset + static_cast<uint32_t>(done), done,
                        std::min<size_t>(kMaxPayload, size - done));
        if (result <= 0) break;
        done += static_cast<size_t>(result);
    }
    return done > 0 ? static_cast<int64_t>(done) : result;
}

int64_t SimKernel::Pread(int fd, std::span<uint8_t> out, uint32_t offset) {
    return InPieces(fd, out.size(), offset, [this, out](uint32_t connector, uint32_t at, size_t done, size_t length) {
        return DpcdRead(connector, at, out.subspan(done, length), true);
    });
}

int64_t SimKernel::Pwrite(int fd, std::span<const uint8_t> data, uint32_t offset) {
    return InPieces(fd, data.size(), offset, [this, data](uint32_t connector, uint32_t at, size_t done, size_t length) {
        // The kernel copies each piece in before it goes out.
        std::array<uint8_t, kMaxPayload> piece{};
        std::copy_n(data.begin() + static_cast<ptrdiff_t>(done), length, piece.begin());
        return DpcdWrite(connector, at, std::span(piece).first(length), true);
    });
}

// i2cdev_ioctl_rdwr: the limits first, the messages copied in, read data copied back out
// only when the whole transfer succeeded.
int SimKernel::I2cTransfer(int fd, std::span<platform::I2cMessage> messages) {
    BeginSystemCall();
    const Node* node = NodeOf(fd);
    if (node == nullptr) return -kBadDescriptor;
    if (node->aux) return -kNotTty;
    if (messages.empty() || messages.size() > kMaxI2cMessages) return -errno_::kInvalid;
    for (const platform::I2cMessage& m : messages)
        if (m.data.size() > kMaxI2cMessageLength) return -errno_::kInvalid;
    // A GMBUS adapter: nothing of ours answers there.
    if (node->connector >= kConnectorCount) return -errno_::kNoDeviceOrAddress;

    std::vector<std::vector<uint8_t>> buffers;
    std::vector<platform::I2cMessage> copies;
    for (const platform::I2cMessage& m : messages) buffers.emplace_back(m.data.begin(), m.data.end());
    for (size_t i = 0; i < messages.size(); ++i) copies.push_back({messages[i].address, messages[i].read, buffers[i]});
    const int result = I2cXfer(node->connector, copies);
    if (result < 0) return result;
    for (size_t i = 0; i < messages.size(); ++i)
        if (messages[i].read) std::copy(buffers[i].begin(), buffers[i].end(), messages[i].data.begin());
    return result;
}

// --- DRM DisplayPort helpers -----------------------------------------------------------------

// intel_dp_aux_xfer and intel_dp_aux_transfer: a busy engine is EBUSY after i915's three
// waits of a millisecond; a request without reply is sent five times, then ETIMEDOUT.
int64_t SimKernel::I915Transfer(uint32_t connector, Message& message, bool ours) {
    if (ours && busyLeft_ > 0) {
        --busyLeft_;
        clock_.Spend(kKernelBusyWaitNs);
        return -errno_::kBusy;
    }
    AuxTransaction t;
    t.deviceId = kFirstDeviceId + connector;
    t.command = message.command;
    t.read = IsReadCommand(message.command);
    t.address = message.address;
    t.chipAddress = IsI2cCommand(message.command) ? static_cast<uint32_t>(message.address) << 1 : message.address;
    t.length = static_cast<uint32_t>(message.data.size());
    t.data = message.data;
    t.overheadNs = kKernelTransferCostNs;
    t.viaDriver = false;

    const bool native = !IsI2cCommand(message.command);
    std::optional<uint32_t> refusal;
    if (ours && native && faults_.nackBurst > 0 && nackBurstArmed_ && message.address >= SimChip::kDpcdStandardEnd) {
        nackBurstArmed_ = false;
        nackBurstLeft_ = faults_.nackBurst;
    }
    if (ours && native && nackBurstLeft_ > 0) {
        --nackBurstLeft_;
        refusal = SimDriver::kStatusAuxNack;
    }

    AuxOutcome outcome;
    for (int attempt = 0; attempt < kI915TimeoutTries; ++attempt) {
        outcome = wire_.Transact(t, refusal);
        oursSinceI915_ += ours;
        if (outcome.status != SimDriver::kStatusTransferFailed) break;
        if (!outcome.timedOut) clock_.Spend(kReceiveErrorSleepNs);
    }
    switch (outcome.status) {
        case SimDriver::kStatusDone:
            message.reply = Reply::Ack;
            return t.read ? static_cast<int64_t>(outcome.count) : static_cast<int64_t>(message.data.size());
        case SimDriver::kStatusAuxNack:
            message.reply = outcome.i2cLevel ? Reply::I2cNack : Reply::Nack;
            return 0;
        case SimDriver::kStatusDeferred:
            message.reply = outcome.i2cLevel ? Reply::I2cDefer : Reply::Defer;
            return 0;
        case SimDriver::kStatusTransferFailed:
            return outcome.timedOut ? -errno_::kTimedOut : -errno_::kIo;
        default:
            return -errno_::kIo;
    }
}

// drm_dp_dpcd_access: 32 tries under the AUX mutex; the first try's error is the one
// returned. i915's own accesses fall between two of ours, never inside one.
int64_t SimKernel::DpcdAccess(uint32_t connector, uint32_t command, uint32_t offset, std::span<uint8_t> data,
                              bool ours) {
    int64_t result = 0;
    int64_t firstError = 0;
    for (int attempt = 0; attempt < kNativeTries; ++attempt) {
        if (result != 0 && result != -errno_::kTimedOut) clock_.Spend(kKernelRetrySleepNs);
        Message message{command, offset, data};
        result = I915Transfer(connector, message, ours);
        if (result >= 0) {
            if (message.reply == Reply::Ack) {
                if (static_cast<size_t>(result) == data.size()) break;
                result = -errno_::kProtocol;
            } else {
                result = -errno_::kIo;
            }
        }
        if (firstError == 0) firstError = result;
    }
    if (result < 0) result = firstError;
    if (ours) I915Access(chipDeviceId_ - kFirstDeviceId);
    return result;
}

int64_t SimKernel::DpcdRead(uint32_t connector, uint32_t offset, std::span<uint8_t> out, bool ours) {
    // drm_dp_dpcd_probe of DP_DPCD_REV, a workaround for sinks that garble the first
    // access after waking up.
    std::array<uint8_t, 1> probe{};
    const int64_t probed = DpcdAccess(connector, gfx::kNativeRead, kDpcdRev, probe, ours);
    if (probed < 0) return probed;
    return DpcdAccess(connector, gfx::kNativeRead, offset, out, ours);
}

int64_t SimKernel::DpcdWrite(uint32_t connector, uint32_t offset, std::span<uint8_t> data, bool ours) {
    return DpcdAccess(connector, gfx::kNativeWrite, offset, data, ours);
}

// One access of i915's own on the chip's connector after every N-th transaction of ours,
// in turn: the receiver capabilities, the branch descriptor, an infoframe.
void SimKernel::I915Access(uint32_t connector) {
    if (faults_.i915Traffic == 0 || oursSinceI915_ < faults_.i915Traffic) return;
    oursSinceI915_ = 0;
    std::array<uint8_t, kReceiverCapSize> buffer{};
    std::array<uint8_t, kInfoFrame.size()> frame = kInfoFrame;
    switch (i915Next_++ % 3) {
        case 0: DpcdRead(connector, kDpcdRev, buffer, false); break;
        case 1: DpcdRead(connector, kBranchOui, std::span(buffer).first(kBranchDescSize), false); break;
        default: DpcdWrite(connector, kInfoFrameAddress, frame, false); break;
    }
}

// drm_dp_i2c_do_msg
int SimKernel::I2cDoMsg(uint32_t connector, Message& message) {
    const int maxTries = std::max(kI2cMinTries, I2cRetryCount(message.data.size()));
    int deferI2c = 0;
    for (int attempt = 0; attempt < maxTries + deferI2c; ++attempt) {
        const int64_t result = I915Transfer(connector, message, true);
        if (result < 0) {
            if (result == -errno_::kBusy) continue;
            return static_cast<int>(result);
        }
        switch (message.reply) {
            case Reply::Ack: return static_cast<int>(result);
            case Reply::Nack:
            case Reply::I2cNack: return -errno_::kRemoteIo;
            case Reply::Defer: clock_.Spend(kKernelRetrySleepNs); continue;
            case Reply::I2cDefer:
                deferI2c = std::min(deferI2c + 1, kI2cMaxExtraDeferTries);
                clock_.Spend(kKernelRetrySleepNs);
                continue;
        }
    }
    return -errno_::kRemoteIo;
}

// drm_dp_i2c_drain_msg: a short reply is followed by the rest; the shortest reply becomes
// the piece size for what follows.
int SimKernel::I2cDrainMsg(uint32_t connector, Message& original) {
    Message message = original;
    int size = static_cast<int>(message.data.size());
    while (!message.data.empty()) {
        const int carried = I2cDoMsg(connector, message);
        if (carried <= 0) return carried == 0 ? -errno_::kProtocol : carried;
        if (static_cast<size_t>(carried) < message.data.size() && carried < size) size = carried;
        message.data = message.data.subspan(std::min(static_cast<size_t>(carried), message.data.size()));
    }
    return size;
}

// drm_dp_i2c_xfer under the adapter's lock (the AUX mutex). The interface carries no
// I2C_M_STOP, so every request of a message keeps MOT until the closing bare address.
int SimKernel::I2cXfer(uint32_t connector, std::span<platform::I2cMessage> messages) {
    Message message;
    int result = 0;
    for (const platform::I2cMessage& m : messages) {
        message.address = m.address;
        message.command = (m.read ? gfx::kI2cRead : gfx::kI2cWrite) | kMot;
        message.data = {};
        result = I2cDoMsg(connector, message);
        if (result < 0) break;
        size_t pieceSize = kMaxPayload;
        for (size_t at = 0; at < m.data.size(); at += message.data.size()) {
            message.data = m.data.subspan(at, std::min(pieceSize, m.data.size() - at));
            result = I2cDrainMsg(connector, message);
            if (result < 0) break;
            pieceSize = static_cast<size_t>(result);
        }
        if (result < 0) break;
    }
    if (result >= 0) result = static_cast<int>(messages.size());
    // The closing bare address goes out whatever happened before.
    message.command &= ~kMot;
    message.data = {};
    (void)I2cDoMsg(connector, message);
    I915Access(chipDeviceId_ - kFirstDeviceId);
    return result;
}

}  // namespace kdx::sim
