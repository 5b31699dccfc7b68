// SPDX-License-Identifier: MIT
// A body is a session description when it passes the grammar check of PeerGuards and then sofia's
// sdp_parse, which is never given a body that failed the check. The media names are read from the raw
// m= lines, because sofia lower-cases the names it knows.
#include "sip/SdpContents.h"

#include "sip/PeerGuards.h"

#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>

#include <sstream>

namespace sip {
namespace {

const char* addrTypeText(SdpContents::AddrType type) {
    return type == SdpContents::IP6 ? "IP6" : "IP4";
}

std::vector<std::string> lines(const std::string& body) {
    std::vector<std::string> result;
    std::istringstream in(body);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(line);
    }
    return result;
}

// Reads "m=<name> <port> <protocol> <format>...".
bool readMedium(const std::string& line, std::string& name, unsigned long& port, std::string& protocol,
                std::vector<std::string>& formats) {
    std::istringstream in(line.substr(2));
    std::string portText;
    if (!(in >> name >> portText >> protocol))
        return false;
    port = std::strtoul(portText.c_str(), nullptr, 10);
    for (std::string format; in >> format;)
        formats.push_back(format);
    return true;
}

}  // namespace

const Mime& SdpContents::getStaticType() {
    static const Mime type("application", "sdp");
    return type;
}

std::unique_ptr<SdpContents> SdpContents::parse(const Data& body) {
    if (!guard::isSdpGrammar(body.str()))
        return nullptr;
    su_home_t home[1] = {SU_HOME_INIT(home)};
    sdp_parser_t* parser = sdp_parse(home, body.data(), static_cast<issize_t>(body.size()), sdp_f_strict);
    sdp_session_t* parsed = sdp_session(parser);
    std::unique_ptr<SdpContents> result;
    if (parsed && !sdp_parsing_error(parser)) {
        result = std::make_unique<SdpContents>();
        result->m_received = body;
        Session& session = result->m_session;
        session.m_version = static_cast<int>(parsed->sdp_version[0]);
        if (parsed->sdp_origin) {
            session.m_origin.user = parsed->sdp_origin->o_username ? parsed->sdp_origin->o_username : "";
            session.m_origin.sessionId = parsed->sdp_origin->o_id;
            session.m_origin.version = parsed->sdp_origin->o_version;
            if (parsed->sdp_origin->o_address && parsed->sdp_origin->o_address->c_address)
                session.m_origin.address = parsed->sdp_origin->o_address->c_address;
        }
        session.m_name = parsed->sdp_subject ? parsed->sdp_subject : "";
        if (parsed->sdp_connection && parsed->sdp_connection->c_address) {
            session.m_hasConnection = true;
            session.m_connection.address = parsed->sdp_connection->c_address;
        }
        for (const sdp_time_t* time = parsed->sdp_time; time; time = time->t_next)
            session.m_times.push_back({time->t_start, time->t_stop});
        for (const std::string& line : lines(body.str())) {
            if (line.rfind("m=", 0) != 0)
                continue;
            std::string name, protocol;
            unsigned long port = 0;
            std::vector<std::string> formats;
            if (!readMedium(line, name, port, protocol, formats))
                continue;
            Session::Medium medium(Data(name), port, 0, Data(protocol));
            for (const std::string& format : formats)
                medium.addFormat(Data(format));
            session.m_media.push_back(medium);
        }
    }
    sdp_parser_free(parser);
    su_home_deinit(home);
    return result;
}

Data SdpContents::getBodyData() const {
    if (!m_received.empty())
        return m_received;
    std::ostringstream out;
    const Session& s = m_session;
    out << "v=" << s.m_version << "\r\n";
    out << "o=" << s.m_origin.user << ' ' << s.m_origin.sessionId << ' ' << s.m_origin.version << " IN "
        << addrTypeText(s.m_origin.addrType) << ' ' << s.m_origin.address << "\r\n";
    out << "s=" << (s.m_name.empty() ? Data("-") : s.m_name) << "\r\n";
    if (s.m_hasConnection || !s.m_connection.address.empty())
        out << "c=IN " << addrTypeText(s.m_connection.addrType) << ' ' << s.m_connection.address << "\r\n";
    for (const Session::Time& time : s.m_times)
        out << "t=" << time.start << ' ' << time.stop << "\r\n";
    for (const Session::Medium& medium : s.m_media) {
        out << "m=" << medium.m_name << ' ' << medium.m_port;
        if (medium.m_multicast > 1)
            out << '/' << medium.m_multicast;
        out << ' ' << medium.m_protocol;
        for (const Data& format : medium.m_formats)
            out << ' ' << format;
        out << "\r\n";
    }
    return Data(out.str());
}

}  // namespace sip
