// SPDX-License-Identifier: MIT
#include "support/Kamailio.h"

#include "support/ChildProcess.h"
#include "support/Program.h"
#include "support/Sipp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {
namespace {

// Registrar and proxy. REGISTER is challenged with realm = the To domain; credentials that are wrong
// (password, user, or an authentication user who is not the To user) get 403 rather than another
// challenge. Dialog-forming INVITE and SUBSCRIBE are record-routed, so that the NOTIFYs and BYEs of
// their dialogs come back this way; requests for a user of ours go to where that user registered.
//
// With WITH_NAT defined (Options::natHelp) it also helps clients behind a NAT, as a provider's proxy
// does: every answer goes back to the port a request came from (rport, even when not asked for); a
// REGISTER whose Via does not match where it came from (address or port; over TCP that is every
// client, whose connection's port is not its listening one) binds the Contact as given but sends later
// requests to the address, port and connection it came from (fix_nated_register, the registrar's
// received_avp), and keeps an idle TCP connection an hour rather than two minutes, longer than a
// registration lasts (Kamailio's registrar has no tcp_persistent_flag: the core's connection lifetime);
// other requests of such clients get an alias parameter in their Contact naming where they came from,
// which in-dialog requests then go to (set_contact_alias, handle_ruri_alias). Answers get one too: the
// one answering may be behind a NAT as well, and the alias goes in only where the Contact is not where
// the answer came from.
const char* const kConfig = R"cfg(#!KAMAILIO
#!define FLT_NATS 5
#!define FLB_NATB 6
debug=2
log_stderror=yes
log_prefix="{$mt $ci $rm} "
children=2
tcp_children=2
auto_aliases=no
dns=no
rev_dns=no
@LISTEN@
@ALIASES@
#!ifdef WITH_TLS
enable_tls=yes
#!endif
#!ifdef WITH_NAT
tcp_connection_lifetime=3605
#!endif

loadmodule "kex.so"
loadmodule "corex.so"
loadmodule "tm.so"
loadmodule "tmx.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "textops.so"
loadmodule "siputils.so"
loadmodule "xlog.so"
loadmodule "sanity.so"
loadmodule "ctl.so"
loadmodule "db_text.so"
loadmodule "auth.so"
loadmodule "auth_db.so"
#!ifdef WITH_NAT
loadmodule "nathelper.so"
#!endif
#!ifdef WITH_TLS
loadmodule "tls.so"
modparam("tls", "config", "@DIR@/tls.cfg")
#!endif

modparam("ctl", "binrpc", "unix:@DIR@/ctl.sock")
modparam("auth_db", "db_url", "text://@DIR@/db")
modparam("auth_db", "calculate_ha1", yes)
modparam("auth_db", "password_column", "password")
modparam("auth_db", "use_domain", 1)
modparam("auth_db", "load_credentials", "")
modparam("usrloc", "db_mode", 0)
# No GRUUs: a client given one (linphonec) makes it its Contact, and in-dialog requests to it are relayed
# as addressed, to the users' domain, which does not resolve (only new requests look up the location table).
modparam("registrar", "gruu_enabled", 0)
modparam("rr", "append_fromtag", 1)
#!ifdef WITH_NAT
modparam("nathelper|registrar", "received_avp", "$avp(RECEIVED)")
modparam("usrloc", "nat_bflag", FLB_NATB)
#!endif
@MODPARAMS@

request_route {
    xlog("L_INFO", "request $rm $ru from $si:$sp over $pr\n");
    xlog("L_INFO", "passed request $rm from $fU to $tU call $ci cseq $cs over $pr contact $(hdr(Contact)[*]) state $hdr(Subscription-State)\n");
    if (is_present_hf("Authorization") || is_present_hf("Proxy-Authorization"))
        xlog("L_INFO", "credentials $rm from $fU cseq $cs: $hdr(Authorization)$hdr(Proxy-Authorization)\n");
    if (!mf_process_maxfwd_header("10")) {
        sl_send_reply("483", "Too Many Hops");
        exit;
    }
    if (!sanity_check()) {
        xlog("L_WARN", "malformed $rm from $si:$sp dropped\n");
        exit;
    }
#!ifdef WITH_NAT
    route(NATDETECT);
#!endif
    if (is_method("CANCEL")) {
        if (t_check_trans())
            route(RELAY);
        exit;
    }
    if (has_totag()) {
        if (loose_route()) {
#!ifdef WITH_NAT
            if (!isdsturiset())
                handle_ruri_alias();
#!endif
            route(RELAY);
            exit;
        }
        if (is_method("ACK")) {
            if (t_check_trans())
                t_relay();
            exit;
        }
        sl_send_reply("404", "Not Here");
        exit;
    }
    if (!is_method("ACK") && t_precheck_trans()) {
        t_check_trans();
        exit;
    }
    t_check_trans();
    remove_hf("Route");
    if (is_method("INVITE|SUBSCRIBE"))
        record_route();

    if (is_method("REGISTER")) {
#!ifndef WITHOUT_AUTH
        if (!auth_check("$td", "subscriber", "1")) {
            $var(result) = $rc;
            if ($var(result) == -4 || $var(result) == -5 || $var(result) == -6) {
                auth_challenge("$td", "1");
                exit;
            }
            xlog("L_INFO", "REGISTER for $tu refused ($var(result))\n");
            sl_send_reply("403", "Forbidden");
            exit;
        }
        consume_credentials();
#!endif
#!ifdef WITH_NAT
        if (isflagset(FLT_NATS))
            setbflag(FLB_NATB);
#!endif
#!ifdef ONE_BINDING
        if (!save("location", "0x04"))
#!else
        if (!save("location"))
#!endif
            sl_reply_error();
        exit;
    }
    if (uri == myself) {
        if ($rU == $null) {
            if (is_method("OPTIONS"))
                sl_send_reply("200", "OK");
            else
                sl_send_reply("404", "Not Found");
            exit;
        }
        if (!lookup("location")) {
            sl_send_reply("404", "Not Found");
            exit;
        }
    }
    route(RELAY);
}

route[RELAY] {
    t_on_reply("LOG");
    if (!t_relay())
        sl_reply_error();
    exit;
}

onreply_route[LOG] {
    xlog("L_INFO", "reply $rs $rr from $si:$sp\n");
    xlog("L_INFO", "passed reply $rs $rm from $fU to $tU call $ci cseq $cs\n");
#!ifdef WITH_NAT
    if ($rs < 300 && is_present_hf("Contact"))
        set_contact_alias();
#!endif
}

#!ifdef WITH_NAT
route[NATDETECT] {
    force_rport();
    if (nat_uac_test("18")) {
        xlog("L_INFO", "nat help for $rm from $fU at $si:$sp, Via $sel(via[1].host):$sel(via[1].port)\n");
        if (is_method("REGISTER"))
            fix_nated_register();
        else if (is_present_hf("Contact"))
            set_contact_alias();
        setflag(FLT_NATS);
    }
}
#!endif
)cfg";

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A db_text field: ':' separates fields, so it and the characters the format escapes are escaped.
std::string dbField(const std::string& value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case ':':
                out += "\\:";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool plainName(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    return true;
}

// The "passed" lines of the log that start with `what` (say "request MESSAGE from alice to "), each
// message once: its retransmissions have the same Call-ID and CSeq.
std::vector<std::string> passedLines(const std::string& log, const std::string& what) {
    std::vector<std::string> lines;
    std::set<std::string> transactions;
    std::istringstream in(log);
    std::string line;
    const std::string marker = "passed " + what;
    while (std::getline(in, line)) {
        const auto at = line.find(marker);
        if (at == std::string::npos)
            continue;
        const std::string passed = line.substr(at);
        // A request's line ends with its Subscription-State, which is not part of what names it.
        if (transactions.insert(passed.substr(0, passed.find(" state "))).second)
            lines.push_back(passed);
    }
    return lines;
}

}  // namespace

