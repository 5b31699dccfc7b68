// SPDX-License-Identifier: MIT
#include "sip/Data.h"

#include <sofia-sip/su_md5.h>

#include <algorithm>
#include <cctype>

namespace sip {

Data Data::md5() const {
    su_md5_t context;
    su_md5_init(&context);
    su_md5_update(&context, m_bytes.data(), m_bytes.size());
    char hex[2 * SU_MD5_DIGEST_SIZE + 1];
    su_md5_hexdigest(&context, hex);
    return Data(hex, 2 * SU_MD5_DIGEST_SIZE);
}

Data Data::lowercase() const {
    std::string lower = m_bytes;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return Data(std::move(lower));
}

}  // namespace sip
