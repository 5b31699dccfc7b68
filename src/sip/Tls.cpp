// SPDX-License-Identifier: MIT
// TLS beside the stack: the certificate files it reads, a check of each server's certificate made before
// the stack connects (see Tls.h), and the stack's functions the program defines for TLS. OpenSSL is the
// one sofia-sip itself links.
#include "sip/Tls.h"

#include "sip/ReplacedFunctions.h"
#include "sip/StackCore.h"
#include "sip/Targets.h"

#include <sofia-sip/su_alloc.h>
#include <sofia-sip/su_strlst.h>
#include <sofia-sip/su_wait.h>
#include <sofia-sip/tport.h>

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

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("chimely"), -1, -1, 0);
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

// A TCP connection to the target within the time, or -1.
int connectTo(const Target& target) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (target.family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(target.port));
        length = inet_pton(AF_INET6, target.address.c_str(), &v6->sin6_addr) == 1 ? sizeof *v6 : 0;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(target.port));
        length = inet_pton(AF_INET, target.address.c_str(), &v4->sin_addr) == 1 ? sizeof *v4 : 0;
    }
    const int fd = length ? socket(target.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1;
    if (fd < 0)
        return -1;
    pollfd writable{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (!((connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 || errno == EINPROGRESS) &&
          poll(&writable, 1, kCheckTimeoutMs) == 1 &&
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)) {
        ::close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval limit{kCheckTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

std::string withoutRootDot(std::string name) {
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    return name;
}

std::string withoutBrackets(const std::string& host) {
    return host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2)
                                                                        : host;
}

bool isAddress(const std::string& host) {
    in6_addr literal{};
    const std::string bare = withoutBrackets(host);
    return inet_pton(AF_INET, bare.c_str(), &literal) == 1 ||
           inet_pton(AF_INET6, bare.c_str(), &literal) == 1;
}

// The names the certificate is for (its subjectAltName's DNS names and addresses, else its common name).
std::string namesOf(X509* certificate) {
    std::string names;
    auto* alternatives =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        std::string text;
        if (name->type == GEN_DNS) {
            text.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                        static_cast<std::size_t>(ASN1_STRING_length(name->d.dNSName)));
        } else if (name->type == GEN_IPADD) {
            char address[INET6_ADDRSTRLEN] = "";
            const int length = ASN1_STRING_length(name->d.iPAddress);
            if (length == 4 || length == 16)
                inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(name->d.iPAddress), address,
                          sizeof address);
            text = address;
        }
        if (!text.empty())
            names += (names.empty() ? "" : ", ") + text;
    }
    GENERAL_NAMES_free(alternatives);
    if (names.empty()) {
        char common[256] = "";
        X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, common, sizeof common);
        names = common;
    }
    return names.empty() ? "no name" : names;
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The name a ClientHello asks for among `names`: the first host name (SNI carries no addresses).
std::string serverNameIndication(const std::vector<std::string>& names) {
    for (const std::string& name : names)
        if (!name.empty() && !isAddress(name))
            return withoutRootDot(name);
    return std::string();
}