Kamailio::Kamailio(std::vector<SipUser> users, int port) : Kamailio(std::move(users), Options{}, port) {}

Kamailio::Kamailio(std::vector<SipUser> users, Options options, int port)
    : m_users(std::move(users)), m_options(options), m_port(port ? port : freePort()) {
    if (!m_options.tlsCertificate.empty())
        m_tlsPort = freePort();
    for (const SipUser& user : m_users)
        if (!plainName(user.user) || !plainName(user.domain))
            throw std::invalid_argument("user and domain are plain names here: " + user.aor());
    m_dir = makeTempDir("kamailio");
}

Kamailio::~Kamailio() {
    stop();
    removeTempDir(m_dir);
}

namespace {

// An address as a URI's host: IPv6 in brackets.
std::string uriHost(const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

}  // namespace

std::string Kamailio::uri(bool tcp) const {
    return "sip:" + uriHost(m_options.address) + ":" + std::to_string(m_port) + (tcp ? ";transport=tcp" : "");
}

std::string Kamailio::log() const {
    return readTextFile(m_dir + "/kamailio.log");
}

std::vector<std::string> Kamailio::seen(const std::string& user, const std::string& method) const {
    return passedLines(log(), "request " + method + " from " + user + " to ");
}

std::vector<std::string> Kamailio::seenReplies(const std::string& user, int status,
                                               const std::string& method) const {
    std::vector<std::string> lines;
    for (const std::string& line :
         passedLines(log(), "reply " + std::to_string(status) + " " + method + " from "))
        if (line.find(" to " + user + " call ") != std::string::npos)
            lines.push_back(line);
    return lines;
}

std::vector<std::string> Kamailio::answers(const std::string& user) const {
    std::vector<std::string> values;
    std::set<std::string> requests;
    std::istringstream in(log());
    const std::string marker = "credentials ";
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(marker);
        const auto colon = line.find(": ", at);
        if (at == std::string::npos || colon == std::string::npos)
            continue;
        // "credentials REGISTER from alice cseq 12: Digest ...": a retransmission has the same method and
        // CSeq.
        const std::string request = line.substr(at, colon - at);
        if (request.find(" from " + user + " cseq ") == std::string::npos || !requests.insert(request).second)
            continue;
        values.push_back(line.substr(colon + 2));
    }
    return values;
}

