// SPDX-License-Identifier: MIT
#include "platform/QtShell.h"
#include "platform/RegisteredMessages.h"

#include "platform/Dialog.h"

#include <QtGui/qguiapplication_platform.h>
#include <QAbstractNativeEventFilter>
#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QOperatingSystemVersion>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>

#include <xcb/xcb.h>

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace platform {
namespace {

// The stand-ins for the shell's own windows, and for its library.
constexpr HWND kTrayWindow = 1;        // "Shell_TrayWnd": the tray manager's window
constexpr HWND kNotificationArea = 2;  // "TrayNotifyWnd": where the program's icons are
constexpr HMODULE kShellLibrary = 1;

// The caption's flight between the window and the notification area.
constexpr int kFlightFrames = 12;
constexpr int kFlightMs = 180;

RECT toRect(const QRect& rect) {
    return {rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
}

QRect toQRect(const RECT& rect) {
    return QRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
}

QString fromLocal(const char* text) {
    return QString::fromLocal8Bit(text, qsizetype(strnlen(text, kTipChars)));
}

UINT mouseMessage(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            return WM_LBUTTONDOWN;
        case QSystemTrayIcon::DoubleClick:
            return WM_LBUTTONDBLCLK;
        case QSystemTrayIcon::Context:
            return WM_RBUTTONUP;
        case QSystemTrayIcon::MiddleClick:
            return WM_MBUTTONUP;
        default:
            return 0;
    }
}

bool offscreen() {
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

// ---- X11: the tray manager ----

// Only Qt's xcb platform has an X connection; on Wayland (Xwayland or not) and offscreen there is none.
xcb_connection_t* x11Connection() {
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto* application = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return application ? application->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.c_str()),
        nullptr);
    xcb_atom_t atom = XCB_ATOM_NONE;
    if (reply)
        atom = reply->atom;
    std::free(reply);
    return atom;
}

// The selections a tray manager holds, one per screen: _NET_SYSTEM_TRAY_S<n>.
std::vector<xcb_atom_t> traySelections(xcb_connection_t* connection) {
    std::vector<xcb_atom_t> atoms;
    const int screens = xcb_setup_roots_length(xcb_get_setup(connection));
    for (int screen = 0; screen < screens; ++screen)
        atoms.push_back(internAtom(connection, "_NET_SYSTEM_TRAY_S" + std::to_string(screen)));
    return atoms;
}

xcb_window_t trayManagerWindow(xcb_connection_t* connection) {
    for (xcb_atom_t selection : traySelections(connection)) {
        xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, selection), nullptr);
        xcb_window_t owner = XCB_WINDOW_NONE;
        if (reply)
            owner = reply->owner;
        std::free(reply);
        if (owner != XCB_WINDOW_NONE)
            return owner;
    }
    return XCB_WINDOW_NONE;
}

// The window's rectangle on the screen, in the application's device-independent pixels.
QRect x11WindowRect(xcb_connection_t* connection, xcb_window_t window) {
    xcb_get_geometry_reply_t* geometry =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
    if (!geometry)
        return {};
    xcb_translate_coordinates_reply_t* origin = xcb_translate_coordinates_reply(
        connection, xcb_translate_coordinates(connection, window, geometry->root, 0, 0), nullptr);
    QRect rect;
    if (origin)
        rect = QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
    std::free(origin);
    std::free(geometry);
    const qreal ratio =
        QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->devicePixelRatio() : 1;
    return ratio == 1 ? rect
                      : QRect(qRound(rect.x() / ratio), qRound(rect.y() / ratio),
                              qRound(rect.width() / ratio), qRound(rect.height() / ratio));
}

// A caption bar drawn where the flight is, taking neither focus nor input.
class CaptionFlight : public QWidget {
public:
    CaptionFlight()
        : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus) {
        setAttribute(Qt::WA_ShowWithoutActivating);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), palette().color(QPalette::Active, QPalette::Highlight));
        painter.setPen(palette().color(QPalette::Active, QPalette::Shadow));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};

}  // namespace

