// SPDX-License-Identifier: MIT
// Digest answers (RFC 2617, MD5 and MD5-sess, with or without qop=auth) computed here from the profile's
// credential, whatever characters the user name and password hold: sofia-sip's own credential string
// splits on ":" and would cut them.
#include "sip/DumState.h"

#include <sofia-sip/auth_digest.h>
#include <sofia-sip/su_string.h>
#include <sofia-sip/su_uniqueid.h>

#include <cstdio>

namespace sip::detail {
namespace {

// A realm that no challenge names: giving it to sofia-sip ends its wait for credentials.
constexpr const char* kNoRealm = "Digest:\"\x01no realm\x01\":-:-";

std::string quoted(const char* text) {
    std::string out = "\"";
    for (const char* c = text ? text : ""; *c; ++c) {
        if (*c == '"' || *c == '\\')
            out += '\\';
        out += *c;
    }
    return out + "\"";
}

const msg_auth_t* digestChallenge(const msg_auth_t* challenge) {
    for (; challenge; challenge = challenge->au_next)
        if (su_casematch(challenge->au_scheme, "Digest"))
            return challenge;
    return nullptr;
}

std::string makeCnonce() {
    su_guid_t guid;
    su_guid_generate(&guid);
    char text[64];
    su_guid_sprintf(text, sizeof text, &guid);
    std::string cnonce;
    for (const char* c = text; *c; ++c)
        if (*c != '-')
            cnonce += *c;
    return cnonce;
}

}  // namespace

std::optional<Retry> Challenges::answer(const sip_t* response, const std::string& requestUri,
                                        const MasterProfile& profile, bool enabled) {
    if (!enabled || !response || !response->sip_status || !response->sip_cseq || requestUri.empty())
        return std::nullopt;
    const bool proxy = response->sip_status->st_status == 407;
    const msg_auth_t* challenge =
        digestChallenge(proxy ? response->sip_proxy_authenticate : response->sip_www_authenticate);
    if (!challenge)
        return std::nullopt;

    su_home_t home[1] = {SU_HOME_INIT(home)};
    auth_challenge_t ac[1] = {};
    ac->ac_size = sizeof ac;
    std::optional<Retry> result;
    const bool parsed = auth_digest_challenge_get(home, ac, challenge->au_params) >= 0 && ac->ac_realm &&
                        ac->ac_nonce && (ac->ac_md5 || ac->ac_md5sess) && (!ac->ac_qop || ac->ac_auth);
    const auto credential = parsed ? profile.getDigestCredential(Data(ac->ac_realm)) : std::nullopt;
    if (parsed && credential && (!m_answered || ac->ac_stale)) {
        const char* uri = requestUri.c_str();
        const std::string cnonce = ac->ac_auth ? makeCnonce() : std::string();
        auth_response_t ar[1] = {};
        ar->ar_size = sizeof ar;
        ar->ar_username = credential->user.c_str();
        ar->ar_realm = ac->ac_realm;
        ar->ar_nonce = ac->ac_nonce;
        ar->ar_uri = uri;
        ar->ar_md5 = ac->ac_md5;
        ar->ar_md5sess = ac->ac_md5sess;
        ar->ar_opaque = ac->ac_opaque;
        ar->ar_auth = ac->ac_auth;
        if (ac->ac_auth) {
            ar->ar_qop = "auth";
            ar->ar_cnonce = cnonce.c_str();
            ar->ar_nc = "00000001";
        }
        auth_hexmd5_t sessionKey, digest;
        auth_digest_sessionkey(ar, sessionKey, credential->password.c_str());
        auth_digest_response(ar, digest, sessionKey, response->sip_cseq->cs_method_name, nullptr, 0);

        std::string header = "Digest username=" + quoted(credential->user.c_str()) +
                             ", realm=" + quoted(ac->ac_realm) + ", nonce=" + quoted(ac->ac_nonce) +
                             ", uri=" + quoted(uri) + ", response=\"" + digest +
                             "\", algorithm=" + (ac->ac_md5sess ? "MD5-sess" : "MD5");
        if (ac->ac_opaque)
            header += ", opaque=" + quoted(ac->ac_opaque);
        if (ac->ac_auth)
            header += ", qop=auth, nc=00000001, cnonce=" + quoted(cnonce.c_str());

        (proxy ? m_retry.proxyAuthorization : m_retry.authorization) = header;
        m_retry.callId =
            response->sip_call_id && response->sip_call_id->i_id ? response->sip_call_id->i_id : "";
        m_answered = true;
        result = m_retry;
    }
    auth_digest_challenge_free_params(home, ac);
    su_home_deinit(home);
    return result;
}

RetryTags::RetryTags(const Retry& retry)
    : m_tags{{TAG_IF(!retry.authorization.empty(), SIPTAG_AUTHORIZATION_STR(retry.authorization.c_str()))},
             {TAG_IF(!retry.proxyAuthorization.empty(),
                     SIPTAG_PROXY_AUTHORIZATION_STR(retry.proxyAuthorization.c_str()))},
             {TAG_IF(!retry.callId.empty(), SIPTAG_CALL_ID_STR(retry.callId.c_str()))},
             {TAG_END()}} {}

void Challenges::endStackWait(nua_handle_t* nh) {
    ++m_expectedEnds;
    nua_authenticate(nh, NUTAG_AUTH(kNoRealm), TAG_END());
}

bool Challenges::swallow(int status) {
    if (status != 904 || m_expectedEnds == 0)
        return false;
    --m_expectedEnds;
    return true;
}

}  // namespace sip::detail
