// The program's own resources: the two images are resources of type "BIN" in the
// executable (resources/images.rc), found by id whatever the user's interface language,
// with the digests the build recorded for them.
#include <windows.h>

#include "kdx_image_digests.h"
#include "platform/resources.h"
#include "platform/win32/win32_text.h"

namespace kdx::platform {

namespace {

class ModuleResources final : public Resources {
public:
    Handle Find(WTextView type, uint16_t id) override {
        const std::wstring typeName = win32::ToApiText(type);
        return FindResourceW(nullptr, MAKEINTRESOURCEW(id), typeName.c_str());
    }
    Loaded Load(Handle found) override {
        if (found == nullptr) return nullptr;
        return LoadResource(nullptr, Info(found));
    }
    uint32_t Size(Handle found) override {
        if (found == nullptr) return 0;
        return SizeofResource(nullptr, Info(found));
    }
    std::span<const uint8_t> Lock(Loaded loaded, uint32_t size) override {
        if (loaded == nullptr) return {};
        const void* bytes = LockResource(const_cast<HGLOBAL>(loaded));
        if (bytes == nullptr) return {};
        return {static_cast<const uint8_t*>(bytes), size};
    }
    std::optional<Sha256Digest> RecordedSha256(WTextView type, uint16_t id) override {
        return EmbeddedImageSha256(type, id);
    }

private:
    static HRSRC Info(Handle found) { return static_cast<HRSRC>(const_cast<void*>(found)); }
};

}  // namespace

Resources& ProgramResources() {
    static ModuleResources resources;
    return resources;
}

}  // namespace kdx::platform