// Watches the root window for a tray manager announcing itself (the MANAGER client message for a
// _NET_SYSTEM_TRAY_S<n> selection), which is what a task bar being created is on Windows.
class QtShell::TrayManagerWatch : public QAbstractNativeEventFilter {
public:
    TrayManagerWatch(QtShell& shell, xcb_connection_t* connection)
        : m_shell(shell),
          m_manager(internAtom(connection, "MANAGER")),
          m_selections(traySelections(connection)) {
        qApp->installNativeEventFilter(this);
    }
    ~TrayManagerWatch() override {
        if (qApp)
            qApp->removeNativeEventFilter(this);
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->type == m_manager && client->format == 32 &&
            std::find(m_selections.begin(), m_selections.end(), client->data.data32[1]) != m_selections.end())
            m_shell.broadcastTaskbarCreated();
        // Qt follows the tray manager from the same message: never take it away.
        return false;
    }

private:
    QtShell& m_shell;
    const xcb_atom_t m_manager;
    const std::vector<xcb_atom_t> m_selections;
};

QtShell::QtShell() = default;

QtShell::~QtShell() {
    ReleaseQtObjects();
}

QtShell& QtShell::Instance() {
    static QtShell* const shell = new QtShell;
    return *shell;
}

void QtShell::ReleaseQtObjects() {
    for (auto& [key, icon] : m_icons)
        delete icon.icon.data();
    m_icons.clear();
    m_watch.reset();
    m_windows.reset();
}

detail::LocalWindows& QtShell::windows() {
    if (!m_windows)
        m_windows = std::make_unique<detail::LocalWindows>();
    return *m_windows;
}

void QtShell::apply(Icon& icon, const NOTIFYICONDATAA& data) {
    if ((data.uFlags & NIF_ICON) && data.hIcon)
        icon.icon->setIcon(*data.hIcon);
    if (data.uFlags & NIF_TIP)
        icon.icon->setToolTip(fromLocal(data.szTip));
    if (data.uFlags & NIF_MESSAGE)
        icon.callbackMessage = data.uCallbackMessage;
}

bool QtShell::Shell_NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) {
    const IconKey key{data.hWnd, data.uID};
    auto found = m_icons.find(key);
    // The oldest record has no state members.
    const bool withState = (data.uFlags & NIF_STATE) && data.cbSize > 88;
    switch (message) {
        case NIM_ADD: {
            if (found != m_icons.end() || !qApp || !QSystemTrayIcon::isSystemTrayAvailable())
                return false;
            Icon& icon = m_icons[key];
            // The application owns the icon too, so that it never outlives the application.
            icon.icon = new QSystemTrayIcon(qApp);
            apply(icon, data);
            QObject::connect(icon.icon, &QSystemTrayIcon::activated, icon.icon,
                             [this, key](QSystemTrayIcon::ActivationReason reason) {
                                 auto activated = m_icons.find(key);
                                 const UINT mouse = mouseMessage(reason);
                                 if (activated != m_icons.end() && mouse)
                                     windows().post(key.first, activated->second.callbackMessage, key.second,
                                                    static_cast<LPARAM>(mouse));
                             });
            const bool hidden = withState && (data.dwStateMask & data.dwState & NIS_HIDDEN);
            if (!hidden)
                icon.icon->show();
            return true;
        }
        case NIM_MODIFY:
            if (found == m_icons.end() || !found->second.icon)
                return false;
            apply(found->second, data);
            if (withState && (data.dwStateMask & NIS_HIDDEN))
                found->second.icon->setVisible(!(data.dwState & NIS_HIDDEN));
            return true;
        case NIM_DELETE:
            if (found == m_icons.end())
                return false;
            delete found->second.icon.data();
            m_icons.erase(found);
            return true;
        case NIM_SETVERSION:
            return found != m_icons.end();
        default:
            return false;
    }
}

