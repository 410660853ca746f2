#include <algorithm>

#include "platform/resources.h"

namespace kdx::platform {

void MemoryResources::Add(WTextView type, uint16_t id, std::span<const uint8_t> bytes,
                          std::optional<Sha256Digest> recorded) {
    Remove(type, id);
    if (count_ == kMaxEntries) return;
    entries_[count_++] = Entry{WText(type), id, bytes, recorded};
}

void MemoryResources::Remove(WTextView type, uint16_t id) {
    for (int i = 0; i < count_; ++i) {
        if (entries_[i].type == type && entries_[i].id == id) {
            entries_[i] = entries_[--count_];
            return;
        }
    }
}

Resources::Handle MemoryResources::Find(WTextView type, uint16_t id) {
    for (int i = 0; i < count_; ++i) {
        if (entries_[i].type == type && entries_[i].id == id) return &entries_[i];
    }
    return nullptr;
}

Resources::Loaded MemoryResources::Load(Handle found) { return found; }

uint32_t MemoryResources::Size(Handle found) {
    if (found == nullptr) return 0;
    return static_cast<uint32_t>(static_cast<const Entry*>(found)->bytes.size());
}

std::span<const uint8_t> MemoryResources::Lock(Loaded loaded, uint32_t size) {
    if (loaded == nullptr) return {};
    const auto& bytes = static_cast<const Entry*>(loaded)->bytes;
    if (bytes.data() == nullptr) return {};
    return bytes.first(std::min<size_t>(size, bytes.size()));
}

std::optional<Sha256Digest> MemoryResources::RecordedSha256(WTextView type, uint16_t id) {
    const auto* entry = static_cast<const Entry*>(Find(type, id));
    return entry == nullptr ? std::nullopt : entry->recorded;
}

}  // namespace kdx::platform
