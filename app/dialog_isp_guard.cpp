#include "app/dialog_isp_guard.h"

namespace kdx {

void DialogIspGuard::Begin() {
    if (power_ != nullptr) power_->Begin();
    inSpan_ = true;
    shown_ = true;
    taskbar_.SetProgress(0, total_);
}

void DialogIspGuard::End(bool success) {
    inSpan_ = false;
    if (power_ != nullptr) power_->End(success);
    if (!success) taskbar_.SetError();
}

void DialogIspGuard::Progress(uint32_t done) {
    if (inSpan_) taskbar_.SetProgress(done, total_);
}

void DialogIspGuard::Finish() {
    if (!shown_) return;
    shown_ = false;
    taskbar_.Clear();
}

}  // namespace kdx
