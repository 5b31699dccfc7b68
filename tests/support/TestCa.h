// SPDX-License-Identifier: MIT
// A throw-away certificate authority for a test's TLS server: a root of its own (P-256, valid from a day
// ago for a year) and server certificates it signs for the DNS names a test gives, written as PEM files
// into the test's directory. Also the bad certificates a client must refuse: self-signed, expired, for
// another name, from an authority nobody trusts. Called from the test's thread.
#pragma once

#include <string>
#include <vector>

namespace test {

class TestCa {
public:
    // A key and a certificate, each a PEM file.
    struct Issued {
        std::string certificate;
        std::string key;
    };

    // Writes the authority's own certificate to `dir`/`name`-ca.pem.
    TestCa(std::string dir, std::string name);
    ~TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    // The authority's certificate (what a client adds to what it trusts).
    const std::string& caFile() const { return m_caFile; }

    // A server certificate for `dnsNames` (subjectAltName, the first also the common name; an address is
    // an IP-address name, "*.example.test" a wildcard), signed by this authority; expired a day ago when
    // `expired`.
    Issued issue(const std::string& fileName, const std::vector<std::string>& dnsNames, bool expired = false);

    // A server certificate for `dnsNames` that signs itself.
    static Issued selfSigned(const std::string& dir, const std::string& fileName,
                             const std::vector<std::string>& dnsNames);

private:
    std::string m_dir;
    std::string m_caFile;
    void* m_key = nullptr;          // EVP_PKEY
    void* m_certificate = nullptr;  // X509
};

}  // namespace test
