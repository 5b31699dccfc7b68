// SPDX-License-Identifier: MIT
#include "support/Dnsmasq.h"

#include "support/ChildProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {
namespace {

using namespace std::chrono_literals;

// The name its readiness probe asks for: outside every zone, so answered at once whatever the records.
const std::string kProbeName = "chimely-ready.invalid";

// A DNS query for `name`, type A, recursion desired, as a stub resolver sends it.
std::string queryPacket(uint16_t id, const std::string& name) {
    std::string packet = {
        static_cast<char>(id >> 8), static_cast<char>(id & 0xff), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    std::istringstream labels(name);
    for (std::string label; std::getline(labels, label, '.');)
        packet += static_cast<char>(label.size()) + label;
    packet += std::string{0, 0, 1, 0, 1};
    return packet;
}

}  // namespace

Dnsmasq::Dnsmasq(Options options) : m_options(std::move(options)), m_dir(makeTempDir("dnsmasq")) {}

Dnsmasq::~Dnsmasq() {
    stop();
    removeTempDir(m_dir);
}

std::vector<std::string> Dnsmasq::arguments() const {
    const Options& o = m_options;
    std::vector<std::string> args = o.prefix;
    const std::string ttl = std::to_string(o.ttl);
    for (const std::string& arg :
         {std::string("dnsmasq"), std::string("--conf-file=/dev/null"), std::string("--keep-in-foreground"),
          std::string("--no-resolv"), std::string("--no-hosts"), std::string("--no-poll"),
          std::string("--log-queries"), std::string("--log-facility=-"), "--listen-address=" + o.address,
          std::string("--bind-interfaces"), std::string("--port=53"), std::string("--pid-file="),
          std::string("--user=nobody"), std::string("--group=nogroup")})
        args.push_back(arg);
    if (o.soa) {
        args.push_back("--auth-server=ns." + o.zone + "," + o.address);
        args.push_back("--auth-zone=" + o.zone);
        // The SOA's minimum, and so the time a negative answer may be kept, is the auth TTL too.
        args.push_back("--auth-ttl=" + ttl);
        args.push_back("--auth-soa=1,hostmaster." + o.zone + ",1200,180,1209600");
    } else {
        args.push_back("--local=/" + o.zone + "/");
        args.push_back("--local-ttl=" + ttl);
    }
    for (const Host& host : o.records.hosts)
        args.push_back("--host-record=" + host.name + "," + host.address);
    for (const Srv& srv : o.records.srv)
        args.push_back("--srv-host=" + srv.service + "," + srv.target + "," + std::to_string(srv.port) + "," +
                       std::to_string(srv.priority) + "," + std::to_string(srv.weight));
    for (const Naptr& naptr : o.records.naptr)
        args.push_back("--naptr-record=" + naptr.name + "," + std::to_string(naptr.order) + "," +
                       std::to_string(naptr.preference) + "," + naptr.flags + "," + naptr.service + "," +
                       naptr.regexp + "," + naptr.replacement);
    return args;
}

void Dnsmasq::start(std::chrono::milliseconds timeout) {
    if (m_process)
        throw std::logic_error("dnsmasq runs already");
    m_process = std::make_unique<ChildProcess>();
    m_process->start(arguments(), m_dir + "/dnsmasq-" + std::to_string(++m_starts) + ".log");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!answers()) {
        if (m_process->wait(0ms)) {
            const std::string why =
                "dnsmasq ended at once (" + std::to_string(m_process->exitCode()) + "):\n";
            m_process.reset();
            throw std::runtime_error(why + log());
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            stop();
            throw std::runtime_error("dnsmasq did not answer within the time:\n" + log());
        }
    }
}

void Dnsmasq::stop() {
    if (m_process)
        m_process->stop();
    m_process.reset();
}

bool Dnsmasq::running() const {
    return m_process && m_process->running() && !m_process->wait(0ms);
}

