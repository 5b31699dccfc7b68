// SPDX-License-Identifier: MIT
// TLS beside the stack: the certificate files it reads, and a check of the registrar's certificate made
// before the stack connects (see Tls.h). OpenSSL is the one sofia-sip itself links.
#include "sip/Tls.h"

#include "sip/ReplacedFunctions.h"

#include <sofia-sip/su_alloc.h>
#include <sofia-sip/su_strlst.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sip::detail {
namespace {

// What the system trusts, as Debian's ca-certificates keeps it.
constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kDefaultTlsPort = 5061;
constexpr int kCheckTimeoutMs = 5000;
// As deep a chain as servers present (their certificate, intermediates, the root).
constexpr int kVerifyDepth = 5;

// Appends every certificate of the PEM file `from` to `to`; false when it held none.
bool appendCertificates(const std::string& from, FILE* to) {
    FILE* in = std::fopen(from.c_str(), "r");
    if (!in)
        return false;
    bool any = false;
    while (X509* certificate = PEM_read_X509(in, nullptr, nullptr, nullptr)) {
        any = PEM_write_X509(to, certificate) == 1 || any;
        X509_free(certificate);
    }
    ERR_clear_error();
    std::fclose(in);
    return any;
}

// A key and a certificate of our own for the connections peers open to us: they have nothing to verify
// it against, and the stack takes no TLS connection without one.
bool writeOwnCertificate(const std::string& path) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    bool ok = key && certificate;
    if (ok) {
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), static_cast<long>(std::time(nullptr)));
        X509_gmtime_adj(X509_getm_notBefore(certificate), -24L * 3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 365L * 24 * 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("chimely"),
                                   -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        ok = X509_sign(certificate, key, EVP_sha256()) > 0;
    }
    if (ok) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
        ok = out && PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
             PEM_write_X509(out, certificate) == 1;
        if (out)
            std::fclose(out);
        else if (fd >= 0)
            ::close(fd);
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    return ok;
}

}  // namespace

TlsFiles::TlsFiles(const std::string& caCertificates) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base = runtime && *runtime ? runtime : "/tmp";
    std::vector<char> name(base.begin(), base.end());
    for (char c : std::string("/chimely-tls-XXXXXX"))
        name.push_back(c);
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        m_error = std::string("no folder for the TLS files: ") + std::strerror(errno);
        return;
    }
    m_path = name.data();
    FILE* trust = std::fopen(trustFile().c_str(), "w");
    if (!trust) {
        m_error = std::string("cannot write the trusted certificates: ") + std::strerror(errno);
        return;
    }
    appendCertificates(kSystemBundle, trust);
    std::error_code error;
    bool added = false;
    if (!caCertificates.empty() && std::filesystem::is_directory(caCertificates, error)) {
        for (const auto& entry : std::filesystem::directory_iterator(caCertificates, error))
            if (entry.is_regular_file(error))
                added = appendCertificates(entry.path().string(), trust) || added;
    } else if (!caCertificates.empty()) {
        added = appendCertificates(caCertificates, trust);
    }
    std::fclose(trust);
    // A file the user named that holds no certificate is a mistake to tell, not to pass over.
    if (!caCertificates.empty() && !added) {
        m_error = "no certificate authority could be read from " + caCertificates;
        return;
    }
    if (!writeOwnCertificate(m_path + "/agent.pem"))
        m_error = "cannot make the certificate of our own";
}

