// SPDX-License-Identifier: MIT
// The usage manager: the stack's parameters from the profile, the routing of each event to its usage,
// the answers no handler gives (415, 489, 405, 481, 503 while shutting down) and the end of a shutdown.
#include "sip/DialogUsageManager.h"

#include "sip/DumState.h"
#include "sip/PeerGuards.h"
#include "sip/ReplacedFunctions.h"

#include <sofia-sip/tport_tag.h>
#include <sofia-sip/url.h>

#include <arpa/inet.h>

#include <cstring>

namespace sip {

using detail::DumState;
using detail::Event;

namespace {

// After a change of the network the stack cannot always open its transports again at once: a socket of
// the old ones that a request still going out holds keeps the port ("Address already in use") until that
// request ends, a moment later. It tries again after a pause, a few times, before the registrations go
// ahead and meet the failure.
constexpr std::chrono::milliseconds kReopenPause{1000};
constexpr int kReopenAttempts = 5;

// A usage made while the stack does not run has no sofia-sip handle: it is keyed by its own address.
const void* keyOf(const std::shared_ptr<Usage>& usage, nua_handle_t* nh) {
    return nh ? static_cast<const void*>(nh) : static_cast<const void*>(usage.get());
}

std::string allowEvents(const DumState& state) {
    std::string events;
    for (const auto& entry : state.subscriptionHandlers)
        events += (events.empty() ? "" : ", ") + entry.first;
    return events;
}

// The outbound proxy's URI as the stack is to reach it. Over TCP a URI that names no transport is made to
// name TCP, so that a server given by its host name is looked up for TCP (an explicit transport parameter
// decides, RFC 3263 4.1) and never for UDP, which the stack does not have. Headers of the URI are no part
// of an address to send to. As a Route it is a loose route (RFC 3261 8.1.2, 16.12).
std::string proxyUri(const DumState& state, bool asRoute) {
    const auto& proxy = state.profile->getOutboundProxy();
    if (!proxy)
        return std::string();
    std::string text = proxy->toString().str();
    su_home_t home[1] = {SU_HOME_INIT(home)};
    if (url_t* url = url_make(home, text.c_str())) {
        url->url_headers = nullptr;
        if (state.core.transport && state.core.transport->tcp && !state.core.transport->tls &&
            !url_has_param(url, "transport"))
            url_param_add(home, url, "transport=tcp");
        if (asRoute && !url_has_param(url, "lr"))
            url_param_add(home, url, "lr");
        if (const char* printed = url_as_string(home, url))
            text = printed;
    }
    su_home_deinit(home);
    text = state.secured(text);
    return asRoute ? "<" + text + ">" : text;
}

// The stack's report that it sends a request again itself: a provisional status carrying the final
// response that made it do so (a challenge it answers, a 423 whose Min-Expires it takes).
bool restarted(const Event& event) {
    const sip_t* sip = event.sip();
    return event.status < 200 && sip && sip->sip_status && sip->sip_status->st_status >= 200;
}

}  // namespace

// ---- Usage -------------------------------------------------------------------------------------------

Usage::Usage(DialogUsageManager& dum, nua_handle_s* nh) : m_dum(dum), m_core(dum.state().core), m_nh(nh) {}

Usage::~Usage() {
    if (!m_nh)
        return;
    m_dum.state().challenged.erase(m_nh);
    m_core.destroyHandle(m_nh);
}

detail::DumState& Usage::state() {
    return m_dum.state();
}

void Usage::retire() {
    if (m_retired)
        return;
    m_retired = true;
    DumState& s = state();
    auto found = s.usages.find(m_nh ? static_cast<const void*>(m_nh) : static_cast<const void*>(this));
    if (found != s.usages.end()) {
        s.retired.push_back(std::move(found->second));
        s.usages.erase(found);
    }
}

void Usage::failSoon(int event, int status, const char* phrase) {
    auto failure = std::make_unique<Event>();
    failure->type = static_cast<nua_event_t>(event);
    failure->status = status;
    failure->phrase = phrase;
    std::weak_ptr<Usage> weak = weak_from_this();
    auto shared = std::make_shared<std::unique_ptr<Event>>(std::move(failure));
    auto call = std::make_unique<Event>();
    call->call = [weak, shared] {
        if (auto usage = weak.lock(); usage && !usage->retired())
            usage->dispatch(*shared);
    };
    m_core.post(std::move(call));
}

// ---- DumState helpers --------------------------------------------------------------------------------

nua_handle_t* DumState::newHandle(const NameAddr& to, nua_hmagic_t* kind) {
    if (!running())
        return nullptr;
    const NameAddr& defaultFrom = profile->getDefaultFrom();
    // The stack answers the challenges to this handle's requests from the credentials of today, and the
    // texts that come from now on to the user of today.
    publishCredentials(this, defaultFrom, *profile, authManager);
    publishTexts();
    const Data from = defaultFrom.uri().empty() ? Data() : defaultFrom.toString();
    // Our Contact carries the user's name too, as registrars and peers expect.
    const Data& user = defaultFrom.uri().user();
    return nua_handle(core.nua, kind, SIPTAG_TO_STR(to.toString().c_str()),
                      TAG_IF(!from.empty(), SIPTAG_FROM_STR(from.c_str())),
                      TAG_IF(!user.empty(), NUTAG_M_USERNAME(user.c_str())), TAG_END());
}

void DumState::publishTexts() {
    const bool pager = serverPagerHandler != nullptr;
    const bool ending = shutdownHandler != nullptr;
    if (published.profile == profile.get() && published.revision == profile->revision() &&
        published.ownContactUser == ownContact.user().str() && published.pagerHandler == pager &&
        published.shuttingDown == ending)
        return;
    published = {profile.get(), profile->revision(), ownContact.user().str(), pager, ending};
    core.publishTexts(std::make_shared<const TextPolicy>(TextPolicy{*profile, ownContact, pager, ending,
                                                                    profile->getUserAgent().c_str(),
                                                                    profile->getAllowedMethodsText().str()}));
}

bool DumState::answerChallenge(const Event& challenge) {
    if (replaced::inUse(replaced::Family::AuthClient) || !authManager || !challenge.nh ||
        (challenge.status != 401 && challenge.status != 407) || challenged.count(challenge.nh))
        return false;
    const sip_t* sip = challenge.sip();
    const msg_auth_t* header = !sip                      ? nullptr
                               : challenge.status == 401 ? sip->sip_www_authenticate
                                                         : sip->sip_proxy_authenticate;
    const char* realm = header ? msg_params_find(header->au_params, "realm=") : nullptr;
    if (!realm)
        return false;
    std::string bare = realm;
    if (bare.size() >= 2 && bare.front() == '"' && bare.back() == '"')
        bare = bare.substr(1, bare.size() - 2);
    const auto credential = profile->getDigestCredential(Data(bare));
    if (!credential)
        return false;
    // The library's client splits this on ':', which a user name or password holding one does not survive.
    const std::string auth =
        std::string("Digest:\"") + bare + "\":" + credential->user.str() + ":" + credential->password.str();
    challenged.insert(challenge.nh);
    nua_authenticate(challenge.nh, NUTAG_AUTH(auth.c_str()), TAG_END());
    return true;
}

std::string DumState::outboundProxy() const {
    return proxyUri(*this, false);
}

std::string DumState::outboundRoute() const {
    return proxyUri(*this, true);
}

std::string DumState::secured(const std::string& uri) const {
    if (!core.transport || !core.transport->tls || uri.rfind("sip:", 0) != 0)
        return uri;
    return "sips:" + uri.substr(4);
}

bool DumState::namesUnreachable(const std::string& target) const {
    const std::string proxy = outboundProxy();
    const std::string& first = proxy.empty() ? target : proxy;
    su_home_t home[1] = {SU_HOME_INIT(home)};
    const url_t* url = url_make(home, first.c_str());
    std::string host = url && url->url_host ? url->url_host : "";
    su_home_deinit(home);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    in6_addr literal{};
    if (host.empty() || inet_pton(AF_INET, host.c_str(), &literal) == 1 ||
        inet_pton(AF_INET6, host.c_str(), &literal) == 1)
        return false;
    return !nameServerReachable();
}

std::string detail::acceptFor(const MasterProfile& profile, MethodType method) {
    return profile.getSupportedMimeTypesText(method).str();
}

// A CPIM wrapper is taken for what it wraps: a message of a type the method takes itself, never another
// wrapper.
bool detail::wrappedTypeAcceptable(const MasterProfile& profile, MethodType method, const Mime& type,
                                   const Data& body) {
    if (!(type == CpimType()))
        return true;
    const std::optional<CpimMessage> inner = UnwrapCpim(body);
    return inner && !(inner->type == CpimType()) && profile.isMimeTypeSupported(method, inner->type);
}

bool detail::bodyTaken(const MasterProfile& profile, MethodType method, const sip_t* request) {
    if (!request || !request->sip_payload || request->sip_payload->pl_len == 0)
        return true;
    const Mime type =
        request->sip_content_type ? Mime::parse(Data(request->sip_content_type->c_type)) : Mime();
    return !type.empty() && profile.isMimeTypeSupported(method, type) &&
           wrappedTypeAcceptable(profile, method, type,
                                 Data(request->sip_payload->pl_data, request->sip_payload->pl_len));
}

bool detail::bodyAcceptable(const DumState& state, nua_handle_t* nh, const Event& event, MethodType method) {
    if (bodyTaken(*state.profile, method, event.sip()))
        return true;
    const std::string accept = acceptFor(*state.profile, method);
    nua_respond(nh, SIP_415_UNSUPPORTED_MEDIA, NUTAG_WITH_SAVED(event.saved),
                TAG_IF(!accept.empty(), SIPTAG_ACCEPT_STR(accept.c_str())), TAG_END());
    return false;
}

void detail::refuse(nua_handle_t* nh, const Event& request) {
    const std::string retryAfter = std::to_string(guard::kRetryAfterSeconds);
    nua_respond(nh, SIP_503_SERVICE_UNAVAILABLE, NUTAG_WITH_SAVED(request.saved),
                SIPTAG_RETRY_AFTER_STR(retryAfter.c_str()), TAG_END());
}

bool detail::forSomebodyElse(const MasterProfile& profile, const Uri& ownContact, const sip_t* request) {
    const url_t* target = request && request->sip_request ? request->sip_request->rq_url : nullptr;
    if (!target || !target->url_user || !*target->url_user)
        return false;
    std::string user = target->url_user;
    url_unescape(user.data(), user.c_str());
    user.resize(std::strlen(user.c_str()));
    const Data& signin = profile.getDefaultFrom().uri().user();
    // Before the first sign-in nobody is ours yet, and nobody is refused.
    if (signin.empty() && ownContact.empty())
        return false;
    return user != signin.str() && user != ownContact.user().str();
}

bool detail::forSomebodyElse(const DumState& state, const sip_t* request) {
    return forSomebodyElse(*state.profile, state.ownContact, request);
}

detail::Body::Body(const Contents* contents)
    : Body(contents ? contents->getType().toString().str() : std::string(),
           contents ? contents->getBodyData() : Data()) {}

detail::Body::Body(std::string type, const Data& bytes) : m_type(std::move(type)) {
    if (!m_type.empty())
        m_payload = sip_payload_create(m_home, bytes.data(), static_cast<isize_t>(bytes.size()));
}

detail::Body::~Body() {
    su_home_deinit(m_home);
}

// ---- DialogUsageManager ------------------------------------------------------------------------------

DialogUsageManager::DialogUsageManager(SipStack& stack) : m_state(std::make_unique<DumState>(stack.core())) {
    m_state->profile = std::make_shared<MasterProfile>();
    DumState& s = *m_state;
    s.core.releaseUsages = [&s] {
        s.usages.clear();
        s.retired.clear();
    };
    // The registrations let go of the transports the stack is about to close, then it closes them.
    s.core.networkChanging = [&s] {
        std::vector<std::shared_ptr<ClientRegistration>> registrations;
        for (const auto& [key, usage] : s.usages)
            if (auto registration = std::dynamic_pointer_cast<ClientRegistration>(usage))
                registrations.push_back(registration);
        for (const auto& registration : registrations)
            registration->leaveForNetworkChange();
        s.core.followNetworkChange();
    };
    s.core.beforeStart = [&s] { s.publishTexts(); };
    s.core.onStarted = [&s](nua_t* nua) {
        const MasterProfile& profile = *s.profile;
        const std::string allow = profile.getAllowedMethodsText().str();
        const std::string events = allowEvents(s);
        nua_set_params(nua, SIPTAG_USER_AGENT_STR(profile.getUserAgent().c_str()),
                       SIPTAG_ALLOW_STR(allow.c_str()), NUTAG_APPL_METHOD("OPTIONS"),
                       NUTAG_APPL_METHOD("MESSAGE"), NUTAG_APPL_METHOD("INFO"),
                       TAG_IF(!events.empty(), NUTAG_ALLOW_EVENTS(events.c_str())),
                       NUTAG_SUB_EXPIRES(guard::kMaxSubscriptionExpires),
                       NUTAG_OUTBOUND(detail::kOutboundOptions), NUTAG_KEEPALIVE(0), NUTAG_SESSION_TIMER(0),
                       SIPTAG_SUPPORTED(nullptr), NUTAG_AUTOALERT(0), NUTAG_AUTOANSWER(0),
                       NUTAG_ENABLEMESSAGE(1), TAG_END());
    };
}

DialogUsageManager::~DialogUsageManager() {
    detail::withdrawCredentials(m_state.get());
    m_state->core.releaseUsages = nullptr;
    m_state->core.beforeStart = nullptr;
    m_state->core.onStarted = nullptr;
    m_state->usages.clear();
    m_state->retired.clear();
}

void DialogUsageManager::setMasterProfile(const std::shared_ptr<MasterProfile>& profile) {
    m_state->profile = profile;
}

const std::shared_ptr<MasterProfile>& DialogUsageManager::getMasterProfile() const {
    return m_state->profile;
}

bool DialogUsageManager::addTransport(TransportType type, int port, IpVersion, const Data&, const Data&,
                                      const Data&) {
    if (m_state->core.transport)
        return false;
    m_state->core.transport = detail::TransportSpec{type != UDP, type == TLS, port, {}};
    return true;
}

bool DialogUsageManager::addCertificateAuthorities(const Data& pemFileOrDirectory) {
    if (!m_state->core.transport || !m_state->core.transport->tls)
        return false;
    m_state->core.transport->caCertificates = pemFileOrDirectory.str();
    return true;
}

void DialogUsageManager::setClientAuthManager(std::unique_ptr<ClientAuthManager> manager) {
    m_state->authManager = manager != nullptr;
}

void DialogUsageManager::setKeepAliveManager(std::unique_ptr<KeepAliveManager> manager) {
    m_state->keepAlive = manager != nullptr;
}

void DialogUsageManager::setClientRegistrationHandler(ClientRegistrationHandler* handler) {
    m_state->registrationHandler = handler;
}

void DialogUsageManager::setServerPagerMessageHandler(ServerPagerMessageHandler* handler) {
    m_state->serverPagerHandler = handler;
}

void DialogUsageManager::setClientPagerMessageHandler(ClientPagerMessageHandler* handler) {
    m_state->clientPagerHandler = handler;
}

void DialogUsageManager::addServerSubscriptionHandler(const Data& eventType,
                                                      ServerSubscriptionHandler* handler) {
    m_state->subscriptionHandlers[eventType.str()] = handler;
}

void DialogUsageManager::setInviteSessionHandler(InviteSessionHandler* handler) {
    m_state->inviteHandler = handler;
}

void DialogUsageManager::addClientPublicationHandler(const Data& eventType,
                                                     ClientPublicationHandler* handler) {
    m_state->publicationHandlers[eventType.str()] = handler;
}

std::shared_ptr<SipMessage> DialogUsageManager::makeRegistration(const NameAddr& target) {
    nua_handle_t* nh = m_state->newHandle(target);
    std::shared_ptr<ClientRegistration> usage(new ClientRegistration(*this, nh, target));
    m_state->usages[keyOf(usage, nh)] = usage;
    auto request = std::make_shared<SipMessage>(detail::MessageAccess::request("REGISTER", target));
    std::weak_ptr<ClientRegistration> weak = usage;
    detail::MessageAccess::setSend(*request, [weak] {
        if (auto registration = weak.lock())
            registration->start();
    });
    return request;
}

std::shared_ptr<SipMessage> DialogUsageManager::makeInviteSession(const NameAddr& target,
                                                                  const SdpContents& offer) {
    nua_handle_t* nh = m_state->newHandle(target, detail::StackCore::sessionMarker());
    std::shared_ptr<ClientInviteSession> usage(
        new ClientInviteSession(*this, nh, target, offer.getBodyData()));
    m_state->usages[keyOf(usage, nh)] = usage;
    auto request = std::make_shared<SipMessage>(detail::MessageAccess::request("INVITE", target, &offer));
    std::weak_ptr<ClientInviteSession> weak = usage;
    detail::MessageAccess::setSend(*request, [weak] {
        if (auto session = weak.lock())
            session->start();
    });
    return request;
}

ClientPagerMessageHandle DialogUsageManager::makePagerMessage(const NameAddr& target) {
    nua_handle_t* nh = m_state->newHandle(target);
    std::shared_ptr<ClientPagerMessage> usage(new ClientPagerMessage(*this, nh, target));
    m_state->usages[keyOf(usage, nh)] = usage;
    return ClientPagerMessageHandle(usage);
}

std::vector<ClientRegistrationHandle> DialogUsageManager::getClientRegistrations() const {
    std::vector<ClientRegistrationHandle> registrations;
    for (const auto& entry : m_state->usages)
        if (auto registration = std::dynamic_pointer_cast<ClientRegistration>(entry.second);
            registration && !registration->retired())
            registrations.emplace_back(registration);
    return registrations;
}

void DialogUsageManager::send(std::shared_ptr<SipMessage> message) {
    if (message)
        detail::MessageAccess::send(*message);
}

void DialogUsageManager::applyToAllServerSubscriptions(ServerSubscriptionFunctor* functor) {
    std::vector<ServerSubscriptionHandle> subscriptions;
    for (const auto& entry : m_state->usages)
        if (auto subscription = std::dynamic_pointer_cast<ServerSubscription>(entry.second))
            subscriptions.emplace_back(subscription);
    for (const ServerSubscriptionHandle& handle : subscriptions)
        if (handle.isValid())
            functor->apply(handle);
}

bool DialogUsageManager::process() {
    m_state->retired.clear();
    m_state->publishTexts();
    m_state->core.followFlood();
    std::unique_ptr<Event> event = m_state->core.pop();
    if (!event) {
        const bool delivered = !m_state->shutdownDelivered;
        checkShutdown();
        return delivered && m_state->shutdownDelivered;
    }
    m_state->core.answered(*event);
    if (event->call) {
        event->call();
    } else if (event->type == nua_r_shutdown) {
        if (event->status >= 200)
            m_state->core.shutdownComplete = true;
    } else if (event->type == nua_i_network_changed) {
        if (event->status >= 300 && ++m_state->failedReopenings < kReopenAttempts) {
            auto again = std::make_unique<Event>();
            again->call = [&core = m_state->core] { core.repeatNetworkChange(); };
            m_state->core.post(std::move(again), kReopenPause);
            return true;
        }
        m_state->failedReopenings = 0;
        std::vector<std::shared_ptr<ClientRegistration>> waiting;
        for (const auto& [key, usage] : m_state->usages)
            if (auto registration = std::dynamic_pointer_cast<ClientRegistration>(usage))
                waiting.push_back(registration);
        for (const auto& registration : waiting)
            registration->rejoinAfterNetworkChange();
        if (m_state->core.networkChanged)
            m_state->core.networkChanged();
    } else if (restarted(*event)) {
        // The stack sends the request again by itself (with an answer to a challenge, say): no news.
    } else if (m_state->answerChallenge(*event)) {
        // Answered the library's way: the stack sends the request again.
    } else if (event->nh || event->answered == 200) {
        // A text taken outside any dialog may come without a handle of the stack's.
        auto found = event->nh ? m_state->usages.find(event->nh) : m_state->usages.end();
        if (found != m_state->usages.end()) {
            std::shared_ptr<Usage> usage = found->second;
            usage->dispatch(event);
        } else if (event->newHandle || event->answered == 200) {
            // A text the stack's thread took in a session that has ended meanwhile is shown all the same.
            adopt(std::move(event));
        }
    }
    checkShutdown();
    return true;
}

// The first event of a handle the stack made for an incoming request: a new usage, or an answer here.
void DialogUsageManager::adopt(std::unique_ptr<Event> event) {
    DumState& s = *m_state;
    nua_handle_t* nh = event->nh;
    const sip_t* sip = event->sip();
    auto keep = [&](std::shared_ptr<Usage> usage) {
        s.usages[nh] = usage;
        return usage;
    };
    const bool isRequest = event->type == nua_i_invite || event->type == nua_i_message ||
                           event->type == nua_i_info || event->type == nua_i_subscribe ||
                           event->type == nua_i_options || event->type == nua_i_method;
    if (!isRequest) {
        s.core.destroyHandle(nh);
        return;
    }
    // Texts come answered (ReceivedTexts.cpp): only those taken come here, each to be shown.
    if (event->type == nua_i_message) {
        if (event->answered != 200 || !s.serverPagerHandler)
            return s.core.destroyHandle(nh);
        SipMessage text = event->message();
        detail::MessageAccess::charge(text, std::move(event->charge));
        // The stack's thread let go of the handle of a text outside a dialog as it answered it.
        nua_handle_t* own = event->newHandle ? nullptr : nh;
        std::shared_ptr<ServerPagerMessage> usage(new ServerPagerMessage(*this, own, std::move(event)));
        s.usages[keyOf(usage, own)] = usage;
        s.serverPagerHandler->onMessageArrived(usage->getHandle(), text);
        return;
    }
    if (s.shutdownHandler) {
        nua_respond(nh, SIP_503_SERVICE_UNAVAILABLE, NUTAG_WITH_SAVED(event->saved), TAG_END());
        s.core.destroyHandle(nh);
        return;
    }
    const bool addressed = event->type == nua_i_message || event->type == nua_i_invite ||
                           event->type == nua_i_subscribe;
    if (addressed && detail::forSomebodyElse(s, sip)) {
        nua_respond(nh, SIP_404_NOT_FOUND, NUTAG_WITH_SAVED(event->saved), TAG_END());
        s.core.destroyHandle(nh);
        return;
    }
    switch (event->type) {
        case nua_i_options: {
            // The stack adds the session's body type (application/sdp) itself.
            std::string accept;
            for (MethodType method : {MESSAGE, INFO, NOTIFY}) {
                const std::string types = detail::acceptFor(*s.profile, method);
                if (!types.empty() && accept.find(types) == std::string::npos)
                    accept += (accept.empty() ? "" : ", ") + types;
            }
            const std::string allow = s.profile->getAllowedMethodsText().str();
            // No extension is supported: an empty Supported says so (RFC 3261 11.2).
            nua_respond(nh, SIP_200_OK, NUTAG_WITH_SAVED(event->saved), SIPTAG_ALLOW_STR(allow.c_str()),
                        SIPTAG_ACCEPT_STR(accept.c_str()), SIPTAG_SUPPORTED_STR(""), TAG_END());
            s.core.destroyHandle(nh);
            return;
        }
        case nua_i_info:
            nua_respond(nh, SIP_481_NO_TRANSACTION, NUTAG_WITH_SAVED(event->saved), TAG_END());
            s.core.destroyHandle(nh);
            return;
        case nua_i_invite:
            if (!s.inviteHandler)
                break;
            if (!detail::bodyAcceptable(s, nh, *event, INVITE)) {
                s.core.destroyHandle(nh);
                return;
            } else if (detail::countUsages<ServerInviteSession>(s) >= guard::kMaxIncomingSessions) {
                detail::refuse(nh, *event);
                s.core.destroyHandle(nh);
                return;
            } else {
                const SipMessage invite = event->message();
                std::shared_ptr<ServerInviteSession> usage(
                    new ServerInviteSession(*this, nh, std::move(event)));
                keep(usage);
                const auto* offer = dynamic_cast<const SdpContents*>(invite.getContents());
                s.inviteHandler->onNewSession(
                    usage->getHandle(), offer ? InviteSessionHandler::Offer : InviteSessionHandler::None,
                    invite);
                if (offer && !usage->retired())
                    s.inviteHandler->onOffer(usage->getSessionHandle(), invite, *offer);
                return;
            }
        case nua_i_subscribe: {
            const std::string eventType =
                sip && sip->sip_event && sip->sip_event->o_type ? sip->sip_event->o_type : "";
            auto handler = s.subscriptionHandlers.find(eventType);
            if (handler == s.subscriptionHandlers.end()) {
                const std::string events = allowEvents(s);
                nua_respond(nh, SIP_489_BAD_EVENT, NUTAG_WITH_SAVED(event->saved),
                            TAG_IF(!events.empty(), SIPTAG_ALLOW_EVENTS_STR(events.c_str())), TAG_END());
                s.core.destroyHandle(nh);
                return;
            }
            if (detail::countUsages<ServerSubscription>(s) >= guard::kMaxSubscriptions) {
                detail::refuse(nh, *event);
                s.core.destroyHandle(nh);
                return;
            }
            if ((!sip || !sip->sip_expires) && !handler->second->hasDefaultExpires()) {
                nua_respond(nh, 400, "Missing Expires", NUTAG_WITH_SAVED(event->saved), TAG_END());
                s.core.destroyHandle(nh);
                return;
            }
            const SipMessage subscribe = event->message();
            std::shared_ptr<ServerSubscription> usage(
                new ServerSubscription(*this, nh, std::move(event), *handler->second, Data(eventType)));
            keep(usage);
            handler->second->onNewSubscription(usage->getHandle(), subscribe);
            return;
        }
        default:
            break;
    }
    const std::string allow = s.profile->getAllowedMethodsText().str();
    nua_respond(nh, SIP_405_METHOD_NOT_ALLOWED, NUTAG_WITH_SAVED(event->saved),
                SIPTAG_ALLOW_STR(allow.c_str()), TAG_END());
    s.core.destroyHandle(nh);
}

void DialogUsageManager::shutdown(DumShutdownHandler* handler) {
    m_state->shutdownHandler = handler;
    m_state->publishTexts();
}

// Once shutdown was asked for and every usage has ended, the stack is shut down (not before: requests
// handed to it after its shutdown began would be refused), and its completion is reported.
void DialogUsageManager::checkShutdown() {
    DumState& s = *m_state;
    if (!s.shutdownHandler || s.shutdownDelivered || !s.usages.empty())
        return;
    if (s.running() && !s.core.shutdownComplete) {
        if (!s.core.shutdownRequested)
            s.core.shutdown();
        return;
    }
    s.shutdownDelivered = true;
    s.shutdownHandler->onDumCanBeDeleted();
}

}  // namespace sip
