// SPDX-License-Identifier: MIT
#include "support/Twinkle.h"

#include "support/ChildProcess.h"
#include "support/Sipp.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace test {
namespace {

using namespace std::chrono_literals;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

Twinkle::Twinkle(Options options)
    : m_options(std::move(options)), m_home(makeTempDir("twinkle")), m_sipPort(freePort()) {}

Twinkle::~Twinkle() {
    stop(0ms);
    removeTempDir(m_home);
}

void Twinkle::writeFiles() const {
    const std::string dir = m_home + "/.twinkle";
    std::filesystem::create_directories(dir);
    const SipUser& user = m_options.user;
    // Without the scheme: twinkle puts "sip:" in front of these itself.
    const std::string proxy =
        "127.0.0.1:" + std::to_string(m_options.registrarPort) + (m_options.tcp ? ";transport=tcp" : "");
    // Everything goes through Kamailio: the users' domain does not resolve. No PUBLISH at start: Kamailio
    // has no presence server and would hand it to twinkle itself.
    std::ofstream(dir + "/" + profile() + ".cfg")
        << "user_name=" << user.user << "\nuser_domain=" << user.domain << "\nuser_display=" << user.user
        << "\nauth_realm=" << user.domain << "\nauth_name=" << user.aor() << "\nauth_pass=" << user.password
        << "\nregistrar=" << proxy << "\nregister_at_startup=yes\nregistration_time=600\n"
        << "outbound_proxy=" << proxy << "\nall_requests_to_proxy=yes\nnon_resolvable_to_proxy=yes\n"
        << "sip_transport=" << (m_options.tcp ? "tcp" : "udp") << "\npres_publish_startup=no\n";
    std::ofstream buddies(dir + "/" + profile() + ".bud");
    for (const Buddy& buddy : m_options.buddies)
        buddies << buddy.name << "|" << buddy.uri << "|" << (buddy.watchPresence ? "y" : "n") << "\n";
    // The system settings: its port, and a log with every SIP message and its debug notes, the only place
    // where it tells the changes of a buddy's presence.
    std::ofstream(dir + "/twinkle.sys") << "sip_port=" << m_sipPort << "\nrtp_port=" << freePort()
                                        << "\nlog_show_sip=yes\nlog_show_debug=yes\nlog_max_size=50\n"
                                           "validate_audio_dev=no\nplay_ringtone=no\nplay_ringback=no\n";
}

void Twinkle::start(std::chrono::milliseconds timeout, const std::function<void()>& meanwhile) {
    if (m_process)
        throw std::logic_error("twinkle runs already");
    writeFiles();
    m_stdin = openFifo(m_home + "/stdin");
    m_process = std::make_unique<ChildProcess>();
    // env execs twinkle in its own place, so the process id is twinkle's.
    m_process->start({"env", "HOME=" + m_home, "twinkle-console", profile() + ".cfg"}, m_home + "/output.txt",
                     m_stdin);
    if (!waitUntil([&] { return registered(); }, timeout, meanwhile)) {
        const std::string why = running() ? "did not register within the time" : "ended at once";
        const std::string text = output() + "\n--- its log:\n" + log();
        stop(1s);
        throw std::runtime_error("twinkle " + why + ":\n" + text);
    }
}

void Twinkle::stop(std::chrono::milliseconds timeout, const std::function<void()>& meanwhile) {
    if (m_process && running() && command("quit")) {
        pollUntil([this] { return m_process->wait(0ms); }, timeout, meanwhile);
    }
    if (m_process)
        m_process->stop(1, 1s);
    m_process.reset();
    if (m_stdin >= 0)
        close(m_stdin);
    m_stdin = -1;
}

bool Twinkle::running() const {
    return m_process && m_process->running() && !m_process->wait(0ms);
}

std::string Twinkle::output() const {
    return readTextFile(m_home + "/output.txt");
}

std::string Twinkle::log() const {
    return readTextFile(m_home + "/.twinkle/twinkle.log");
}

std::vector<std::string> Twinkle::failures() const {
    std::vector<std::string> found;
    for (const std::string& line : splitLines(output())) {
        const bool problem = startsWith(line, "Critical:") || startsWith(line, "Warning:") ||
                             startsWith(line, "Failed") || contains(line, " failed");
        const bool sound = contains(line, "ALSA") || contains(line, "ring tone device") ||
                           contains(line, "speaker") || contains(line, "microphone");
        if (problem && !sound)
            found.push_back(line);
    }
    return found;
}

bool Twinkle::command(const std::string& line) {
    if (m_stdin < 0 || !running())
        return false;
    const std::string typed = line + "\n";
    return write(m_stdin, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
}

bool Twinkle::message(const std::string& uri, const std::string& text) {
    if (contains(text, "\"") || contains(text, "\n"))
        throw std::invalid_argument("twinkle's command line cannot take this text: " + text);
    return command("message " + uri + " \"" + text + "\"");
}

bool Twinkle::registered() const {
    return contains(output(), profile() + ": registration succeeded");
}

bool Twinkle::hasText(const std::string& from, const std::string& text) const {
    // "Received message", "From:\t\t<from>", "To:\t\t...", an empty line, then the text.
    const std::vector<std::string> printed = splitLines(output());
    for (std::size_t i = 0; i + 4 < printed.size(); ++i)
        if (printed[i] == "Received message" && startsWith(printed[i + 1], "From:") &&
            contains(printed[i + 1], from) && printed[i + 4] == text)
            return true;
    return false;
}

std::string Twinkle::presence(const std::string& uri) const {
    // A log entry "Presence state changed to: open" with the buddy's URI on the line after it.
    const std::string marker = "Presence state changed to: ";
    const std::vector<std::string> logged = splitLines(log());
    std::string state;
    for (std::size_t i = 0; i + 1 < logged.size(); ++i)
        if (startsWith(logged[i], marker) && logged[i + 1] == uri)
            state = logged[i].substr(marker.size());
    return state;
}

bool Twinkle::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                        const std::function<void()>& meanwhile) {
    return pollUntil(done, timeout, meanwhile, [this] { return running(); });
}

}  // namespace test
