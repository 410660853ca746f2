// The backend over the kernel's DisplayPort AUX nodes against a scripted kernel: how it
// pairs the nodes, what it asks of each system call, and what it makes of every answer.
// The kernel's own framing and retries are the simulator's (its --backend linux runs).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <vector>

#include "gfx/gfx_lib_linux_dp_aux.h"
#include "gfx/select_gfx_lib.h"
#include "support/test_system.h"

namespace kdx {
namespace {

namespace err = platform::linux_errno;

struct I2cCall {
    int fd;
    uint16_t address;
    bool read;
    std::vector<uint8_t> data;  // sent, or the length asked for as zeros
    bool operator==(const I2cCall&) const = default;
};

// Answers the system calls from a script; sysfs is a map of resolved links and attributes.
struct ScriptedKernel final : platform::DpAuxSystem {
    std::map<std::string, std::vector<std::string>> directories;
    std::map<std::string, std::string> links;       // path -> what it resolves to
    std::map<std::string, std::string> attributes;  // path -> first line
    std::map<std::string, int> openErrors;          // node -> errno
    std::vector<std::string> opened;
    std::vector<int> closed;
    std::vector<int> fds;  // the descriptors Open hands out in turn; past them 101, 102, ...

    std::vector<I2cCall> i2cCalls;
    // Per I2C_RDWR: the result, and what a read message is filled with on success.
    std::vector<std::pair<int, std::vector<uint8_t>>> i2cAnswers;
    std::vector<std::tuple<bool, uint32_t, size_t>> nativeCalls;  // (write, offset, length)
    std::optional<int64_t> nativeAnswer;  // none: the whole piece; else this count or -errno

    int Open(const std::string& path) override {
        if (const auto e = openErrors.find(path); e != openErrors.end()) return -e->second;
        opened.push_back(path);
        return opened.size() <= fds.size() ? fds[opened.size() - 1] : 100 + static_cast<int>(opened.size());
    }
    void Close(int fd) override { closed.push_back(fd); }
    int64_t Pread(int, std::span<uint8_t> out, uint32_t offset) override {
        nativeCalls.emplace_back(false, offset, out.size());
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(offset + i);
        return nativeAnswer.value_or(static_cast<int64_t>(out.size()));
    }
    int64_t Pwrite(int, std::span<const uint8_t> data, uint32_t offset) override {
        nativeCalls.emplace_back(true, offset, data.size());
        return nativeAnswer.value_or(static_cast<int64_t>(data.size()));
    }
    int I2cTransfer(int fd, std::span<platform::I2cMessage> messages) override {
        auto [result, reply] = i2cAnswers.empty() ? std::pair<int, std::vector<uint8_t>>{1, {}} : i2cAnswers.front();
        if (!i2cAnswers.empty()) i2cAnswers.erase(i2cAnswers.begin());
        for (const auto& m : messages) {
            i2cCalls.push_back({fd, m.address, m.read,
                                m.read ? std::vector<uint8_t>(m.data.size()) : std::vector<uint8_t>(m.data.begin(), m.data.end())});
            if (m.read && result >= 0) std::copy_n(reply.begin(), std::min(reply.size(), m.data.size()), m.data.begin());
        }
        return result;
    }
    std::vector<std::string> ListDirectory(const std::string& path) override { return directories[path]; }
    std::optional<std::string> ResolvePath(const std::string& path) override {
        if (const auto l = links.find(path); l != links.end()) return l->second;
        return std::nullopt;
    }
    std::optional<std::string> ReadAttribute(const std::string& path) override {
        if (const auto a = attributes.find(path); a != attributes.end()) return a->second;
        return std::nullopt;
    }
    std::string ErrorText(int error) override { return "errno " + std::to_string(error); }

