// SPDX-License-Identifier: MIT
// Data: the layer's byte string. Any thread.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace sip {

class Data {
public:
    Data() = default;
    Data(const char* text) : m_bytes(text ? text : "") {}
    Data(const char* bytes, std::size_t size) : m_bytes(bytes, size) {}
    Data(std::string bytes) : m_bytes(std::move(bytes)) {}
    Data(std::string_view bytes) : m_bytes(bytes) {}

    const std::string& str() const { return m_bytes; }
    const char* c_str() const { return m_bytes.c_str(); }
    const char* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }
    bool empty() const { return m_bytes.empty(); }

    // The MD5 digest of the bytes as 32 lower-case hexadecimal digits.
    Data md5() const;
    Data lowercase() const;

    friend bool operator==(const Data&, const Data&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Data& data) { return out << data.m_bytes; }

private:
    std::string m_bytes;
};

}  // namespace sip
