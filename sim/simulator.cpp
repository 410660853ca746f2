#include "sim/simulator.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>

#include "package/images.h"
#include "platform/resources.h"
#include "sim/timing.h"

namespace kdx::sim {

namespace {

constexpr uint16_t kIspDriverResource = 129;
constexpr uint16_t kFirmwareResource = 130;
// The family tag a Tarvik image carries 16 bytes before its end.
constexpr size_t kTagFromEnd = 16;
constexpr char kTarvikTag[] = "TRVK";

// Reads a file of at most `limit` bytes, `bound` naming that limit in the refusal. It never
// reads more than one byte past the limit: that is enough to tell a file too long, even a
// device without end such as /dev/zero.
bool ReadFile(const std::string& path, std::vector<uint8_t>& out, std::string& error, size_t limit,
              const char* bound) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    out.clear();
    for (std::istreambuf_iterator<char> it(in), end; it != end && out.size() <= limit; ++it)
        out.push_back(static_cast<uint8_t>(*it));
    if (out.size() <= limit) return true;
    error = path + " is larger than " + bound;
    return false;
}

// Image files are read up to a bound far above any real image (the firmware fills at most
// the 512 KiB flash), so that a device without end is refused instead of read forever.
constexpr size_t kImageFileLimit = 16u << 20;

bool ReadImageFile(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
    return ReadFile(path, out, error, kImageFileLimit, "16 MiB: not an image");
}

bool ReadResource(uint16_t id, std::vector<uint8_t>& out, std::string& error) {
    platform::Resources& resources = platform::ProgramResources();
    const auto found = resources.Find(u"BIN", id);
    const auto bytes = found ? resources.Lock(resources.Load(found), resources.Size(found)) : std::span<const uint8_t>();
    if (bytes.empty()) {
        error = "the program carries no image " + std::to_string(id);
        return false;
    }
    out.assign(bytes.begin(), bytes.end());
    return true;
}

bool HasTarvikTag(std::span<const uint8_t> image) {
    if (image.size() < kTagFromEnd) return false;
    return std::equal(kTarvikTag, kTarvikTag + 4, image.end() - kTagFromEnd);
}

}  // namespace

bool LoadSimImages(const SimOptions& options, SimImages& images, std::string& error) {
    const bool firmwareOk = options.firmwarePath.empty() ? ReadResource(kFirmwareResource, images.firmware, error)
                                                         : ReadImageFile(options.firmwarePath, images.firmware, error);
    if (!firmwareOk) return false;
    return options.ispDriverPath.empty() ? ReadResource(kIspDriverResource, images.ispDriver, error)
                                         : ReadImageFile(options.ispDriverPath, images.ispDriver, error);
}

std::vector<uint8_t> DriverCodeOf(std::span<const uint8_t> image) {
    const IspDriverCode code = LocateIspDriverCode(image);
    if (!code.complete) return {};
    const auto bytes = image.subspan(code.start, code.length);
    return {bytes.begin(), bytes.end()};
}

Simulator::Simulator(const SimOptions& options, const SimImages& images, platform::Clock& clock,
                     platform::VirtualClock* virtualClock)
    : options_(options),
      image_(images.firmware),
      clock_(clock, virtualClock),
      chaos_(options.chaos ? Chaos(options.chaosSeed, options.chaosRate) : Chaos()) {}