    // A connector with its AUX node and the I2C adapter under it.
    void AddChannel(unsigned aux, unsigned i2c, const std::string& connector, const std::string& name) {
        const std::string card = "/sys/devices/pci0000:00/0000:00:02.0/drm/card0/" + connector;
        const std::string auxEntry = "/sys/class/drm_dp_aux_dev/drm_dp_aux" + std::to_string(aux);
        const std::string i2cEntry = "/sys/class/i2c-dev/i2c-" + std::to_string(i2c);
        directories["/sys/class/drm_dp_aux_dev"].push_back("drm_dp_aux" + std::to_string(aux));
        directories["/sys/class/i2c-dev"].push_back("i2c-" + std::to_string(i2c));
        links[auxEntry + "/device"] = card;
        links[i2cEntry + "/device"] = card + "/i2c-" + std::to_string(i2c);
        attributes[auxEntry + "/name"] = name;
        attributes[i2cEntry + "/name"] = name;
    }
};

// A reply frame as the chip sends it, with filler past its end as the kernel reads it.
std::vector<uint8_t> Reply(std::vector<uint8_t> frame, size_t readLength) {
    frame.resize(readLength, 0xFF);
    return frame;
}

const std::vector<uint8_t> kAckFrame{0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76 ^ 0x00};

struct LinuxDpAuxFixture : ::testing::Test {
    testing::TestSystem sys;
    ScriptedKernel kernel;
    ChipContext context{sys.system, sys.connector, sys.controlLibrary, kernel};
    GfxLibLinuxDpAux& lib = context.linuxBackend;
    WText log;

    void TwoChannels() {
        kernel.AddChannel(0, 7, "card0-DP-1", "AUX B/DDI B/PHY B");
        kernel.AddChannel(1, 8, "card0-DP-2", "AUX C/DDI C/PHY C");
    }
    // Two channels, the chip found on the first by the Linux program's selection: its nodes are open.
    bool ChipOnPort1() {
        TwoChannels();
        kernel.i2cAnswers = {{1, {}}, {1, Reply(kAckFrame, 9)}};
        context.gfxCandidates = LinuxGfxCandidates();
        return SelectGfxLib(context, log) == kSelectFound && context.adapterDescription == u"Linux (DP AUX): 0x01";
    }
};

TEST_F(LinuxDpAuxFixture, ChannelsArePairedByConnectorInAuxNumberOrder) {
    kernel.AddChannel(10, 3, "card1-DP-5", "AUX A");
    TwoChannels();
    // eDP: an AUX node without an I2C adapter; and an SMBus adapter of no connector.
    kernel.directories["/sys/class/drm_dp_aux_dev"].push_back("drm_dp_aux2");
    kernel.links["/sys/class/drm_dp_aux_dev/drm_dp_aux2/device"] = "/sys/devices/pci0000:00/0000:00:02.0/drm/card0/card0-eDP-1";
    kernel.directories["/sys/class/i2c-dev"].push_back("i2c-0");
    kernel.links["/sys/class/i2c-dev/i2c-0/device"] = "/sys/devices/pci0000:00/0000:00:1f.4/i2c-0";
    // Not nodes of the kind: ignored.
    for (const char* other : {"drm_dp_aux1x", "dp_aux_dev12"}) kernel.directories["/sys/class/drm_dp_aux_dev"].push_back(other);
    kernel.directories["/sys/class/i2c-dev"].push_back("i2c-");

    size_t auxChannels = 0;
    const auto channels = lib.ListChannels(auxChannels);
    EXPECT_EQ(auxChannels, 4u);
    ASSERT_EQ(channels.size(), 3u);
    EXPECT_EQ(GfxLibLinuxDpAux::ChannelText(channels[0]), "card0-DP-1: drm_dp_aux0, i2c-7");
    EXPECT_EQ(GfxLibLinuxDpAux::ChannelText(channels[1]), "card0-DP-2: drm_dp_aux1, i2c-8");
    EXPECT_EQ(GfxLibLinuxDpAux::ChannelText(channels[2]), "card1-DP-5: drm_dp_aux10, i2c-3");
    EXPECT_EQ(channels[1].name, "AUX C/DDI C/PHY C");

    // A name missing on either side leaves the connector alone to pair them.
    kernel.attributes.erase("/sys/class/drm_dp_aux_dev/drm_dp_aux0/name");
    kernel.attributes.erase("/sys/class/i2c-dev/i2c-8/name");
    EXPECT_EQ(lib.ListChannels(auxChannels).size(), 3u);
    // An adapter under the connector whose name is another channel's is not this one's.
    kernel.attributes["/sys/class/i2c-dev/i2c-8/name"] = "AUX D/DDI D/PHY D";
    EXPECT_EQ(lib.ListChannels(auxChannels).size(), 2u);
}

#if !defined(_WIN32)
// The same walk over the real system calls, on a tree laid out with links as the kernel
// makes them (relative links from the class directories into /sys/devices).
TEST_F(LinuxDpAuxFixture, DiscoveryOnASysfsTreeWithTheKernelsLinks) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(::testing::TempDir()) / "linux_dp_aux_sysfs";
    fs::remove_all(root);
    const fs::path connector = root / "devices/pci0000:00/0000:00:02.0/drm/card0/card0-DP-1";
    fs::create_directories(connector / "drm_dp_aux0");
    fs::create_directories(connector / "i2c-7/i2c-dev/i2c-7");
    fs::create_directories(root / "class/drm_dp_aux_dev");
    fs::create_directories(root / "class/i2c-dev");
    const std::string fromClass = "../../devices/pci0000:00/0000:00:02.0/drm/card0/card0-DP-1/";
    fs::create_symlink(fromClass + "drm_dp_aux0", root / "class/drm_dp_aux_dev/drm_dp_aux0");
    fs::create_symlink(fromClass + "i2c-7/i2c-dev/i2c-7", root / "class/i2c-dev/i2c-7");
    fs::create_symlink("../../card0-DP-1", connector / "drm_dp_aux0/device");
    fs::create_symlink("../../../i2c-7", connector / "i2c-7/i2c-dev/i2c-7/device");
    std::ofstream(connector / "drm_dp_aux0/name") << "AUX B/DDI B/PHY B\n";
    std::ofstream(connector / "i2c-7/i2c-dev/i2c-7/name") << "AUX B/DDI B/PHY B\n";

