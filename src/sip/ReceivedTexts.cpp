// SPDX-License-Identifier: MIT
// Received texts, answered in the stack's thread in the pass of its loop that read them: 415 with Accept
// for a body type we do not take, 404 for another user, 405 when nothing takes texts, 503 (with
// Retry-After over the held-text budget) while shutting down, 200 otherwise; a text taken goes on to the
// user-interface thread, whose handler finds it answered and shows it. The answer comes from what that
// thread last published (publishTexts), never from its objects themselves.
//
//   peer               stack's thread            user-interface thread
//     | MESSAGE             |                            |
//     |-------------------->|  decided, answered         |
//     |        200          |                            |
//     |<--------------------|  queued                    |
//     |                     |--------------------------->|  onMessageArrived: the box opens
//
// Also here: the texts answered lately, which tell a peer's repeat of a text (its 200 was lost) from a new
// one, and the stack's transaction timers through a flood (StackCore.h), decided in the user-interface
// thread, which makes the requests of our own that they must not cut short.
#include "sip/DumState.h"
#include "sip/PeerGuards.h"
#include "sip/ReplacedFunctions.h"
#include "sip/StackCore.h"

#include <sofia-sip/nta_tag.h>
#include <sofia-sip/sip_status.h>

#include <random>

namespace sip::detail {
namespace {

using Clock = std::chrono::steady_clock;

// A peer sends a request again for 64 times the retransmission interval at most (RFC 3261 17.1.2.2).
constexpr std::chrono::seconds kRepeatWindow{32};
// The texts remembered at most: a flood of 2,000 a second for the whole window.
constexpr std::size_t kMaxAnsweredTexts = 65536;
// The stack's own lifetime of a transaction, 64 times the retransmission interval.
constexpr std::chrono::milliseconds kStackTransactionLife{32000};
// How often the arrivals are counted.
constexpr std::chrono::milliseconds kFloodWindow{250};

// Through the stack's handle, or for a text that has none, through its transaction with what the stack
// would have added: our User-Agent and Allow.
void reply(const TextPolicy* policy, const Event& request, int status, const char* phrase,
           tag_type_t header = nullptr, const std::string& value = std::string()) {
    const tag_type_t extra = header && !value.empty() ? header : tag_skip;
    const auto extraValue = reinterpret_cast<tag_value_t>(value.c_str());
    if (!request.irq) {
        nua_respond(request.nh, status, phrase, NUTAG_WITH_SAVED(request.saved), extra, extraValue,
                    TAG_END());
        return;
    }
    const bool allow = policy && !policy->allow.empty() && header != siptag_allow_str;
    nta_incoming_treply(request.irq, status, phrase,
                        TAG_IF(policy && !policy->userAgent.empty(),
                               SIPTAG_USER_AGENT_STR(policy ? policy->userAgent.c_str() : nullptr)),
                        TAG_IF(allow, SIPTAG_ALLOW_STR(allow ? policy->allow.c_str() : nullptr)), extra,
                        extraValue, TAG_END());
}

}  // namespace

TextCharge::TextCharge(std::shared_ptr<HeldTexts> held, std::size_t cost)
    : m_held(std::move(held)), m_cost(cost) {
    m_held->bytes += m_cost;
}

TextCharge::~TextCharge() {
    m_held->bytes -= m_cost;
}

AnsweredTexts::AnsweredTexts() : m_salt(std::random_device()()) {}

// FNV-1a over the four, each ended by a byte no header value holds, from a seed of this run's own.
std::uint64_t AnsweredTexts::key(const sip_t* request) const {
    std::uint64_t hash = 14695981039346656037ULL ^ m_salt;
    auto add = [&hash](std::string_view text) {
        for (const char c : text) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 1099511628211ULL;
        }
        hash *= 1099511628211ULL;
    };
    add(request->sip_call_id && request->sip_call_id->i_id ? request->sip_call_id->i_id : "");
    add(request->sip_cseq ? std::to_string(request->sip_cseq->cs_seq) : "");
    add(request->sip_from && request->sip_from->a_tag ? request->sip_from->a_tag : "");
    add(request->sip_via && request->sip_via->v_branch ? request->sip_via->v_branch : "");
    return hash;
}

