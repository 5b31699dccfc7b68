// SPDX-License-Identifier: MIT
#include "support/TestCa.h"

#include <arpa/inet.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace test {
namespace {

constexpr long kDay = 24L * 3600;

EVP_PKEY* newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key)
        throw std::runtime_error("no key");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension)
        throw std::runtime_error("bad extension " + value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate of `key` named `commonName`, valid from `from` to `to` seconds from now, issued by
// `issuer` or by itself when `issuer` is null; not yet signed.
X509* makeCertificate(EVP_PKEY* key, const std::string& commonName, long from, long to, X509* issuer) {
    static long serial = std::time(nullptr);
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), from);
    X509_gmtime_adj(X509_getm_notAfter(certificate), to);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate, issuer ? X509_get_subject_name(issuer) : name);
    return certificate;
}

void sign(X509* certificate, EVP_PKEY* key) {
    if (X509_sign(certificate, key, EVP_sha256()) <= 0)
        throw std::runtime_error("cannot sign");
}

void write(const std::string& path, X509* certificate, EVP_PKEY* key) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out)
        throw std::runtime_error("cannot write " + path);
    const bool ok = (key ? PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                         : PEM_write_X509(out, certificate) == 1);
    std::fclose(out);
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

// DNS names, and addresses as IP-address names.
std::string altNames(const std::vector<std::string>& dnsNames) {
    std::string names;
    for (const std::string& name : dnsNames) {
        in6_addr address{};
        const bool ip = inet_pton(AF_INET, name.c_str(), &address) == 1 ||
                        inet_pton(AF_INET6, name.c_str(), &address) == 1;
        names += std::string(names.empty() ? "" : ",") + (ip ? "IP:" : "DNS:") + name;
    }
    return names;
}

TestCa::Issued writeIssued(const std::string& dir, const std::string& fileName, X509* certificate,
                           EVP_PKEY* key) {
    TestCa::Issued issued{dir + "/" + fileName + ".crt", dir + "/" + fileName + ".key"};
    write(issued.certificate, certificate, nullptr);
    write(issued.key, certificate, key);
    return issued;
}

}  // namespace

TestCa::TestCa(std::string dir, std::string name) : m_dir(std::move(dir)) {
    EVP_PKEY* key = newKey();
    X509* certificate = makeCertificate(key, name, -kDay, 365 * kDay, nullptr);
    addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate, certificate, NID_subject_key_identifier, "hash");
    sign(certificate, key);
    m_caFile = m_dir + "/" + name + "-ca.pem";
    write(m_caFile, certificate, nullptr);
    m_key = key;
    m_certificate = certificate;
}

TestCa::~TestCa() {
    X509_free(static_cast<X509*>(m_certificate));
    EVP_PKEY_free(static_cast<EVP_PKEY*>(m_key));
}

TestCa::Issued TestCa::issue(const std::string& fileName, const std::vector<std::string>& dnsNames,
                             bool expired) {
    auto* caKey = static_cast<EVP_PKEY*>(m_key);
    auto* ca = static_cast<X509*>(m_certificate);
    EVP_PKEY* key = newKey();
    X509* certificate =
        makeCertificate(key, dnsNames.at(0), expired ? -30 * kDay : -kDay, expired ? -kDay : 365 * kDay, ca);
    addExtension(certificate, ca, NID_subject_alt_name, altNames(dnsNames));
    addExtension(certificate, ca, NID_ext_key_usage, "serverAuth,clientAuth");
    addExtension(certificate, ca, NID_authority_key_identifier, "keyid");
    sign(certificate, caKey);
    Issued issued = writeIssued(m_dir, fileName, certificate, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return issued;
}

TestCa::Issued TestCa::selfSigned(const std::string& dir, const std::string& fileName,
                                  const std::vector<std::string>& dnsNames) {
    EVP_PKEY* key = newKey();
    X509* certificate = makeCertificate(key, dnsNames.at(0), -kDay, 365 * kDay, nullptr);
    addExtension(certificate, certificate, NID_subject_alt_name, altNames(dnsNames));
    sign(certificate, key);
    Issued issued = writeIssued(dir, fileName, certificate, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return issued;
}

}  // namespace test
