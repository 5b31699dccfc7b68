// SPDX-License-Identifier: MIT
// SdpContents: a session description (application/sdp). Built field by field and rendered, or parsed from
// a received body; a parsed one gives back the received bytes unchanged. Any thread.
#pragma once

#include "sip/Contents.h"

#include <cstdint>
#include <list>
#include <vector>

namespace sip {

class SdpContents : public Contents {
public:
    enum AddrType { IP4, IP6 };

    class Session {
    public:
        struct Origin {
            Data user = "-";
            std::uint64_t sessionId = 0;
            std::uint64_t version = 0;
            AddrType addrType = IP4;
            Data address;
        };
        struct Connection {
            AddrType addrType = IP4;
            Data address;
        };
        struct Time {
            std::uint64_t start = 0;
            std::uint64_t stop = 0;
        };
        class Medium {
        public:
            Medium() = default;
            Medium(Data name, unsigned long port, unsigned long multicast, Data protocol)
                : m_name(std::move(name)),
                  m_port(port),
                  m_multicast(multicast),
                  m_protocol(std::move(protocol)) {}

            // The media name exactly as written in the m= line.
            const Data& name() const { return m_name; }
            unsigned long port() const { return m_port; }
            const Data& protocol() const { return m_protocol; }
            const std::vector<Data>& getFormats() const { return m_formats; }
            void addFormat(const Data& format) { m_formats.push_back(format); }

        private:
            friend class SdpContents;
            Data m_name;
            unsigned long m_port = 0;
            unsigned long m_multicast = 0;
            Data m_protocol;
            std::vector<Data> m_formats;
        };

        int& version() { return m_version; }
        Origin& origin() { return m_origin; }
        Data& name() { return m_name; }
        Connection& connection() { return m_connection; }
        void addTime(const Time& time) { m_times.push_back(time); }
        void addMedium(const Medium& medium) { m_media.push_back(medium); }
        const std::list<Medium>& media() const { return m_media; }

    private:
        friend class SdpContents;
        int m_version = 0;
        Origin m_origin;
        Data m_name;
        Connection m_connection;
        bool m_hasConnection = false;
        std::vector<Time> m_times;
        std::list<Medium> m_media;
    };

    SdpContents() = default;
    // Nothing when `body` is not a session description.
    static std::unique_ptr<SdpContents> parse(const Data& body);
    static const Mime& getStaticType();

    Session& session() { return m_session; }
    const Session& session() const { return m_session; }

    Mime getType() const override { return getStaticType(); }
    Data getBodyData() const override;
    std::unique_ptr<Contents> clone() const override { return std::make_unique<SdpContents>(*this); }

private:
    Session m_session;
    Data m_received;
};

}  // namespace sip