void AnsweredTexts::forgetOld(Clock::time_point now) {
    while (!m_order.empty() &&
           (now - m_order.front().first >= kRepeatWindow || m_order.size() > kMaxAnsweredTexts)) {
        m_keys.erase(m_order.front().second);
        m_order.pop_front();
    }
}

bool AnsweredTexts::contains(const sip_t* request, Clock::time_point now) {
    forgetOld(now);
    return m_keys.count(key(request)) > 0;
}

void AnsweredTexts::add(const sip_t* request, Clock::time_point now) {
    const std::uint64_t added = key(request);
    if (!m_keys.insert(added).second)
        return;
    m_order.emplace_back(now, added);
    forgetOld(now);
}

bool answerText(StackCore::Shared& shared, Event& event) {
    const sip_t* request = event.sip();
    nua_handle_t* nh = event.nh;
    if (!request || (!nh && !event.irq))
        return true;
    std::shared_ptr<const TextPolicy> policy;
    {
        const std::lock_guard<std::mutex> lock(shared.policyMutex);
        policy = shared.policy;
    }
    // For the answers below.
    auto respond = [&policy, &event](int status, const char* phrase, tag_type_t header = nullptr,
                                     const std::string& value = std::string()) {
        reply(policy.get(), event, status, phrase, header, value);
    };
    const auto now = Clock::now();
    // Taken already and sent again because our 200 was lost: the same answer, and no second box.
    if (shared.answered.contains(request, now)) {
        respond(SIP_200_OK);
        if (event.newHandle && nh)
            nua_handle_destroy(nh);
        return false;
    }
    const std::string retryAfter = std::to_string(guard::kRetryAfterSeconds);
    // Outside a dialog the request must be for us and for a handler; inside a message session it is.
    const bool outside = event.newHandle;
    const std::size_t cost =
        (request->sip_payload ? request->sip_payload->pl_len : 0) + guard::kHeldTextOverhead;
    if (!policy) {
        respond(SIP_503_SERVICE_UNAVAILABLE, siptag_retry_after_str, retryAfter);
    } else if (outside && policy->shuttingDown) {
        respond(SIP_503_SERVICE_UNAVAILABLE);
    } else if (outside && forSomebodyElse(policy->profile, policy->ownContact, request)) {
        respond(SIP_404_NOT_FOUND);
    } else if (outside && (!policy->pagerHandler || !policy->profile.isMethodSupported(MESSAGE))) {
        respond(SIP_405_METHOD_NOT_ALLOWED, siptag_allow_str, policy->allow);
    } else if (!bodyTaken(policy->profile, MESSAGE, request)) {
        respond(SIP_415_UNSUPPORTED_MEDIA, siptag_accept_str, acceptFor(policy->profile, MESSAGE));
    } else if (shared.held->bytes + cost > guard::kHeldTextBytes) {
        respond(SIP_503_SERVICE_UNAVAILABLE, siptag_retry_after_str, retryAfter);
    } else {
        respond(SIP_200_OK);
        event.answered = 200;
        event.charge = std::make_shared<TextCharge>(shared.held, cost);
        shared.answered.add(request, now);
    }
    // The handle of a request outside a dialog serves nothing more once it is answered: the usage a text
    // taken gets needs only the event, which keeps the handle's memory until it goes.
    if (outside && nh)
        nua_handle_destroy(nh);
    return event.answered == 200;
}

void StackCore::publishTexts(std::shared_ptr<const TextPolicy> policy) {
    const std::lock_guard<std::mutex> lock(m_shared->policyMutex);
    m_shared->policy = std::move(policy);
}

void StackCore::ownRequest(nua_handle_t* nh) {
    if (!nh || !nua)
        return;
    ++m_flood.waiting[nh];
    if (!m_flood.shortened)
        return;
    m_flood.shortened = false;
    const std::chrono::milliseconds life = transactionTimeout.value_or(kStackTransactionLife);
    nua_set_params(nua, NTATAG_SIP_T1X64(static_cast<unsigned>(life.count())), TAG_END());
}

