// SPDX-License-Identifier: MIT
// CPreferencesDlg: the dialog in which the user edits the connection settings (display name, sign-in
// name, password, automatic or configured server, UDP or TCP) on the program's one settings record, and
// which writes the record to the store when the user confirms. User-interface thread only.
#pragma once

#include "app/Var.h"
#include "platform/Dialog.h"

class CPreferencesDlg : public platform::CDialog {
public:
    explicit CPreferencesDlg(CVar* settings, QWidget* parent = nullptr);

    // Enables or disables the server edit, the UDP and TCP buttons and their two labels.
    void EnableServerControls(bool enable);
    // A mode button was clicked: the server controls follow "Configure settings".
    void OnConfigModeClicked();
    // OK: the values are checked, copied into the record and written to the store, and the dialog closes.
    // Turning the history off asks first whether to delete what it kept.
    void OnOkClicked();
    // After OK: the user turned the history off and chose to delete it.
    bool DeleteHistory() const { return m_bDeleteHistory; }

protected:
    bool OnInitDialog() override;
    platform::LRESULT WindowProc(platform::UINT message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;
    // Moves the six values between the record and the controls: into the controls, or (save) out of them
    // into the record. Saving checks the lengths before anything is copied: a text that is too long is
    // reported, gets the focus, and leaves the record as it was (false).
    bool DoDataExchange(bool save);

private:
    CVar* m_pSettings;
    bool m_bDeleteHistory = false;
};
