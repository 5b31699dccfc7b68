// SPDX-License-Identifier: MIT
#include "support/Baresip.h"

#include "support/ChildProcess.h"
#include "support/Sipp.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace test {
namespace {

using namespace std::chrono_literals;

// What one ctrl_tcp command may take, connection included.
constexpr auto kCommandTimeout = 5s;

// No sound device is needed for texts; the audio modules only keep baresip from looking for one.
const char* const kConfig = R"(poll_method		epoll
sip_listen		@ADDRESS@:@SIP@
call_local_timeout	30
audio_player		aufile,/dev/null
audio_source		ausine,440
audio_alert		aufile,/dev/null
module_path		/usr/lib/baresip/modules
module			stdio.so
module			g711.so
module			ausine.so
module			aufile.so
module_tmp		uuid.so
module_tmp		account.so
module_app		contact.so
module_app		menu.so
module_app		presence.so
module_app		ctrl_tcp.so
ctrl_tcp_listen		@ADDRESS@:@CONTROL@
)";

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string withoutColours(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            i = text.find('m', i);
            if (i == std::string::npos)
                break;
            continue;
        }
        out += text[i];
    }
    return out;
}

// baresip's own SIP port, and the one above it, where it also listens.
int freePortPair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = freePort();
        if (port < 65535 && bindable(SOCK_DGRAM, port + 1) && bindable(SOCK_STREAM, port + 1))
            return port;
    }
    throw std::runtime_error("no two free ports in a row");
}

class Connection {
public:
    Connection(const std::string& host, int port) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        address.sin_port = htons(static_cast<uint16_t>(port));
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Connection() { close(m_fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return m_connected; }

    bool send(const std::string& text) {
        const std::string netstring = std::to_string(text.size()) + ":" + text + ",";
        return ::send(m_fd, netstring.data(), netstring.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(netstring.size());
    }

    // The next netstring, or nothing when none came complete before `deadline`.
    std::optional<std::string> receive(std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            if (auto text = take())
                return text;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms)
                return std::nullopt;
            pollfd waiting{m_fd, POLLIN, 0};
            if (poll(&waiting, 1, static_cast<int>(left.count())) != 1)
                return std::nullopt;
            char buffer[4096];
            const ssize_t length = recv(m_fd, buffer, sizeof buffer, 0);
            if (length <= 0)
                return std::nullopt;
            m_buffer.append(buffer, static_cast<std::size_t>(length));
        }
    }

private:
    std::optional<std::string> take() {
        const auto colon = m_buffer.find(':');
        if (colon == std::string::npos || colon == 0)
            return std::nullopt;
        const std::size_t length = std::stoul(m_buffer.substr(0, colon));
        if (m_buffer.size() < colon + 1 + length + 1)
            return std::nullopt;
        std::string text = m_buffer.substr(colon + 1, length);
        m_buffer.erase(0, colon + 1 + length + 1);
        return text;
    }

    int m_fd;
    bool m_connected = false;
    std::string m_buffer;
};

}  // namespace

Baresip::Baresip(Options options)
    : m_options(std::move(options)), m_dir(makeTempDir("baresip")), m_sipPort(freePortPair()) {
    do
        m_controlPort = freePort();
    while (m_controlPort == m_sipPort + 1);
}

Baresip::~Baresip() {
    stop();
    removeTempDir(m_dir);
}

std::string Baresip::sipUri() const {
    return "sip:" + m_options.user.user + "@" + m_options.address + ":" + std::to_string(m_sipPort) +
           (m_options.tcp ? ";transport=tcp" : "");
}

void Baresip::writeFiles() const {
    std::string config = kConfig;
    replaceAll(config, "@SIP@", std::to_string(m_sipPort));
    replaceAll(config, "@CONTROL@", std::to_string(m_controlPort));
    replaceAll(config, "@ADDRESS@", m_options.address);
    std::ofstream(m_dir + "/config") << config;

    const SipUser& user = m_options.user;
    const std::string transport = m_options.tcp ? "tcp" : "udp";
    std::ofstream accounts(m_dir + "/accounts");
    if (m_options.outboundProxy.empty()) {
        accounts << "\"" << user.user << "\" <sip:" << user.user << "@" << m_options.address
                 << ";transport=" << transport << ">;regint=0;answermode=manual\n";
    } else {
        // The digest user is the whole address, as the agent sends it.
        accounts << "\"" << user.user << "\" <" << user.uri() << ";transport=" << transport
                 << ">;auth_user=" << user.aor() << ";auth_pass=" << user.password << ";outbound=\""
                 << m_options.outboundProxy << "\";regint=600;answermode=manual\n";
    }
    std::ofstream contacts(m_dir + "/contacts");
    for (const Contact& contact : m_options.contacts)
        contacts << "\"" << contact.name << "\" <" << contact.uri << ">"
                 << (contact.watchPresence ? ";presence=p2p" : "") << "\n";
}

