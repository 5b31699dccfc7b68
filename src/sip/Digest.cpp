// SPDX-License-Identifier: MIT
// Digest answers to 401 and 407 challenges (RFC 7616 and RFC 2617: MD5 and MD5-sess, with or without
// qop=auth), made for every request the stack sends, from the credential each usage manager published.
//
// sofia-sip's nua answers challenges through its authentication client (auc_*): it stores a handle's
// challenges, adds the answer to every later request of the handle, and restarts a challenged request by
// itself when it has credentials. Its own client takes credentials only as "scheme:realm:user:password",
// which splits on ':' and so cannot carry every user name and password, and it keeps one cnonce per nonce.
// Left to it, the layer had to answer each challenge itself and hand the answer to the stack as a header
// of the request; the stack then sent that header again, byte for byte, with every refresh, removal and
// re-registration it made of the request by itself, long after the nonce had gone stale.
//
// This file is the authentication client instead: the program defines the auc_* functions, so the stack
// calls these, with the handle's list of challenges, whenever it meets a challenge and whenever it sends a
// request of a challenged handle. Every request then carries an answer made for it alone: the nonce count
// goes up by one with a fresh cnonce each time (qop=auth), or, without qop, the nonce's one answer is sent
// once and the next request goes without credentials and answers the challenge it gets. No Authorization
// header is ever sent twice. A new challenge is answered at once with the stored credential when the
// challenged request carried no answer to the challenge's nonce or the nonce was stale; a challenge to a
// request that carried a current answer means the credential is wrong, and the stack then reports the
// challenge as final.
//
// The challenges live in each handle's memory and are touched only by the stack's thread. The published
// credentials are read there too, under a lock, since the user-interface thread changes them.
#include "sip/Digest.h"
#include "sip/ReplacedFunctions.h"