    GfxLibLinuxDpAux real(platform::SystemDpAux(), sys.clock);
    real.sysfsRoot = root.string();
    size_t auxChannels = 0;
    const auto channels = real.ListChannels(auxChannels);
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_EQ(GfxLibLinuxDpAux::ChannelText(channels[0]), "card0-DP-1: drm_dp_aux0, i2c-7");
    EXPECT_EQ(channels[0].name, "AUX B/DDI B/PHY B");
    fs::remove_all(root);
}
#endif

TEST_F(LinuxDpAuxFixture, InitializeSaysWhatIsMissing) {
    EXPECT_EQ(lib.Initialize(log), gfx::kInitFailed);
    EXPECT_EQ(log, u"Graphics adapter initialization - Linux (DP AUX): failed! (no DisplayPort AUX channel: the "
                   u"kernel needs CONFIG_DRM_DP_AUX_CHARDEV)\r\n");

    kernel.AddChannel(0, 7, "card0-DP-1", "AUX B");
    kernel.directories.erase("/sys/class/i2c-dev");  // i2c-dev not loaded: no class directory
    EXPECT_EQ(lib.Initialize(log), gfx::kInitFailed);
    EXPECT_EQ(log, u"Graphics adapter initialization - Linux (DP AUX): failed! (no I2C-over-AUX node: the module "
                   u"i2c-dev is not loaded; run \"modprobe i2c-dev\")\r\n");

    kernel.AddChannel(1, 8, "card0-DP-2", "AUX C");
    EXPECT_EQ(lib.Initialize(log), gfx::kOk);
    EXPECT_EQ(log, u"Graphics adapter initialization - Linux (DP AUX): done!\r\n");
}

TEST_F(LinuxDpAuxFixture, SearchProbesEachPortAndStopsForWantOfRights) {
    const WText port1 = u"  Port 1 (card0-DP-1: drm_dp_aux0, i2c-7) = ";
    const WText port2 = u"  Port 2 (card0-DP-2: drm_dp_aux1, i2c-8) = ";
    const auto ack = Reply(kAckFrame, 9);
    const struct {
        const char* what;
        std::map<std::string, int> openErrors;
        std::vector<std::pair<int, std::vector<uint8_t>>> answers;
        int32_t status;
        uint32_t deviceId;
        WText log;
    } cases[] = {
        {"chip on port 2", {}, {{-err::kRemoteIo, {}}, {1, {}}, {1, ack}}, gfx::kOk, 2,
         port1 + u"N/A (0x3EE)\r\n" + port2 + u"OK\r\n"},
        {"no chip", {}, {{-err::kRemoteIo, {}}, {-err::kTimedOut, {}}}, gfx::kNotSupported, 0,
         port1 + u"N/A (0x3EE)\r\n" + port2 + u"N/A (0x3EB)\r\n  ==> No available connection was found!\r\n"},
        {"not root", {{"/dev/drm_dp_aux0", err::kAccess}}, {}, gfx::kSearchFailure, 0,
         port1 + u"Permission denied! Run the program as root.\r\n"},
        {"a node gone", {{"/dev/i2c-7", err::kNoEntry}}, {{1, {}}, {1, ack}}, gfx::kOk, 2,
         port1 + u"N/A (errno 2)\r\n" + port2 + u"OK\r\n"},
    };
    TwoChannels();
    for (const auto& c : cases) {
        kernel.openErrors = c.openErrors;
        kernel.i2cAnswers = c.answers;
        ASSERT_EQ(lib.Initialize(log), gfx::kOk) << c.what;  // a fresh listing: the nodes closed
        uint32_t deviceId = 99;
        EXPECT_EQ(lib.FindDevice(deviceId, 0x6E, log), c.status) << c.what;
        EXPECT_EQ(deviceId, c.deviceId) << c.what;
        EXPECT_EQ(ToUtf8(log), ToUtf8(c.log)) << c.what;
        // Port 1 serves transfers only with both its nodes open.
        std::array<uint8_t, 1> byte{};
        EXPECT_EQ(lib.NativeRead(1, 0, byte) == gfx::kOk, c.openErrors.empty()) << c.what;
    }
}

// The listing's probe of one port: its result and its own report line, without the
// search's closing line.
TEST_F(LinuxDpAuxFixture, ProbeChannelReportsOnePort) {
    TwoChannels();
    ASSERT_EQ(lib.Initialize(log), gfx::kOk);
    kernel.i2cAnswers = {{-err::kRemoteIo, {}}, {1, {}}, {1, Reply(kAckFrame, 9)}};
    EXPECT_EQ(lib.ProbeChannel(1, 0x6E, log), gfx::kNotSupported);
    EXPECT_EQ(log, u"  Port 1 (card0-DP-1: drm_dp_aux0, i2c-7) = N/A (0x3EE)\r\n");
    EXPECT_EQ(lib.ProbeChannel(2, 0x6E, log), gfx::kOk);
    EXPECT_EQ(log, u"  Port 2 (card0-DP-2: drm_dp_aux1, i2c-8) = OK\r\n");
    for (const uint32_t id : {0u, 3u}) {
        EXPECT_EQ(lib.ProbeChannel(id, 0x6E, log), gfx::kInvalidArgument) << id;
        EXPECT_TRUE(log.empty()) << id;
    }
}

TEST_F(LinuxDpAuxFixture, ErrnoBecomesAResultThatNeverEndsAPoll) {
    const struct {
        int error;
        int32_t result;
    } cases[] = {
        {err::kRemoteIo, gfx::kAuxNack}, {err::kIo, gfx::kAuxNack},       {err::kBusy, gfx::kDeferred},
        {err::kTimedOut, gfx::kDeferred}, {err::kAgain, gfx::kDeferred},  {err::kProtocol, gfx::kMalformedReply},
        {err::kNoDevice, gfx::kSystemCallFailed}, {err::kInvalid, gfx::kSystemCallFailed}, {95, gfx::kSystemCallFailed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GfxLibLinuxDpAux::ResultOfErrno(-c.error), c.result) << c.error;
        EXPECT_NE(c.result, gfx::kNotSupportedStop);
        EXPECT_NE(c.result, gfx::kNotSupported);
    }
}

TEST_F(LinuxDpAuxFixture, I2cWriteIsOneMessageWithTheWholePacket) {
    ASSERT_TRUE(ChipOnPort1());
    kernel.i2cCalls.clear();

    std::vector<uint8_t> packet(17);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_EQ(lib.I2cWrite(1, 0x6E, packet), gfx::kOk);
    EXPECT_EQ(kernel.i2cCalls, (std::vector<I2cCall>{{102, 0x37, false, packet}}));  // on i2c-7's descriptor

    kernel.i2cAnswers = {{-err::kRemoteIo, {}}, {0, {}}};
    EXPECT_EQ(lib.I2cWrite(1, 0x6E, packet), gfx::kAuxNack);
    EXPECT_EQ(lib.I2cWrite(1, 0x6E, packet), gfx::kMalformedReply);  // no message carried
    EXPECT_EQ(lib.I2cWrite(1, 0x6E, {}), gfx::kInvalidArgument);
    EXPECT_EQ(lib.I2cWrite(3, 0x6E, packet), gfx::kInvalidArgument);  // no such port
    // i2c-dev's longest message and one byte more.
    EXPECT_EQ(lib.I2cWrite(1, 0x6E, std::vector<uint8_t>(8192, 0x51)), gfx::kOk);
    EXPECT_EQ(lib.I2cWrite(1, 0x6E, std::vector<uint8_t>(8193, 0x51)), gfx::kInvalidArgument);
    EXPECT_EQ(kernel.i2cCalls.size(), 4u);
}

TEST_F(LinuxDpAuxFixture, I2cReadIsOneFixedLengthMessageCheckedAsTheSplitRead) {
    ASSERT_TRUE(ChipOnPort1());

    const struct {
        const char* what;
        size_t capacity;
        int answer;
        std::vector<uint8_t> frame;
        int32_t result;
        int32_t count;
    } cases[] = {
        {"acknowledgement", 131, 1, kAckFrame, gfx::kOk, 8},
        {"null message", 131, 1, {0x6E, 0x80, 0xBE}, gfx::kOk, 3},
        {"length byte 0x7F: the header only", 131, 1, {0x6E, 0x7F}, gfx::kOk, 2},
        {"the header only, into 2 bytes", 2, 1, {0x6E, 0x7E}, gfx::kOk, 2},
        {"length byte 0x7D", 131, 1, {0x6E, 0x7D}, gfx::kMalformedReply, -1},
        {"another sender", 131, 1, {0x6F, 0x85}, gfx::kMalformedReply, -1},
        {"over capacity", 8, 1, {0x6E, 0x86}, gfx::kInvalidArgument, -1},
        {"NACK", 131, -err::kRemoteIo, kAckFrame, gfx::kAuxNack, -1},
        {"no message carried", 131, 0, kAckFrame, gfx::kMalformedReply, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kernel.i2cCalls.clear();
        kernel.i2cAnswers = {{c.answer, Reply(c.frame, 130)}};
        std::vector<uint8_t> buffer(c.capacity, 0x55);
        int32_t count = -1;
        WText diagnostic;
        EXPECT_EQ(lib.I2cRead(1, 0x6E, buffer, count, diagnostic), c.result);
        EXPECT_EQ(count, c.count);
        const std::vector<uint8_t> asked(std::min<size_t>(c.capacity, 130));
        EXPECT_EQ(kernel.i2cCalls, (std::vector<I2cCall>{{102, 0x37, true, asked}}));
        // What lies past the reply's end, and every byte of a refused read, stays unread.
        const size_t taken = c.count > 0 ? static_cast<size_t>(c.count) : 0;
        EXPECT_TRUE(std::ranges::equal(std::span(c.frame).first(taken), std::span(buffer).first(taken)));
        EXPECT_TRUE(std::ranges::all_of(std::span(buffer).subspan(taken), [](uint8_t b) { return b == 0x55; }));
        EXPECT_EQ(diagnostic.empty(), c.answer >= 0);
    }
}

TEST_F(LinuxDpAuxFixture, NativeTransfersArePiecesAtTheDpcdAddress) {
    ASSERT_TRUE(ChipOnPort1());

    std::array<uint8_t, 20> block{};
    EXPECT_EQ(lib.NativeRead(1, 0x100, block), gfx::kOk);
    EXPECT_EQ(block[19], 0x13);  // the byte of 0x113
    const std::array<uint8_t, 17> data{};
    EXPECT_EQ(lib.NativeWrite(1, 0x20000, data), gfx::kOk);
    using Call = std::tuple<bool, uint32_t, size_t>;
    EXPECT_EQ(kernel.nativeCalls,
              (std::vector<Call>{{false, 0x100, 16}, {false, 0x110, 4}, {true, 0x20000, 16}, {true, 0x20010, 1}}));

    // A short count is a failed piece; an errno is mapped; both end the operation there.
    kernel.nativeCalls.clear();
    for (const int64_t shortCount : {3, 0}) {
        kernel.nativeAnswer = shortCount;
        EXPECT_EQ(lib.NativeRead(1, 0x100, block), gfx::kMalformedReply) << shortCount;
    }
    kernel.nativeAnswer = -err::kIo;
    EXPECT_EQ(lib.NativeWrite(1, 0x20000, data), gfx::kAuxNack);
    EXPECT_EQ(kernel.nativeCalls.size(), 3u);
}

// Descriptor 0 is a node like any other (a program started with its standard streams
// closed): the nodes a search opened serve the run, the next search does not open them
// again, and listing the channels again closes them once.
TEST_F(LinuxDpAuxFixture, DescriptorZeroIsANodeLikeAnyOther) {
    for (const std::vector<int>& fds : {std::vector<int>{0, 1}, std::vector<int>{1, 0}}) {
        ScriptedKernel k;
        k.fds = fds;
        k.AddChannel(0, 7, "card0-DP-1", "AUX B");
        k.i2cAnswers = {{1, {}}, {1, Reply(kAckFrame, 9)}, {1, {}}, {1, Reply(kAckFrame, 9)}};
        GfxLibLinuxDpAux l(k, sys.clock);
        uint32_t id = 0;
        ASSERT_EQ(l.Initialize(log), gfx::kOk);
        for (int search = 0; search < 2; ++search) EXPECT_EQ(l.FindDevice(id, 0x6E, log), gfx::kOk) << fds[0];
        std::array<uint8_t, 1> byte{};
        EXPECT_EQ(l.NativeRead(1, 0, byte), gfx::kOk) << fds[0];
        EXPECT_EQ(k.opened.size(), 2u) << fds[0];
        EXPECT_EQ(l.Initialize(log), gfx::kOk);
        EXPECT_EQ(k.closed, fds);
        EXPECT_EQ(l.Channels().size(), 1u);
    }
}

}  // namespace
}  // namespace kdx
