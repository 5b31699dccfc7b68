// SPDX-License-Identifier: MIT
#include "support/Linphone.h"

#include "support/ChildProcess.h"
#include "support/Sipp.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {
namespace {

using namespace std::chrono_literals;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The pty's output without its control sequences (bracketed paste on and off around every prompt, colours)
// and without the carriage returns of its line ends.
std::string plainText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < text.size() && !(text[end] >= '@' && text[end] <= '~'))
                ++end;
            i = end;
            continue;
        }
        if (text[i] != '\r')
            out += text[i];
    }
    return out;
}

// What the process `pid` runs, "" when there is no such process.
std::string commandName(int pid) {
    std::string name = readTextFile("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

}  // namespace

Linphone::Linphone(Options options)
    : m_options(std::move(options)), m_home(makeTempDir("linphone")), m_sipPort(freePort()) {}

Linphone::~Linphone() {
    stop(0ms);
    removeTempDir(m_home);
}

void Linphone::writeFiles() const {
    // Its chat database goes here: it does not make the folder itself, and logs an error without it.
    std::filesystem::create_directories(m_home + "/.local/share/linphone");
    const SipUser& user = m_options.user;
    const std::string transport = m_options.tcp ? "tcp" : "udp";
    const std::string kamailio =
        "sip:127.0.0.1:" + std::to_string(m_options.registrarPort) + ";transport=" + transport;
    // One transport only (0 turns a transport off); the route makes every request go through Kamailio,
    // since the users' domain does not resolve. No PUBLISH: Kamailio has no presence server.
    std::ofstream(m_home + "/linphonerc")
        << "[sip]\nsip_port=" << (m_options.tcp ? 0 : m_sipPort)
        << "\nsip_tcp_port=" << (m_options.tcp ? m_sipPort : 0) << "\nsip_tls_port=0\ndefault_proxy=0\n\n"
        << "[proxy_0]\nreg_proxy=<" << kamailio << ">\nreg_route=<" << kamailio << ";lr>\nreg_identity=\""
        << user.user << "\" <" << user.uri() << ">\nreg_expires=600\nreg_sendregister=1\npublish=0\n\n"
        << "[auth_info_0]\nusername=" << user.user << "\npasswd=" << user.password
        << "\nrealm=" << user.domain << "\ndomain=" << user.domain << "\n\n"
        << "[video]\ncapture=0\ndisplay=0\n";
}

void Linphone::start(std::chrono::milliseconds timeout, const std::function<void()>& meanwhile) {
    if (m_process)
        throw std::logic_error("linphonec runs already");
    writeFiles();
    m_stdin = openFifo(m_home + "/stdin");
    m_process = std::make_unique<ChildProcess>();
    // script's -e passes linphonec's exit status on; -f writes the pty's output out as it comes. env
    // execs script in its own place, so the process id is script's; the shell script runs the command
    // with execs linphonec in its place, so linphonec is script's child.
    const std::string linphonec =
        "exec linphonec -c " + m_home + "/linphonerc -d 6 -l " + m_home + "/linphonec.log";
    m_process->start({"env", "HOME=" + m_home, "SHELL=/bin/sh", "script", "-qfec", linphonec, "/dev/null"},
                     m_home + "/output.txt", m_stdin);
    if (!waitUntil([&] { return registered(); }, timeout, meanwhile)) {
        const std::string why = running() ? "did not register within the time" : "ended at once";
        const std::string text = output() + "\n--- its log:\n" + log();
        stop(1s);
        throw std::runtime_error("linphonec " + why + ":\n" + text);
    }
}

void Linphone::stop(std::chrono::milliseconds timeout, const std::function<void()>& meanwhile) {
    if (!m_process)
        return;
    const int linphonec = linphonecPid();
    if (running() && command("quit")) {
        pollUntil([this] { return m_process->wait(0ms); }, timeout, meanwhile);
    }
    // linphonec has a session of its own under script's pty: the signals to script's group miss it.
    if (linphonec > 0 && commandName(linphonec) == "linphonec") {
        kill(linphonec, SIGTERM);
        for (int i = 0; i < 50 && commandName(linphonec) == "linphonec"; ++i)
            std::this_thread::sleep_for(20ms);
        if (commandName(linphonec) == "linphonec")
            kill(linphonec, SIGKILL);
    }
    m_process->stop(1, 1s);
    m_process.reset();
    m_linphonec = -1;
    if (m_stdin >= 0)
        close(m_stdin);
    m_stdin = -1;
}

bool Linphone::running() const {
    return m_process && m_process->running() && !m_process->wait(0ms);
}

int Linphone::linphonecPid() const {
    if (m_linphonec > 0 || !running())
        return m_linphonec;
    const std::string script = std::to_string(m_process->pid());
    std::istringstream children(readTextFile("/proc/" + script + "/task/" + script + "/children"));
    for (int pid = 0; children >> pid;)
        if (commandName(pid) == "linphonec")
            m_linphonec = pid;
    return m_linphonec;
}

std::string Linphone::output() const {
    return plainText(readTextFile(m_home + "/output.txt"));
}

std::string Linphone::log() const {
    return readTextFile(m_home + "/linphonec.log");
}

std::vector<std::string> Linphone::failures() const {
    std::vector<std::string> found;
    for (const std::string& line : splitLines(log())) {
        const bool problem = contains(line, "-error-") || contains(line, "-fatal-");
        const bool sound =
            contains(line, "alsa") || contains(line, "soundcard") || contains(line, "sound card");
        if (problem && !sound)
            found.push_back(line);
    }
    return found;
}

bool Linphone::command(const std::string& line) {
    if (m_stdin < 0 || !running())
        return false;
    const std::string typed = line + "\n";
    return write(m_stdin, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
}

bool Linphone::chat(const std::string& uri, const std::string& text) {
    if (contains(text, "\n"))
        throw std::invalid_argument("one line at a time: " + text);
    return command("chat " + uri + " " + text);
}

bool Linphone::addFriend(const std::string& name, const std::string& uri) {
    return command("friend add \"" + name + "\" " + uri);
}

bool Linphone::registered() const {
    // The account's last move in the log: "... moving from state [X] to [LinphoneRegistrationOk] ...".
    const std::string text = log();
    const auto at = text.rfind(" to [LinphoneRegistration");
    return at != std::string::npos && text.compare(at, 28, " to [LinphoneRegistrationOk]") == 0;
}

bool Linphone::hasText(const std::string& from, const std::string& text) const {
    return contains(output(), "Message received from " + from + ": " + text + "\n");
}

std::string Linphone::presence(const std::string& uri) const {
    std::string status;
    for (const std::string& line : splitLines(output())) {
        if (!contains(line, "Friend ") || !contains(line, uri) || !contains(line, " is "))
            continue;
        status = line.substr(line.rfind(" is ") + 4);
    }
    return status;
}

bool Linphone::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                         const std::function<void()>& meanwhile) {
    return pollUntil(done, timeout, meanwhile, [this] { return running(); });
}

}  // namespace test