TlsFiles::~TlsFiles() {
    if (m_path.empty())
        return;
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

namespace {

struct Server {
    std::string host;
    int port = kDefaultTlsPort;
};

// "sips:host:port;params" (a host name, an IPv4 address or a bracketed IPv6 one).
Server serverOf(const std::string& uri) {
    std::string rest = uri.substr(uri.find(':') + 1);
    rest = rest.substr(0, rest.find_first_of(";?"));
    if (const auto at = rest.find('@'); at != std::string::npos)
        rest = rest.substr(at + 1);
    Server server;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        server.host = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        rest = close == std::string::npos ? std::string() : rest.substr(close + 1);
    } else {
        const auto colon = rest.find(':');
        server.host = rest.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : rest.substr(colon);
    }
    if (rest.size() > 1 && rest.front() == ':')
        server.port = std::atoi(rest.c_str() + 1);
    return server;
}

// The domain's _sips._tcp SRV target of the best priority (and, among those, weight), if it has one.
std::optional<Server> srvTarget(const std::string& domain) {
    struct __res_state state {};
    if (res_ninit(&state) != 0)
        return std::nullopt;
    unsigned char answer[4096];
    const std::string name = "_sips._tcp." + domain;
    const int length = res_nquery(&state, name.c_str(), ns_c_in, ns_t_srv, answer, sizeof answer);
    std::optional<Server> best;
    int bestPriority = 0x10000, bestWeight = -1;
    ns_msg message;
    if (length > 0 && ns_initparse(answer, length, &message) == 0) {
        for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
            ns_rr record;
            if (ns_parserr(&message, ns_s_an, i, &record) != 0 || ns_rr_type(record) != ns_t_srv ||
                ns_rr_rdlen(record) < 7)
                continue;
            const unsigned char* data = ns_rr_rdata(record);
            const int priority = ns_get16(data), weight = ns_get16(data + 2), port = ns_get16(data + 4);
            char target[NS_MAXDNAME];
            if (dn_expand(ns_msg_base(message), ns_msg_end(message), data + 6, target, sizeof target) < 0 ||
                !*target || std::strcmp(target, ".") == 0)
                continue;
            if (priority < bestPriority || (priority == bestPriority && weight > bestWeight)) {
                bestPriority = priority, bestWeight = weight;
                best = Server{target, port};
            }
        }
    }
    res_nclose(&state);
    return best;
}

// A TCP connection to the server within the time, or -1.
int connectTo(const Server& server) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(server.host.c_str(), std::to_string(server.port).c_str(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (const addrinfo* address = found; address && fd < 0; address = address->ai_next) {
        fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        pollfd writable{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        const bool ok = (connect(fd, address->ai_addr, address->ai_addrlen) == 0 || errno == EINPROGRESS) &&
                        poll(&writable, 1, kCheckTimeoutMs) == 1 &&
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        if (!ok) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        timeval limit{kCheckTimeoutMs / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    return fd;
}

// The DNS names the certificate is for (its subjectAltName, else its common name).
std::string namesOf(X509* certificate) {
    std::string names;
    auto* alternatives = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS)
            names += (names.empty() ? "" : ", ") +
                     std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                                 static_cast<std::size_t>(ASN1_STRING_length(name->d.dNSName)));
    }
    GENERAL_NAMES_free(alternatives);
    if (names.empty()) {
        char common[256] = "";
        X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, common, sizeof common);
        names = common;
    }
    return names.empty() ? "no name" : names;
}

std::string withoutRootDot(std::string name) {
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    return name;
}

// The SRV targets through which the registrars' domains were found (domain to target, both without the
// root's dot): a server's certificate may name either (see tport_subject_search below).
struct SrvTargets {
    std::mutex mutex;
    std::map<std::string, std::string> byDomain;
};

SrvTargets& srvTargets() {
    static SrvTargets targets;
    return targets;
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string checkServer(Server server, bool lookUp, const std::string& trustFile) {
    // The names the certificate may be for: the host the user gave, and the target of its SRV record.
    const std::string domain = withoutRootDot(server.host);
    if (lookUp) {
        in6_addr literal{};
        if (inet_pton(AF_INET, server.host.c_str(), &literal) != 1 &&
            inet_pton(AF_INET6, server.host.c_str(), &literal) != 1)
            if (auto target = srvTarget(server.host)) {
                server = *target;
                SrvTargets& targets = srvTargets();
                const std::lock_guard<std::mutex> lock(targets.mutex);
                targets.byDomain[lowerCase(domain)] = withoutRootDot(server.host);
            }
    }
    server.host = withoutRootDot(server.host);
    const int fd = connectTo(server);
    if (fd < 0)
        return std::string();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* connection = context ? SSL_new(context) : nullptr;
    std::string problem;
    if (!connection || SSL_CTX_load_verify_locations(context, trustFile.c_str(), nullptr) != 1) {
        problem = "the trusted certificates cannot be read";
    } else {
        X509_VERIFY_PARAM* parameters = SSL_get0_param(connection);
        X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(parameters, domain.c_str(), 0);
        if (server.host != domain)
            X509_VERIFY_PARAM_add1_host(parameters, server.host.c_str(), 0);
        X509_VERIFY_PARAM_set_depth(parameters, kVerifyDepth);
        SSL_set_verify(connection, SSL_VERIFY_NONE, nullptr);
        SSL_set_fd(connection, fd);
        if (SSL_connect(connection) != 1) {
            problem = "the server does not speak TLS";
        } else {
            const long result = SSL_get_verify_result(connection);
            X509* certificate = SSL_get1_peer_certificate(connection);
            if (!certificate)
                problem = "the server shows no certificate";
            else if (result == X509_V_ERR_HOSTNAME_MISMATCH)
                problem = "certificate is for " + namesOf(certificate);
            else if (result != X509_V_OK)
                problem = std::string("certificate not trusted (") + X509_verify_cert_error_string(result) + ")";
            X509_free(certificate);
            SSL_shutdown(connection);
        }
    }
    ERR_clear_error();
    SSL_free(connection);
    SSL_CTX_free(context);
    ::close(fd);
    return problem;
}

struct Outcome {
    std::function<void(const std::string&)> done;
    std::string problem;
};

gboolean deliver(gpointer data) {
    std::unique_ptr<Outcome> outcome(static_cast<Outcome*>(data));
    outcome->done(outcome->problem);
    return G_SOURCE_REMOVE;
}

}  // namespace

