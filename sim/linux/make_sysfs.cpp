// kdx4610-sim-sysfs DIR [kdx4610-sim options]: writes the simulator's sysfs tree of the
// DisplayPort AUX and I2C nodes under DIR, as the kernel lays it out: the device
// directories under devices/, the class entries and each node's `device` as relative
// links, the `name` attributes as files. The namespace runner mounts it over /sys, where
// the real kdx4610-update walks it with the real system calls.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/session.h"

namespace fs = std::filesystem;

namespace {

constexpr char kSys[] = "/sys";

// Where a path under /sys lies in the tree written under `root`.
fs::path Under(const fs::path& root, const std::string& sysPath) {
    return root / fs::path(sysPath).lexically_relative(kSys);
}

void Link(const fs::path& root, const std::string& link, const std::string& target) {
    const fs::path at = Under(root, link);
    fs::create_directories(at.parent_path());
    fs::create_symlink(fs::path(target).lexically_relative(fs::path(link).parent_path()), at);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: kdx4610-sim-sysfs DIR [kdx4610-sim options]\n";
        return 2;
    }
    const fs::path root = argv[1];
    const std::vector<std::string> options(argv + 2, argv + argc);
    std::string error;
    auto session = kdx::sim::OpenSession(options, kdx::platform::SystemClock(), nullptr, error);
    if (!session) {
        std::cerr << "kdx4610-sim-sysfs: " << error << '\n';
        return 2;
    }
    kdx::platform::DpAuxSystem& kernel = session->DpAux();
    for (const char* cls : {"/class/drm_dp_aux_dev", "/class/i2c-dev"}) {
        const std::string classDir = std::string(kSys) + cls;
        fs::create_directories(Under(root, classDir));
        for (const std::string& entry : kernel.ListDirectory(classDir)) {
            const std::string path = classDir + "/" + entry;
            const auto node = kernel.ResolvePath(path);
            const auto device = kernel.ResolvePath(path + "/device");
            if (!node || !device) continue;
            fs::create_directories(Under(root, *node));
            fs::create_directories(Under(root, *device));
            Link(root, path, *node);
            Link(root, *node + "/device", *device);
            if (const auto name = kernel.ReadAttribute(path + "/name")) {
                std::ofstream(Under(root, *node + "/name")) << *name << '\n';
            }
        }
    }
    return 0;
}
