// SPDX-License-Identifier: MIT
#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <algorithm>

namespace platform {
namespace {

const QByteArray kActivateRequest = QByteArrayLiteral("activate");
// A request is read from one connection; a client that is still silent after this long is dropped.
constexpr int kRequestTimeoutMs = 5000;
// How long a later start may spend handing over its request, retries included.
constexpr int kActivateBudgetMs = 200;
constexpr unsigned long kConnectRetryMs = 10;
const char* const kRequestProperty = "chimelyRequest";

}  // namespace

QString UserRuntimeDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::SingleInstance(const QString& directory, const QString& mutexName, const QString& messageName)
    : m_directory(directory),
      m_lockPath(directory + QLatin1Char('/') + mutexName + QLatin1String(".lock")),
      m_serverPath(directory + QLatin1Char('/') + messageName) {}

SingleInstance::~SingleInstance() {
    // The socket goes before the lock, so that no start ever finds the lock free and the socket taken.
    m_server.reset();
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
    // The lock is ours, so a socket left at this name belongs to an instance that crashed.
    QLocalServer::removeServer(m_serverPath);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(m_server.get(), &QLocalServer::newConnection, m_server.get(),
                     [this] { AcceptRequests(); });
    if (!m_server->listen(m_serverPath))
        m_server.reset();
}

bool SingleInstance::IsListening() const {
    return m_server && m_server->isListening();
}

void SingleInstance::AcceptRequests() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] { ReadRequest(socket); });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
        if (socket->bytesAvailable() > 0)
            ReadRequest(socket);
    }
}

void SingleInstance::ReadRequest(QLocalSocket* socket) {
    const QByteArray request = socket->property(kRequestProperty).toByteArray() + socket->readAll();
    if (request == kActivateRequest) {
        socket->abort();
        if (m_onActivate)
            m_onActivate();
        return;
    }
    // Anything that cannot become the one request ends the connection, unanswered.
    if (!kActivateRequest.startsWith(request)) {
        socket->abort();
        return;
    }
    socket->setProperty(kRequestProperty, request);
}

bool SingleInstance::PostActivate() {
    const QDeadlineTimer deadline(kActivateBudgetMs);
    for (;;) {
        QLocalSocket socket;
        socket.connectToServer(m_serverPath, QIODevice::WriteOnly);
        if (socket.waitForConnected(std::max(1, int(deadline.remainingTime())))) {
            socket.write(kActivateRequest);
            socket.waitForBytesWritten(std::max(1, int(deadline.remainingTime())));
            const bool written = socket.bytesToWrite() == 0;
            socket.abort();
            return written;
        }
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
