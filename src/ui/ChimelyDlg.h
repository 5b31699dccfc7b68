// SPDX-License-Identifier: MIT
// CChimelyDlg: the hub of the program. At once the main window, the settings record, the owner of the SIP
// stack, the usage manager and the stack thread, the handler of every SIP callback, the owner of the tray
// icon and of the status panel. One class, several files: its window members live in src/ui/
// (ChimelyDlg.cpp, StatusPanel.cpp), its SIP members in src/agent/. User-interface thread only.
#pragma once

#include "app/Var.h"
#include "history/HistoryStore.h"
#include "platform/Dialog.h"
#include "platform/PostedCall.h"
#include "sip/DialogUsageManager.h"
#include "sip/Pidf.h"
#include "sip/SipStack.h"
#include "ui/TrayNotifyIcon.h"

#include <QIcon>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

class CHistoryDlg;
class CPreferencesDlg;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// Window timers of the main window.
constexpr unsigned kPumpTimerId = 25;
constexpr unsigned kPumpIntervalMs = 100;
// The heap's freed pages go back to the system every this many pumps, for as long after the stack's
// last event as a transaction may live, once the stack has handled at least so many events since it was
// last at rest: a sign-in or a single text leaves too little behind to be worth a pass over the heap.
constexpr unsigned kTrimEveryPumps = 10;
constexpr std::uint32_t kTrimAfterWorkMs = 40000;
constexpr unsigned kTrimAfterEvents = 64;
constexpr unsigned kStatusTimerId = 26;
constexpr unsigned kReconnectTimerId = 27;

// How long "Connected" and "Message has been sent" stay on show.
constexpr unsigned kStatusShowMs = 3000;
// The automatic reconnect after a registration failure.
constexpr unsigned kReconnectDelayMs = 60000;
// The shutdown waits at most this long for the usage manager to wind down, polling every 100 ms.
constexpr std::uint32_t kShutdownWaitMs = 10000;
constexpr unsigned kShutdownPollMs = 100;
// After a termination signal the whole winding down takes at most about 2 s: whoever sent it (a log-out,
// a shut-down) may not wait longer. The bindings' removal is sent first; a registrar answers it in far less.
constexpr std::uint32_t kSignalShutdownWaitMs = 1200;
constexpr std::chrono::milliseconds kSignalStackStopWait{500};
// Received texts shown at once; later ones wait, in order, for a box to close.
constexpr std::size_t kMaxOpenMessageBoxes = 20;

// The second line of the tray icon's tooltip: the connection state.
constexpr const char* kTrayConnectedAs = "Connected as ";
constexpr const char* kTrayNotConnected = "Not connected";
// After the address when the signalling is encrypted.
constexpr const char* kTrayEncrypted = " (TLS)";
// The tooltip's last line while received texts wait in their boxes: "1 text unread", "2 texts unread".
constexpr const char* kTrayUnreadOne = " text unread";
constexpr const char* kTrayUnreadMany = " texts unread";
// What the tray's tooltip holds, in characters.
constexpr std::size_t kTrayTipChars = 127;
// The history file, in the user's data folder.
constexpr const char* kHistoryFileName = "history.db";

// Typing indications (RFC 3994) and delivery notices (RFC 5438): taken like texts, answered, then ignored.
inline const sip::Mime kIsComposingType("application", "im-iscomposing+xml");
inline const sip::Mime kImdnType("message", "imdn+xml");

// The tray icon's callback message; the tray menu's commands are with the resources.
constexpr platform::UINT WM_TRAYNOTIFY = platform::WM_APP + 1;
// The window menu's "Preferences..." item.
constexpr platform::WPARAM IDM_PREFERENCES = 5;

// Delays the window and the agent wait for; tests shorten them, the program keeps the defaults.
struct ChimelyDelays {
    unsigned reconnectMs = kReconnectDelayMs;
    // The keep-alive intervals of the registration's flow; the profile's own when zero.
    std::chrono::seconds datagramKeepAlive{0};
    std::chrono::seconds streamKeepAlive{0};
};