void Baresip::start(std::chrono::milliseconds timeout) {
    if (m_process)
        throw std::logic_error("baresip runs already");
    // The control port is free when chosen, but another test running at the same time may take it before
    // baresip binds it; baresip then goes on without its control. That port is ours alone to change.
    for (int attempt = 1;; ++attempt) {
        writeFiles();
        m_stdin = openFifo(m_dir + "/stdin");
        m_process = std::make_unique<ChildProcess>();
        std::vector<std::string> args = m_options.prefix;
        args.insert(args.end(), {"baresip", "-f", m_dir});
        m_process->start(args, m_dir + "/output.txt", m_stdin);

        const char* const kNoControl = "ctrl_tcp: failed to listen";
        bool ready = false;
        waitUntil(
            [&] {
                const std::string text = output();
                ready = text.find("baresip is ready.") != std::string::npos &&
                        Connection(m_options.address, m_controlPort).connected();
                return ready || text.find(kNoControl) != std::string::npos;
            },
            timeout);
        if (ready)
            return;
        const std::string why = running() ? "did not get ready within the time" : "ended at once";
        const std::string text = output();
        stop();
        if (attempt < 3 && text.find(kNoControl) != std::string::npos) {
            std::remove((m_dir + "/stdin").c_str());
            do
                m_controlPort = freePort();
            while (m_controlPort == m_sipPort + 1);
            continue;
        }
        throw std::runtime_error("baresip " + why + ":\n" + text);
    }
}

void Baresip::stop() {
    if (m_process)
        m_process->stop(2, 1s);
    m_process.reset();
    if (m_stdin >= 0)
        close(m_stdin);
    m_stdin = -1;
}

bool Baresip::running() const {
    return m_process && m_process->running() && !m_process->wait(0ms);
}

int Baresip::pid() const {
    return running() ? m_process->pid() : -1;
}

std::string Baresip::output() const {
    return withoutColours(readTextFile(m_dir + "/output.txt"));
}

Baresip::Reply Baresip::command(const std::string& name, const std::string& params) {
    Connection connection(m_options.address, m_controlPort);
    QJsonObject request{{"command", QString::fromStdString(name)}, {"token", "chimely"}};
    if (!params.empty())
        request.insert("params", QString::fromStdString(params));
    if (!connection.connected() ||
        !connection.send(QJsonDocument(request).toJson(QJsonDocument::Compact).toStdString()))
        return {};
    // Events may come on the same connection before the response.
    const auto deadline = std::chrono::steady_clock::now() + kCommandTimeout;
    while (auto text = connection.receive(deadline)) {
        const QJsonObject reply = QJsonDocument::fromJson(QByteArray::fromStdString(*text)).object();
        if (reply.value("response").toBool())
            return {reply.value("ok").toBool(), withoutColours(reply.value("data").toString().toStdString())};
    }
    return {};
}

bool Baresip::message(const std::string& text) {
    return command("message", text).ok;
}

bool Baresip::selectContact(const std::string& uri) {
    for (std::size_t i = 0; i <= m_options.contacts.size(); ++i) {
        for (const std::string& line : splitLines(command("contacts").data))
            if (line.rfind(">", 0) == 0 && line.find("<" + uri + ">") != std::string::npos)
                return true;
        if (!command("contact_next").ok)
            return false;
    }
    return false;
}

bool Baresip::registered() const {
    // "bob@example.test: {0/UDP/v4} 200 OK (kamailio ...) [1 binding]"
    for (const std::string& line : splitLines(output()))
        if (line.rfind(m_options.user.aor() + ": {", 0) == 0 && line.find("} 200 OK") != std::string::npos)
            return true;
    return false;
}

bool Baresip::hasText(const std::string& from, const std::string& text) const {
    return output().find(from + ": \"" + text + "\"\n") != std::string::npos;
}

std::string Baresip::presence(const std::string& uri) {
    // "      Online alice <sip:alice@example.test>", the current contact marked with ">".
    for (const std::string& line : splitLines(command("contacts").data)) {
        if (line.find("<" + uri + ">") == std::string::npos)
            continue;
        std::istringstream words(line.rfind(">", 0) == 0 ? line.substr(1) : line);
        std::string status;
        words >> status;
        return status;
    }
    return "";
}

bool Baresip::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                        const std::function<void()>& meanwhile) {
    return pollUntil(done, timeout, meanwhile, [this] { return running(); });
}

bool Baresip::waitForRegistration(std::chrono::milliseconds timeout, const std::function<void()>& meanwhile) {
    return waitUntil([&] { return registered(); }, timeout, meanwhile);
}

bool Baresip::waitForText(const std::string& from, const std::string& text, std::chrono::milliseconds timeout,
                          const std::function<void()>& meanwhile) {
    return waitUntil([&] { return hasText(from, text); }, timeout, meanwhile);
}

bool Baresip::waitForPresence(const std::string& uri, const std::string& status,
                              std::chrono::milliseconds timeout, const std::function<void()>& meanwhile) {
    return waitUntil([&] { return presence(uri) == status; }, timeout, meanwhile);
}

}  // namespace test
