// SPDX-License-Identifier: MIT
// CVar: the settings record. Every setting the program keeps between runs, read from and written to the
// "Settings" section of the current user's profile store. One record per process, a base of the main
// window. User-interface thread only.
#pragma once

#include <string>
#include <vector>

constexpr int kMaxRecipients = 10;
// The stored Protocol: the transport of the program's one SIP transport. Any other non-zero value also
// reads as TCP.
constexpr int kProtocolUdp = 0;
constexpr int kProtocolTcp = 1;
constexpr int kProtocolTls = 2;
constexpr int kDefaultLocalPort = 5070;
// The domain of the sign-in name the program makes up when none is stored.
constexpr const char* kDefaultSigninDomain = "localhost";

class CVar {
public:
    CVar();
    virtual ~CVar();

    // Reads every value of the section into the record; a missing value reads as its default.
    void Load();
    // Writes the values the Preferences dialog edits (not the recipient history, not LocalPort).
    void Save();
    // Writes the history items To0... and their count To.
    void SaveHistory();

    // Moves `to` to the newest end of the history (dropping the oldest entry when a new recipient
    // would make it longer than kMaxRecipients), then saves the history.
    void UpdateHistory(const std::string& to);

    // Fills an empty sign-in name with the logged-on user's name (or "noname"), "@" and the fixed
    // local domain. In memory only.
    void DefaultSigninName();

    int m_nProtocol;
    int m_nOutboundProxy;
    std::string m_strDisplayName;
    std::string m_strSigninName;
    std::string m_strPassword;
    std::string m_strServer;
    std::vector<std::string> m_arrTo;
    int m_nLocalPort;
    // TLS: certificate authorities trusted besides the system's (a PEM file or a hashed directory), read
    // like LocalPort and never written.
    std::string m_strCaCertificates;
    // Whether received and sent texts are kept in the history (KeepHistory); off when absent. Edited by the
    // Preferences dialog and written with its values.
    int m_nKeepHistory = 0;
    const char* m_pszSection;
};
