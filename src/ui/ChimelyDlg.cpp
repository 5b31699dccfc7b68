// SPDX-License-Identifier: MIT
// CChimelyDlg's window side: construction, initialisation, the message map, Send, hiding and showing.
// User-interface thread.
#include "ui/ChimelyDlg.h"

#include "app/ChimelyApp.h"
#include "platform/DialogTemplate.h"
#include "platform/MessageBox.h"
#include "platform/Network.h"
#include "platform/ProfileStore.h"
#include "res/Resource.h"
#include "ui/HistoryDlg.h"
#include "ui/PreferencesDlg.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QImageReader>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include <strings.h>

#include <algorithm>

namespace {

constexpr const char* kHomePage = "https://vantorell.example/chimely";
constexpr int kMessageLimit = 512;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The combo box's list stays sorted as a sorted Windows list would keep it.
void insertSorted(QComboBox* combo, const QString& text) {
    int index = 0;
    while (index < combo->count() && QString::compare(combo->itemText(index), text, Qt::CaseInsensitive) <= 0)
        ++index;
    combo->insertItem(index, text);
}

// An icon resource's image of one size. Read as PNG, said so beforehand: left to guess, Qt loads every
// image format plugin it has (and the SVG module with them) to ask each whether it reads PNG.
void addIconImage(QIcon& icon, int id, int size) {
    QImageReader reader(QString::fromStdString(IconResourcePath(id, size)), "png");
    reader.setAutoDetectImageFormat(false);
    const QImage image = reader.read();
    if (!image.isNull())
        icon.addPixmap(QPixmap::fromImage(image));
}

// An icon resource with its image in every size it was drawn in; Qt picks the nearest for each use.
QIcon loadIcon(int id) {
    QIcon icon;
    for (int size : kIconSizes)
        addIconImage(icon, id, size);
    return icon;
}

QString toQt(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
}

}  // namespace

CChimelyDlg::CChimelyDlg(bool startHidden, QWidget* parent, ChimelyDelays delays, SignIn signIn)
    : platform::CDialog(parent),
      m_dum(m_stack),
      m_stackThread(m_stack),
      m_bDumCanBeDeleted(0),
      m_bInTray(startHidden),
      m_delays(delays),
      m_pumpSoon([this] { ProcessDum(); }) {
    Load();
    m_bFirstStart = m_strSigninName.empty();
    DefaultSigninName();
    // The first REGISTER goes while the window is still being built: the controls (the font database
    // among them), the icons and the tray icon take longer than the whole sign-in on a near registrar.
    if (signIn == SignIn::First)
        StartAgent();

    platform::CreateDialogFromTemplate(*this, IDD_CHIMELY_DIALOG);
    m_cbTo = qobject_cast<QComboBox*>(GetDlgItem(IDC_TO));
    m_edMessage = qobject_cast<QPlainTextEdit*>(GetDlgItem(IDC_MESSAGE));
    m_edStatus = qobject_cast<QLineEdit*>(GetDlgItem(IDC_STATUS));
    m_btnOk = qobject_cast<QPushButton*>(GetDlgItem(IDC_STATUS_OK));
    auto* send = qobject_cast<QPushButton*>(GetDlgItem(IDC_SEND));

    // The program's image where the window's icon is drawn large, the connected image where it is small:
    // three images read before the window is shown. The tray's icons, in every size, are read when the
    // tray icon is made, after the window is up.
    for (int size : {48, 32})
        addIconImage(m_hIcon, IDR_MAINFRAME, size);
    QIcon windowIcon = m_hIcon;
    addIconImage(windowIcon, IDI_CONNECTED, 16);
    setWindowIcon(windowIcon);

    connect(send, &QPushButton::clicked, this, [this] { OnSend(); });
    connect(m_btnOk, &QPushButton::clicked, this, [this] { HideStatus(); });
    connect(m_edMessage, &QPlainTextEdit::textChanged, this, [this] {
        LimitMessage();
        UpdateSendButton();
    });
    // The Home button runs the tray menu's Home command.
    if (auto* home = qobject_cast<QPushButton*>(GetDlgItem(IDC_HOME)))
        connect(home, &QPushButton::clicked, this,
                [this] { SendMessage(platform::WM_COMMAND, ID_TRAY_HOME); });
    // There is no window menu a program can add to on these desktops: "Preferences..." is in the window's
    // context menu (right button anywhere on the window) and on Ctrl+Comma, as well as in the tray menu.
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        QMenu menu(this);
        menu.addAction(QStringLiteral("History..."), this,
                       [this] { SendMessage(platform::WM_COMMAND, ID_TRAY_HISTORY); });
        menu.addAction(QStringLiteral("Preferences..."), this,
                       [this] { SendMessage(platform::WM_SYSCOMMAND, IDM_PREFERENCES); });
        menu.exec(mapToGlobal(position));
    });
    auto* preferences = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(preferences, &QShortcut::activated, this,
            [this] { SendMessage(platform::WM_SYSCOMMAND, IDM_PREFERENCES); });
    // The History window from the main window: Ctrl+H, and the context menu's History...
    auto* historyKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this);
    connect(historyKey, &QShortcut::activated, this,
            [this] { SendMessage(platform::WM_COMMAND, ID_TRAY_HISTORY); });

    m_localAddress = platform::LocalIPv4Address();
    m_strHistoryFile = platform::AppDataFile(kHistoryFileName);
}