UINT QtShell::RegisterWindowMessage(const char* name) {
    return platform::RegisterWindowMessage(name);
}

// The operating system's version where Qt knows it (not on Linux).
bool QtShell::GetVersionEx(OSVERSIONINFOA* info) {
    const QOperatingSystemVersion version = QOperatingSystemVersion::current();
    if (!info || info->dwOSVersionInfoSize != kOsVersionInfoSize || version.majorVersion() < 0)
        return false;
    info->dwMajorVersion = static_cast<DWORD>(version.majorVersion());
    info->dwMinorVersion = static_cast<DWORD>(std::max(version.minorVersion(), 0));
    info->dwBuildNumber = static_cast<DWORD>(std::max(version.microVersion(), 0));
    return true;
}

// Qt Widgets stands for the shell library, and its version for the library's.
HMODULE QtShell::GetModuleHandle(const char* name) {
    return name && strcasecmp(name, "SHELL32.DLL") == 0 ? kShellLibrary : 0;
}

DLLGETVERSIONPROC QtShell::GetProcAddress(HMODULE module, const char* name) {
    if (module != kShellLibrary || !name || std::strcmp(name, "DllGetVersion") != 0)
        return {};
    return [](DLLVERSIONINFO* info) -> HRESULT {
        if (!info || info->cbSize != kDllVersionInfoSize)
            return -1;
        const QStringList parts = QString::fromLatin1(qVersion()).split(QLatin1Char('.'));
        info->dwMajorVersion = parts.value(0).toUInt();
        info->dwMinorVersion = parts.value(1).toUInt();
        info->dwBuildNumber = parts.value(2).toUInt();
        return 0;
    };
}

HMENU QtShell::LoadMenu(UINT id) {
    return m_menus.load(id);
}

HMENU QtShell::GetSubMenu(HMENU menu, int position) {
    return m_menus.subMenu(menu, position);
}

bool QtShell::SetMenuDefaultItem(HMENU menu, UINT item, bool byPosition) {
    return m_menus.setDefaultItem(menu, item, byPosition);
}

UINT QtShell::GetMenuDefaultItem(HMENU menu, bool byPosition, UINT flags) {
    return m_menus.defaultItem(menu, byPosition, flags);
}

bool QtShell::DestroyMenu(HMENU menu) {
    return m_menus.destroy(menu);
}

bool QtShell::GetCursorPos(POINT* point) {
    if (!point || !qApp)
        return false;
    const QPoint position = QCursor::pos();
    *point = {position.x(), position.y()};
    return true;
}

bool QtShell::SetForegroundWindow(HWND window) {
    CDialog* dialog = CDialog::FromHandle(window);
    if (!dialog)
        return false;
    dialog->raise();
    dialog->activateWindow();
    return true;
}

bool QtShell::TrackPopupMenu(HMENU menu, UINT, int x, int y, int, HWND owner, const RECT*) {
    const detail::MenuTable::Menu* items = m_menus.find(menu);
    if (!items || !qApp)
        return false;
    QMenu popup;
    std::function<void(QMenu&, const detail::MenuTable::Menu&)> fill =
        [&](QMenu& target, const detail::MenuTable::Menu& source) {
            for (std::size_t position = 0; position < source.items.size(); ++position) {
                const detail::MenuTable::Item& item = source.items[position];
                QAction* action = nullptr;
                if (item.popup) {
                    if (const detail::MenuTable::Menu* inner = m_menus.find(item.popup)) {
                        QMenu* sub = target.addMenu(QString::fromLocal8Bit(item.text));
                        fill(*sub, *inner);
                        action = sub->menuAction();
                    }
                } else if (item.text.empty()) {
                    action = target.addSeparator();
                } else {
                    action = target.addAction(QString::fromLocal8Bit(item.text));
                    action->setData(item.command);
                }
                if (action && static_cast<int>(position) == source.defaultPosition)
                    target.setDefaultAction(action);
            }
        };
    fill(popup, *items);
    if (QAction* chosen = popup.exec(QPoint(x, y)); chosen && chosen->data().isValid())
        windows().post(owner, WM_COMMAND, chosen->data().toUInt(), 0);
    return true;
}

