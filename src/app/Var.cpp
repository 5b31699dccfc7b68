// SPDX-License-Identifier: MIT
#include "app/Var.h"

#include "platform/Kernel.h"
#include "platform/ProfileStore.h"

#include <strings.h>

#include <algorithm>

namespace {

constexpr std::size_t kUserNameBufferSize = 128;
// The program never writes more than kMaxRecipients items; a count edited into the store is followed no
// further than this, so that a wrong number cannot exhaust memory.
constexpr int kMaxHistoryCount = 1000;

std::string historyEntryName(std::size_t index) {
    return "To" + std::to_string(index);
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

CVar::CVar()
    : m_nProtocol(0), m_nOutboundProxy(0), m_nLocalPort(kDefaultLocalPort), m_pszSection("Settings") {}

CVar::~CVar() = default;

void CVar::Load() {
    platform::ProfileStore& profile = platform::AppProfile();
    m_nProtocol = profile.GetProfileInt(m_pszSection, "Protocol", 1);
    m_nOutboundProxy = profile.GetProfileInt(m_pszSection, "OutboundProxy", 0);
    m_strDisplayName = profile.GetProfileString(m_pszSection, "DisplayName", "");
    m_strSigninName = profile.GetProfileString(m_pszSection, "SigninName", "");
    m_strPassword = profile.GetProfileString(m_pszSection, "Password", "");
    m_strServer = profile.GetProfileString(m_pszSection, "Server", "");

    m_arrTo.clear();
    const int count = std::min(profile.GetProfileInt(m_pszSection, "To", 0), kMaxHistoryCount);
    for (int i = 0; i < count; ++i)
        m_arrTo.push_back(profile.GetProfileString(m_pszSection, historyEntryName(i).c_str(), ""));

    m_nLocalPort = profile.GetProfileInt(m_pszSection, "LocalPort", m_nLocalPort);
    m_strCaCertificates = profile.GetProfileString(m_pszSection, "CaCertificates", "");
    m_nKeepHistory = profile.GetProfileInt(m_pszSection, "KeepHistory", 0);
}

void CVar::Save() {
    platform::ProfileStore& profile = platform::AppProfile();
    profile.WriteProfileInt(m_pszSection, "Protocol", m_nProtocol);
    profile.WriteProfileInt(m_pszSection, "OutboundProxy", m_nOutboundProxy);
    profile.WriteProfileString(m_pszSection, "DisplayName", m_strDisplayName);
    profile.WriteProfileString(m_pszSection, "SigninName", m_strSigninName);
    profile.WriteProfileString(m_pszSection, "Password", m_strPassword);
    profile.WriteProfileString(m_pszSection, "Server", m_strServer);
    profile.WriteProfileInt(m_pszSection, "KeepHistory", m_nKeepHistory);
}

void CVar::SaveHistory() {
    platform::ProfileStore& profile = platform::AppProfile();
    for (std::size_t i = 0; i < m_arrTo.size(); ++i)
        profile.WriteProfileString(m_pszSection, historyEntryName(i).c_str(), m_arrTo[i]);
    profile.WriteProfileInt(m_pszSection, "To", static_cast<int>(m_arrTo.size()));
}

void CVar::UpdateHistory(const std::string& to) {
    auto found = std::find_if(m_arrTo.begin(), m_arrTo.end(),
                              [&](const std::string& entry) { return equalsIgnoringCase(entry, to); });
    if (found != m_arrTo.end())
        m_arrTo.erase(found);
    else if (m_arrTo.size() >= static_cast<std::size_t>(kMaxRecipients))
        m_arrTo.erase(m_arrTo.begin());
    m_arrTo.push_back(to);
    SaveHistory();
}

void CVar::DefaultSigninName() {
    if (!m_strSigninName.empty())
        return;
    const std::string user = platform::GetUserName(kUserNameBufferSize).value_or("noname");
    m_strSigninName = user + "@" + kDefaultSigninDomain;
}