std::vector<std::string> Kamailio::bindings(const std::string& aor) const {
    std::vector<std::string> contacts;
    if (!running())
        return contacts;
    // "Contact: <sip:...>" lines of the address of record's record; an unknown one is an error reply.
    std::istringstream out(capture("kamcmd -s unix:" + m_dir + "/ctl.sock ul.lookup location " + aor));
    for (std::string line; std::getline(out, line);) {
        const auto at = line.find("Address: ");
        if (at != std::string::npos)
            contacts.push_back(line.substr(at + 9));
    }
    return contacts;
}

void Kamailio::writeFiles() const {
    std::filesystem::create_directories(m_dir + "/db");
    std::ofstream(m_dir + "/db/version") << "table_name(str) table_version(int)\n"
                                            "subscriber:7\n"
                                            "location:9\n";
    std::ofstream subscriber(m_dir + "/db/subscriber");
    subscriber << "id(int,auto) username(str) domain(str) password(str) ha1(str,null) ha1b(str,null)\n";
    int id = 0;
    std::set<std::string> domains;
    for (const SipUser& user : m_users) {
        subscriber << ++id << ':' << dbField(user.user) << ':' << dbField(user.domain) << ':'
                   << dbField(user.password) << "::\n";
        domains.insert(user.domain);
    }
    subscriber.close();

    std::string config = kConfig;
    const std::string port = std::to_string(m_port);
    const std::string& address = m_options.address;
    std::string listen;
    std::vector<std::string> addresses{address};
    addresses.insert(addresses.end(), m_options.alsoAddresses.begin(), m_options.alsoAddresses.end());
    for (const std::string& each : addresses)
        listen += "listen=udp:" + uriHost(each) + ":" + port + "\nlisten=tcp:" + uriHost(each) + ":" + port +
                  "\n" +
                  (m_tlsPort ? "listen=tls:" + uriHost(each) + ":" + std::to_string(m_tlsPort) + "\n" : "");
    replaceAll(config, "@LISTEN@", listen);
    std::string aliases;
    for (const std::string& domain : domains)
        aliases += "alias=\"" + domain + "\"\n";
    replaceAll(config, "@ALIASES@", aliases);
    std::string modparams;
    if (m_options.nonceExpire > 0)
        modparams += "modparam(\"auth\", \"nonce_expire\", " + std::to_string(m_options.nonceExpire) + ")\n";
    if (m_options.nonceCount)
        modparams += "modparam(\"auth\", \"nonce_count\", 1)\n";
    if (m_options.minExpires >= 0)
        modparams +=
            "modparam(\"registrar\", \"min_expires\", " + std::to_string(m_options.minExpires) + ")\n";
    if (m_options.maxExpires > 0)
        modparams +=
            "modparam(\"registrar\", \"max_expires\", " + std::to_string(m_options.maxExpires) + ")\n";
    replaceAll(config, "@MODPARAMS@", modparams);
    replaceAll(config, "@DIR@", m_dir);
    std::ofstream(m_dir + "/kamailio.cfg") << config;
    if (m_tlsPort) {
        std::ofstream tls(m_dir + "/tls.cfg");
        tls << "[server:default]\nmethod = TLSv1.2+\nverify_certificate = no\n"
               "require_certificate = no\nprivate_key = "
            << m_options.tlsKey << "\ncertificate = " << m_options.tlsCertificate << "\n\n";
        // A certificate chosen by the name a client asks for (SNI), on every address.
        for (const auto& [name, certificate, key] : m_options.tlsByName)
            tls << "[server:any]\nserver_name = " << name << "\nmethod = TLSv1.2+\nverify_certificate = no\n"
                << "require_certificate = no\nprivate_key = " << key << "\ncertificate = " << certificate
                << "\n\n";
        tls << "[client:default]\nmethod = TLSv1.2+\nverify_certificate = no\nrequire_certificate = no\n";
    }
}

