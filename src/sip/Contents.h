// SPDX-License-Identifier: MIT
// Message bodies: the base Contents and the plain-text and unknown-type bodies. Any thread.
#pragma once

#include "sip/Data.h"
#include "sip/Mime.h"

#include <memory>
#include <optional>

namespace sip {

class Contents {
public:
    virtual ~Contents() = default;
    virtual Mime getType() const = 0;
    // The body as the bytes that go on the wire.
    virtual Data getBodyData() const = 0;
    virtual std::unique_ptr<Contents> clone() const = 0;
};

class PlainContents : public Contents {
public:
    explicit PlainContents(Data text = Data()) : m_text(std::move(text)) {}
    static const Mime& getStaticType();

    const Data& text() const { return m_text; }
    Mime getType() const override { return getStaticType(); }
    Data getBodyData() const override { return m_text; }
    std::unique_ptr<Contents> clone() const override { return std::make_unique<PlainContents>(*this); }

private:
    Data m_text;
};

// A body of any other type, kept as received.
class OctetContents : public Contents {
public:
    OctetContents(Mime type, Data bytes) : m_type(std::move(type)), m_bytes(std::move(bytes)) {}

    Mime getType() const override { return m_type; }
    Data getBodyData() const override { return m_bytes; }
    std::unique_ptr<Contents> clone() const override { return std::make_unique<OctetContents>(*this); }

private:
    Mime m_type;
    Data m_bytes;
};

// A message wrapped in CPIM (message/cpim, RFC 3862): its own type and bytes. A received wrapper stands for
// what it wraps: the layer accepts it for the inner type, and its contents are the inner message's.
struct CpimMessage {
    Mime type;
    Data body;
};
const Mime& CpimType();
// The wrapped message of a CPIM body: after the message headers and a blank line, the MIME headers (one
// of them the Content-Type), a blank line and the bytes. Nothing when the body is not of that form.
std::optional<CpimMessage> UnwrapCpim(const Data& body);

}  // namespace sip
