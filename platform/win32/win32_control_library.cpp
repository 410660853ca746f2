// Intel's Graphics Control Library on Windows: ControlLib.dll, which current graphics
// drivers install in the system directory. It is loaded from there only, never from the
// program's own folder or the current directory, where anyone could have put a DLL of that
// name for an elevated updater to run.
#include <windows.h>

#include <memory>

#include "platform/control_library.h"
#include "platform/win32/system_library.h"

namespace kdx::platform {

namespace {

constexpr wchar_t kControlLibraryFile[] = L"ControlLib.dll";

class Win32ControlLibrary final : public ControlLibrary {
public:
    Win32ControlLibrary() : dll_(kControlLibraryFile) {}

    // All five exports, or false.
    bool Resolve() {
        if (!dll_.loaded()) return false;
        functions_.Init = dll_.Find<decltype(functions_.Init)>(ctl::kExportNames[0]);
        functions_.Close = dll_.Find<decltype(functions_.Close)>(ctl::kExportNames[1]);
        functions_.EnumerateDevices = dll_.Find<decltype(functions_.EnumerateDevices)>(ctl::kExportNames[2]);
        functions_.EnumerateDisplayOutputs =
            dll_.Find<decltype(functions_.EnumerateDisplayOutputs)>(ctl::kExportNames[3]);
        functions_.AuxAccess = dll_.Find<decltype(functions_.AuxAccess)>(ctl::kExportNames[4]);
        return functions_.Init && functions_.Close && functions_.EnumerateDevices &&
               functions_.EnumerateDisplayOutputs && functions_.AuxAccess;
    }

    const ctl::Functions& Functions() const override { return functions_; }

private:
    win32::SystemLibrary dll_;
    ctl::Functions functions_{};
};

class SystemDirectoryLoader final : public ControlLibraryLoader {
public:
    std::unique_ptr<ControlLibrary> Load() override {
        auto library = std::make_unique<Win32ControlLibrary>();
        if (!library->Resolve()) return nullptr;
        return library;
    }
};

}  // namespace

ControlLibraryLoader& SystemControlLibraryLoader() {
    static SystemDirectoryLoader loader;
    return loader;
}

}  // namespace kdx::platform
