// SPDX-License-Identifier: MIT
// MasterProfile: the user agent's settings the usage manager reads when it builds and answers requests.
// Methods and body types it supports, registration time, User-Agent, and the per-user default From,
// digest credential and outbound proxy, which may change at run time. User-interface thread.
#pragma once

#include "sip/Mime.h"
#include "sip/Uri.h"

#include <chrono>
#include <map>
#include <optional>
#include <vector>

namespace sip {

enum MethodType {
    INVITE,
    ACK,
    CANCEL,
    BYE,
    OPTIONS,
    REGISTER,
    INFO,
    MESSAGE,
    SUBSCRIBE,
    NOTIFY,
    PUBLISH,
    REFER,
    UPDATE,
    PRACK
};

const char* methodName(MethodType method);

class MasterProfile {
public:
    struct DigestCredential {
        Data realm;
        Data user;
        Data password;
    };

    MasterProfile();

    // Goes up with every change of what received texts are answered by: the methods and body types
    // supported, the default From.
    std::uint64_t revision() const { return m_revision; }

    void setDefaultRegistrationTime(std::uint32_t seconds) { m_registrationTime = seconds; }
    std::uint32_t getDefaultRegistrationTime() const { return m_registrationTime; }

    void addSupportedMethod(MethodType method);
    bool isMethodSupported(MethodType method) const;
    // The supported methods in the order they were added, for an Allow header.
    Data getAllowedMethodsText() const;

    void addSupportedMimeType(MethodType method, const Mime& type);
    bool isMimeTypeSupported(MethodType method, const Mime& type) const;
    // The body types supported for `method`, for an Accept header.
    Data getSupportedMimeTypesText(MethodType method) const;

    // How often a keep-alive goes out on the registration's flow when nothing else does, over UDP and over
    // a TCP connection; 0 sends none.
    void setKeepAliveTimeForDatagram(std::chrono::seconds interval) { m_datagramKeepAlive = interval; }
    std::chrono::seconds getKeepAliveTimeForDatagram() const { return m_datagramKeepAlive; }
    void setKeepAliveTimeForStream(std::chrono::seconds interval) { m_streamKeepAlive = interval; }
    std::chrono::seconds getKeepAliveTimeForStream() const { return m_streamKeepAlive; }

    void setUserAgent(const Data& userAgent) { m_userAgent = userAgent; }
    const Data& getUserAgent() const { return m_userAgent; }

    void setDefaultFrom(const NameAddr& from) {
        m_defaultFrom = from;
        ++m_revision;
    }
    const NameAddr& getDefaultFrom() const { return m_defaultFrom; }

    // The digest credential for `realm`, or the one set last when none names that realm; a later call
    // for the same realm replaces it.
    void setDigestCredential(const Data& realm, const Data& user, const Data& password);
    std::optional<DigestCredential> getDigestCredential(const Data& realm) const;
    // Every credential, the one set last at the end.
    const std::vector<DigestCredential>& getDigestCredentials() const { return m_credentials; }

    void setOutboundProxy(const Uri& proxy) { m_outboundProxy = proxy; }
    void unsetOutboundProxy() { m_outboundProxy.reset(); }
    const std::optional<Uri>& getOutboundProxy() const { return m_outboundProxy; }

private:
    std::uint64_t m_revision = 0;
    std::uint32_t m_registrationTime = 3600;
    // Well inside the 30 s after which many home routers forget a quiet UDP flow, and the 90 s of the
    // strictest carrier-grade NATs for TCP.
    std::chrono::seconds m_datagramKeepAlive{25};
    std::chrono::seconds m_streamKeepAlive{30};
    std::vector<MethodType> m_methods;
    std::map<MethodType, std::vector<Mime>> m_mimeTypes;
    Data m_userAgent;
    NameAddr m_defaultFrom;
    std::vector<DigestCredential> m_credentials;
    std::optional<Uri> m_outboundProxy;
};

// The credential for `realm` among `credentials`, or the one set last when none names that realm.
std::optional<MasterProfile::DigestCredential> findDigestCredential(
    const std::vector<MasterProfile::DigestCredential>& credentials, const Data& realm);

// The usage manager answers 401 and 407 challenges from the profile's digest credential while it has one
// of these. A challenge that refuses a current answer (not one that merely says the nonce went stale)
// ends the request.
class ClientAuthManager {};

// While the usage manager has one of these, the registration's flow is kept alive through NAT routers
// at the profile's keep-alive intervals: a CRLF pair from our UDP port to the registrar, or on the
// registration's TCP connection, whose death is then noticed and followed by a new registration.
class KeepAliveManager {};

}  // namespace sip
