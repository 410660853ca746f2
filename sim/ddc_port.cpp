#include "sim/ddc_port.h"

#include <algorithm>

namespace kdx::sim {

namespace {
constexpr uint8_t kNullMessage[] = {DdcPort::kAddressByte, 0x80, 0xBE};
}

void DdcPort::Write(std::span<const uint8_t> piece, bool endsTransaction, int64_t nowNs) {
    // A write ends any read transaction: the host has turned the bus round.
    if (readOpen_) EndReadTransaction();
    if (message_.size() + piece.size() > kMaxMessage) messageOverflow_ = true;
    else message_.insert(message_.end(), piece.begin(), piece.end());
    if (!endsTransaction) return;
    if (!messageOverflow_) Deliver(message_, nowNs);
    message_.clear();
    messageOverflow_ = false;
}

// Checks the framing of a host message and hands the command on; a message that breaks
// the framing is dropped, as the chip's DDC/CI receiver does, and gets no reply.
void DdcPort::Deliver(std::span<const uint8_t> m, int64_t nowNs) {
    constexpr size_t kHeader = 7;  // source, length, marker, two reserved, ll, opcode
    if (m.size() < kHeader + 1 || m[0] != kHostSource || (m[1] & 0x80) == 0) return;
    const size_t n = m[1] & 0x7F;
    if (m.size() != n + 3) return;
    uint8_t checksum = kAddressByte;
    for (size_t i = 0; i + 1 < m.size(); ++i) checksum ^= m[i];
    if (checksum != m.back()) return;
    if (m[2] != kCommandMarker || m[3] != 0 || m[4] != 0 || m[5] != n - 2) return;
    handler_.OnCommand(m[6], m.subspan(kHeader, m.size() - kHeader - 1), nowNs);
}

DdcPort::ReadResult DdcPort::Read(std::span<uint8_t> out, bool endsTransaction, int64_t nowNs) {
    if (!message_.empty()) {
        // A read in the middle of a write transaction: the unfinished message is lost.
        message_.clear();
        messageOverflow_ = false;
    }
    if (!readOpen_) {
        readOpen_ = true;
        readOpenedBare_ = out.empty();
        readPos_ = 0;
        readingReply_ = hasReply_ && nowNs >= replyReadyNs_;
        if (readingReply_) readStream_ = reply_;
        else readStream_.assign(std::begin(kNullMessage), std::end(kNullMessage));
    }
    ReadResult result{0, readOpenedBare_};
    const uint8_t pastEnd = readOpenedBare_ ? kPastEndBare : kPastEndWithData;
    for (uint8_t& b : out) {
        const bool more = readPos_ < readStream_.size();
        b = more ? readStream_[readPos_++] : pastEnd;
        result.inStream += more;
    }
    if (endsTransaction) EndReadTransaction();
    return result;
}

void DdcPort::EndReadTransaction() {
    readOpen_ = false;
    if (readingReply_) hasReply_ = false;
    readingReply_ = false;
}

void DdcPort::PostReply(uint8_t opcode, std::span<const uint8_t> payload, int64_t readyAtNs, bool badChecksum) {
    reply_ = FrameReply(opcode, payload.first(std::min(payload.size(), kMaxReplyPayload)));
    if (badChecksum) reply_.back() ^= 0xFF;
    replyReadyNs_ = readyAtNs;
    hasReply_ = true;
}

void DdcPort::Reset() {
    message_.clear();
    messageOverflow_ = false;
    readOpen_ = false;
    readingReply_ = false;
    hasReply_ = false;
}

std::vector<uint8_t> DdcPort::FrameReply(uint8_t opcode, std::span<const uint8_t> payload) {
    return Frame(kAddressByte, opcode, payload.first(std::min(payload.size(), kMaxReplyPayload)), kReplyChecksumSeed);
}

std::vector<uint8_t> DdcPort::Frame(uint8_t first, uint8_t opcode, std::span<const uint8_t> body,
                                    uint8_t checksumSeed) {
    const uint8_t header[] = {first, static_cast<uint8_t>(0x80 | (body.size() + 5)), kCommandMarker, 0x00, 0x00,
                              static_cast<uint8_t>(body.size() + 3), opcode};
    // The frame is allocated once at its final size (header, body, checksum) and filled in
    // place, so no copy ever lands beyond what was allocated.
    std::vector<uint8_t> frame(std::size(header) + body.size() + 1);
    std::copy(body.begin(), body.end(), std::copy(std::begin(header), std::end(header), frame.begin()));
    uint8_t checksum = checksumSeed;
    for (size_t i = 0; i + 1 < frame.size(); ++i) checksum ^= frame[i];
    frame.back() = checksum;
    return frame;
}

}  // namespace kdx::sim