CChimelyDlg::~CChimelyDlg() = default;

bool CChimelyDlg::OnInitDialog() {
    ApplyHistorySetting(false);
    for (const std::string& entry : m_arrTo)
        insertSorted(m_cbTo, toQt(entry));
    // Signing in already: the panel shows how far it got ("Connecting...", or why it could not start).
    if (m_bAgentStarted)
        ReplayStatus();
    else
        ShowStatusId(IDS_DISCONNECTED);
    // On the first pass of the modal loop, once the window is up: the tray icon asks the desktop's session
    // bus for a host first, which need not hold up the window.
    QTimer::singleShot(0, this, [this] { CreateTrayIcon(); });
    SetTimer(kPumpTimerId, kPumpIntervalMs);
    // Posted: the dialog opens from the modal loop, over the window that is up by then. A program started
    // minimised stays out of the way; the tray menu leads there as ever.
    if (m_bFirstStart && !m_bInTray)
        PostMessage(platform::WM_COMMAND, ID_TRAY_PREFERENCES);
    if (!m_bAgentStarted)
        StartAgent();
    return true;
}

void CChimelyDlg::StartAgent() {
    m_bAgentStarted = true;
    if (std::optional<std::string> error = InitStack()) {
        // Without its transport the agent can send nothing: the panel says why, and no sign-in is tried.
        m_strTransportError = *error;
        ShowStatus(m_strTransportError, false);
        return;
    }
    Connect();
}

void CChimelyDlg::CreateTrayIcon() {
    if (m_bWindowGone)
        return;
    m_hIconConnected = loadIcon(IDI_CONNECTED);
    m_hIconDisconnected = loadIcon(IDI_DISCONNECTED);
    m_trayIcon.Create(this, IDR_TRAY_MENU, TrayTip(m_strTrayState).c_str(), m_trayImage, WM_TRAYNOTIFY, 0,
                      true);
}

platform::LRESULT CChimelyDlg::WindowProc(platform::UINT message, platform::WPARAM wParam,
                                          platform::LPARAM lParam) {
    // A later start of the program asks this window to show itself.
    if (message == s_uActivateMsg) {
        ShowMainWindow();
        return 0;
    }
    switch (message) {
        case WM_TRAYNOTIFY:
            return m_trayIcon.HandleNotification(wParam, lParam);
        case platform::WM_COMMAND:
            switch (platform::LOWORD(wParam)) {
                case platform::IDCANCEL:
                    HideWindow();
                    return 0;
                case ID_TRAY_HOME:
                    OnHome();
                    return 0;
                case ID_TRAY_SHOW:
                    ShowMainWindow();
                    return 0;
                case ID_TRAY_PREFERENCES:
                    OnPreferences();
                    return 0;
                case ID_TRAY_HISTORY:
                    OnHistory();
                    return 0;
                case ID_TRAY_EXIT:
                    OnExit();
                    return 0;
                default:
                    return 0;
            }
        case platform::WM_SYSCOMMAND:
            if (wParam == platform::SC_MINIMIZE)
                HideWindow();
            else if (wParam == platform::SC_CLOSE)
                PostMessage(platform::WM_COMMAND, ID_TRAY_EXIT);
            else if (wParam == IDM_PREFERENCES)
                PostMessage(platform::WM_COMMAND, ID_TRAY_PREFERENCES);
            return 0;
        case platform::WM_ENDSESSION:
            if (wParam)
                Disconnect();
            return 0;
        default:
            return platform::CDialog::WindowProc(message, wParam, lParam);
    }
}

