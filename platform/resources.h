// The program's embedded resources (FindResourceW, LoadResource, SizeofResource,
// LockResource on the program's own module). Image loading mirrors these four steps,
// because each has its own failure message.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/sha256.h"
#include "platform/wtext.h"

namespace kdx::platform {

class Resources {
public:
    // Opaque handles, as the Windows API has them; null means failure.
    using Handle = const void*;
    using Loaded = const void*;

    virtual ~Resources() = default;
    virtual Handle Find(WTextView type, uint16_t id) = 0;
    virtual Loaded Load(Handle found) = 0;
    virtual uint32_t Size(Handle found) = 0;
    // The resource's bytes; empty on failure.
    virtual std::span<const uint8_t> Lock(Loaded loaded, uint32_t size) = 0;
    // The SHA-256 the build recorded for a resource it embedded, which the locked bytes
    // must match; none for a resource whose bytes the build did not fix.
    virtual std::optional<Sha256Digest> RecordedSha256(WTextView type, uint16_t id) = 0;
};

// The program's own resources: the real resource section on Windows; on Linux the
// images linked into the binary at build time. Both images carry the digests recorded
// when the build was configured.
Resources& ProgramResources();

// A resource table held in memory: what the Linux build links in, and what tests and the
// simulator use to put other images in place of the embedded ones.
class MemoryResources final : public Resources {
public:
    struct Entry {
        WText type;
        uint16_t id;
        std::span<const uint8_t> bytes;
        std::optional<Sha256Digest> recorded;
    };

    void Add(WTextView type, uint16_t id, std::span<const uint8_t> bytes,
             std::optional<Sha256Digest> recorded = std::nullopt);
    void Remove(WTextView type, uint16_t id);

    Handle Find(WTextView type, uint16_t id) override;
    Loaded Load(Handle found) override;
    uint32_t Size(Handle found) override;
    std::span<const uint8_t> Lock(Loaded loaded, uint32_t size) override;
    std::optional<Sha256Digest> RecordedSha256(WTextView type, uint16_t id) override;

private:
    static constexpr int kMaxEntries = 8;
    Entry entries_[kMaxEntries];
    int count_ = 0;
};

}  // namespace kdx::platform