std::string checkServer(const Target& target, const std::vector<std::string>& names,
                        const std::string& trustFile) {
    const int fd = connectTo(target);
    if (fd < 0)
        return std::string();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* connection = context ? SSL_new(context) : nullptr;
    std::string problem;
    if (!connection || SSL_CTX_load_verify_locations(context, trustFile.c_str(), nullptr) != 1) {
        problem = "the trusted certificates cannot be read";
    } else {
        X509_VERIFY_PARAM* parameters = SSL_get0_param(connection);
        // Wildcards only as a whole left-most label standing for one label (OpenSSL's own rule, less the
        // partial ones such as "s*.example.test").
        X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        bool first = true;
        for (const std::string& name : names) {
            if (isAddress(name)) {
                X509_VERIFY_PARAM_set1_ip_asc(parameters, withoutBrackets(name).c_str());
                continue;
            }
            const std::string host = withoutRootDot(name);
            if (first)
                X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), 0);
            else
                X509_VERIFY_PARAM_add1_host(parameters, host.c_str(), 0);
            first = false;
        }
        X509_VERIFY_PARAM_set_depth(parameters, kVerifyDepth);
        SSL_set_verify(connection, SSL_VERIFY_NONE, nullptr);
        // The name the stack will connect with: the host given, or its SRV record's target.
        const std::string sni =
            isAddress(target.name) ? serverNameIndication(names) : withoutRootDot(target.name);
        if (!sni.empty())
            SSL_set_tlsext_host_name(connection, sni.c_str());
        SSL_set_fd(connection, fd);
        if (SSL_connect(connection) != 1) {
            problem = "the server does not speak TLS";
        } else {
            const long result = SSL_get_verify_result(connection);
            X509* certificate = SSL_get1_peer_certificate(connection);
            if (!certificate)
                problem = "the server shows no certificate";
            else if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
                problem = "certificate is for " + namesOf(certificate);
            else if (result != X509_V_OK)
                problem =
                    std::string("certificate not trusted (") + X509_verify_cert_error_string(result) + ")";
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

// The servers given by their address whose certificate the check above found to name that address: the
// stack collects no IP-address names from a certificate (OpenSSL calls them "IP Address", the stack looks
// for "IP"), so its own comparison never finds them.
struct CheckedAddresses {
    std::mutex mutex;
    std::vector<std::string> addresses;
};

CheckedAddresses& checkedAddresses() {
    static CheckedAddresses checked;
    return checked;
}

// The client connections the stack has made and not begun yet, by socket: their SSL objects, which are
// given the server's name before the handshake starts (see tls_connect below).
struct Pending {
    std::mutex mutex;
    std::map<int, SSL*> bySocket;
};

Pending& pending() {
    static Pending connections;
    return connections;
}

// The SSL object of the stack's TLS state `tls` when its fields agree (see tls_free below), else null.
SSL* sslOf(void* tls) {
    if (!tls)
        return nullptr;
    void** fields = reinterpret_cast<void**>(static_cast<char*>(tls) + sizeof(su_home_t));
    auto* context = static_cast<SSL_CTX*>(fields[0]);
    auto* candidate = static_cast<SSL*>(fields[1]);
    auto* bio = static_cast<BIO*>(fields[2]);
    return context && candidate && bio && SSL_get_SSL_CTX(candidate) == context &&
                   SSL_get_rbio(candidate) == bio && SSL_get_wbio(candidate) == bio
               ? candidate
               : nullptr;
}

}  // namespace

bool certificateNameMatches(const std::string& pattern, const std::string& host) {
    const std::string name = lowerCase(withoutRootDot(withoutBrackets(host)));
    std::string wanted = lowerCase(withoutRootDot(pattern));
    if (wanted.rfind("sip:", 0) == 0)
        wanted = wanted.substr(4);
    if (name.empty() || wanted.empty())
        return false;
    in6_addr a{}, b{};
    for (const int family : {AF_INET, AF_INET6})
        if (inet_pton(family, name.c_str(), &a) == 1)
            return inet_pton(family, withoutBrackets(wanted).c_str(), &b) == 1 &&
                   std::memcmp(&a, &b, family == AF_INET ? 4 : 16) == 0;
    if (name == wanted)
        return true;
    // "*." and at least two labels after it; the host's first label whole and not empty.
    const auto dot = name.find('.');
    return wanted.size() > 2 && wanted.compare(0, 2, "*.") == 0 && wanted.find('.', 2) != std::string::npos &&
           dot != std::string::npos && dot > 0 && name.substr(dot + 1) == wanted.substr(2);
}

void checkTlsServer(const Target& target, const std::vector<std::string>& names, const std::string& trustFile,
                    std::function<void(const std::string& problem)> done) {
    std::thread([target, names, trustFile, done = std::move(done)]() mutable {
        std::string problem = checkServer(target, names, trustFile);
        if (problem.empty() && isAddress(target.name)) {
            CheckedAddresses& checked = checkedAddresses();
            const std::lock_guard<std::mutex> lock(checked.mutex);
            checked.addresses.push_back(target.address);
        }
        deliverOnUiThread([done = std::move(done), problem = std::move(problem)] { done(problem); });
    }).detach();
}

}  // namespace sip::detail

