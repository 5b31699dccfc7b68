// SPDX-License-Identifier: MIT
// The dialog base of the program's windows, with the life cycle of a modal dialog on Windows:
// DoModal runs OnInitDialog, the modal loop, and on the way out OnDestroy. The loop ends only through
// EndDialog: hiding the window (into the notification area, say) leaves it running. Window timers with
// fixed ids go to OnTimer. Messages sent or posted to the window reach WindowProc, the window's message
// map; Esc and Enter arrive there as the commands IDCANCEL and IDOK, the close and minimize boxes as
// SC_CLOSE and SC_MINIMIZE.
// User-interface thread only.
#pragma once

#include "platform/WindowMessages.h"
#include "platform/WindowTimers.h"

#include <QDialog>

#include <map>

class QEventLoop;

namespace platform {

class CDialog : public QDialog {
public:
    explicit CDialog(QWidget* parent = nullptr);
    ~CDialog() override;

    // Runs the dialog modally; returns the result given to EndDialog.
    int DoModal();
    // Ends the modal loop with `result` and hides the window.
    void EndDialog(int result);

    // The window's handle for the shell, and the dialog a handle stands for (null when it stands for
    // none, or for a dialog that is gone).
    HWND GetSafeHwnd() const;
    static CDialog* FromHandle(HWND window);

    // Ends the loop of every dialog now running modally with `result`; from then on DoModal returns
    // `result` at once without showing its dialog. For a run that is ending.
    static void EndAllModal(int result);

    void SetTimer(unsigned id, unsigned elapseMs);
    void KillTimer(unsigned id);
    bool IsTimerActive(unsigned id) const;

    // The control with that id, or null.
    QWidget* GetDlgItem(int id) const;
    // Makes `control` the window's control with that id.
    void SetDlgItem(int id, QWidget* control);

    // Delivers the message at once and returns WindowProc's result.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Delivers the message later, from the event loop.
    void PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

protected:
    // The window's message map. The base handles WM_TIMER (OnTimer), IDOK and IDCANCEL (EndDialog with
    // that result), SC_CLOSE (IDCANCEL), SC_MINIMIZE and SC_RESTORE.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    void customEvent(QEvent* event) override;
    void accept() override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    virtual bool OnInitDialog();
    virtual void OnTimer(unsigned id);
    // The window is going away: its timers are already gone.
    virtual void OnDestroy();

private:
    void minimize();

    WindowTimers m_timers;
    std::map<int, QWidget*> m_controls;
    QEventLoop* m_modalLoop = nullptr;
    int m_modalResult = 0;
    bool m_minimizing = false;
};

}  // namespace platform