void StackCore::answered(const Event& event) {
    const bool request =
        event.type == nua_r_register || event.type == nua_r_unregister || event.type == nua_r_message ||
        event.type == nua_r_invite || event.type == nua_r_bye || event.type == nua_r_cancel ||
        event.type == nua_r_notify || event.type == nua_r_subscribe || event.type == nua_r_unsubscribe;
    if (!request || event.status < 200 || !event.nh)
        return;
    // The stack's own refreshes are answered too, without a request of ours counted: none goes below 0.
    if (auto found = m_flood.waiting.find(event.nh); found != m_flood.waiting.end() && --found->second == 0)
        m_flood.waiting.erase(found);
}

void StackCore::followFlood() {
    const auto now = Clock::now();
    if (!nua || m_stopping || now - m_flood.windowStart < kFloodWindow)
        return;
    const unsigned arrived = m_shared->requestsArrived.load(std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(now - m_flood.windowStart).count();
    const bool busy = arrived - m_flood.arrivedBefore >= guard::kFloodRequestsPerSecond * seconds;
    m_flood.arrivedBefore = arrived;
    m_flood.windowStart = now;
    if (busy)
        m_flood.lastBusy = now;
    const std::chrono::milliseconds life = transactionTimeout.value_or(kStackTransactionLife);
    if (!m_flood.shortened && busy && m_flood.waiting.empty() && guard::kFloodTransactionLife < life) {
        m_flood.shortened = true;
        nua_set_params(nua, NTATAG_SIP_T1X64(static_cast<unsigned>(guard::kFloodTransactionLife.count())),
                       TAG_END());
    } else if (m_flood.shortened && now - m_flood.lastBusy >= guard::kQuietAfterFlood) {
        m_flood.shortened = false;
        nua_set_params(nua, NTATAG_SIP_T1X64(static_cast<unsigned>(life.count())), TAG_END());
    }
}

}  // namespace sip::detail

// Where the stack takes each request that comes to the program: to a dialog of its own or, outside any,
// to its default handle. A plain text outside any dialog (a MESSAGE for a sip or sips address without a
// To tag, and nothing Required) is answered here instead, in the stack's thread of our own and in the pass
// of its loop that read it, and queued for the user-interface thread with its request; the stack makes no
// handle for it and sends no event. Its answer is what the stack would have sent: the same decision as
// for any other text (answerText) and the stack's To tag, User-Agent and Allow. Anything else, and
// anything in a thread that runs no stack of ours, goes on to the stack. Checked against sofia-sip 1.12.11
// (nua_server.c): the stack itself answers a request like that one only by what it finds in its headers.
extern "C" int nua_stack_process_request(nua_handle_t* nh, nta_leg_t* leg, nta_incoming_t* irq,
                                         const sip_t* sip) {
    using Real = int (*)(nua_handle_t*, nta_leg_t*, nta_incoming_t*, const sip_t*);
    static const Real real = sip::replaced::libraryOwn<Real>("nua_stack_process_request");
    sip::detail::StackCore::Shared* shared = sip::detail::stackOfThisThread();
    const bool plainText =
        sip && sip->sip_request && sip->sip_request->rq_method == sip_method_message &&
        (sip->sip_request->rq_url->url_type == url_sip || sip->sip_request->rq_url->url_type == url_sips) &&
        sip->sip_to && !sip->sip_to->a_tag && !sip->sip_require;
    if (!shared || !plainText || !sip::replaced::inUse(sip::replaced::Family::TextsOutsideDialogs)) {
        if (!real)
            return 500;
        return real(nh, leg, irq, sip);
    }
    shared->requestsArrived.fetch_add(1, std::memory_order_relaxed);
    auto event = std::make_unique<sip::detail::Event>();
    event->type = nua_i_message;
    event->status = 100;
    event->phrase = "Trying";
    event->newHandle = true;
    event->request = nta_incoming_getrequest(irq);
    event->irq = irq;
    nta_incoming_tag(irq, nullptr);
    const bool taken = sip::detail::answerText(*shared, *event);
    event->irq = nullptr;
    nta_incoming_destroy(irq);
    if (!taken)
        return 0;
    sip::detail::keepRunwayResident();
    // The transaction lets go of its reference here, in the stack's thread, the event of its own in the
    // user-interface thread: the count between them is kept under the message's lock from now on.
    su_home_threadsafe(msg_home(event->request));
    // Its 200 has left already.
    sip::detail::queueForUi(*shared, std::move(event), false);
    return 0;
}