class CChimelyDlg : public platform::CDialog,
                    public sip::ClientRegistrationHandler,
                    public sip::ClientPagerMessageHandler,
                    public sip::ServerPagerMessageHandler,
                    public sip::ServerSubscriptionHandler,
                    public sip::InviteSessionHandler,
                    public sip::ClientPublicationHandler,
                    public sip::DumShutdownHandler,
                    public CVar {
public:
    // When the agent is set up and the first sign-in starts: as soon as the settings are loaded, before
    // the window's controls exist (the program, which signs in first), or in the window's initialisation
    // (windows whose stack is set up first, as tests set it up).
    enum class SignIn { AtInitDialog, First };

    explicit CChimelyDlg(bool startHidden = false, QWidget* parent = nullptr, ChimelyDelays delays = {},
                         SignIn signIn = SignIn::AtInitDialog);
    ~CChimelyDlg() override;

    // ---- the SIP agent: set-up, pump, shutdown (src/agent/AgentSetup.cpp) ----

    // Sets the agent up: profile, one transport, managers, handlers, the stack thread. Returns why the
    // transport could not be opened (the agent then sends nothing), or nothing when it could.
    std::optional<std::string> InitStack();
    // InitStack, then the first sign-in (Connect); a transport that cannot be opened is shown instead.
    void StartAgent();
    // Handles every event queued by the stack.
    void ProcessDum();
    void ReleaseMemoryAfterWork();
    // Winds the agent down: the usage manager's shutdown, Disconnect, at most kShutdownWaitMs of pumping,
    // then the stack thread is stopped and joined.
    void ShutdownStack();
    // The next ShutdownStack waits at most these, for a run ended by a termination signal.
    void LimitShutdownWait(std::uint32_t usagesMs, std::chrono::milliseconds stackStop);
    // ShutdownStack for a window whose display has gone (see platform/FrameworkExit.h): from then on
    // nothing is shown, neither in the window nor in the tray.
    void ShutdownWithoutWindow();
    void onDumCanBeDeleted() override;

    // ---- registration (src/agent/Registration.cpp) ----

    // Signs in from the current settings.
    void Connect();
    // Removes the registration's bindings and ends the presence subscriptions.
    void Disconnect();
    // The machine's network changed: a sign-in waiting for its next try (after a failure) goes now.
    void OnNetworkChanged();
    void onSuccess(sip::ClientRegistrationHandle handle, const sip::SipMessage& response) override;
    void onRemoved(sip::ClientRegistrationHandle handle, const sip::SipMessage& response) override;
    int onRequestRetry(sip::ClientRegistrationHandle handle, int retrySeconds,
                       const sip::SipMessage& response) override;
    void onFailure(sip::ClientRegistrationHandle handle, const sip::SipMessage& response) override;

    // ---- text messages (src/agent/TextMessages.cpp) ----

    // Completes m_strTo in place into the text of a SIP URI.
    void CompleteRecipient();
    // Parses m_strTo into `target`; shows "Invalid recipient address" and returns false when it does not
    // parse.
    bool ParseRecipient(sip::NameAddr& target);
    // Sends m_strMessage to m_strTo: a message session first, a pager MESSAGE when that fails.
    void StartSend();
    sip::SdpContents& BuildMessageOffer(sip::SdpContents& offer);
    // Shows a received text in its own box, titled with the sender and the time.
    void ShowIncomingMessage(const sip::SipMessage& message);
    void onSuccess(sip::ClientPagerMessageHandle handle, const sip::SipMessage& status) override;
    void onFailure(sip::ClientPagerMessageHandle handle, const sip::SipMessage& status,
                   std::unique_ptr<sip::Contents> contents) override;
    void onMessageArrived(sip::ServerPagerMessageHandle handle, const sip::SipMessage& message) override;
    void onConnected(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onFailure(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onMessage(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onMessageSuccess(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onMessageFailure(sip::InviteSessionHandle, const sip::SipMessage&) override;

    // ---- presence and other incoming requests (src/agent/Presence.cpp) ----

    // A new presence document: the user's own address, always "open".
    std::unique_ptr<sip::Pidf> BuildPresenceDocument();
    void onNewSubscription(sip::ServerSubscriptionHandle handle, const sip::SipMessage& subscribe) override;
    void onTerminated(sip::ServerSubscriptionHandle handle) override;
    void onError(sip::ServerSubscriptionHandle handle, const sip::SipMessage& message) override;
    bool hasDefaultExpires() const override;
    std::uint32_t getDefaultExpires() const override;
    void onNewSession(sip::ClientInviteSessionHandle, OfferAnswerType, const sip::SipMessage&) override;
    void onNewSession(sip::ServerInviteSessionHandle, OfferAnswerType, const sip::SipMessage&) override;
    void onEarlyMedia(sip::ClientInviteSessionHandle, const sip::SipMessage&,
                      const sip::SdpContents&) override;
    void onProvisional(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onConnected(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onTerminated(sip::InviteSessionHandle, TerminatedReason, const sip::SipMessage*) override;
    void onForkDestroyed(sip::ClientInviteSessionHandle) override;
    void onRedirected(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onAnswer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) override;
    void onOffer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) override;
    void onOfferRequired(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onOfferRejected(sip::InviteSessionHandle, const sip::SipMessage*) override;
    void onInfo(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onInfoSuccess(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onInfoFailure(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onRefer(sip::InviteSessionHandle, sip::ServerSubscriptionHandle, const sip::SipMessage&) override;
    void onReferNoSub(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onReferRejected(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onReferAccepted(sip::InviteSessionHandle, sip::ClientSubscriptionHandle,
                         const sip::SipMessage&) override;
    void onSuccess(sip::ClientPublicationHandle, const sip::SipMessage&) override;
    void onRemove(sip::ClientPublicationHandle, const sip::SipMessage&) override;
    void onFailure(sip::ClientPublicationHandle, const sip::SipMessage&) override;
    int onRequestRetry(sip::ClientPublicationHandle, int, const sip::SipMessage&) override;

    // ---- the status panel (src/ui/StatusPanel.cpp) ----

    void ShowStatus(const std::string& text, bool withOk);
    void ShowStatusId(int id);
    // "<reason phrase> (<status code>)".
    void ShowResponseStatus(const sip::SipMessage& response, bool withOk);
    // A sign-in that failed: its response without Ok, and the tray icon shows the program not connected.
    void ShowRegistrationFailure(const sip::SipMessage& response);
    // The tray icon's tooltip: the window title, then the connection state on a line of its own, then
    // while received texts wait in their boxes how many. Remembers the state for UpdateTrayTip.
    std::string TrayTip(const std::string& state);
    // The tray icon's image and connection state from now on, kept for the icon until it exists.
    void SetTrayState(HICON image, const std::string& state);
    // The tray icon, with the state of the moment.
    void CreateTrayIcon();
    // Shows what the panel was asked to show before it existed.
    void ReplayStatus();
    void StartStatusTimer(unsigned ms);
    void HideStatus();
    int GetStatusId() const { return m_nStatusId; }
    void OnMessageSent();
    void OnMessageFailed(const sip::SipMessage& response);
    void EnableCompose(bool enable);
    void UpdateSendButton();

    // ---- the history of texts, Reply and the unread count (src/ui/KeptTexts.cpp) ----

    // Keeps a history, or stops keeping one, as m_nKeepHistory says, at once; `deleteKept` removes what
    // was kept when it stops.
    void ApplyHistorySetting(bool deleteKept);
    // A received text, as its box will show it, before the box opens.
    void RecordReceived(const sip::SipMessage& message, history::Route route);
    // The text now being sent, to `target`; and later what became of it.
    void RecordSent(const sip::NameAddr& target);
    void RecordOutcome(history::Route route, const sip::SipMessage& response);
    // Opens the History window (the tray menu's History..., Ctrl+H in the main window).
    void OnHistory();
    // The main window, shown, with To set to `peer` and the focus in Message.
    void ReplyTo(const std::string& peer);
    // Sends `body` to `peer` as if typed and sent; only while a text could be sent from the window.
    void SendAgain(const std::string& peer, const std::string& body);
    // Received texts whose boxes are open or waiting.
    std::size_t UnreadTexts() const { return m_openMessageBoxes + m_pendingMessages.size(); }
    void UpdateTrayTip();

    // ---- the main window (src/ui/ChimelyDlg.cpp) ----

    // Send: the recipient history, then the agent's send.
    void OnSend();
    // Hides the window into the notification area.
    void HideWindow();
    // Brings the window back, out of the notification area if it is there.
    void ShowMainWindow();
    void OnPreferences();
    void OnExit();
    void OnHome();
    // While m_bInTray is set no attempt to show the window succeeds, the modal loop's first show included.
    void setVisible(bool visible) override;

    // ---- members of the SIP agent, in this order ----
    sip::SipStack m_stack;
    sip::DialogUsageManager m_dum;
    sip::StackThread m_stackThread;
    sip::Data m_localAddress;
    int m_bDumCanBeDeleted;
    std::uint32_t m_nLastWorkTick = 0;
    unsigned m_nPumpsSinceTrim = 0;
    unsigned m_nEventsSinceRest = 0;
    std::uint32_t m_nShutdownWaitMs = kShutdownWaitMs;
    std::chrono::milliseconds m_stackStopWait{3000};
    sip::ClientRegistrationHandle m_hRegistration;
    sip::NameAddr m_aor;
    // The transport of this run (the stored Protocol as it was at start-up).
    sip::TransportType m_transport = sip::UDP;

    // ---- members of the window, in this order ----
    std::string m_strTo;
    std::string m_strMessage;
    QComboBox* m_cbTo = nullptr;
    QPlainTextEdit* m_edMessage = nullptr;
    QIcon m_hIcon;
    QIcon m_hIconConnected;
    QIcon m_hIconDisconnected;
    CTrayNotifyIconEx m_trayIcon;
    HICON m_trayImage = &m_hIconDisconnected;
    QLineEdit* m_edStatus = nullptr;
    int m_nStatusId = -1;
    // What the panel shows, kept while it does not exist yet (the sign-in starts before the window).
    std::string m_strStatus;
    bool m_bStatusWithOk = false;
    QPushButton* m_btnOk = nullptr;
    bool m_bInTray;

    // Why the transport could not be opened, for the status panel; empty when it could.
    std::string m_strTransportError;
    // No account was stored: the program signs in with the made-up default, and the Preferences dialog
    // opens once the window is up so that the user can enter one.
    bool m_bFirstStart = false;
    // The display has gone: the agent still winds down, but what it would show goes nowhere.
    bool m_bWindowGone = false;
    // The agent was set up and the first sign-in started before the window's controls existed.
    bool m_bAgentStarted = false;

    // The history while the user keeps one; none (and no SQLite loaded) otherwise.
    std::string m_strHistoryFile;
    std::unique_ptr<history::HistoryStore> m_history;
    std::unique_ptr<CHistoryDlg> m_historyDlg;
    // The text being sent, as the history knows it; 0 when it is not kept.
    std::uint64_t m_nSendTicket = 0;
    // The connection state line of the tray's tooltip.
    std::string m_strTrayState = kTrayNotConnected;

protected:
    bool OnInitDialog() override;
    platform::LRESULT WindowProc(platform::UINT message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;
    void OnTimer(unsigned id) override;
    void OnDestroy() override;

private:
    // A received text waiting for one of the boxes to close.
    struct PendingMessage {
        std::string title;
        // The sender's address, for Reply.
        std::string peer;
        std::shared_ptr<const sip::Contents> contents;
    };
    void OpenMessageBox(PendingMessage message);
    void LimitMessage();

    const ChimelyDelays m_delays;
    // Pumps as soon as the stack has queued something, rather than at the next tick of timer 25.
    platform::PostedCall m_pumpSoon;
    std::deque<PendingMessage> m_pendingMessages;
    // The Preferences dialog while it is open.
    CPreferencesDlg* m_preferences = nullptr;
    std::size_t m_openMessageBoxes = 0;
};