bool QtShell::PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return windows().post(window, message, wParam, lParam);
}

LRESULT QtShell::SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return windows().send(window, message, wParam, lParam);
}

QRect QtShell::notificationArea() const {
    QRect area;
    for (const auto& [key, icon] : m_icons)
        if (icon.icon && icon.icon->isVisible())
            area |= icon.icon->geometry();
    return area;
}

// The tray manager's window where it is on the screen (some trays keep it off the screen and show their
// icons in another), else where the program's icons are.
QRect QtShell::trayWindowRect() const {
    QScreen* screen = qApp ? QGuiApplication::primaryScreen() : nullptr;
    if (xcb_connection_t* connection = x11Connection(); connection && screen)
        if (const xcb_window_t manager = trayManagerWindow(connection))
            if (const QRect rect = x11WindowRect(connection, manager);
                rect.intersects(screen->virtualGeometry()))
                return rect;
    return notificationArea();
}

HWND QtShell::FindWindow(const char* className, const char* windowName) {
    if (!className)
        return 0;
    if (std::strcmp(className, "Shell_TrayWnd") == 0 && !windowName)
        return trayWindowRect().isEmpty() ? 0 : kTrayWindow;
    for (HWND window : windows().topLevel())
        if (windows().className(window) == className)
            return window;
    return 0;
}

bool QtShell::EnumChildWindows(HWND parent, const std::function<bool(HWND)>& callback) {
    if (parent == kTrayWindow && !notificationArea().isEmpty())
        callback(kNotificationArea);
    return true;
}

std::string QtShell::GetClassName(HWND window, int maxCount) {
    std::string name;
    if (window == kTrayWindow)
        name = "Shell_TrayWnd";
    else if (window == kNotificationArea)
        name = "TrayNotifyWnd";
    else if (CDialog::FromHandle(window))
        name = "#32770";
    else
        name = windows().className(window);
    return name.substr(0, static_cast<std::size_t>(std::max(maxCount - 1, 0)));
}

bool QtShell::GetWindowRect(HWND window, RECT* rect) {
    if (!rect)
        return false;
    QRect found;
    if (window == kTrayWindow) {
        found = trayWindowRect();
    } else if (window == kNotificationArea) {
        found = notificationArea();
    } else if (CDialog* dialog = CDialog::FromHandle(window)) {
        found = dialog->frameGeometry();
    } else {
        return false;
    }
    if (found.isEmpty())
        return false;
    *rect = toRect(found);
    return true;
}

// The task bar is the widest strip of the screen that the desktop keeps out of the work area.
bool QtShell::SHAppBarMessage(DWORD message, APPBARDATA* data) {
    QScreen* screen = qApp ? QGuiApplication::primaryScreen() : nullptr;
    if (message != ABM_GETTASKBARPOS || !data || !screen)
        return false;
    const QRect all = screen->geometry();
    const QRect work = screen->availableGeometry();
    struct Strip {
        UINT edge;
        int size;
        QRect rect;
    };
    const Strip strips[] = {
        {ABE_LEFT, work.left() - all.left(),
         QRect(all.left(), all.top(), work.left() - all.left(), all.height())},
        {ABE_TOP, work.top() - all.top(), QRect(all.left(), all.top(), all.width(), work.top() - all.top())},
        {ABE_RIGHT, all.right() - work.right(),
         QRect(work.right() + 1, all.top(), all.right() - work.right(), all.height())},
        {ABE_BOTTOM, all.bottom() - work.bottom(),
         QRect(all.left(), work.bottom() + 1, all.width(), all.bottom() - work.bottom())},
    };
    const Strip* widest = std::max_element(std::begin(strips), std::end(strips),
                                           [](const Strip& a, const Strip& b) { return a.size < b.size; });
    if (widest->size <= 0)
        return false;
    data->uEdge = widest->edge;
    data->rc = toRect(widest->rect);
    return true;
}

