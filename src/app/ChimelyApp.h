// SPDX-License-Identifier: MIT
// CChimelyApp: the process. Start-up takes the single-instance lock; a later start only asks the first
// instance to show its window and ends. The first instance runs the main window modally for the whole of
// its life and ends when that window has shut the SIP agent down. User-interface thread.
#pragma once

#include "platform/WindowMessages.h"

#include <QApplication>

#include <memory>

namespace platform {
class CDialog;
class SingleInstance;
}  // namespace platform

// The names that make one instance per user: the lock's and the activation message's.
constexpr const char* kSingleInstanceMutexName = "3089B296-94DB-45a0-8B86-EEBDC830DE3C";
constexpr const char* kActivateMessageName = "C2C95C46-4C9F-406a-9EB1-72223C43FE83";

// The activation message, registered once during static initialisation; the main window answers it by
// showing itself.
extern const platform::UINT s_uActivateMsg;

class CChimelyApp {
public:
    CChimelyApp(int& argc, char** argv);
    ~CChimelyApp();
    CChimelyApp(const CChimelyApp&) = delete;
    CChimelyApp& operator=(const CChimelyApp&) = delete;

    // Runs the program from InitInstance to its end; returns the process's exit status.
    int Run();

    // Single instance, the settings' place, the main window run modally. Returns false in every case:
    // the program has no message loop of its own beyond the window's.
    virtual bool InitInstance();

    // The main window while it exists, the target of activation requests.
    platform::CDialog* m_pMainWnd = nullptr;

private:
    QApplication m_application;
    // Held until the process ends, like the mutex handle it stands for.
    std::unique_ptr<platform::SingleInstance> m_singleInstance;
};
