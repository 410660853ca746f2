// A DLL of the system's own, loaded from the system directory only and freed with its owner.
// The updater is downloaded and often run elevated from a folder anyone can write to: a DLL
// that is not one of the system's known DLLs would otherwise be looked for first beside the
// program, where a planted copy would run with the updater's rights.
#pragma once

#include <windows.h>

namespace kdx::platform::win32 {

class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* fileName)
        : module_(LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}
    ~SystemLibrary() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    bool loaded() const { return module_ != nullptr; }

    // The export `name` as a function of type Fn, or nullptr when the DLL or the export is
    // missing. (The cast goes through void(*)(), which GCC accepts for any function type.)
    template <typename Fn>
    Fn Find(const char* name) const {
        if (module_ == nullptr) return nullptr;
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

}  // namespace kdx::platform::win32