void CChimelyDlg::OnTimer(unsigned id) {
    if (id == kPumpTimerId) {
        ProcessDum();
        ReleaseMemoryAfterWork();
    }
    if (id == kStatusTimerId)
        HideStatus();
    if (id == kReconnectTimerId)
        Connect();
}

void CChimelyDlg::OnDestroy() {
    platform::CDialog::OnDestroy();
    ShutdownStack();
}

void CChimelyDlg::OnSend() {
    // What the user typed stays in the To box, whatever happens to the list below it.
    const QString typed = m_cbTo->currentText();
    m_strTo = typed.toLocal8Bit().toStdString();
    const bool remembered = std::any_of(m_arrTo.begin(), m_arrTo.end(), [&](const std::string& entry) {
        return equalsIgnoringCase(entry, m_strTo);
    });
    // The list mirrors the history: a recipient used again stays where it is, as first typed; a new one
    // pushes the oldest out of a full history.
    if (!remembered) {
        if (m_arrTo.size() >= static_cast<std::size_t>(kMaxRecipients)) {
            const int oldest = m_cbTo->findText(toQt(m_arrTo.front()), Qt::MatchFixedString);
            if (oldest >= 0)
                m_cbTo->removeItem(oldest);
        }
        insertSorted(m_cbTo, toQt(m_strTo));
    }
    m_cbTo->setEditText(typed);
    UpdateHistory(m_strTo);
    CompleteRecipient();
    // The edit gives line breaks as LF; a text goes out with CR LF.
    m_strMessage = m_edMessage->toPlainText()
                       .replace(QLatin1Char('\n'), QLatin1String("\r\n"))
                       .toLocal8Bit()
                       .toStdString();
    StartSend();
}

void CChimelyDlg::HideWindow() {
    if (!isVisible())
        return;
    HideToTray(this, false);
    m_bInTray = true;
}

void CChimelyDlg::ShowMainWindow() {
    m_bInTray = false;
    if (isVisible()) {
        showNormal();
        activateWindow();
        raise();
    } else {
        ShowFromTray(this, false);
    }
}

// Qt has no window-position change whose show flag could be cleared: a show is dropped here instead, so a
// program started minimised runs its modal loop with the window hidden until the first ShowMainWindow.
void CChimelyDlg::setVisible(bool visible) {
    if (visible && m_bInTray)
        return;
    platform::CDialog::setVisible(visible);
}

void CChimelyDlg::OnExit() {
    const int answer = platform::MessageBox(this, LoadResourceString(IDS_EXIT_QUESTION), kProgramName,
                                            platform::MB_YESNO | platform::MB_ICONINFORMATION);
    if (answer == platform::IDYES)
        EndDialog(platform::IDCANCEL);
}

void CChimelyDlg::OnPreferences() {
    // The dialog edits the record in place: a second one (from the tray menu, say) only comes to the front.
    if (m_preferences) {
        m_preferences->raise();
        m_preferences->activateWindow();
        return;
    }
    CPreferencesDlg preferences(this, this);
    m_preferences = &preferences;
    const int result = preferences.DoModal();
    m_preferences = nullptr;
    if (result != platform::IDOK)
        return;
    ApplyHistorySetting(preferences.DeleteHistory());
    const int answer = platform::MessageBox(this, LoadResourceString(IDS_RECONNECT_QUESTION), kProgramName,
                                            platform::MB_YESNO | platform::MB_ICONQUESTION);
    if (answer == platform::IDYES) {
        Disconnect();
        Connect();
    }
}

// The Message edit takes at most 512 characters.
void CChimelyDlg::LimitMessage() {
    const QString text = m_edMessage->toPlainText();
    if (text.size() <= kMessageLimit)
        return;
    QTextCursor cursor = m_edMessage->textCursor();
    const int position = std::min(cursor.position(), kMessageLimit);
    m_edMessage->setPlainText(text.left(kMessageLimit));
    cursor = m_edMessage->textCursor();
    cursor.setPosition(position);
    m_edMessage->setTextCursor(cursor);
}

void CChimelyDlg::OnHome() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kHomePage)));
}
