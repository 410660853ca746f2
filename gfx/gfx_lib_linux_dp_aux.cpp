#include "gfx/gfx_lib_linux_dp_aux.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

#include "gfx/aux_transfers.h"

namespace kdx {

namespace errno_ = platform::linux_errno;

namespace {

constexpr char kAuxClass[] = "/class/drm_dp_aux_dev";
constexpr char kI2cClass[] = "/class/i2c-dev";
constexpr char kAuxPrefix[] = "drm_dp_aux";
constexpr char kI2cPrefix[] = "i2c-";

constexpr char16_t kInitDoneLine[] = u"Graphics adapter initialization - Linux (DP AUX): done!\r\n";
constexpr char16_t kInitNoChannelLine[] =
    u"Graphics adapter initialization - Linux (DP AUX): failed! (no DisplayPort AUX channel: the kernel needs "
    u"CONFIG_DRM_DP_AUX_CHARDEV)\r\n";
constexpr char16_t kInitNoI2cLine[] =
    u"Graphics adapter initialization - Linux (DP AUX): failed! (no I2C-over-AUX node: the module i2c-dev is not "
    u"loaded; run \"modprobe i2c-dev\")\r\n";
constexpr char16_t kNotRootLine[] = u"Permission denied! Run the program as root.\r\n";

// "drm_dp_aux12" -> 12; nothing for any other name.
std::optional<unsigned> NodeNumber(const std::string& name, std::string_view prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    unsigned number = 0;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last) return std::nullopt;
    return number;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsPermissionError(int error) { return error == -errno_::kAccess || error == -errno_::kPermission; }

}  // namespace

GfxLibLinuxDpAux::GfxLibLinuxDpAux(platform::DpAuxSystem& system, platform::Clock& clock)
    : AuxTransferLib(clock), system_(system) {}

GfxLibLinuxDpAux::~GfxLibLinuxDpAux() { CloseAll(); }

void GfxLibLinuxDpAux::CloseAll() {
    for (OpenChannel& open : channels_) {
        if (open.auxFd >= 0) system_.Close(open.auxFd);
        if (open.i2cFd >= 0) system_.Close(open.i2cFd);
    }
    channels_.clear();
}

std::string GfxLibLinuxDpAux::ChannelText(const Channel& channel) {
    return channel.connector + ": " + kAuxPrefix + std::to_string(channel.auxNumber) + ", " + kI2cPrefix +
           std::to_string(channel.i2cNumber);
}

std::vector<GfxLibLinuxDpAux::Channel> GfxLibLinuxDpAux::Channels() const {
    std::vector<Channel> out;
    for (const OpenChannel& open : channels_) out.push_back(open.channel);
    return out;
}

// The AUX device's `device` link names its connector; an i2c-dev node's `device` link
// names its adapter, which the AUX channel's driver registered as a child of the same
// connector. The channel's name, in both `name` attributes, is a cross-check.
std::vector<GfxLibLinuxDpAux::Channel> GfxLibLinuxDpAux::ListChannels(size_t& auxChannels) {
    struct Adapter {
        unsigned number;
        std::string parent;
        std::optional<std::string> name;
    };
    std::vector<Adapter> adapters;
    const std::string i2cClass = sysfsRoot + kI2cClass;
    for (const std::string& entry : system_.ListDirectory(i2cClass)) {
        const auto number = NodeNumber(entry, kI2cPrefix);
        if (!number) continue;
        const auto adapter = system_.ResolvePath(i2cClass + "/" + entry + "/device");
        if (!adapter) continue;
        adapters.push_back({*number, Parent(*adapter), system_.ReadAttribute(i2cClass + "/" + entry + "/name")});
    }

    std::vector<Channel> channels;
    auxChannels = 0;
    const std::string auxClass = sysfsRoot + kAuxClass;
    for (const std::string& entry : system_.ListDirectory(auxClass)) {
        const auto number = NodeNumber(entry, kAuxPrefix);
        if (!number) continue;
        ++auxChannels;
        const auto connector = system_.ResolvePath(auxClass + "/" + entry + "/device");
        if (!connector) continue;
        const auto name = system_.ReadAttribute(auxClass + "/" + entry + "/name");
        // Of several adapters under one connector (an MST hub's), the one of the same name.
        const auto adapter = std::find_if(adapters.begin(), adapters.end(), [&](const Adapter& a) {
            return a.parent == *connector && (!name || !a.name || *a.name == *name);
        });
        if (adapter == adapters.end()) continue;
        channels.push_back({*number, adapter->number, BaseName(*connector), name.value_or("")});
    }
    std::sort(channels.begin(), channels.end(),
              [](const Channel& a, const Channel& b) { return a.auxNumber < b.auxNumber; });
    return channels;
}

int32_t GfxLibLinuxDpAux::Initialize(WText& log) {
    CloseAll();
    size_t auxChannels = 0;
    for (Channel& channel : ListChannels(auxChannels)) channels_.push_back({std::move(channel)});
    if (auxChannels == 0) {
        log = kInitNoChannelLine;
        return gfx::kInitFailed;
    }
    if (channels_.empty()) {
        log = kInitNoI2cLine;
        return gfx::kInitFailed;
    }
    log = kInitDoneLine;
    return gfx::kOk;
}

int GfxLibLinuxDpAux::OpenNodes(OpenChannel& open) {
    if (open.auxFd < 0) {
        const int fd = system_.Open(devRoot + "/" + kAuxPrefix + std::to_string(open.channel.auxNumber));
        if (fd < 0) return fd;
        open.auxFd = fd;
    }
    if (open.i2cFd < 0) {
        const int fd = system_.Open(devRoot + "/" + kI2cPrefix + std::to_string(open.channel.i2cNumber));
        if (fd < 0) return fd;
        open.i2cFd = fd;
    }
    return 0;
}

GfxLibLinuxDpAux::OpenChannel* GfxLibLinuxDpAux::Opened(uint32_t deviceId) {
    if (deviceId == 0 || deviceId > channels_.size()) return nullptr;
    OpenChannel& open = channels_[deviceId - 1];
    return open.auxFd >= 0 && open.i2cFd >= 0 ? &open : nullptr;
}

AuxTransferLib::SearchRules GfxLibLinuxDpAux::Rules() {
    return SearchRules{
        [this](uint32_t id) {
            return FormatW(u"  Port %d (%s) = ", {id, FromUtf8(ChannelText(channels_[id - 1].channel))});
        },
        // Each channel's nodes are opened just before its probe and stay open for the run.
        [this](uint32_t id) -> std::optional<Unreachable> {
            const int opened = OpenNodes(channels_[id - 1]);
            if (opened >= 0) return std::nullopt;
            // The nodes are root's: no other channel can be opened either.
            if (IsPermissionError(opened)) return Unreachable{kNotRootLine, true};
            return Unreachable{FromUtf8("N/A (" + system_.ErrorText(-opened) + ")\r\n"), false};
        },
        nullptr,
        nullptr,
    };
}

int32_t GfxLibLinuxDpAux::FindDevice(uint32_t& deviceId, uint32_t address, WText& log) {
    log.clear();
    return SearchConnections(1, static_cast<uint32_t>(channels_.size()), address, deviceId, log, Rules());
}

int32_t GfxLibLinuxDpAux::ProbeChannel(uint32_t deviceId, uint32_t address, WText& line) {
    line.clear();
    if (deviceId == 0 || deviceId > channels_.size()) return gfx::kInvalidArgument;
    uint32_t found = 0;
    const int32_t result = SearchConnections(deviceId, deviceId, address, found, line, Rules());
    // The channel's own line, without the search's closing line.
    const size_t end = line.find(u'\n');
    if (end != WText::npos) line.resize(end + 1);
    return result;
}

int32_t GfxLibLinuxDpAux::ResultOfErrno(int64_t negativeErrno) {
    switch (static_cast<int>(-negativeErrno)) {
        case errno_::kRemoteIo:
        case errno_::kIo:
            return gfx::kAuxNack;
        case errno_::kBusy:
        case errno_::kTimedOut:
        case errno_::kAgain:
            return gfx::kDeferred;
        case errno_::kProtocol:
            return gfx::kMalformedReply;
        default:
            return gfx::kSystemCallFailed;
    }
}

// Native transfers: one pread or pwrite per piece of at most 16 bytes, which the kernel
// carries as one AUX transaction (a read after its probe read of DPCD 0).
int32_t GfxLibLinuxDpAux::Transfer(uint32_t deviceId, uint32_t command, uint32_t address, std::span<uint8_t> data) {
    OpenChannel* const open = Opened(deviceId);
    if (open == nullptr) return gfx::kInvalidArgument;
    int64_t carried = 0;
    if (command == gfx::kNativeRead) carried = system_.Pread(open->auxFd, data, address);
    else if (command == gfx::kNativeWrite) carried = system_.Pwrite(open->auxFd, data, address);
    else return gfx::kInvalidArgument;
    if (carried < 0) return ResultOfErrno(carried);
    return static_cast<size_t>(carried) == data.size() ? gfx::kOk : gfx::kMalformedReply;
}

int32_t GfxLibLinuxDpAux::I2cWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) {
    if (data.empty() || data.size() > platform::DpAuxSystem::kMaxI2cMessageLength) return gfx::kInvalidArgument;
    OpenChannel* const open = Opened(deviceId);
    if (open == nullptr) return gfx::kInvalidArgument;
    // The kernel copies the message in; it never writes to a write message's bytes.
    std::array<platform::I2cMessage, 1> message{
        {{I2cAddress7(address), false, std::span(const_cast<uint8_t*>(data.data()), data.size())}}};
    const int carried = system_.I2cTransfer(open->i2cFd, message);
    if (carried < 0) return ResultOfErrno(carried);
    return carried == 1 ? gfx::kOk : gfx::kMalformedReply;
}