void Dnsmasq::setRecords(Records records) {
    m_options.records = std::move(records);
    if (!m_process)
        return;
    stop();
    start();
}

std::string Dnsmasq::resolvConf() const {
    return "nameserver " + m_options.address + "\noptions timeout:1 attempts:2\n";
}

std::string Dnsmasq::log() const {
    std::string text;
    for (int n = 1; n <= m_starts; ++n)
        text += readTextFile(m_dir + "/dnsmasq-" + std::to_string(n) + ".log");
    return text;
}

std::vector<std::string> Dnsmasq::queries() const {
    // "dnsmasq[12]: query[SRV] _sip._udp.example.test from 198.51.100.2", "auth[...]" in an auth zone.
    std::vector<std::string> result;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) {
        auto at = line.find(": query[");
        if (at == std::string::npos)
            at = line.find(": auth[");
        if (at == std::string::npos)
            continue;
        const auto open = line.find('[', at);
        const auto close = line.find("] ", open);
        const auto from = line.find(" from ", close);
        if (close == std::string::npos || from == std::string::npos)
            continue;
        const std::string name = line.substr(close + 2, from - close - 2);
        if (name != kProbeName)
            result.push_back(line.substr(open + 1, close - open - 1) + " " + name);
    }
    return result;
}

// A query of our own, answered (REFUSED: the name is outside the zone) once dnsmasq listens.
bool Dnsmasq::answers() const {
    const bool v6 = m_options.address.find(':') != std::string::npos;
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage server{};
    socklen_t size = sizeof(sockaddr_in);
    if (v6) {
        auto* to = reinterpret_cast<sockaddr_in6*>(&server);
        to->sin6_family = AF_INET6;
        to->sin6_port = htons(53);
        inet_pton(AF_INET6, m_options.address.c_str(), &to->sin6_addr);
        size = sizeof(sockaddr_in6);
    } else {
        auto* to = reinterpret_cast<sockaddr_in*>(&server);
        to->sin_family = AF_INET;
        to->sin_port = htons(53);
        inet_pton(AF_INET, m_options.address.c_str(), &to->sin_addr);
    }
    const uint16_t id = static_cast<uint16_t>(getpid() ^ m_starts);
    const std::string packet = queryPacket(id, kProbeName);
    bool answered = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&server), size) == 0 &&
        send(fd, packet.data(), packet.size(), 0) == static_cast<ssize_t>(packet.size())) {
        pollfd waiting{fd, POLLIN, 0};
        unsigned char reply[512];
        if (poll(&waiting, 1, 100) == 1) {
            const ssize_t length = recv(fd, reply, sizeof reply, 0);
            answered = length >= 12 && (reply[0] << 8 | reply[1]) == id;
        }
    }
    close(fd);
    // A refused send (nothing listens yet) comes back at once: do not spin on it.
    if (!answered)
        std::this_thread::sleep_for(10ms);
    return answered;
}

DnsReply queryDns(const std::vector<std::string>& prefix, const std::string& type, const std::string& name) {
    std::vector<std::string> args = prefix;
    for (const std::string& arg : {std::string(CHIMELY_DNS_PROBE), type, name})
        args.push_back(arg);
    // Two tries of a second each, and the time ip netns exec takes.
    const NatLab::Result result = NatLab::run(args, 10s);
    DnsReply reply;
    reply.output = result.output;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);) {
        const auto blank = line.find(' ');
        const std::string word = line.substr(0, blank);
        const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (word == "rcode") {
            reply.answered = true;
            reply.rcode = rest.substr(0, rest.find(' '));
            reply.authoritative = rest.find(" aa") != std::string::npos;
        } else if (word == "answer") {
            reply.answer.push_back(rest);
        } else if (word == "authority") {
            reply.authority.push_back(rest);
        } else if (word == "additional") {
            reply.additional.push_back(rest);
        }
    }
    return reply;
}

}  // namespace test
