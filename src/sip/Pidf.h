// SPDX-License-Identifier: MIT
// Pidf: a presence document (application/pidf+xml, RFC 3863) with one tuple. Any thread.
#pragma once

#include "sip/Contents.h"
#include "sip/Uri.h"

namespace sip {

class Pidf : public Contents {
public:
    static const Mime& getStaticType();

    void setEntity(const Uri& entity) { m_entity = entity.toString(); }
    void setSimpleId(const Data& id) { m_id = id; }
    void setSimpleStatus(bool online, const Data& note = Data(), const Data& contact = Data());

    Mime getType() const override { return getStaticType(); }
    // Well-formed XML; every value put into it is escaped.
    Data getBodyData() const override;
    std::unique_ptr<Contents> clone() const override { return std::make_unique<Pidf>(*this); }

private:
    Data m_entity;
    Data m_id;
    bool m_online = false;
    Data m_note;
    Data m_contact;
};

}  // namespace sip
