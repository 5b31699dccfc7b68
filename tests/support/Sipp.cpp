// SPDX-License-Identifier: MIT
#include "support/Sipp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {
namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

double parseTime(const std::string& line) {
    // "----------------------------------------------- 2026-12-08 19:23:11.950277"
    const auto space = line.find(' ');
    if (space == std::string::npos)
        return 0;
    std::tm tm{};
    const std::string stamp = line.substr(space + 1);
    const char* rest = strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    if (!rest)
        return 0;
    tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm)) + std::atof(rest);
}

}  // namespace

std::string TracedMessage::startLine() const {
    return text.substr(0, text.find_first_of("\r\n"));
}

bool TracedMessage::isRequest(const std::string& method) const {
    return startLine().rfind(method + " ", 0) == 0;
}

int TracedMessage::status() const {
    const std::string line = startLine();
    return line.rfind("SIP/2.0 ", 0) == 0 ? std::atoi(line.c_str() + 8) : 0;
}

std::vector<std::string> TracedMessage::headers(const std::string& name) const {
    std::vector<std::string> values;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (trim(line).empty())
            break;
        const auto colon = line.find(':');
        if (colon != std::string::npos && strcasecmp(trim(line.substr(0, colon)).c_str(), name.c_str()) == 0)
            values.push_back(trim(line.substr(colon + 1)));
    }
    return values;
}

std::string TracedMessage::header(const std::string& name) const {
    const auto values = headers(name);
    return values.empty() ? "" : values.front();
}

std::string TracedMessage::body() const {
    const auto end = text.find("\r\n\r\n");
    if (end == std::string::npos)
        return "";
    const std::string length = header("Content-Length").empty() ? header("l") : header("Content-Length");
    return text.substr(end + 4, length.empty() ? std::string::npos : std::stoul(length));
}

bool bindable(int type, int port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool waitForUdpPort(int port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bindable(SOCK_DGRAM, port)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

namespace {

// Whether the kernel has a socket of `type` bound to `port` on 127.0.0.1 or any address that takes
// peers: a listening one for TCP. Unlike a failed bind, a connection of an earlier process lingering in
// TIME_WAIT on the port does not count.
bool listening(int type, int port) {
    std::istringstream table(readTextFile(type == SOCK_STREAM ? "/proc/net/tcp" : "/proc/net/udp"));
    const std::string wantedState = type == SOCK_STREAM ? "0A" : "07";
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const auto colon = local.find(':');
        if (colon == std::string::npos || state != wantedState)
            continue;
        const std::string address = local.substr(0, colon);
        if ((address == "0100007F" || address == "00000000") &&
            std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

}  // namespace

int freePort() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        close(fd);
        const int port = ntohs(address.sin_port);
        if (bindable(SOCK_STREAM, port) && bindable(SOCK_DGRAM, port))
            return port;
    }
    throw std::runtime_error("no free port");
}

Sipp::Sipp(Options options) : m_options(std::move(options)) {
    m_dir = makeTempDir("sipp");
    if (m_options.port == 0)
        m_options.port = freePort();
}

Sipp::~Sipp() {
    stop();
    removeTempDir(m_dir);
}

void Sipp::start() {
    std::string scenario = m_options.scenario;
    if (scenario.rfind("<", 0) == 0) {
        std::ofstream(m_dir + "/scenario.xml") << scenario;
        scenario = m_dir + "/scenario.xml";
    } else {
        scenario = std::string(CHIMELY_TESTS_DIR) + "/sip/scenarios/" + scenario;
    }
    std::vector<std::string> args = {"sipp"};
    if (!m_options.remote.empty())
        args.push_back(m_options.remote);
    for (const std::string& arg : {std::string("-sf"),
                                   scenario,
                                   std::string("-i"),
                                   std::string("127.0.0.1"),
                                   std::string("-p"),
                                   std::to_string(m_options.port),
                                   std::string("-t"),
                                   std::string(m_options.tcp ? "t1" : "u1"),
                                   std::string("-m"),
                                   std::to_string(m_options.calls),
                                   std::string("-nostdin"),
                                   std::string("-trace_msg"),
                                   std::string("-message_file"),
                                   m_dir + "/messages.log",
                                   std::string("-trace_err"),
                                   std::string("-error_file"),
                                   m_dir + "/errors.log",
                                   std::string("-timeout"),
                                   std::string("120s"),
                                   std::string("-max_recv_loops"),
                                   std::string("1000")})
        args.push_back(arg);
    // A scenario's request goes once, never again over UDP: SIPp's own buffer (64 kB unless told) holds the
    // answers to a flood while a busy machine keeps it from reading them.
    args.insert(args.end(), {"-buff_size", "1048576"});
    for (const auto& [name, value] : m_options.keys) {
        args.push_back("-key");
        args.push_back(name);
        args.push_back(value);
    }
    for (const std::string& arg : m_options.extra)
        args.push_back(arg);

    const std::string output = m_dir + "/sipp.out";
    m_process.start(args, output);
    const int type = m_options.tcp ? SOCK_STREAM : SOCK_DGRAM;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!listening(type, m_options.port) && std::chrono::steady_clock::now() < deadline) {
        // A client scenario against a quick peer may be over before its socket is seen.
        if (wait(std::chrono::milliseconds(0)) && (m_options.remote.empty() || exitCode() != 0))
            throw std::runtime_error("sipp ended at once: " + readTextFile(output));
        if (wait(std::chrono::milliseconds(0)))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Sipp::wait(std::chrono::milliseconds timeout) {
    return m_process.wait(timeout);
}

void Sipp::stop() {
    m_process.stop();
}

std::vector<TracedMessage> Sipp::messages() const {
    std::vector<TracedMessage> result;
    std::istringstream in(readTextFile(m_dir + "/messages.log"));
    std::string line;
    TracedMessage* current = nullptr;
    bool inBody = false;
    while (std::getline(in, line)) {
        if (line.rfind("-----------------------------------------------", 0) == 0) {
            result.push_back(TracedMessage{});
            current = &result.back();
            current->time = parseTime(line);
            std::getline(in, line);
            current->sent = line.find(" sent") != std::string::npos;
            std::getline(in, line);  // blank
            inBody = true;
            continue;
        }
        if (current && inBody)
            current->text += line + "\n";
    }
    for (TracedMessage& message : result) {
        while (!message.text.empty() && (message.text.back() == '\n'))
            message.text.pop_back();
        // SIPp separates entries with a blank line of its own.
        message.text += "\n";
    }
    return result;
}

std::vector<TracedMessage> Sipp::requests(const std::string& method) const {
    std::vector<TracedMessage> found;
    std::set<std::string> seen;
    for (const TracedMessage& message : messages()) {
        if (message.sent || message.status() != 0 || (!method.empty() && !message.isRequest(method)))
            continue;
        const std::string key =
            message.startLine() + "|" + message.header("Call-ID") + "|" + message.header("CSeq");
        if (seen.insert(key).second)
            found.push_back(message);
    }
    return found;
}

std::vector<TracedMessage> Sipp::responses(int status) const {
    std::vector<TracedMessage> found;
    for (const TracedMessage& message : messages())
        if (!message.sent && message.status() == status)
            found.push_back(message);
    return found;
}

std::vector<std::string> Sipp::methods() const {
    std::vector<std::string> found;
    for (const TracedMessage& request : requests())
        found.push_back(request.startLine().substr(0, request.startLine().find(' ')));
    return found;
}

std::string Sipp::errors() const {
    return readTextFile(m_dir + "/errors.log") + readTextFile(m_dir + "/sipp.out").substr(0, 4000);
}

}  // namespace test
