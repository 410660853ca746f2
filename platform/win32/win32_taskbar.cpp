#include "platform/win32/taskbar.h"

#include <shobjidl.h>

namespace kdx::platform::win32 {

Taskbar::~Taskbar() {
    if (list_ != nullptr) list_->Release();
    if (comInitialised_) CoUninitialize();
}

ITaskbarList3* Taskbar::List() {
    if (tried_ || window_ == nullptr) return list_;
    tried_ = true;
    comInitialised_ = SUCCEEDED(CoInitialize(nullptr));
    void* object = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3, &object))) {
        return nullptr;
    }
    auto* list = static_cast<ITaskbarList3*>(object);
    if (FAILED(list->HrInit())) {
        list->Release();
        return nullptr;
    }
    list_ = list;
    return list_;
}

void Taskbar::SetProgress(uint32_t done, uint32_t total) {
    ITaskbarList3* list = List();
    if (list == nullptr) return;
    list->SetProgressState(window_, TBPF_NORMAL);
    list->SetProgressValue(window_, done, total);
}

void Taskbar::SetError() {
    if (ITaskbarList3* list = List()) list->SetProgressState(window_, TBPF_ERROR);
}

void Taskbar::Clear() {
    if (ITaskbarList3* list = List()) list->SetProgressState(window_, TBPF_NOPROGRESS);
}

}  // namespace kdx::platform::win32