// The stack compares the certificate's names with the host it was asked to reach (RFC 5922), as it stands:
// exactly, so a name with the DNS root's dot ("example.test.") matches no certificate, a wildcard
// certificate (what most providers deploy) none either, an IPv6 address only when written as OpenSSL
// prints it, and a server that names only the domain whose SRV record points to it none when asked for by
// that record's target. The program defines the comparison: the stack's own, else each certificate name
// against the host and the names the layer found it under (Targets.h), by certificateNameMatches().
// Checked against sofia-sip 1.12.11.
extern "C" int tport_subject_search(char const* subject, su_strlst_t const* subjects) {
    using Real = int (*)(char const*, su_strlst_t const*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tport_subject_search"));
    if (!real)
        return 0;
    if (!sip::replaced::inUse(sip::replaced::Family::TportSubjectSearch))
        return real(subject, subjects);
    if (!subject || real(subject, subjects))
        return 1;
    std::vector<std::string> hosts{subject};
    for (const std::string& name : sip::detail::serverNames(subject))
        hosts.push_back(name);
    if (sip::detail::isAddress(subject)) {
        // Its certificate's address names were checked by the layer, and OpenSSL checks them again on
        // every connection the stack makes (tls_connect below).
        sip::detail::CheckedAddresses& checked = sip::detail::checkedAddresses();
        const std::lock_guard<std::mutex> lock(checked.mutex);
        for (const std::string& address : checked.addresses)
            if (sip::detail::certificateNameMatches(address, subject))
                return 1;
    }
    const usize_t count = subjects ? su_strlst_len(subjects) : 0;
    for (const std::string& host : hosts)
        for (usize_t i = 0; i < count; ++i)
            if (const char* name = su_strlst_item(subjects, i);
                name && sip::detail::certificateNameMatches(name, host))
                return 1;
    return 0;
}

// sofia-sip 1.12.11 sends no server name in its ClientHello (SNI, RFC 6066), which TLS front ends that
// serve several domains need to pick the certificate. The stack makes a connection's SSL object in
// tls_init_secondary(), before the connection has a name, and starts the handshake in tls_connect(), when
// it has one (the host it was asked to reach). The program defines both: the first notes the SSL object of
// each connection it makes by its socket, the second gives it the name (or, for an address the layer
// chose, the name it found the address under) before the stack's own tls_connect runs. Checked against
// sofia-sip 1.12.11; the state's layout is the one tls_free below relies on.
extern "C" void* tls_init_secondary(void* master, int sock, int accept) {
    using Real = void* (*)(void*, int, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tls_init_secondary"));
    if (!real)
        return nullptr;
    void* tls = real(master, sock, accept);
    if (!sip::replaced::inUse(sip::replaced::Family::TlsServerName))
        return tls;
    if (SSL* connection = sip::detail::sslOf(tls); connection && !accept) {
        sip::detail::Pending& connections = sip::detail::pending();
        const std::lock_guard<std::mutex> lock(connections.mutex);
        connections.bySocket[sock] = connection;
    }
    return tls;
}

extern "C" int tls_connect(su_root_magic_t* magic, su_wait_t* wait, tport_t* self) {
    using Real = int (*)(su_root_magic_t*, su_wait_t*, tport_t*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tls_connect"));
    if (!real)
        return 0;
    SSL* connection = nullptr;
    if (wait && sip::replaced::inUse(sip::replaced::Family::TlsServerName)) {
        sip::detail::Pending& connections = sip::detail::pending();
        const std::lock_guard<std::mutex> lock(connections.mutex);
        if (auto found = connections.bySocket.find(wait->fd); found != connections.bySocket.end()) {
            connection = found->second;
            connections.bySocket.erase(found);
        }
    }
    const tp_name_t* name = connection && self ? tport_name(self) : nullptr;
    if (name && name->tpn_canon && SSL_get_fd(connection) == wait->fd) {
        std::vector<std::string> names{name->tpn_canon};
        for (const std::string& known : sip::detail::serverNames(name->tpn_canon))
            names.push_back(known);
        if (const std::string sni = sip::detail::serverNameIndication(names); !sni.empty())
            SSL_set_tlsext_host_name(connection, sni.c_str());
        // A server reached by its address must have a certificate for that address.
        if (sip::detail::isAddress(name->tpn_canon))
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(connection),
                                          sip::detail::withoutBrackets(name->tpn_canon).c_str());
    }
    return real(magic, wait, self);
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
            SSL_get_rbio(candidate) == bio && SSL_get_wbio(candidate) == bio &&
            SSL_CTX_up_ref(context) == 1) {
            if (BIO_up_ref(bio) == 1)
                connection = candidate;
            else
                SSL_CTX_free(context);
        }
    }
    if (SSL* noted = sip::detail::sslOf(tls)) {
        sip::detail::Pending& connections = sip::detail::pending();
        const std::lock_guard<std::mutex> lock(connections.mutex);
        std::erase_if(connections.bySocket, [noted](const auto& entry) { return entry.second == noted; });
    }
    real(tls);
    if (connection)
        SSL_free(connection);
}