std::unique_ptr<Simulator> Simulator::Create(const SimOptions& options, const SimImages& images, platform::Clock& clock,
                                             platform::VirtualClock* virtualClock, std::string& error) {
    std::unique_ptr<Simulator> sim(new Simulator(options, images, clock, virtualClock));

    std::vector<uint8_t> flash;
    if (!options.flashInPath.empty()) {
        if (!ReadFile(options.flashInPath, flash, error, Flash::kSize, "the 512 KiB flash")) return nullptr;
    } else if (IsFirmwareId(options.chipId)) {
        flash = WithVersion(images.firmware, FirmwareVersion{options.fwMajor, options.fwMinor, options.fwThird});
    }  // else the chip was found in its internal ROM: its flash holds nothing (erased)
    if (!options.tracePath.empty() && !sim->trace_.Open(options.tracePath, error)) return nullptr;

    ChipConfig config;
    // --chip-id and --hw-rev describe the chip as it is found: running firmware with that
    // string, or its internal ROM when no firmware reports such a string.
    (IsFirmwareId(options.chipId) ? config.application : config.irom) = ChipIdentity{options.chipId, options.hwRev};
    config.regC802 = options.regC802;
    config.reg8002 = options.reg8002;
    config.ispDriverCode = DriverCodeOf(images.ispDriver);
    config.imageSize = static_cast<uint32_t>(images.firmware.size());
    config.faults = options.faults;
    sim->chip_ = std::make_unique<SimChip>(std::move(config), sim->record_);
    sim->chip_->AddWholeImage(images.firmware);
    // The initial content counts as a complete image when it is one of ours or carries the
    // family tag: a flash given on purpose with a broken image has its tag cleared.
    if ((options.flashInPath.empty() && !flash.empty()) || HasTarvikTag(flash)) sim->chip_->AddWholeImage(flash);
    sim->chip_->LoadFlash(flash);
    sim->chip_->Boot();

    sim->driver_ = std::make_unique<SimDriver>(*sim->chip_, sim->clock_, sim->options_.faults, sim->chaos_, sim->trace_,
                                               sim->record_, options.deviceId);
    sim->connector_ = std::make_unique<SimDriverConnector>(*sim->driver_, !options.faults.noDriver);
    sim->noComClass_ = std::make_unique<SimDriverConnector>(*sim->driver_, false);
    sim->controlLibrary_ = std::make_unique<SimControlLibrary>(*sim->driver_, sim->options_.faults);
    sim->kernel_ = std::make_unique<SimKernel>(*sim->driver_, sim->clock_, sim->options_.faults, options.deviceId);
    sim->BeginRun(1);
    return sim;
}

Simulator::UpdaterAccess Simulator::ForUpdater() {
    // No Control Library installed: the loader of a simulator whose library is missing.
    struct Missing final : platform::ControlLibraryLoader {
        std::unique_ptr<platform::ControlLibrary> Load() override { return nullptr; }
    };
    static Missing missing;
    if (options_.backend == SimOptions::Backend::ControlLibrary)
        return {*noComClass_, controlLibrary_->Loader(), *kernel_, false};
    if (options_.backend == SimOptions::Backend::Linux) return {*noComClass_, missing, *kernel_, true};
    return {*connector_, missing, *kernel_, false};
}

void Simulator::BeginRun(uint32_t index) {
    record_.Begin(clock_.NowNs());
    trace_.BeginRun(index);
}

void Simulator::EndRun() {
    clock_.Pause(kBetweenRunsNs);
    chip_->Service(clock_.NowNs());
}

bool Simulator::FlashEqualsImage() const {
    const auto flash = chip_->FlashMemory().Bytes();
    if (image_.size() > flash.size()) return false;
    return std::equal(image_.begin(), image_.end(), flash.begin()) &&
           std::all_of(flash.begin() + static_cast<ptrdiff_t>(image_.size()), flash.end(),
                       [](uint8_t b) { return b == Flash::kErased; });
}

// A chip left in ISP mode may not answer the next run's presence probe; only EndIsp taken
// by a running ISP driver, or a power cycle, ends it.
std::string Simulator::LeftInIspMode() const {
    if (!chip_->InIspMode()) return "no";
    const SimChip::Running running = chip_->NowRunning();
    if (running != SimChip::Running::IspDriver)
        return std::string("yes, ") + SimChip::RunningText(running) + " running, no ISP driver to take EndIsp";
    if (record_.endIspReportedDone == 0)
        return record_.endIspBodyCalls == 0 ? "yes, EndIsp not sent to the mailbox" : "yes, EndIsp posting failed every time";
    return record_.endIspWriteLost ? "yes, EndIsp posted but lost" : "yes, EndIsp posted but not taken";
}

void Simulator::Finish() {
    if (finished_) return;
    finished_ = true;
    trace_.Close();
    if (options_.flashOutPath.empty()) return;
    std::ofstream out(options_.flashOutPath, std::ios::binary | std::ios::trunc);
    const auto flash = chip_->FlashMemory().Bytes();
    out.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
}

std::unique_ptr<Session> OpenSession(std::span<const std::string> options, platform::Clock& clock,
                                     platform::VirtualClock* virtualClock, std::string& error) {
    SimOptions parsed;
    if (!ParseOptions(options, parsed, error)) return nullptr;
    SimImages images;
    if (!LoadSimImages(parsed, images, error)) return nullptr;
    return Simulator::Create(parsed, images, clock, virtualClock, error);
}

}  // namespace kdx::sim