// The desktop animates windows when its effects are on and its style animates at all; never offscreen.
bool QtShell::SystemParametersInfo(UINT action, UINT uiParam, ANIMATIONINFO* info, UINT) {
    if (action != SPI_GETANIMATION || !info || uiParam != kAnimationInfoSize ||
        info->cbSize != kAnimationInfoSize || !qApp)
        return false;
    const bool animate = !offscreen() && QApplication::isEffectEnabled(Qt::UI_General) &&
                         QApplication::style()->styleHint(QStyle::SH_Widget_Animation_Duration) > 0;
    info->iMinAnimate = animate ? 1 : 0;
    return true;
}

bool QtShell::SystemParametersInfo(UINT action, UINT, RECT* rect, UINT) {
    QScreen* screen = qApp ? QGuiApplication::primaryScreen() : nullptr;
    if (action != SPI_GETWORKAREA || !rect || !screen)
        return false;
    *rect = toRect(screen->availableGeometry());
    return true;
}

bool QtShell::DrawAnimatedRects(HWND, int idAni, const RECT& from, const RECT& to) {
    if (idAni != IDANI_CAPTION || !qApp)
        return false;
    const QRect start = toQRect(from);
    const QRect end = toQRect(to);
    const int captionHeight = std::max(QApplication::style()->pixelMetric(QStyle::PM_TitleBarHeight), 8);
    CaptionFlight flight;
    QElapsedTimer clock;
    clock.start();
    for (int frame = 0; frame <= kFlightFrames; ++frame) {
        const double t = double(frame) / kFlightFrames;
        auto mix = [t](int a, int b) { return a + int((b - a) * t); };
        const int width = std::max(mix(start.width(), end.width()), 1);
        const int height = std::min(std::max(mix(start.height(), end.height()), 1), captionHeight);
        flight.setGeometry(mix(start.left(), end.left()), mix(start.top(), end.top()), width, height);
        flight.show();
        QEventLoop loop;
        QTimer::singleShot(kFlightMs / kFlightFrames, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (clock.elapsed() > 4 * kFlightMs)
            break;
    }
    return true;
}

bool QtShell::ShowWindow(HWND window, int command) {
    CDialog* dialog = CDialog::FromHandle(window);
    if (!dialog)
        return false;
    const bool wasVisible = dialog->isVisible();
    if (command == SW_HIDE)
        dialog->hide();
    else if (command == SW_SHOWNORMAL)
        dialog->showNormal();
    else
        dialog->show();
    return wasVisible;
}

HWND QtShell::SetActiveWindow(HWND window) {
    CDialog* dialog = CDialog::FromHandle(window);
    if (!dialog)
        return 0;
    const auto* active = dynamic_cast<CDialog*>(QApplication::activeWindow());
    dialog->activateWindow();
    return active ? active->GetSafeHwnd() : 0;
}

HWND QtShell::CreateWindowEx(DWORD, const char* className, const char* windowName, DWORD, int, int, int, int,
                             HWND parent, HMENU, WNDPROC windowProc) {
    // Messages reach the window through the application's event queue: without one it cannot be made.
    if (!qApp)
        return 0;
    watchTrayManager();
    return windows().create(className, windowName, parent, std::move(windowProc));
}

LRESULT QtShell::DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return windows().defaultProc(window, message, wParam, lParam);
}

void QtShell::watchTrayManager() {
    if (m_watch)
        return;
    if (xcb_connection_t* connection = x11Connection())
        m_watch = std::make_unique<TrayManagerWatch>(*this, connection);
}

// Posted, as the shell's broadcast is: Qt has followed the new tray manager by the time it arrives.
void QtShell::broadcastTaskbarCreated() {
    const UINT taskbarCreated = RegisterWindowMessage("TaskbarCreated");
    for (HWND window : windows().topLevel())
        windows().post(window, taskbarCreated, 0, 0);
}

}  // namespace platform