#include <sofia-sip/auth_client.h>
#include <sofia-sip/auth_digest.h>
#include <sofia-sip/msg_header.h>
#include <sofia-sip/msg_parser.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/su_string.h>
#include <sofia-sip/su_uniqueid.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sip::detail {
namespace {

struct Published {
    const void* owner;
    std::string identity;
    std::vector<MasterProfile::DigestCredential> credentials;
};

struct Credentials {
    std::mutex mutex;
    std::vector<Published> owners;
};

Credentials& credentials() {
    static Credentials store;
    return store;
}

struct Credential {
    std::string user;
    std::string password;
};

// The credential for `realm` of the identity a request is sent as (the usage manager that published for
// it last, should two send as the same identity). Where that identity published none (a request inside a
// dialog a peer addressed to us by another name), the one usage manager there is answers. An empty identity
// (a handle whose first challenge came before it sent anything the stack answered) asks whether any usage
// manager could answer at all.
std::optional<Credential> credentialFor(const std::string& identity, const char* realm) {
    Credentials& store = credentials();
    const std::lock_guard<std::mutex> lock(store.mutex);
    const Published* owner = nullptr;
    for (const Published& published : store.owners)
        if (published.identity == identity || (identity.empty() && !published.credentials.empty()))
            owner = &published;
    if (!owner && store.owners.size() == 1)
        owner = &store.owners.front();
    if (!owner)
        return std::nullopt;
    const auto credential = findDigestCredential(owner->credentials, Data(realm ? realm : ""));
    if (!credential)
        return std::nullopt;
    return Credential{credential->user.str(), credential->password.str()};
}

std::string lowered(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string identityOf(const url_t* url) {
    if (!url || !url->url_host)
        return std::string();
    return (url->url_user ? std::string(url->url_user) + "@" : std::string()) + lowered(url->url_host);
}

std::string quoted(const char* text) {
    std::string out = "\"";
    for (const char* c = text ? text : ""; *c; ++c) {
        if (*c == '"' || *c == '\\')
            out += '\\';
        out += *c;
    }
    return out + "\"";
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

// One realm's challenge as a handle last received it. Plain data in the handle's memory: it goes with the
// handle.
struct Challenge {
    Challenge* next;
    bool proxy;
    char* realm;
    char* nonce;
    char* opaque;
    bool md5sess;
    bool qop;
    unsigned nonceCount;
    // A request carried an answer to the current nonce: a new challenge that is not stale refuses it.
    bool answered;
    // The stack gave up on the credential for this realm.
    bool cleared;
};

// What a handle's `auc_list` points at.
struct ChallengeList {
    su_home_t* home;
    Challenge* first;
    // The identity the handle's requests were last sent as.
    char* identity;
};

ChallengeList* listOf(auth_client_t** list) {
    return list ? reinterpret_cast<ChallengeList*>(*list) : nullptr;
}

void replace(su_home_t* home, char*& field, const char* value) {
    su_free(home, field);
    field = value ? su_strdup(home, value) : nullptr;
}

bool isProxy(msg_hclass_t* credentialClass) {
    return credentialClass == sip_proxy_authorization_class;
}

// The first challenge of `headers` this client can answer, per realm. RFC 7616 lets a server offer several
// (SHA-256 first, MD5 after): the first supported one is taken.
int takeChallenges(ChallengeList& list, const msg_auth_t* headers, bool proxy) {
    int updated = 0;
    std::vector<std::string> seen;
    for (const msg_auth_t* header = headers; header; header = header->au_next) {
        if (!su_casematch(header->au_scheme, "Digest"))
            continue;
        su_home_t scratch[1] = {SU_HOME_INIT(scratch)};
        auth_challenge_t ac[1] = {};
        ac->ac_size = sizeof ac;
        const bool usable = auth_digest_challenge_get(scratch, ac, header->au_params) >= 0 && ac->ac_realm &&
                            ac->ac_nonce && (ac->ac_md5 || ac->ac_md5sess) && (!ac->ac_qop || ac->ac_auth);
        if (usable && std::find(seen.begin(), seen.end(), ac->ac_realm) == seen.end()) {
            seen.emplace_back(ac->ac_realm);
            Challenge* challenge = list.first;
            while (challenge && (challenge->proxy != proxy || std::strcmp(challenge->realm, ac->ac_realm) != 0))
                challenge = challenge->next;
            bool fresh = true;
            if (!challenge) {
                challenge = static_cast<Challenge*>(su_zalloc(list.home, sizeof(Challenge)));
                if (challenge) {
                    challenge->proxy = proxy;
                    challenge->realm = su_strdup(list.home, ac->ac_realm);
                    challenge->next = list.first;
                    list.first = challenge;
                }
            } else {
                fresh = ac->ac_stale || !challenge->answered;
            }
            if (challenge) {
                replace(list.home, challenge->nonce, ac->ac_nonce);
                replace(list.home, challenge->opaque, ac->ac_opaque);
                challenge->md5sess = ac->ac_md5sess && !ac->ac_md5;
                challenge->qop = ac->ac_auth;
                challenge->nonceCount = 0;
                challenge->answered = false;
                updated += fresh;
            }
        }
        auth_digest_challenge_free_params(scratch, ac);
        su_home_deinit(scratch);
    }
    return updated > 0 ? 1 : 0;
}

// The answer to `challenge` for one request, or "" when there is none to give: no credential, or the
// nonce's only answer (no qop) went already.
std::string answer(Challenge& challenge, const Credential& credential, const char* method, const char* uri) {
    if (!challenge.qop && challenge.answered)
        return std::string();
    char count[9] = "";
    std::string cnonce;
    if (challenge.qop) {
        cnonce = makeCnonce();
        std::snprintf(count, sizeof count, "%08x", ++challenge.nonceCount);
    }
    auth_response_t ar[1] = {};
    ar->ar_size = sizeof ar;
    ar->ar_username = credential.user.c_str();
    ar->ar_realm = challenge.realm;
    ar->ar_nonce = challenge.nonce;
    ar->ar_uri = uri;
    ar->ar_md5 = !challenge.md5sess;
    ar->ar_md5sess = challenge.md5sess;
    ar->ar_opaque = challenge.opaque;
    ar->ar_auth = challenge.qop;
    if (challenge.qop) {
        ar->ar_qop = "auth";
        ar->ar_cnonce = cnonce.c_str();
        ar->ar_nc = count;
    }
    auth_hexmd5_t sessionKey, digest;
    auth_digest_sessionkey(ar, sessionKey, credential.password.c_str());
    auth_digest_response(ar, digest, sessionKey, method, nullptr, 0);

    std::string header = "Digest username=" + quoted(credential.user.c_str()) + ", realm=" +
                         quoted(challenge.realm) + ", nonce=" + quoted(challenge.nonce) +
                         ", uri=" + quoted(uri) + ", response=\"" + digest +
                         "\", algorithm=" + (challenge.md5sess ? "MD5-sess" : "MD5");
    if (challenge.opaque)
        header += ", opaque=" + quoted(challenge.opaque);
    if (challenge.qop)
        header += ", qop=auth, nc=" + std::string(count) + ", cnonce=" + quoted(cnonce.c_str());
    challenge.answered = true;
    return header;
}

void removeCredentials(msg_t* msg, msg_pub_t* pub) {
    const msg_mclass_t* mclass = msg_mclass(msg);
    for (msg_hclass_t* type : {sip_authorization_class, sip_proxy_authorization_class}) {
        msg_header_t** headers = msg_hclass_offset(mclass, pub, type);
        while (headers && *headers)
            msg_header_remove(msg, pub, *headers);
    }
}

// Replaces every answer the request carries with a new one for each challenge the handle holds.
int authorizeRequest(ChallengeList* list, msg_t* msg, msg_pub_t* pub, const char* method, const url_t* url) {
    if (!list || !msg || !pub || !method || !url)
        return 0;
    removeCredentials(msg, pub);
    const sip_t* sip = reinterpret_cast<const sip_t*>(pub);
    if (sip->sip_from)
        replace(list->home, list->identity, identityOf(sip->sip_from->a_url).c_str());
    const std::string identity = list->identity ? list->identity : "";
    su_home_t* home = msg_home(msg);
    const char* uri = url_as_string(home, url);
    int added = 0;
    for (Challenge* challenge = list->first; challenge && uri; challenge = challenge->next) {
        if (challenge->cleared)
            continue;
        const std::optional<Credential> credential = credentialFor(identity, challenge->realm);
        if (!credential)
            continue;
        const std::string text = answer(*challenge, *credential, method, uri);
        if (text.empty())
            continue;
        msg_hclass_t* type = challenge->proxy ? sip_proxy_authorization_class : sip_authorization_class;
        msg_header_t* header = msg_header_make(home, type, text.c_str());
        if (header && msg_header_insert(msg, pub, header) >= 0)
            ++added;
    }
    return added > 0 ? 1 : 0;
}

}  // namespace

void publishCredentials(const void* owner, const NameAddr& identity, const MasterProfile& profile,
                        bool enabled) {
    std::string aor;
    if (!identity.uri().host().empty())
        aor = identity.uri().user().str() + (identity.uri().user().empty() ? "" : "@") +
              lowered(identity.uri().host().c_str());
    Credentials& store = credentials();
    const std::lock_guard<std::mutex> lock(store.mutex);
    std::erase_if(store.owners, [owner](const Published& published) { return published.owner == owner; });
    if (enabled)
        store.owners.push_back({owner, aor, profile.getDigestCredentials()});
}

// A realm that no challenge names: the stack finds no credential in it and ends its wait.
void StackWait::end(nua_handle_s* nh) {
    ++m_expectedEnds;
    nua_authenticate(nh, NUTAG_AUTH("Digest:\"\x01no realm\x01\":-:-"), TAG_END());
}

bool StackWait::swallow(int status) {
    if (status != 904 || m_expectedEnds == 0)
        return false;
    --m_expectedEnds;
    return true;
}

void withdrawCredentials(const void* owner) {
    Credentials& store = credentials();
    const std::lock_guard<std::mutex> lock(store.mutex);
    std::erase_if(store.owners, [owner](const Published& published) { return published.owner == owner; });
}

}  // namespace sip::detail

using sip::detail::Challenge;
using sip::detail::ChallengeList;
using sip::detail::listOf;

// ---- the stack's authentication client ----------------------------------------------------------------

namespace {

// The whole client is the program's, or the library's (ReplacedFunctions.h): never some of each.
bool ownClient() {
    return sip::replaced::inUse(sip::replaced::Family::AuthClient);
}

}  // namespace

extern "C" {

int auc_challenge(auth_client_t** list, su_home_t* home, msg_auth_t const* challenges,
                  msg_hclass_t* credentialClass) {
    static const auto library = sip::replaced::libraryOwn<decltype(&auc_challenge)>("auc_challenge");
    if (!ownClient())
        return library ? library(list, home, challenges, credentialClass) : -1;
    if (!list || !home)
        return -1;
    ChallengeList* challengeList = listOf(list);
    if (!challengeList) {
        challengeList = static_cast<ChallengeList*>(su_zalloc(home, sizeof(ChallengeList)));
        if (!challengeList)
            return -1;
        challengeList->home = home;
        *list = reinterpret_cast<auth_client_t*>(challengeList);
    }
    return sip::detail::takeChallenges(*challengeList, challenges, sip::detail::isProxy(credentialClass));
}

int auc_has_authorization(auth_client_t** list) {
    static const auto library =
        sip::replaced::libraryOwn<decltype(&auc_has_authorization)>("auc_has_authorization");
    if (!ownClient())
        return library ? library(list) : 0;
    const ChallengeList* challengeList = listOf(list);
    if (!challengeList || !challengeList->first)
        return 0;
    const std::string identity = challengeList->identity ? challengeList->identity : "";
    for (const Challenge* challenge = challengeList->first; challenge; challenge = challenge->next)
        if (challenge->cleared || !sip::detail::credentialFor(identity, challenge->realm))
            return 0;
    return 1;
}

int auc_authorize(auth_client_t** list, msg_t* msg, sip_t* sip) {
    static const auto library = sip::replaced::libraryOwn<decltype(&auc_authorize)>("auc_authorize");
    if (!ownClient())
        return library ? library(list, msg, sip) : -1;
    if (!sip || !sip->sip_request)
        return 0;
    return sip::detail::authorizeRequest(listOf(list), msg, reinterpret_cast<msg_pub_t*>(sip),
                                         sip->sip_request->rq_method_name, sip->sip_request->rq_url);
}

int auc_authorization(auth_client_t** list, msg_t* msg, msg_pub_t* pub, char const* method, url_t const* url,
                      msg_payload_t const* body) {
    static const auto library = sip::replaced::libraryOwn<decltype(&auc_authorization)>("auc_authorization");
    if (!ownClient())
        return library ? library(list, msg, pub, method, url, body) : -1;
    return sip::detail::authorizeRequest(listOf(list), msg, pub ? pub : msg_object(msg), method, url);
}

int auc_authorization_headers(auth_client_t** list, su_home_t* home, char const* method, url_t const* url,
                              msg_payload_t const* body, msg_header_t** headers) {
    static const auto library =
        sip::replaced::libraryOwn<decltype(&auc_authorization_headers)>("auc_authorization_headers");
    if (!ownClient())
        return library ? library(list, home, method, url, body, headers) : -1;
    return 0;
}

// Authentication-Info's nextnonce: the next request answers it, from a count of one.
int auc_info(auth_client_t** list, msg_auth_info_t const* info, msg_hclass_t* credentialClass) {
    static const auto library = sip::replaced::libraryOwn<decltype(&auc_info)>("auc_info");
    if (!ownClient())
        return library ? library(list, info, credentialClass) : -1;
    ChallengeList* challengeList = listOf(list);
    if (!challengeList || !info)
        return 0;
    const char* next = msg_params_find(info->ai_params, "nextnonce=");
    if (!next)
        return 0;
    char* nonce = su_strdup(challengeList->home, next);
    if (!nonce)
        return -1;
    if (*nonce == '"')
        msg_unquote(nonce, nonce);
    const bool proxy = sip::detail::isProxy(credentialClass);
    for (Challenge* challenge = challengeList->first; challenge; challenge = challenge->next) {
        if (challenge->proxy != proxy)
            continue;
        sip::detail::replace(challengeList->home, challenge->nonce, nonce);
        challenge->nonceCount = 0;
        challenge->answered = false;
    }
    su_free(challengeList->home, nonce);
    return 1;
}

int auc_clear_credentials(auth_client_t** list, char const* scheme, char const* realm) {
    static const auto library =
        sip::replaced::libraryOwn<decltype(&auc_clear_credentials)>("auc_clear_credentials");
    if (!ownClient())
        return library ? library(list, scheme, realm) : -1;
    ChallengeList* challengeList = listOf(list);
    int cleared = 0;
    for (Challenge* challenge = challengeList ? challengeList->first : nullptr; challenge;
         challenge = challenge->next)
        if (!realm || std::strcmp(realm, challenge->realm) == 0) {
            challenge->cleared = true;
            ++cleared;
        }
    return cleared;
}

// Credentials come from what the usage managers published, never through the stack.
int auc_credentials(auth_client_t** list, su_home_t* home, char const* data) {
    static const auto library = sip::replaced::libraryOwn<decltype(&auc_credentials)>("auc_credentials");
    if (!ownClient())
        return library ? library(list, home, data) : -1;
    return 0;
}

int auc_all_credentials(auth_client_t** list, char const* scheme, char const* realm, char const* user,
                        char const* password) {
    static const auto library =
        sip::replaced::libraryOwn<decltype(&auc_all_credentials)>("auc_all_credentials");
    if (!ownClient())
        return library ? library(list, scheme, realm, user, password) : -1;
    return 0;
}

int auc_copy_credentials(auth_client_t** list, auth_client_t const* source) {
    static const auto library =
        sip::replaced::libraryOwn<decltype(&auc_copy_credentials)>("auc_copy_credentials");
    if (!ownClient())
        return library ? library(list, source) : -1;
    return 0;
}

}  // extern "C"
