#include "gfx/gfx_lib_control_library.h"

#include <algorithm>

#include "gfx/aux_transfers.h"

namespace kdx {

namespace ctl = platform::ctl;

namespace {

// The first call of an enumeration asks for the count with a null array, the second fills
// an array of that size and may report fewer. Counts are capped at `most`; a failure of
// either call gives an empty list and the library's result.
template <typename Owner, typename Handle>
std::vector<Handle> Enumerate(ctl::Result (*list)(Owner, uint32_t*, Handle*), Owner owner, uint32_t most,
                              ctl::Result& result) {
    uint32_t count = 0;
    result = list(owner, &count, nullptr);
    if (result != ctl::kSuccess) return {};
    std::vector<Handle> handles(std::min(count, most));
    if (handles.empty()) return handles;
    uint32_t filled = static_cast<uint32_t>(handles.size());
    result = list(owner, &filled, handles.data());
    if (result != ctl::kSuccess) return {};
    handles.resize(std::min<size_t>(filled, handles.size()));
    return handles;
}

// Each AUX request command code as the library's operation and flags.
struct AuxOperation {
    int32_t opType;
    uint32_t flags;
};

bool ToAuxOperation(uint32_t command, AuxOperation& out) {
    switch (command) {
        case gfx::kNativeWrite: out = {ctl::kAuxWrite, ctl::kAuxFlagNative}; return true;
        case gfx::kNativeRead: out = {ctl::kAuxRead, ctl::kAuxFlagNative}; return true;
        case gfx::kI2cWrite: out = {ctl::kAuxWrite, ctl::kAuxFlagI2c}; return true;
        case gfx::kI2cRead: out = {ctl::kAuxRead, ctl::kAuxFlagI2c}; return true;
        case gfx::kI2cWriteMot: out = {ctl::kAuxWrite, ctl::kAuxFlagI2c | ctl::kAuxFlagMiddleOfTransaction}; return true;
        case gfx::kI2cReadMot: out = {ctl::kAuxRead, ctl::kAuxFlagI2c | ctl::kAuxFlagMiddleOfTransaction}; return true;
        default: return false;
    }
}

constexpr char16_t kInitDoneLine[] = u"Graphics adapter initialization - Intel (Control Library): done!\r\n";
constexpr char16_t kInitMissingLine[] =
    u"Graphics adapter initialization - Intel (Control Library): ControlLib.dll not available!\r\n";
constexpr char16_t kInitFailedLine[] = u"Graphics adapter initialization - Intel (Control Library): failed! (0x%X)\r\n";
constexpr char16_t kNotAdministratorLine[] =
    u"Insufficient permissions! Run the program as administrator.\r\n";

}  // namespace

GfxLibControlLibrary::GfxLibControlLibrary(platform::ControlLibraryLoader& loader, platform::Clock& clock)
    : AuxTransferLib(clock), loader_(loader) {}

int32_t GfxLibControlLibrary::Transfer(uint32_t deviceId, uint32_t command, uint32_t address,
                                       std::span<uint8_t> data) {
    if (!library_ || api_ == nullptr) return gfx::kNoInterface;
    if (deviceId == 0 || deviceId > outputs_.size()) return gfx::kInvalidArgument;
    AuxOperation operation{};
    if (!ToAuxOperation(command, operation)) return gfx::kInvalidArgument;

    ctl::AuxAccessArgs args{};
    args.Size = sizeof args;
    args.OpType = operation.opType;
    args.Flags = operation.flags;
    args.Address = address;
    args.DataSize = static_cast<uint32_t>(data.size());
    const bool read = operation.opType == ctl::kAuxRead;
    if (!read) std::copy(data.begin(), data.end(), args.Data);
    const ctl::Result result = library_->Functions().AuxAccess(outputs_[deviceId - 1], &args);
    // Whatever the library says it returned, the piece is the size that was asked for.
    if (read) std::copy_n(args.Data, data.size(), data.begin());
    return result == ctl::kSuccess ? gfx::kOk : Failed(result);
}

GfxLibControlLibrary::~GfxLibControlLibrary() { Shutdown(); }

void GfxLibControlLibrary::Shutdown() {
    if (library_ && api_ != nullptr) library_->Functions().Close(api_);
    api_ = nullptr;
    outputs_.clear();
    library_.reset();
}

int32_t GfxLibControlLibrary::Failed(ctl::Result result) {
    lastLibraryResult_ = result;
    // Only administrators may write: the library's way of saying so is its own code.
    return result == ctl::kInsufficientPermissions ? gfx::kNotElevated : gfx::kLibraryCallFailed;
}

int32_t GfxLibControlLibrary::Initialize(WText& log) {
    Shutdown();
    library_ = loader_.Load();
    if (!library_) {
        log = kInitMissingLine;
        return gfx::kInitFailed;
    }
    ctl::InitArgs args{};
    args.Size = sizeof args;
    args.AppVersion = ctl::kApiVersion;
    ctl::ApiHandle api = nullptr;
    const ctl::Result result = library_->Functions().Init(&args, &api);
    if (result != ctl::kSuccess || api == nullptr) {
        lastLibraryResult_ = result;
        log = FormatW(kInitFailedLine, {result});
        library_.reset();
        return gfx::kInitFailed;
    }
    api_ = api;
    log = kInitDoneLine;
    return gfx::kOk;
}

bool GfxLibControlLibrary::ListOutputs() {
    outputs_.clear();
    ctl::Result result = ctl::kSuccess;
    const auto adapters = Enumerate(library_->Functions().EnumerateDevices, api_, kMaxAdapters, result);
    if (result != ctl::kSuccess) {
        lastLibraryResult_ = result;
        return false;
    }
    for (ctl::AdapterHandle adapter : adapters) {
        const auto outputs =
            Enumerate(library_->Functions().EnumerateDisplayOutputs, adapter, kMaxOutputsPerAdapter, result);
        // An adapter that cannot list its outputs has none the updater can reach.
        if (result != ctl::kSuccess) lastLibraryResult_ = result;
        outputs_.insert(outputs_.end(), outputs.begin(), outputs.end());
    }
    return true;
}

int32_t GfxLibControlLibrary::FindDevice(uint32_t& deviceId, uint32_t address, WText& log) {
    log.clear();
    deviceId = 0;
    if (!library_ || api_ == nullptr) {
        log = u"  ==> No available connection was found!\r\n";
        return gfx::kNotSupported;
    }
    if (!ListOutputs()) log += FormatW(u"  Adapters: N/A (0x%X)\r\n", {lastLibraryResult_});
    const SearchRules rules{
        [](uint32_t id) { return FormatW(u"  Output %d = ", {id}); },
        nullptr,
        // Nothing can be written to any output: the search and the run end here.
        [](int32_t result, WText& text) -> std::optional<int32_t> {
            if (result != gfx::kNotElevated) return std::nullopt;
            text += kNotAdministratorLine;
            return gfx::kSearchFailure;
        },
        [this](int32_t result) {
            return gfx::ProbeFailureText(result == gfx::kLibraryCallFailed ? static_cast<int32_t>(lastLibraryResult_)
                                                                           : result);
        },
    };
    return SearchConnections(1, static_cast<uint32_t>(outputs_.size()), address, deviceId, log, rules);
}

}  // namespace kdx
