// The chip's command port: DDC/CI messages at the I2C address byte 0x6E, carried by
// I2C-over-AUX transactions.
//
// A write transaction is one message, whatever the number of AUX pieces: pieces with the
// middle-of-transaction bit (code 4) keep it open, the piece without it (code 0) ends it,
// and only then does the chip look at the message. A read transaction delivers the pending
// reply as one byte stream, header first and continuation after it, and ends with a piece
// without the middle-of-transaction bit (code 1), which consumes the reply. While no reply
// is ready, the stream is the DDC/CI null message 6E 80 BE.
//
// The Linux kernel frames the same transactions otherwise: a bare address (a piece of no
// data) with the bit opens each one, every data piece keeps the bit, and a bare address
// without it closes the transaction. Both framings end a transaction on the piece without
// the bit, whether it carries data or none.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kdx::sim {

class DdcPort {
public:
    static constexpr uint8_t kAddressByte = 0x6E;  // the chip's DDC/CI address (write address)
    static constexpr uint8_t kHostSource = 0x51;   // source byte of host messages
    static constexpr uint8_t kCommandMarker = 0xC2;
    static constexpr uint8_t kReplyChecksumSeed = 0x50;
    static constexpr uint8_t kAckOpcode = 0x0C;
    // The longest message the port buffers: the length byte allows 127 bytes of body.
    static constexpr size_t kMaxMessage = 2 + 127 + 1;
    // The longest payload of a reply: n = payload + 5 must stay within 127.
    static constexpr size_t kMaxReplyPayload = 122;

    // Receives each well-formed command message.
    class Handler {
    public:
        virtual void OnCommand(uint8_t opcode, std::span<const uint8_t> arguments, int64_t nowNs) = 0;

    protected:
        ~Handler() = default;
    };

    explicit DdcPort(Handler& handler) : handler_(handler) {}

    void Write(std::span<const uint8_t> piece, bool endsTransaction, int64_t nowNs);
    // Fills `out` from the read stream. Past its end a transaction the kernel's way (opened
    // by a bare address) reads 0xFF, what an idle bus reads, and is for the chip to answer
    // as the over-read fault says; one opened with data (the Windows drivers, which read
    // past the end only when a reply's header was damaged) reads 0x00 as it always has.
    struct ReadResult {
        size_t inStream = 0;         // the bytes of `out` that came from the stream
        bool openedBare = false;     // the transaction began with a bare address
    };
    ReadResult Read(std::span<uint8_t> out, bool endsTransaction, int64_t nowNs);
    static constexpr uint8_t kPastEndBare = 0xFF;
    static constexpr uint8_t kPastEndWithData = 0x00;

    // Makes a reply ready at `readyAtNs`; it replaces any reply not yet read.
    void PostReply(uint8_t opcode, std::span<const uint8_t> payload, int64_t readyAtNs, bool badChecksum);
    // Forgets transactions in progress and any reply (the chip restarted).
    void Reset();

    // The frame of a reply: 6E, 80|n, C2 00 00, ll, opcode, payload, checksum.
    static std::vector<uint8_t> FrameReply(uint8_t opcode, std::span<const uint8_t> payload);
    // Any DDC/CI message in the chip's command framing: first (the address byte of a reply,
    // the source byte 0x51 of a host message), 80|(k+5), C2 00 00, k+3, opcode, the k body
    // bytes, and the XOR of `checksumSeed` and every byte before the checksum.
    static std::vector<uint8_t> Frame(uint8_t first, uint8_t opcode, std::span<const uint8_t> body,
                                      uint8_t checksumSeed);

private:
    void EndReadTransaction();
    void Deliver(std::span<const uint8_t> message, int64_t nowNs);

    Handler& handler_;
    std::vector<uint8_t> message_;  // write transaction in progress
    bool messageOverflow_ = false;
    bool readOpen_ = false;
    bool readOpenedBare_ = false;
    bool readingReply_ = false;
    std::vector<uint8_t> readStream_;
    size_t readPos_ = 0;
    bool hasReply_ = false;
    std::vector<uint8_t> reply_;
    int64_t replyReadyNs_ = 0;
};

}  // namespace kdx::sim
