// SPDX-License-Identifier: MIT
// Private to the SIP layer: what TLS needs besides the stack (Tls.cpp). The stack verifies the server's
// certificate itself (chain and name, TPTLS_VERIFY_SUBJECTS_OUT) but says nothing when it refuses one: the
// request just times out. The layer therefore prepares what the stack trusts, and checks a registrar once
// itself before the stack connects, so that a refusal comes at once and in words.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace sip::detail {

// A directory of the stack's certificate files (TPTAG_CERTIFICATE): cafile.pem with the certificate
// authorities the system trusts and those of `caCertificates` (a PEM file or a hashed directory; none when
// empty), and agent.pem, a certificate of our own made for this run, for the connections peers open to
// us (they cannot verify it; the stack will not take TLS connections without one). Removed with the
// object. User-interface thread.
class TlsFiles {
public:
    // Empty path(), and error() saying why, when the files could not be written.
    explicit TlsFiles(const std::string& caCertificates);
    ~TlsFiles();
    TlsFiles(const TlsFiles&) = delete;
    TlsFiles& operator=(const TlsFiles&) = delete;

    const std::string& path() const { return m_path; }
    std::string trustFile() const { return m_path + "/cafile.pem"; }
    const std::string& error() const { return m_error; }

private:
    std::string m_path;
    std::string m_error;
};

// Where a registrar of `registrar` (a sips: URI, by host name or address) is reached over TLS: its
// _sips._tcp SRV record's first target when `lookUp` (no outbound proxy: the domain's own records, RFC
// 3263), else the URI's host; the port of the record or the URI, 5061 by default. The server's certificate
// is checked against the systems and `trustFile`'s authorities and against that host name, the way the
// stack checks it (exact DNS names: no wildcards, no IP addresses). Runs in a thread of its own and calls
// `done` on the user-interface thread with "" when the server passed, or why it did not, in words ("the
// server does not speak TLS", "certificate not trusted (self-signed certificate in certificate chain)",
// "certificate is for other.example.test"). A server that cannot be reached at all passes: the stack
// reports that itself.
void checkTlsServer(const std::string& registrar, bool lookUp, const std::string& trustFile,
                    std::function<void(const std::string& problem)> done);

}  // namespace sip::detail
