#include "sim/comserver/fake_session.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/clock.h"
#include "sim/comserver/driver_config.h"

namespace kdx::sim::fake {

namespace {

std::string Narrow(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr,
                                   nullptr);
    return out;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes.clear();
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return ok;
}

}  // namespace

void FakeSession::ReportError(const std::string& text) const {
    // Standard error reaches the terminal under Wine; the debugger output is kept for the
    // updater's own messages, which the tests count.
    std::fprintf(stderr, "%s: %s\n", name_, text.c_str());
    std::fflush(stderr);
}

std::wstring FakeSession::ModulePath() const {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module_, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring FakeSession::ConfigPath() const {
    std::wstring fromEnvironment(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(configVariable_, fromEnvironment.data(),
                                            static_cast<DWORD>(fromEnvironment.size()));
    if (n > 0 && n < fromEnvironment.size()) {
        fromEnvironment.resize(n);
        return fromEnvironment;
    }
    std::wstring path = ModulePath();
    const size_t dot = path.find_last_of(L".\\/");
    if (dot != std::wstring::npos && path[dot] == L'.') path.resize(dot);
    return path + L".cfg";
}

bool FakeSession::ReadOptions(std::vector<std::string>& options) const {
    const std::wstring path = ConfigPath();
    std::string text;
    if (!ReadFileBytes(path, text)) {
        ReportError("cannot read the configuration " + Narrow(path));
        return false;
    }
    options = ParseDriverConfig(text);
    return true;
}

Session* FakeSession::GetLocked() {
    if (session_ || failed_) return session_.get();
    failed_ = true;
    std::vector<std::string> options;
    if (!ReadOptions(options)) return nullptr;
    std::string error;
    // The updater paces the chip with the real performance counter and real sleeps, so the
    // simulated chip runs on real time too.
    session_ = OpenSession(options, platform::SystemClock(), nullptr, error);
    if (!session_) {
        ReportError(Narrow(ConfigPath()) + ": " + error);
        return nullptr;
    }
    failed_ = false;
    return session_.get();
}

void FakeSession::Finish() {
    const Locked lock(*this);
    if (!session_) return;
    session_->Finish();
    session_.reset();
}

}  // namespace kdx::sim::fake
