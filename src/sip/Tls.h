// SPDX-License-Identifier: MIT
// Private to the SIP layer: what TLS needs besides the stack (Tls.cpp). The stack verifies the server's
// certificate itself (chain and name, TPTLS_VERIFY_SUBJECTS_OUT) but says nothing when it refuses one: the
// request just times out. The layer therefore prepares what the stack trusts, and checks each server once
// itself before the stack connects to it, so that a refusal comes at once and in words.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sip/Targets.h"

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

// Checks the certificate of the TLS server at `target` (an address the layer reached, Targets.h) the way
// the stack checks it: its chain against the system's and `trustFile`'s authorities, its name against
// `names` (the host given first, then the one its SRV record named; an address given matches an
// IP-address name), a wildcard standing for exactly one whole left-most label (RFC 6125). The ClientHello
// names the target's host name, as the stack's own will (SNI). Runs in a thread of its own and calls `done` on the
// user-interface thread with "" when the server passed, or why it did not, in words ("the server does
// not speak TLS", "certificate not trusted (self-signed certificate in certificate chain)", "certificate
// is for other.example.test"). A server that cannot be reached at all passes: the stack reports that
// itself.
void checkTlsServer(const Target& target, const std::vector<std::string>& names, const std::string& trustFile,
                    std::function<void(const std::string& problem)> done);

// Whether a certificate's name `pattern` (a DNS name, perhaps "*.example.test", or an address) names
// `host` (a DNS name or an address, IPv6 with or without brackets): equal ignoring case and a root's dot,
// the same address however written, or a wildcard that is the whole left-most label and stands for
// exactly one label (RFC 6125 6.4.3: "*.example.test" names sip.example.test, not example.test nor
// a.b.example.test). Any thread.
bool certificateNameMatches(const std::string& pattern, const std::string& host);

}  // namespace sip::detail
