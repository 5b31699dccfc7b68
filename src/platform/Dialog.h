// SPDX-License-Identifier: MIT
// The dialog base of the program's windows, with the life cycle of a modal dialog on Windows:
// DoModal runs OnInitDialog, the modal loop, and on the way out OnDestroy. Window timers with fixed
// ids go to OnTimer. Messages sent or posted to the window reach WindowProc, the window's message map.
// User-interface thread only.
#pragma once

#include "platform/WindowMessages.h"
#include "platform/WindowTimers.h"

#include <QDialog>

#include <map>

namespace platform {

class CDialog : public QDialog {
public:
    explicit CDialog(QWidget* parent = nullptr);
    ~CDialog() override;

    // Runs the dialog modally; returns the result given to EndDialog.
    int DoModal();
    void EndDialog(int result);

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
    // The window's message map. The base handles WM_TIMER (OnTimer) and nothing else.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    void customEvent(QEvent* event) override;
    virtual bool OnInitDialog();
    virtual void OnTimer(unsigned id);
    // The window is going away: its timers are already gone.
    virtual void OnDestroy();

private:
    WindowTimers m_timers;
    std::map<int, QWidget*> m_controls;
};

}  // namespace platform
