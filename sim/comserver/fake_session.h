// What the two Windows stand-ins for the graphics driver share (the COM server for
// "Igfxext.CUIExternal" and the Control Library DLL): one chip simulator session per
// process, opened on first use from a configuration file of kdx4610-sim options, held
// behind one lock, and saved (trace and flash) when the process ends; and the real-time
// pacing of each AUX transaction.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/session.h"

namespace kdx::sim::fake {

class FakeSession {
public:
    // `name` prefixes error messages; the configuration is the file named by the
    // environment variable `configVariable`, or else the DLL's own path with ".cfg".
    FakeSession(const char* name, const wchar_t* configVariable) : name_(name), configVariable_(configVariable) {}

    void SetModule(HMODULE module) { module_ = module; }
    std::wstring ModulePath() const;
    std::wstring ConfigPath() const;
    // The configuration's options; false when the file cannot be read.
    bool ReadOptions(std::vector<std::string>& options) const;

    // With the lock held: the session, opened on the first call; null when it cannot be.
    Session* GetLocked();
    // Saves the trace and the flash (at process detach).
    void Finish();

    void ReportError(const std::string& text) const;

    class Locked {
    public:
        explicit Locked(FakeSession& owner) : lock_(owner.lock_) { AcquireSRWLockExclusive(&lock_); }
        ~Locked() { ReleaseSRWLockExclusive(&lock_); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        SRWLOCK& lock_;
    };

private:
    const char* name_;
    const wchar_t* configVariable_;
    HMODULE module_ = nullptr;
    SRWLOCK lock_ = SRWLOCK_INIT;
    // The simulated chip lives as long as the process: the updater may connect more than
    // once in one run, and the chip keeps its ISP mode and its flash across connections as
    // the hardware does.
    std::unique_ptr<Session> session_;
    bool failed_ = false;
};

}  // namespace kdx::sim::fake