void Kamailio::start(std::chrono::milliseconds timeout) {
    if (m_process)
        throw std::logic_error("Kamailio runs already");
    writeFiles();
    m_process = std::make_unique<ChildProcess>();
    std::vector<std::string> args = m_options.prefix;
    for (const char* arg : {"kamailio", "-f", "@DIR@/kamailio.cfg", "-DD", "-E", "-Y", "@DIR@", "-P",
                            "@DIR@/kamailio.pid", "-w", "@DIR@", "-m", "32", "-M", "8"}) {
        args.push_back(arg);
        replaceAll(args.back(), "@DIR@", m_dir);
    }
    if (m_options.natHelp)
        args.insert(args.end(), {"-A", "WITH_NAT"});
    if (!m_options.challenges)
        args.insert(args.end(), {"-A", "WITHOUT_AUTH"});
    if (m_options.oneBindingPerUser)
        args.insert(args.end(), {"-A", "ONE_BINDING"});
    if (m_tlsPort)
        args.insert(args.end(), {"-A", "WITH_TLS"});
    m_process->start(args, m_dir + "/kamailio.log");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!answersOptions()) {
        if (m_process->wait(std::chrono::milliseconds(0)))
            throw std::runtime_error("Kamailio ended at once (" + std::to_string(m_process->exitCode()) +
                                     "):\n" + log());
        if (std::chrono::steady_clock::now() >= deadline) {
            stop();
            throw std::runtime_error("Kamailio did not answer within the time:\n" + log());
        }
    }
}

void Kamailio::stop() {
    if (m_process)
        m_process->stop();
    m_process.reset();
}

bool Kamailio::running() const {
    return m_process && m_process->running();
}

// An OPTIONS to Kamailio itself, answered once its workers take requests. The Via names the address the
// kernel picks for the way there and asks for rport: behind a NAT that may change the port, the answer
// still finds its way back to where the request came from.
bool Kamailio::answersOptions() const {
    const bool v6 = m_options.address.find(':') != std::string::npos;
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage remote{};
    socklen_t remoteSize = sizeof(sockaddr_in);
    if (v6) {
        auto* to = reinterpret_cast<sockaddr_in6*>(&remote);
        to->sin6_family = AF_INET6;
        to->sin6_port = htons(static_cast<uint16_t>(m_port));
        inet_pton(AF_INET6, m_options.address.c_str(), &to->sin6_addr);
        remoteSize = sizeof(sockaddr_in6);
    } else {
        auto* to = reinterpret_cast<sockaddr_in*>(&remote);
        to->sin_family = AF_INET;
        to->sin_port = htons(static_cast<uint16_t>(m_port));
        inet_pton(AF_INET, m_options.address.c_str(), &to->sin_addr);
    }
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    connect(fd, reinterpret_cast<sockaddr*>(&remote), remoteSize);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    char localAddress[INET6_ADDRSTRLEN] = "";
    int localPort = 0;
    if (v6) {
        const auto* from = reinterpret_cast<const sockaddr_in6*>(&local);
        inet_ntop(AF_INET6, &from->sin6_addr, localAddress, sizeof localAddress);
        localPort = ntohs(from->sin6_port);
    } else {
        const auto* from = reinterpret_cast<const sockaddr_in*>(&local);
        inet_ntop(AF_INET, &from->sin_addr, localAddress, sizeof localAddress);
        localPort = ntohs(from->sin_port);
    }
    const std::string here = uriHost(localAddress) + ":" + std::to_string(localPort);
    const std::string there = uriHost(m_options.address) + ":" + std::to_string(m_port);
    const std::string request = "OPTIONS sip:" + there + " SIP/2.0\r\nVia: SIP/2.0/UDP " + here +
                                ";rport;branch=z9hG4bK-ready-" + std::to_string(getpid()) + "-" +
                                std::to_string(localPort) + "\r\nFrom: <sip:probe@" + here +
                                ">;tag=probe\r\nTo: <sip:" + there +
                                ">\r\nCall-ID: ready-probe\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\n"
                                "Content-Length: 0\r\n\r\n";
    send(fd, request.data(), request.size(), 0);
    pollfd waiting{fd, POLLIN, 0};
    char buffer[2048];
    bool answered = false;
    if (poll(&waiting, 1, 100) == 1) {
        const ssize_t length = recv(fd, buffer, sizeof buffer - 1, 0);
        answered = length > 8 && std::string(buffer, 8) == "SIP/2.0 ";
    }
    close(fd);
    if (!answered)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return answered;
}

}  // namespace test
