// SPDX-License-Identifier: MIT
#include "app/ChimelyApp.h"

#include "platform/FrameworkExit.h"
#include "platform/MessageBox.h"
#include "platform/ProfileStore.h"
#include "platform/QtShell.h"
#include "platform/RegisteredMessages.h"
#include "platform/SessionEnd.h"
#include "platform/ShowCommand.h"
#include "platform/SingleInstance.h"
#include "ui/ChimelyDlg.h"

const platform::UINT s_uActivateMsg = platform::RegisterWindowMessage(kActivateMessageName);

namespace {

constexpr const char* kRegistryKey = "Vantorell";

}  // namespace

CChimelyApp::CChimelyApp(int& argc, char** argv) : m_application(argc, argv) {
    // The window hides into the notification area; only Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
}

// The program's Qt objects that live in statics go before the application object, never after it.
CChimelyApp::~CChimelyApp() {
    platform::QtShell::Instance().ReleaseQtObjects();
    platform::ReleaseAppProfile();
}

int CChimelyApp::Run() {
    InitInstance();
    return 0;
}

bool CChimelyApp::InitInstance() {
    m_singleInstance = std::make_unique<platform::SingleInstance>(
        platform::UserRuntimeDirectory(), QString::fromLatin1(kSingleInstanceMutexName),
        QString::fromLatin1(kActivateMessageName));
    switch (m_singleInstance->Create()) {
        case platform::SingleInstance::Result::AlreadyRunning:
            // The first instance shows itself; this one ends without waiting for it.
            m_singleInstance->PostActivate();
            return false;
        case platform::SingleInstance::Result::Failed:
            return false;
        case platform::SingleInstance::Result::First:
            break;
    }

    platform::SetRegistryKey(QString::fromLatin1(kRegistryKey));
    const int showCommand = platform::StartupShowCommand(QCoreApplication::arguments());
    const bool startHidden = showCommand == platform::SW_MINIMIZE ||
                             showCommand == platform::SW_SHOWMINIMIZED ||
                             showCommand == platform::SW_SHOWMINNOACTIVE;

    CChimelyDlg dialog(startHidden, nullptr, {}, CChimelyDlg::SignIn::First);
    m_pMainWnd = &dialog;
    m_singleInstance->SetActivationHandler([this] {
        if (m_pMainWnd)
            m_pMainWnd->PostMessage(s_uActivateMsg);
    });
    // A log-out: the bindings are removed while the session manager waits; when the session then ends
    // the program, it ends as after Exit.
    platform::SessionEnd sessionEnd([&dialog] { dialog.SendMessage(platform::WM_ENDSESSION, 1); },
                                    [&dialog] {
                                        // Whatever the user has open, the run ends now.
                                        dialog.LimitShutdownWait(kSignalShutdownWaitMs, kSignalStackStopWait);
                                        dialog.SendMessage(platform::WM_ENDSESSION, 1);
                                        platform::EndModalLoops();
                                        dialog.EndDialog(platform::IDCANCEL);
                                    });
    // The display went away under the window and the framework is ending the process from inside the
    // modal loop (FrameworkExit.h): the bindings are removed and the subscriptions ended within the bound
    // a termination signal has, and the lock and the socket are let go, as after Exit.
    platform::FrameworkExit displayGone([this, &dialog] {
        dialog.LimitShutdownWait(kSignalShutdownWaitMs, kSignalStackStopWait);
        dialog.ShutdownWithoutWindow();
        m_singleInstance.reset();
    });
    dialog.DoModal();
    m_singleInstance->SetActivationHandler(nullptr);
    m_pMainWnd = nullptr;
    return false;
}
