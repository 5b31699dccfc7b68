// SPDX-License-Identifier: MIT
// One running instance per user, as the named mutex and the broadcast activation message give it on
// Windows: a lock file and a local socket in the user's runtime directory, named after the mutex and the
// message. The first start holds the lock for the rest of its run and listens on the socket; a later start
// finds the lock held, connects, writes "activate" and ends without waiting for an answer. An instance
// that crashed leaves its lock and socket behind: its process is gone, so the next start takes the lock
// over and replaces the socket. User-interface thread: requests are read from its event loop.
//
// The socket is a plain Unix stream socket watched by socket notifiers, so the program needs no network
// module of the framework for it (nor the libraries that module maps at every start).
#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QLockFile;
class QSocketNotifier;

namespace platform {

// The current user's runtime directory ($XDG_RUNTIME_DIR, or Qt's private fallback when that is unset),
// or an empty string when there is none that only this user can use.
QString UserRuntimeDirectory();

class SingleInstance {
public:
    enum class Result {
        First,           // the lock is ours; activation requests go to the handler
        AlreadyRunning,  // a live instance holds the lock
        Failed,          // the lock could not be had for any other reason
    };

    // The lock "<mutexName>.lock" and the socket "<messageName>" live in `directory`.
    SingleInstance(const QString& directory, const QString& mutexName, const QString& messageName);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock, or finds out who has it. The first instance then listens for activation requests;
    // when it cannot, it still runs, and later starts only end.
    Result Create();

    // From a later start: hands the first instance an activation request. Waits for nothing but the
    // connection and the write (briefly retried while the first is still setting up its socket); returns
    // whether the request was handed over.
    bool PostActivate();

    // In the first instance, `handler` runs on the user-interface thread for each request that arrives.
    void SetActivationHandler(std::function<void()> handler);

    QString LockFileName() const { return m_lockPath; }
    QString ServerName() const { return m_serverPath; }
    bool IsListening() const;

private:
    class Connection;

    void Listen();
    void StopListening();
    void AcceptRequests();
    void ReadRequest(Connection& connection);

    QString m_directory;
    QString m_lockPath;
    QString m_serverPath;
    std::unique_ptr<QLockFile> m_lock;
    int m_listener = -1;
    std::unique_ptr<QSocketNotifier> m_listening;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::function<void()> m_onActivate;
};

}  // namespace platform
