// SPDX-License-Identifier: MIT
#include "support/NatLab.h"

#include "support/ChildProcess.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace test {
namespace {

using namespace std::chrono_literals;

// Every lab's namespaces are named "chimely-lab-<pid>-<n>-<role>", which tells whose they are.
const std::string kPrefix = "chimely-lab-";

// Interface names: "lan0" in the lan, "lan" and "wan" in the router, "wan0" in the provider's namespace.
const std::string kLanLink = "lan0";
const std::string kWanLink = "wan0";

std::atomic<int> labs{0};

std::vector<std::string> operator+(std::vector<std::string> prefix, const std::vector<std::string>& args) {
    prefix.insert(prefix.end(), args.begin(), args.end());
    return prefix;
}

std::string quoted(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

// The rules of the router: masquerade what leaves on the wan side, and let in from there only what
// answers a flow the lan started, as a home router does. nft wants each statement on a line of its own.
std::string ruleset(bool randomPorts) {
    return std::string(
               "table ip nat {\n"
               " chain post {\n"
               "  type nat hook postrouting priority 100;\n"
               "  oifname \"wan\" masquerade") +
           (randomPorts ? " random" : "") +
           "\n"
           " }\n"
           "}\n"
           "table ip filter {\n"
           " chain forward {\n"
           "  type filter hook forward priority 0; policy accept;\n"
           "  ct state established,related accept\n"
           "  iifname \"wan\" drop\n"
           " }\n"
           "}\n";
}

// A socket made in the network namespace named `name`. Only this thread moves there and back: a socket
// stays in the namespace it was made in.
int socketIn(const std::string& name, int domain, int type, int protocol) {
    const int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int other = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    std::string problem;
    if (own < 0 || other < 0) {
        problem = "cannot open the namespaces: " + std::string(std::strerror(errno));
    } else if (setns(other, CLONE_NEWNET) != 0) {
        problem = "setns into " + name + ": " + std::strerror(errno);
    } else {
        fd = socket(domain, type | SOCK_CLOEXEC, protocol);
        if (fd < 0)
            problem = "socket in " + name + ": " + std::string(std::strerror(errno));
        // A test thread left in the router would run everything after in the wrong network.
        if (setns(own, CLONE_NEWNET) != 0)
            std::terminate();
    }
    if (own >= 0)
        close(own);
    if (other >= 0)
        close(other);
    if (fd < 0)
        throw std::runtime_error(problem);
    return fd;
}

// Calls `attribute` with each netlink attribute's type (flags masked off), data and size.
void forEachAttribute(const char* data, std::size_t size,
                      const std::function<void(int, const char*, std::size_t)>& attribute) {
    while (size >= NLA_HDRLEN) {
        nlattr header;
        std::memcpy(&header, data, sizeof header);
        if (header.nla_len < NLA_HDRLEN || header.nla_len > size)
            return;
        attribute(header.nla_type & NLA_TYPE_MASK, data + NLA_HDRLEN, header.nla_len - NLA_HDRLEN);
        const std::size_t step = NLA_ALIGN(header.nla_len);
        if (step >= size)
            return;
        data += step;
        size -= step;
    }
}

struct Endpoints {
    int protocol = 0;
    std::string source;
    std::string destination;
    int sourcePort = 0;
    int destinationPort = 0;
};

std::string ipv4(const char* data, std::size_t size) {
    char text[INET_ADDRSTRLEN] = "";
    if (size == 4)
        inet_ntop(AF_INET, data, text, sizeof text);
    return text;
}

int port(const char* data, std::size_t size) {
    uint16_t value = 0;
    if (size == sizeof value)
        std::memcpy(&value, data, sizeof value);
    return ntohs(value);
}

// A CTA_TUPLE_ORIG or CTA_TUPLE_REPLY.
Endpoints tuple(const char* data, std::size_t size) {
    Endpoints endpoints;
    forEachAttribute(data, size, [&](int type, const char* value, std::size_t length) {
        if (type == CTA_TUPLE_IP) {
            forEachAttribute(value, length, [&](int ipType, const char* ip, std::size_t ipLength) {
                if (ipType == CTA_IP_V4_SRC)
                    endpoints.source = ipv4(ip, ipLength);
                if (ipType == CTA_IP_V4_DST)
                    endpoints.destination = ipv4(ip, ipLength);
            });
        } else if (type == CTA_TUPLE_PROTO) {
            forEachAttribute(value, length, [&](int protoType, const char* proto, std::size_t protoLength) {
                if (protoType == CTA_PROTO_NUM && protoLength >= 1)
                    endpoints.protocol = static_cast<unsigned char>(proto[0]);
                if (protoType == CTA_PROTO_SRC_PORT)
                    endpoints.sourcePort = port(proto, protoLength);
                if (protoType == CTA_PROTO_DST_PORT)
                    endpoints.destinationPort = port(proto, protoLength);
            });
        }
    });
    return endpoints;
}

// Names of namespaces left by lab programs that no longer run (killed at a time-out, say).
std::vector<std::string> staleNamespaces() {
    std::vector<std::string> names;
    DIR* dir = opendir("/run/netns");
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(kPrefix, 0) != 0)
            continue;
        const int pid = std::atoi(name.c_str() + kPrefix.size());
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

}  // namespace

NatLab::Result NatLab::run(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                           const std::string& input) {
    // Files without names, so that nothing is left behind even by a test program that is killed.
    const int out = memfd_create("chimely-natlab-output", MFD_CLOEXEC);
    const int in = memfd_create("chimely-natlab-input", MFD_CLOEXEC);
    if (out < 0 || in < 0 || write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        lseek(in, 0, SEEK_SET) != 0)
        throw std::runtime_error("memfd_create failed: " + std::string(std::strerror(errno)));
    Result result;
    {
        ChildProcess process;
        process.start(args, "/proc/self/fd/" + std::to_string(out), in);
        if (process.wait(timeout))
            result.exitCode = process.exitCode();
        else
            process.stop();
    }
    result.output = readTextFile("/proc/self/fd/" + std::to_string(out));
    close(out);
    close(in);
    return result;
}

void NatLab::must(const std::vector<std::string>& args) const {
    const Result result = run(args);
    if (result.exitCode != 0)
        throw std::runtime_error(quoted(args) + " failed (" + std::to_string(result.exitCode) +
                                 "): " + result.output);
}

NatLab::NatLab() : NatLab(Options{}) {}

NatLab::NatLab(Options options) : m_options(options), m_lanAddress(kLanAddress) {
    const std::string base = kPrefix + std::to_string(getpid()) + "-" + std::to_string(++labs) + "-";
    m_lan = base + "lan";
    m_router = base + "router";
    m_wan = base + "wan";
    build();
}

NatLab::~NatLab() {
    teardown();
}

std::vector<std::string> NatLab::inLan() const {
    return {"ip", "netns", "exec", m_lan};
}

std::vector<std::string> NatLab::inRouter() const {
    return {"ip", "netns", "exec", m_router};
}

std::vector<std::string> NatLab::inWan() const {
    return {"ip", "netns", "exec", m_wan};
}

void NatLab::build() {
    // Without a namespace of its own, the "lan" would be the machine's network.
    if (!inPrivateNetwork()) {
        m_problem = "the test program has no network namespace of its own: " + privateNetworkProblem();
        return;
    }
    if (geteuid() != 0) {
        m_problem = "named namespaces, veth links and nftables need root";
        return;
    }
    for (const char* command : {"ip", "nft", "sysctl"}) {
        if (!haveCommand(command)) {
            m_problem = std::string("no ") + command + " (packages iproute2, nftables, procps)";
            return;
        }
    }
    for (const std::string& name : staleNamespaces()) {
        run({"ip", "netns", "del", name});
        std::error_code ignored;
        std::filesystem::remove_all("/etc/netns/" + name, ignored);
    }
    try {
        must({"ip", "netns", "add", m_router});
        m_madeRouter = true;
        must({"ip", "netns", "add", m_wan});
        m_madeWan = true;
        must({"ip", "netns", "attach", m_lan, std::to_string(getpid())});
        m_namedLan = true;

        must({"ip", "link", "add", kLanLink, "type", "veth", "peer", "name", "lan", "netns", m_router});
        m_madeLanLink = true;
        must({"ip", "-n", m_router, "link", "add", "wan", "type", "veth", "peer", "name", kWanLink, "netns",
              m_wan});
        must({"ip", "address", "add", m_lanAddress + "/24", "dev", kLanLink});
        must({"ip", "link", "set", kLanLink, "up"});
        must({"ip", "-n", m_router, "address", "add", std::string(kRouterLanAddress) + "/24", "dev", "lan"});
        must({"ip", "-n", m_router, "address", "add", std::string(kRouterWanAddress) + "/24", "dev", "wan"});
        for (const char* link : {"lo", "lan", "wan"})
            must({"ip", "-n", m_router, "link", "set", link, "up"});
        must({"ip", "-n", m_wan, "address", "add", std::string(kProviderAddress) + "/24", "dev", kWanLink});
        for (const std::string& link : {std::string("lo"), kWanLink})
            must({"ip", "-n", m_wan, "link", "set", link, "up"});
        must({"ip", "-n", m_wan, "route", "add", "default", "via", kRouterWanAddress});

        must({"ip", "netns", "exec", m_router, "sysctl", "-q", "-w", "net.ipv4.ip_forward=1"});
        const Result loaded = run(inRouter() + std::vector<std::string>{"nft", "-f", "/dev/stdin"}, 5s,
                                  ruleset(m_options.randomPorts));
        if (loaded.exitCode != 0)
            throw std::runtime_error("nft refused the router's rules: " + loaded.output);
        // The timeouts exist in the router's namespace once its nat table has loaded connection tracking.
        setTimeouts(m_options.timeouts);

        restoreDefaultRoute();
        m_conntrack = socketIn(m_router, AF_NETLINK, SOCK_RAW, NETLINK_NETFILTER);
    } catch (const std::exception& error) {
        m_problem = error.what();
        teardown();
    }
}

void NatLab::teardown() {
    if (m_conntrack >= 0)
        close(m_conntrack);
    m_conntrack = -1;
    // Deleting one end of a veth deletes both, at once (a namespace's own links go only when the kernel
    // gets round to freeing it, and the next lab of this program wants the name lan0 again); then the
    // lan's route through loopback comes back, as test::enterPrivateNetwork() left it.
    if (m_madeLanLink) {
        run({"ip", "link", "del", kLanLink});
        run({"ip", "route", "replace", "default", "dev", "lo"});
    }
    m_madeLanLink = false;
    for (auto [made, name] :
         {std::pair{&m_madeRouter, m_router}, std::pair{&m_madeWan, m_wan}, std::pair{&m_namedLan, m_lan}}) {
        if (*made)
            run({"ip", "netns", "del", name});
        *made = false;
    }
    if (m_madeEtc) {
        std::error_code ignored;
        std::filesystem::remove_all("/etc/netns/" + m_lan, ignored);
    }
    // Only when empty: other lab programs may have theirs there.
    if (m_madeEtcNetns)
        rmdir("/etc/netns");
    m_madeEtc = m_madeEtcNetns = false;
}

void NatLab::restoreDefaultRoute() const {
    must({"ip", "route", "replace", "default", "via", kRouterLanAddress, "dev", kLanLink});
}

int NatLab::wanSocket(int type) const {
    if (!ok())
        throw std::logic_error("the NAT lab did not come up: " + m_problem);
    return socketIn(m_wan, AF_INET, type, 0);
}

void NatLab::setResolvConf(const std::string& text) {
    std::error_code error;
    if (!std::filesystem::exists("/etc/netns", error))
        m_madeEtcNetns = true;
    // Another lab program's teardown may remove /etc/netns between our two mkdirs: try again.
    for (int attempt = 0; attempt < 3 && !std::filesystem::is_directory("/etc/netns/" + m_lan, error);
         ++attempt)
        std::filesystem::create_directories("/etc/netns/" + m_lan, error);
    m_madeEtc = true;
    std::ofstream file(resolvConfPath());
    file << text;
    file.close();
    if (!file)
        throw std::runtime_error("cannot write " + resolvConfPath());
}

std::string NatLab::resolvConfPath() const {
    return "/etc/netns/" + m_lan + "/resolv.conf";
}

void NatLab::setLanAddress(const std::string& address) {
    must({"ip", "address", "del", m_lanAddress + "/24", "dev", kLanLink});
    must({"ip", "address", "add", address + "/24", "dev", kLanLink});
    m_lanAddress = address;
    // The route through the router went with the old address.
    if (m_online && m_lanUp)
        restoreDefaultRoute();
}

void NatLab::setOnline(bool online) {
    if (online == m_online)
        return;
    if (online && m_lanUp)
        restoreDefaultRoute();
    if (!online && m_lanUp)
        must({"ip", "route", "del", "default", "via", kRouterLanAddress});
    m_online = online;
}

void NatLab::setLanLink(bool up) {
    if (up == m_lanUp)
        return;
    must({"ip", "link", "set", kLanLink, up ? "up" : "down"});
    m_lanUp = up;
    if (up && m_online)
        restoreDefaultRoute();
}

void NatLab::setUplink(bool up) {
    must({"ip", "-n", m_router, "link", "set", "wan", up ? "up" : "down"});
}

void NatLab::setTimeouts(const Timeouts& timeouts) {
    must(
        inRouter() +
        std::vector<std::string>{
            "sysctl", "-q", "-w", "net.netfilter.nf_conntrack_udp_timeout=" + std::to_string(timeouts.udp),
            "net.netfilter.nf_conntrack_udp_timeout_stream=" + std::to_string(timeouts.udpStream),
            "net.netfilter.nf_conntrack_tcp_timeout_established=" + std::to_string(timeouts.tcpEstablished)});
    m_options.timeouts = timeouts;
}

void NatLab::conntrackRequest(int type, int flags,
                              const std::function<void(const char*, std::size_t)>& entry) const {
    if (m_conntrack < 0)
        throw std::logic_error("the NAT lab did not come up: " + m_problem);
    struct {
        nlmsghdr header;
        nfgenmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
    request.header.nlmsg_type = static_cast<uint16_t>(NFNL_SUBSYS_CTNETLINK << 8 | type);
    request.header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
    request.header.nlmsg_seq = ++m_sequence;
    request.body.nfgen_family = AF_INET;
    request.body.version = NFNETLINK_V0;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(m_conntrack, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0)
        throw std::runtime_error("conntrack request: " + std::string(std::strerror(errno)));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{m_conntrack, POLLIN, 0};
        if (left <= 0ms || poll(&readable, 1, static_cast<int>(left.count())) != 1)
            throw std::runtime_error("the router's connection tracking did not answer");
        const ssize_t length = recv(m_conntrack, buffer.data(), buffer.size(), 0);
        if (length < 0)
            throw std::runtime_error("conntrack answer: " + std::string(std::strerror(errno)));
        std::size_t size = static_cast<std::size_t>(length);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, size);
             header = NLMSG_NEXT(header, size)) {
            if (header->nlmsg_seq != m_sequence)
                continue;
            if (header->nlmsg_type == NLMSG_DONE)
                return;
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                if (error->error == 0)
                    return;
                throw std::runtime_error("conntrack refused: " + std::string(std::strerror(-error->error)));
            }
            const std::size_t offset = NLMSG_LENGTH(NLMSG_ALIGN(sizeof(nfgenmsg)));
            if (header->nlmsg_len >= offset)
                entry(reinterpret_cast<const char*>(header) + offset, header->nlmsg_len - offset);
            if (!(header->nlmsg_flags & NLM_F_MULTI))
                return;
        }
    }
}

std::vector<NatBinding> NatLab::bindings() const {
    std::vector<NatBinding> result;
    conntrackRequest(IPCTNL_MSG_CT_GET, NLM_F_DUMP, [&](const char* data, std::size_t size) {
        Endpoints original, reply;
        int seconds = 0;
        forEachAttribute(data, size, [&](int type, const char* value, std::size_t length) {
            if (type == CTA_TUPLE_ORIG)
                original = tuple(value, length);
            else if (type == CTA_TUPLE_REPLY)
                reply = tuple(value, length);
            else if (type == CTA_TIMEOUT && length == 4) {
                uint32_t left = 0;
                std::memcpy(&left, value, sizeof left);
                seconds = static_cast<int>(ntohl(left));
            }
        });
        result.push_back({original.protocol, original.source, original.sourcePort, original.destination,
                          original.destinationPort, reply.destination, reply.destinationPort, seconds});
    });
    return result;
}

void NatLab::forgetBindings() {
    // A delete that names no flow empties the whole table of the family.
    conntrackRequest(IPCTNL_MSG_CT_DELETE, NLM_F_ACK, [](const char*, std::size_t) {});
}

}  // namespace test
