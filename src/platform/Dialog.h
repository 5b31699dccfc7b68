// SPDX-License-Identifier: MIT
// The dialog base of the program's windows, with the life cycle of a modal dialog on Windows:
// DoModal runs OnInitDialog, the modal loop, and on the way out OnDestroy. Window timers with fixed
// ids go to OnTimer. User-interface thread only.
#pragma once

#include "platform/WindowTimers.h"

#include <QDialog>

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

protected:
    virtual bool OnInitDialog();
    virtual void OnTimer(unsigned id);
    // The window is going away: its timers are already gone.
    virtual void OnDestroy();

private:
    WindowTimers m_timers;
};

}  // namespace platform