int32_t GfxLibLinuxDpAux::I2cRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer, int32_t& count,
                                  WText& diagnostic) {
    if (buffer.empty()) return gfx::kInvalidArgument;
    OpenChannel* const open = Opened(deviceId);
    if (open == nullptr) return gfx::kInvalidArgument;
    // The whole reply in one message: as long as the longest reply the buffer can take.
    std::array<uint8_t, gfx::kLargestReply> reply{};
    const size_t length = std::min(buffer.size(), reply.size());
    std::array<platform::I2cMessage, 1> message{{{I2cAddress7(address), true, std::span(reply).first(length)}}};
    const int carried = system_.I2cTransfer(open->i2cFd, message);
    if (carried < 0) {
        diagnostic = FromUtf8("I2C_RDWR: " + system_.ErrorText(-carried));
        return ResultOfErrno(carried);
    }
    if (carried != 1 || length < gfx::kReplyHeaderLength) return gfx::kMalformedReply;

    size_t replyLength = 0;
    const int32_t check =
        gfx::CheckReplyHeader(std::span(reply).first<gfx::kReplyHeaderLength>(), address, buffer.size(), replyLength);
    if (check != gfx::kOk) return check;
    // With a length byte of 0x7E or 0x7F only the header counts, as in the split read.
    count = static_cast<int32_t>(std::max(replyLength, gfx::kReplyHeaderLength));
    std::copy_n(reply.begin(), std::min<size_t>(static_cast<size_t>(count), buffer.size()), buffer.begin());
    return gfx::kOk;
}

}  // namespace kdx
