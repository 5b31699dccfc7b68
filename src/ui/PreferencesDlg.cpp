// SPDX-License-Identifier: MIT
// The Preferences dialog: template 134, the exchange of the six values with the settings record, the
// server controls following the mode buttons, and the length checks on OK. User-interface thread.
#include "ui/PreferencesDlg.h"

#include "platform/DialogTemplate.h"
#include "platform/MessageBox.h"
#include "res/Resource.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <vector>

namespace {

constexpr int kNameLimit = 32;
constexpr int kServerLimit = 64;
constexpr const char* kTooLong = "Enter no more than %1 characters.";

QString toQt(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
}

std::string fromQt(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

}  // namespace

CPreferencesDlg::CPreferencesDlg(CVar* settings, QWidget* parent)
    : platform::CDialog(parent), m_pSettings(settings) {
    platform::CreateDialogFromTemplate(*this, IDD_PREFERENCES);
    for (int id : {IDC_AUTOMATIC_CONFIGURATION, IDC_CONFIGURE_SETTINGS})
        if (auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(id)))
            connect(button, &QAbstractButton::clicked, this, [this] { OnConfigModeClicked(); });
    if (auto* ok = qobject_cast<QAbstractButton*>(GetDlgItem(platform::IDOK)))
        connect(ok, &QAbstractButton::clicked, this,
                [this] { SendMessage(platform::WM_COMMAND, platform::IDOK); });
    if (auto* cancel = qobject_cast<QAbstractButton*>(GetDlgItem(platform::IDCANCEL)))
        connect(cancel, &QAbstractButton::clicked, this,
                [this] { SendMessage(platform::WM_COMMAND, platform::IDCANCEL); });
}

bool CPreferencesDlg::OnInitDialog() {
    DoDataExchange(false);
    EnableServerControls(m_pSettings->m_nOutboundProxy != 0);
    if (QWidget* first = GetDlgItem(IDC_DISPLAY_NAME))
        first->setFocus();
    return true;
}

platform::LRESULT CPreferencesDlg::WindowProc(platform::UINT message, platform::WPARAM wParam,
                                              platform::LPARAM lParam) {
    if (message == platform::WM_COMMAND && platform::LOWORD(wParam) == platform::IDOK) {
        OnOkClicked();
        return 0;
    }
    return platform::CDialog::WindowProc(message, wParam, lParam);
}

void CPreferencesDlg::EnableServerControls(bool enable) {
    for (int id : {IDC_UDP, IDC_TCP, IDC_TLS, IDC_SERVER, IDC_SERVER_LABEL, IDC_TRANSPORT_LABEL})
        if (QWidget* control = GetDlgItem(id))
            control->setEnabled(enable);
}

void CPreferencesDlg::OnConfigModeClicked() {
    auto* configure = qobject_cast<QAbstractButton*>(GetDlgItem(IDC_CONFIGURE_SETTINGS));
    EnableServerControls(configure && configure->isChecked());
}

void CPreferencesDlg::OnOkClicked() {
    const bool keptHistory = m_pSettings->m_nKeepHistory != 0;
    if (!DoDataExchange(true))
        return;
    if (keptHistory && m_pSettings->m_nKeepHistory == 0)
        m_bDeleteHistory =
            platform::MessageBox(this, LoadResourceString(IDS_DELETE_HISTORY_QUESTION), kProgramName,
                                 platform::MB_YESNO | platform::MB_ICONQUESTION) == platform::IDYES;
    m_pSettings->Save();
    EndDialog(platform::IDOK);
}

bool CPreferencesDlg::DoDataExchange(bool save) {
    struct Text {
        int id;
        std::string& field;
        int limit;
    };
    const Text texts[] = {{IDC_DISPLAY_NAME, m_pSettings->m_strDisplayName, kNameLimit},
                          {IDC_SIGNIN_NAME, m_pSettings->m_strSigninName, kNameLimit},
                          {IDC_PASSWORD, m_pSettings->m_strPassword, kNameLimit},
                          {IDC_SERVER, m_pSettings->m_strServer, kServerLimit}};
    // A group's buttons in the order of the values they store: the first 0, the next 1, ...
    struct Radios {
        std::vector<int> ids;
        int& field;
    };
    const Radios radios[] = {
        {{IDC_AUTOMATIC_CONFIGURATION, IDC_CONFIGURE_SETTINGS}, m_pSettings->m_nOutboundProxy},
        {{IDC_UDP, IDC_TCP, IDC_TLS}, m_pSettings->m_nProtocol}};
    auto edit = [this](int id) { return qobject_cast<QLineEdit*>(GetDlgItem(id)); };
    auto* keepHistory = qobject_cast<QCheckBox*>(GetDlgItem(IDC_KEEP_HISTORY));
    auto radio = [this](int id) { return qobject_cast<QRadioButton*>(GetDlgItem(id)); };

    if (!save) {
        for (const Text& text : texts)
            edit(text.id)->setText(toQt(text.field));
        for (const Radios& group : radios) {
            // Selected by index; a value no button stores selects none.
            QButtonGroup* buttons = radio(group.ids.front())->group();
            const bool exclusive = buttons && buttons->exclusive();
            if (buttons)
                buttons->setExclusive(false);
            for (std::size_t i = 0; i < group.ids.size(); ++i)
                radio(group.ids[i])->setChecked(group.field == static_cast<int>(i));
            if (buttons)
                buttons->setExclusive(exclusive);
        }
        keepHistory->setChecked(m_pSettings->m_nKeepHistory != 0);
        return true;
    }

    for (const Text& text : texts) {
        QLineEdit* control = edit(text.id);
        if (control->text().size() > text.limit) {
            platform::MessageBox(this, QString::fromLatin1(kTooLong).arg(text.limit).toStdString(),
                                 kProgramName, platform::MB_OK | platform::MB_ICONEXCLAMATION);
            control->setFocus();
            control->selectAll();
            return false;
        }
    }
    for (const Text& text : texts)
        text.field = fromQt(edit(text.id)->text());
    for (const Radios& group : radios) {
        group.field = -1;
        for (std::size_t i = 0; i < group.ids.size(); ++i)
            if (radio(group.ids[i])->isChecked())
                group.field = static_cast<int>(i);
    }
    m_pSettings->m_nKeepHistory = keepHistory->isChecked() ? 1 : 0;
    return true;
}
