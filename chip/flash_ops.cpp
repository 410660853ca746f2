#include "chip/flash_ops.h"

#include <array>

#include "chip/command_channel.h"
#include "chip/mailbox.h"
#include "chip/mailbox_io.h"

namespace kdx {

namespace {

// Request blocks. GetFlashId's last byte is the 8-bit sum of the others, not their XOR:
// the driver expects it as it is.
constexpr std::array<uint8_t, 9> kGetFlashIdRequest{0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0x44};
constexpr std::array<uint8_t, 4> kEndIspRequest{0x04, 0x20, 0x01, 0x25};
constexpr uint8_t kEraseCode = 0x19;
constexpr uint8_t kReadFlashCode = 0x1B;
constexpr uint8_t kFlashIdCode = 0x1C;

// GetFlashId: a poll every 3 ms; once the driver answers without the identifier ready, 10 ms
// more per poll and at most 500 polls; while the reads fail, up to 3000.
constexpr uint16_t kFlashIdPollPauseMs = 3;
constexpr uint16_t kFlashIdNotReadyPauseMs = 10;
constexpr int kFlashIdPollsWhileSilent = 3000;
constexpr int kFlashIdPollsOnceAnswered = 500;
constexpr size_t kFlashIdReplyBytes = 5;

// After the erase request: the erase takes seconds. Progress goes out after every poll,
// (n, 150), then (150, 150) once it is acknowledged.
constexpr int32_t kErasePolls = 150;
constexpr AckWaitParameters kEraseAckWait{250, kErasePolls, 50, 50, 1, false, true};

// EndIsp: a posting that the driver failed is made again after a pause, twice at most.
// The driver defers in bursts of up to ten calls. A failed posting has already spent up to
// six of them on its body (the backend gives a transfer up after six deferred calls) and
// the rest in its read-back of the length byte; and ten deferred calls last about 10 x 5 ms
// of the backend's spin, so a 60 ms pause outlasts a whole burst even when it is counted
// in time. Three postings in all leave room for a second, independent fault to meet the
// re-posting; the bound keeps a chip that NACKs everything from costing more than two
// postings and two pauses.
constexpr int kEndIspPostings = 3;
constexpr uint16_t kEndIspRepostPauseMs = 60;
constexpr AckWaitParameters kEndIspAckWait{250, 10, 0, 10, 0, false, false};

// The version lies in the last 20 bytes, or 20 bytes below the 8 KiB top block.
constexpr uint32_t kVersionFromEnd = 20;
constexpr uint32_t kVersionBelowTopBlock = 0x2000 + kVersionFromEnd;
constexpr size_t kVersionBytes = 3;

}  // namespace

bool GetFlashId(ChipContext& context, uint16_t& flashId, WText& errorText) {
    if (!SendRequest(context, kGetFlashIdRequest)) {
        errorText = u"Sending GetFlashId cmd error!\r\n";
        return false;
    }
    const auto& reply = context.scratch;
    int limit = kFlashIdPollsWhileSilent;
    int32_t readStatus = gfx::kOk;
    bool ready = false;
    for (int i = 0; !ready && i < limit; ++i) {
        DelayMs(context, kFlashIdPollPauseMs);
        readStatus = mailbox_io::Read(context, context.mailbox.replyBufferAddr, kFlashIdReplyBytes);
        if (readStatus != gfx::kOk) {
            limit = kFlashIdPollsWhileSilent;
        } else if (reply[0] != 0 && reply[2] != 0 && reply[3] != 0) {
            ready = true;
            i = limit;
        } else {
            DelayMs(context, kFlashIdNotReadyPauseMs);
            limit = kFlashIdPollsOnceAnswered;
        }
        context.ReportProgress(i, limit);
    }
    if (readStatus != gfx::kOk) {
        errorText = FormatW(u"Reading FlashId error! (%d)\r\n", {readStatus});
        return false;
    }
    bool result = false;
    if (reply[1] != kFlashIdCode) {
        errorText = u"Reading FlashId error! (reply cmd not correct!)\r\n";
    } else if (!ready) {
        errorText = u"Reading flash ID timed out!\r\n";
    } else {
        result = true;
    }
    flashId = static_cast<uint16_t>(reply[2] | reply[3] << 8);
    ReleaseReply(context);
    return result;
}

bool EraseFlash(ChipContext& context) {
    std::array<uint8_t, 5> request{0x05, kEraseCode, 0xFF, 0xA2, 0x00};
    request[4] = request[0] ^ request[1] ^ request[2] ^ request[3];
    // A lost request shows as a missing acknowledgement.
    SendRequest(context, request);
    if (!WaitForAck(context, kEraseAckWait)) return false;
    ReleaseReply(context);
    context.ReportProgress(kErasePolls, kErasePolls);
    return true;
}

bool EndIsp(ChipContext& context) {
    // It is the one request that returns the chip to a state the next run can reach, so a
    // posting the driver failed is made again: the driver takes a request only when its
    // length byte lands, so a repeated posting cannot run it twice, and one that meets a
    // chip which already restarted only meets NACKs. A missing acknowledgement is no reason
    // to post again: a chip that took the request restarts and may not answer, and a
    // second request written into a restarted chip's address space is not ours to send.
    for (int posting = 1; !SendRequest(context, kEndIspRequest) && posting < kEndIspPostings; ++posting)
        DelayMs(context, kEndIspRepostPauseMs);
    if (!WaitForAck(context, kEndIspAckWait)) return false;
    ReleaseReply(context);
    return true;
}

bool ReadFlash(ChipContext& context, uint32_t address, std::span<uint8_t, 3> destination) {
    std::array<uint8_t, 7> request{0x07,
                                   kReadFlashCode,
                                   static_cast<uint8_t>(address >> 16),
                                   static_cast<uint8_t>(address >> 8),
                                   static_cast<uint8_t>(address),
                                   static_cast<uint8_t>(destination.size()),
                                   0x00};
    for (size_t i = 0; i + 1 < request.size(); ++i) request.back() ^= request[i];
    if (!SendRequest(context, request)) return false;
    const bool result = ReadReplyData(context, destination);
    ReleaseReplyPackets(context);
    return result;
}

uint32_t ReadFirmwareVersion(ChipContext& context) {
    const uint32_t fromEnd = context.topBlockVersion == 0 ? kVersionFromEnd : kVersionBelowTopBlock;
    // An image too short to hold its version has no address to read it from.
    if (context.firmwareSize < 0 || static_cast<uint32_t>(context.firmwareSize) < fromEnd) return 0;
    const uint32_t address = static_cast<uint32_t>(context.firmwareSize) - fromEnd;
    const auto version = std::span<uint8_t, kVersionBytes>(context.packetBuffer.data(), kVersionBytes);
    if (!ReadFlash(context, address, version)) return 0;
    const uint32_t twoBytes = version[0] | version[1] << 8;
    if (context.FirmwareFamily != kFamilyTarvik) return twoBytes;
    return twoBytes | static_cast<uint32_t>(version[2]) << 16;
}

}  // namespace kdx
