#include "app/workflow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/images.h"
#include "support/fake_gfx_lib.h"
#include "support/test_system.h"

namespace kdx {
namespace {

using testing::FakeGfxLib;

const std::vector<uint8_t> kDriver{0x00, 0x01, 0x00, 0x00, 0x90, 0x90};
// A Tarvik image of version 1.58.
const std::vector<uint8_t> kFirmware158 = [] {
    std::vector<uint8_t> image(4096, 0xFF);
    std::copy_n(std::array<uint8_t, 3>{58, 1, 0}.begin(), 3, image.end() - 20);
    std::copy_n("TRVK", 4, image.end() - 16);
    return image;
}();

// A run whose adapter step binds the fake adapter, and whose ISP step is recorded and
// succeeds. A whole run, the version texts and the codes the real steps leave are run end
// to end against the simulator.
struct WorkflowFixture : ::testing::Test {
    testing::TestSystem sys;
    UpdateRun run{sys.system, sys.connector, sys.controlLibrary};
    FakeGfxLib gfx;
    std::vector<std::string> trail;
    WorkflowSteps steps = DefaultWorkflowSteps();
    WorkflowStages stages;

    void SetUp() override {
        sys.resources.Add(kImageResourceType, kIspDriverResourceId, kDriver);
        sys.resources.Add(kImageResourceType, kFirmwareResourceId, kFirmware158);
        steps.loadImages = Traced("images", steps.loadImages);
        steps.openAdapter = Traced("adapter", [this](UpdateRun& r) {
            r.chip.activeAdapter = &gfx;
            return true;
        });
        steps.checkChip = Traced("chip", steps.checkChip);
        steps.runIspProcedure = Traced("isp", [this](UpdateRun& r) {
            r.resultCode = 0;
            return true;
        });
    }

    std::function<bool(UpdateRun&)> Traced(const char* name, std::function<bool(UpdateRun&)> step) {
        return [this, name, step](UpdateRun& r) {
            trail.emplace_back(name);
            return step(r);
        };
    }

    void Run() {
        run.resultCode = 12345;  // the run starts at 99 whatever was there
        RunSilentWorkflow(run, stages, steps);
    }
};

// No backend of today ends a search with a failure that stops the selection; one that
// does ends the run as NotTarget with the selection's report, before the chip check.
TEST_F(WorkflowFixture, ASearchFailureEndsTheRunWithTheSelectionReport) {
    steps.openAdapter = Traced("adapter", DefaultWorkflowSteps().openAdapter);
    run.chip.activeAdapter = &gfx;
    gfx.findDeviceResult = gfx::kSearchFailure;
    Run();
    EXPECT_EQ(trail, (std::vector<std::string>{"images", "adapter"}));
    EXPECT_EQ(run.resultCode, 30);
    EXPECT_TRUE(stages.imagesLoaded);
    EXPECT_FALSE(stages.adapterOpened);
    EXPECT_EQ(sys.debug.messages, std::vector<WText>{u"Gfx Selection = 0\r\n  search: 3\r\n"});
}

}  // namespace
}  // namespace kdx
