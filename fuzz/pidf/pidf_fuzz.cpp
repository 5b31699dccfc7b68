// SPDX-License-Identifier: MIT
// The presence document rendered from values the agent takes from the user (the address of record) and
// could take from anywhere (id, note, contact). Whatever they hold, the document is well-formed XML in
// valid UTF-8, and a value that XML can carry reads back from it exactly.
#include "Require.h"
#include "sip/ParseException.h"
#include "sip/Pidf.h"

#include <QStringDecoder>
#include <QXmlStreamReader>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace {

// XML 1.0's Char production.
bool isXmlChar(char32_t c) {
    return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) || (c >= 0xe000 && c <= 0xfffd) ||
           (c >= 0x10000 && c <= 0x10ffff);
}

// `bytes` as UTF-8, a leading U+FEFF kept as the character it is inside a document (QString::fromUtf8
// would drop it as a byte order mark); nothing when they are not valid UTF-8.
std::optional<QString> decoded(const std::string& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Whether `bytes` are valid UTF-8 of characters XML allows, so that a document can hold them as they are.
bool isXmlText(const std::string& bytes) {
    const std::optional<QString> text = decoded(bytes);
    if (!text)
        return false;
    for (char32_t c : text->toUcs4())
        if (!isXmlChar(c))
            return false;
    return true;
}

struct Read {
    QString entity, id, basic, contact, note;
    int tuples = 0;
};

Read readDocument(const QByteArray& document) {
    Read read;
    QXmlStreamReader xml(document);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"presence") {
            FUZZ_REQUIRE(xml.namespaceUri() == u"urn:ietf:params:xml:ns:pidf");
            read.entity = xml.attributes().value("entity").toString();
        } else if (xml.name() == u"tuple") {
            ++read.tuples;
            read.id = xml.attributes().value("id").toString();
        } else if (xml.name() == u"basic") {
            read.basic = xml.readElementText();
        } else if (xml.name() == u"contact") {
            read.contact = xml.readElementText();
        } else if (xml.name() == u"note") {
            read.note = xml.readElementText();
        }
    }
    if (xml.hasError()) {
        std::fprintf(stderr, "not well-formed: %s\n", qPrintable(xml.errorString()));
        std::abort();
    }
    return read;
}

void requireReadBack(const std::string& value, const QString& read) {
    if (isXmlText(value))
        FUZZ_REQUIRE(read == *decoded(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool online = input.ConsumeBool();
    const std::string entityText = input.ConsumeRandomLengthString(512);
    const std::string id = input.ConsumeRandomLengthString(256);
    const std::string contact = input.ConsumeRandomLengthString(256);
    const std::string note = input.ConsumeRemainingBytesAsString();

    sip::Pidf pidf;
    sip::Uri entity;
    try {
        entity = sip::Uri(sip::Data(entityText));
        pidf.setEntity(entity);
    } catch (const sip::ParseException&) {
    }
    pidf.setSimpleId(sip::Data(id));
    pidf.setSimpleStatus(online, sip::Data(note), sip::Data(contact));
    const sip::Data body = pidf.getBodyData();
    const QByteArray document(body.data(), qsizetype(body.size()));

    FUZZ_REQUIRE(isXmlText(body.str()));
    const Read read = readDocument(document);
    FUZZ_REQUIRE(read.tuples == 1);
    FUZZ_REQUIRE(read.basic == (online ? u"open" : u"closed"));
    requireReadBack(entity.toString().str(), read.entity);
    requireReadBack(id, read.id);
    requireReadBack(contact, read.contact);
    requireReadBack(note, read.note);
    return 0;
}
