// SPDX-License-Identifier: MIT
#include "sip/MasterProfile.h"

#include <algorithm>

namespace sip {

const char* methodName(MethodType method) {
    switch (method) {
        case INVITE:
            return "INVITE";
        case ACK:
            return "ACK";
        case CANCEL:
            return "CANCEL";
        case BYE:
            return "BYE";
        case OPTIONS:
            return "OPTIONS";
        case REGISTER:
            return "REGISTER";
        case INFO:
            return "INFO";
        case MESSAGE:
            return "MESSAGE";
        case SUBSCRIBE:
            return "SUBSCRIBE";
        case NOTIFY:
            return "NOTIFY";
        case PUBLISH:
            return "PUBLISH";
        case REFER:
            return "REFER";
        case UPDATE:
            return "UPDATE";
        case PRACK:
            return "PRACK";
    }
    return "";
}

// What a fresh profile supports: the session methods, with SDP as the body type of an INVITE.
MasterProfile::MasterProfile() : m_methods{INVITE, ACK, CANCEL, OPTIONS, BYE} {
    m_mimeTypes[INVITE].push_back(Mime("application", "sdp"));
}

void MasterProfile::addSupportedMethod(MethodType method) {
    ++m_revision;
    if (!isMethodSupported(method))
        m_methods.push_back(method);
}

bool MasterProfile::isMethodSupported(MethodType method) const {
    return std::find(m_methods.begin(), m_methods.end(), method) != m_methods.end();
}

Data MasterProfile::getAllowedMethodsText() const {
    std::string text;
    for (MethodType method : m_methods)
        text += (text.empty() ? "" : ", ") + std::string(methodName(method));
    return Data(text);
}

void MasterProfile::addSupportedMimeType(MethodType method, const Mime& type) {
    ++m_revision;
    if (!isMimeTypeSupported(method, type))
        m_mimeTypes[method].push_back(type);
}

bool MasterProfile::isMimeTypeSupported(MethodType method, const Mime& type) const {
    auto found = m_mimeTypes.find(method);
    return found != m_mimeTypes.end() &&
           std::find(found->second.begin(), found->second.end(), type) != found->second.end();
}

Data MasterProfile::getSupportedMimeTypesText(MethodType method) const {
    std::string text;
    auto found = m_mimeTypes.find(method);
    if (found != m_mimeTypes.end())
        for (const Mime& type : found->second)
            text += (text.empty() ? "" : ", ") + type.toString().str();
    return Data(text);
}

void MasterProfile::setDigestCredential(const Data& realm, const Data& user, const Data& password) {
    std::erase_if(m_credentials, [&](const DigestCredential& c) { return c.realm == realm; });
    m_credentials.push_back({realm, user, password});
}

std::optional<MasterProfile::DigestCredential> MasterProfile::getDigestCredential(const Data& realm) const {
    return findDigestCredential(m_credentials, realm);
}

std::optional<MasterProfile::DigestCredential> findDigestCredential(
    const std::vector<MasterProfile::DigestCredential>& credentials, const Data& realm) {
    for (const MasterProfile::DigestCredential& credential : credentials)
        if (credential.realm == realm)
            return credential;
    // Servers often name a realm other than the domain the user signs in to: the credential set last
    // (the user's current one) answers those too.
    if (!credentials.empty())
        return credentials.back();
    return std::nullopt;
}

}  // namespace sip
