#include "chip/isp_procedure.h"

#include "chip/result_code.h"
#include "chip/command_channel.h"
#include "chip/firmware_write.h"
#include "chip/flash_ops.h"
#include "chip/isp_entry.h"
#include "chip/mailbox.h"

namespace kdx {

namespace {

// Between the two entry commands.
constexpr uint16_t kEntryCommandPauseMs = 1;
// The chip switches into ISP mode, and later the started driver sets up its mailbox; both
// take this long. A plain sleep: no precision is needed here.
constexpr uint32_t kModeSwitchSleepMs = 800;

// Everything up to the closing request. Leaves the step message of a failure in `message`.
void RunSteps(ChipContext& context, int32_t& resultCode, WText& message) {
    if (!SendCommandTable(context, IspEntryCommand1)) {
        message = u"ISP initialization failed!\r\n";
        return;
    }
    DelayMs(context, kEntryCommandPauseMs);
    const bool entered = SendCommandTable(context, IspEntryCommand2);
    context.system.clock.Sleep(kModeSwitchSleepMs);
    if (!entered) {
        message = u"ISP initialization failed!\r\n";
        return;
    }
    context.BeginStage(ProgressStage::DownloadIspDriver);
    if (!DownloadIspDriver(context)) {
        message = u"Load ISP driver failed!\r\n";
        return;
    }
    // A start command whose acknowledgement is lost still starts the driver; the mailbox
    // window below tells whether it runs.
    SendCommandTable(context, IspDriverStartCommand);
    context.system.clock.Sleep(kModeSwitchSleepMs);
    if (!GetDpcdBufferAddr(context, message)) {
        message = u"Getting DPCD buffer addr ... failed!\r\n";
        return;
    }
    context.BeginStage(ProgressStage::ReadFlashId);
    if (!GetFlashId(context, context.flashId, message)) {
        message = u"Get FlashID failed!\r\n";
        return;
    }
    resultCode = FlashProgramFailed;
    context.BeginStage(ProgressStage::EraseFlash);
    if (!EraseFlash(context)) {
        message = u"Erase Flash failed!\r\n";
        return;
    }
    context.BeginStage(ProgressStage::WriteFirmware);
    if (!WriteFirmware(context)) {
        message = u"Write FW failed!\r\n";
        return;
    }
    const uint32_t expected = context.imageVersion;
    if (ReadFirmwareVersion(context) == expected) {
        resultCode = Success;
        return;
    }
    message = u"Compare FW version failed!\r\n";
}

}  // namespace

bool RunIspProcedure(ChipContext& context, int32_t& resultCode) {
    resultCode = IspSetupFailed;
    WText message;
    platform::IspGuard* const guard = context.system.ispGuard;
    if (guard != nullptr) guard->Begin();
    RunSteps(context, resultCode, message);
    // Whatever step ended the sequence, the chip must leave ISP mode and boot its flash.
    EndIsp(context);
    if (guard != nullptr) guard->End(resultCode == Success);
    if (resultCode != Success) {
        context.system.debug.Write(message);
        return false;
    }
    return true;
}

}  // namespace kdx
