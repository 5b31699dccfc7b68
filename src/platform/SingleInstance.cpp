// SPDX-License-Identifier: MIT
#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

const QByteArray kActivateRequest = QByteArrayLiteral("activate");
// A request is read from one connection; a client that is still silent after this long is dropped.
constexpr int kRequestTimeoutMs = 5000;
// How long a later start may spend handing over its request, retries included.
constexpr int kActivateBudgetMs = 200;
constexpr unsigned long kConnectRetryMs = 10;
// Connections read at once; a further one drops the oldest, so nothing local can pile them up.
constexpr std::size_t kMaxConnections = 8;
constexpr int kListenBacklog = 8;
// After a failed accept (no descriptor to be had, say), the listener rests this long.
constexpr int kAcceptRetryMs = 250;

// The socket's address, or false when the path does not fit one.
bool socketAddress(const QString& path, sockaddr_un& address) {
    const QByteArray name = QFile::encodeName(path);
    address = {};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || std::size_t(name.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    return true;
}

// Waits for `events` on `fd` for at most the deadline's remaining time.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline) {
    pollfd watched{fd, events, 0};
    int ready;
    do
        ready = poll(&watched, 1, std::max(1, int(deadline.remainingTime())));
    while (ready < 0 && errno == EINTR);
    return ready > 0 && (watched.revents & events);
}

}  // namespace

// One accepted connection, read until it has given the request, said something else, or kept silent too
// long. A dropped one stays closed until the next connection is accepted, so that no notifier is deleted
// while it is delivering.
class SingleInstance::Connection {
public:
    explicit Connection(int fd) : fd(fd), readable(fd, QSocketNotifier::Read) { timeout.setSingleShot(true); }
    ~Connection() { close(); }
    void close() {
        readable.setEnabled(false);
        timeout.stop();
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool closed() const { return fd < 0; }

    int fd;
    QSocketNotifier readable;
    QTimer timeout;
    QByteArray received;
};

QString UserRuntimeDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::SingleInstance(const QString& directory, const QString& mutexName, const QString& messageName)
    : m_directory(directory),
      m_lockPath(directory + QLatin1Char('/') + mutexName + QLatin1String(".lock")),
      m_serverPath(directory + QLatin1Char('/') + messageName) {}

SingleInstance::~SingleInstance() {
    // The socket goes before the lock, so that no start ever finds the lock free and the socket taken.
    StopListening();
    m_lock.reset();
}

SingleInstance::Result SingleInstance::Create() {
    if (m_directory.isEmpty() || !QFileInfo(m_directory).isDir())
        return Result::Failed;
    m_lock = std::make_unique<QLockFile>(m_lockPath);
    // Only a lock whose process is gone is stale. By default Qt also counts a lock older than 30 seconds
    // as stale; then only the file system's own lock on the file, which not every file system keeps, would
    // stop a later start from taking over the lock of an instance that has been running for a while.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        const bool held = m_lock->error() == QLockFile::LockFailedError;
        m_lock.reset();
        return held ? Result::AlreadyRunning : Result::Failed;
    }
    Listen();
    return Result::First;
}

void SingleInstance::Listen() {
    sockaddr_un address;
    if (!socketAddress(m_serverPath, address))
        return;
    // The lock is ours, so a socket left at this name belongs to an instance that crashed.
    unlink(address.sun_path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // Only this user may connect: the runtime directory is the user's own, and the socket is too.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        chmod(address.sun_path, S_IRUSR | S_IWUSR) != 0 || listen(fd, kListenBacklog) != 0) {
        ::close(fd);
        unlink(address.sun_path);
        return;
    }
    m_listener = fd;
    m_listening = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(m_listening.get(), &QSocketNotifier::activated, m_listening.get(),
                     [this] { AcceptRequests(); });
}

void SingleInstance::StopListening() {
    m_connections.clear();
    if (m_listener < 0)
        return;
    m_listening.reset();
    ::close(m_listener);
    m_listener = -1;
    sockaddr_un address;
    if (socketAddress(m_serverPath, address))
        unlink(address.sun_path);
}

bool SingleInstance::IsListening() const {
    return m_listener >= 0;
}

void SingleInstance::AcceptRequests() {
    std::erase_if(m_connections, [](const std::unique_ptr<Connection>& c) { return c->closed(); });
    for (;;) {
        const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // No descriptor or memory to be had now: the connection stays in the backlog, and the
                // listener, still readable, would otherwise wake the loop at once, again and again.
                m_listening->setEnabled(false);
                QTimer::singleShot(kAcceptRetryMs, m_listening.get(),
                                   [this] { m_listening->setEnabled(true); });
            }
            return;
        }
        if (m_connections.size() >= kMaxConnections)
            m_connections.erase(m_connections.begin());
        m_connections.push_back(std::make_unique<Connection>(fd));
        Connection& connection = *m_connections.back();
        QObject::connect(&connection.readable, &QSocketNotifier::activated, &connection.readable,
                         [this, &connection] { ReadRequest(connection); });
        QObject::connect(&connection.timeout, &QTimer::timeout, &connection.timeout,
                         [&connection] { connection.close(); });
        connection.timeout.start(kRequestTimeoutMs);
    }
}

void SingleInstance::ReadRequest(Connection& connection) {
    // One byte past the request is enough to tell it from anything longer.
    char buffer[16];
    const std::size_t wanted = std::min<std::size_t>(
        sizeof buffer, std::size_t(kActivateRequest.size() - connection.received.size() + 1));
    const ssize_t got = read(connection.fd, buffer, wanted);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        connection.close();  // the client went, or the connection failed, before the request was whole
        return;
    }
    connection.received.append(buffer, got);
    if (connection.received == kActivateRequest) {
        connection.close();
        if (m_onActivate)
            m_onActivate();
        return;
    }
    // Anything that cannot become the one request ends the connection, unanswered.
    if (!kActivateRequest.startsWith(connection.received))
        connection.close();
}

bool SingleInstance::PostActivate() {
    sockaddr_un address;
    if (!socketAddress(m_serverPath, address))
        return false;
    const QDeadlineTimer deadline(kActivateBudgetMs);
    for (;;) {
        // Never blocking: a first instance that is stuck, its backlog full, costs this start only its budget.
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            qsizetype sent = 0;
            while (sent < kActivateRequest.size() && waitFor(fd, POLLOUT, deadline)) {
                const ssize_t n = send(fd, kActivateRequest.constData() + sent,
                                       std::size_t(kActivateRequest.size() - sent), MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    break;
                if (n > 0)
                    sent += n;
            }
            ::close(fd);
            return sent == kActivateRequest.size();
        }
        ::close(fd);
        // Between taking its lock and listening the first instance has no socket yet.
        if (deadline.hasExpired())
            return false;
        QThread::msleep(kConnectRetryMs);
    }
}

void SingleInstance::SetActivationHandler(std::function<void()> handler) {
    m_onActivate = std::move(handler);
}

}  // namespace platform