void checkTlsServer(const std::string& registrar, bool lookUp, const std::string& trustFile,
                    std::function<void(const std::string& problem)> done) {
    std::thread([server = serverOf(registrar), lookUp, trustFile, done = std::move(done)]() mutable {
        auto* outcome = new Outcome{std::move(done), checkServer(server, lookUp, trustFile)};
        g_main_context_invoke(nullptr, deliver, outcome);
    }).detach();
}

}  // namespace sip::detail

// The stack compares the certificate's names with the domain it looked up (RFC 5922), as it stands: a
// name with the DNS root's dot ("example.test.") matches no certificate, and neither does a server that,
// as many do, names only the host its domain's SRV record points to. The program defines the comparison:
// the name without the dot, and else the SRV target the check above found for it.
extern "C" int tport_subject_search(char const* subject, su_strlst_t const* subjects) {
    using Real = int (*)(char const*, su_strlst_t const*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tport_subject_search"));
    if (!real)
        return 0;
    if (!subject || !sip::replaced::inUse(sip::replaced::Family::TportSubjectSearch))
        return real(subject, subjects);
    if (real(subject, subjects))
        return 1;
    const std::string name = sip::detail::withoutRootDot(subject);
    if (real(name.c_str(), subjects))
        return 1;
    sip::detail::SrvTargets& targets = sip::detail::srvTargets();
    std::string target;
    {
        const std::lock_guard<std::mutex> lock(targets.mutex);
        const auto found = targets.byDomain.find(sip::detail::lowerCase(name));
        if (found == targets.byDomain.end())
            return 0;
        target = found->second;
    }
    return real(target.c_str(), subjects);
}

// sofia-sip 1.12.11 frees a TLS connection's state without its SSL object (the maintained fork has freed
// it since 2013): every TLS connection, ours or one a peer opens, would leave its SSL, buffers and session
// behind, 30 kB and more, for as long as the program runs. The program defines the stack's tls_free, lets
// it do its part and then frees the SSL object. The state begins with a su_home_t, then the context, the
// SSL object and its socket BIO; the three are taken only when they agree with each other (the SSL object
// belongs to that context and reads and writes through that BIO), else the stack's own behaviour stands.
// The stack's part frees the BIO and drops a reference to the context that the SSL object holds; one
// more of each is taken first, for SSL_free to drop.
extern "C" void tls_free(void* tls) {
    using Real = void (*)(void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tls_free"));
    if (!real)
        return;
    SSL* connection = nullptr;
    if (tls && sip::replaced::inUse(sip::replaced::Family::TlsFree)) {
        void** fields = reinterpret_cast<void**>(static_cast<char*>(tls) + sizeof(su_home_t));
        auto* context = static_cast<SSL_CTX*>(fields[0]);
        auto* candidate = static_cast<SSL*>(fields[1]);
        auto* bio = static_cast<BIO*>(fields[2]);
        if (context && candidate && bio && SSL_get_SSL_CTX(candidate) == context &&
            SSL_get_rbio(candidate) == bio && SSL_get_wbio(candidate) == bio && SSL_CTX_up_ref(context) == 1) {
            if (BIO_up_ref(bio) == 1)
                connection = candidate;
            else
                SSL_CTX_free(context);
        }
    }
    real(tls);
    if (connection)
        SSL_free(connection);
}
