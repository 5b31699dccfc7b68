// SPDX-License-Identifier: MIT
// The stack: sofia-sip's nua on a GLib root in the user-interface thread, its event queue, the opening
// of the one transport, and the end of the stack's thread. See StackCore.h for the threading.
#include "sip/SipStack.h"

#include "sip/DumState.h"
#include "sip/PeerGuards.h"
#include "sip/SdpContents.h"
#include "sip/SipMessage.h"
#include "sip/StackCore.h"
#include "sip/Tls.h"

#include <sofia-sip/nta_tag.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/tport_tag.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

extern "C" {
extern su_log_t nua_log[];
extern su_log_t nta_log[];
extern su_log_t tport_log[];
extern su_log_t soa_log[];
extern su_log_t nea_log[];
extern su_log_t iptsec_log[];
extern su_log_t sresolv_log[];
}

namespace sip {
namespace detail {
namespace {

void quiet(void*, const char*, va_list) {}

// The stacks running now, by their nua, for the network watch of each (which knows only that).
struct RunningStacks {
    std::mutex mutex;
    std::map<const void*, StackCore*> byNua;
};

RunningStacks& runningStacks() {
    static RunningStacks stacks;
    return stacks;
}

// What the layer's own threads hand the user-interface thread.
struct Mailbox {
    std::mutex mutex;
    std::deque<std::function<void()>> calls;
};

// Never destroyed: a thread of the layer's may still deliver while the process ends.
Mailbox& mailbox() {
    static Mailbox* box = new Mailbox;
    return *box;
}

void drainMailbox() {
    for (;;) {
        std::function<void()> call;
        {
            Mailbox& box = mailbox();
            const std::lock_guard<std::mutex> lock(box.mutex);
            if (box.calls.empty())
                return;
            call = std::move(box.calls.front());
            box.calls.pop_front();
        }
        call();
    }
}

gboolean drainFromLoop(gpointer) {
    drainMailbox();
    return G_SOURCE_REMOVE;
}

gboolean networkChangedOnUiThread(gpointer nua) {
    StackCore* core = nullptr;
    {
        RunningStacks& stacks = runningStacks();
        const std::lock_guard<std::mutex> lock(stacks.mutex);
        if (auto found = stacks.byNua.find(nua); found != stacks.byNua.end())
            core = found->second;
    }
    if (core && core->networkChanging)
        core->networkChanging();
    return G_SOURCE_REMOVE;
}

// The program keeps no log: sofia-sip's own diagnostics are silenced unless CHIMELY_SIP_LOG is set.
void initialiseSofia() {
    static std::once_flag once;
    std::call_once(once, [] {
        su_init();
        if (std::getenv("CHIMELY_SIP_LOG"))
            return;
        for (su_log_t* log : {su_log_default, su_log_global, nua_log, nta_log, tport_log, soa_log, nea_log,
                              iptsec_log, sresolv_log})
            su_log_redirect(log, quiet, nullptr);
    });
}

// The chain depth a server's certificate is checked to (its own, intermediates, the root).
constexpr unsigned kTlsVerifyDepth = 5;
// How often the TLS connections peers opened are looked at for quiet ones.
constexpr su_duration_t kQuietSweepMs = 2000;

Data text(const char* value) {
    return Data(value ? value : "");
}

NameAddr nameAddr(su_home_t* home, const url_t* url, const char* display) {
    NameAddr result;
    if (!url)
        return result;
    char* uri = url_as_string(home, url);
    try {
        result = NameAddr(Uri(text(uri)));
    } catch (const std::exception&) {
        // A peer may use a URI of another scheme (tel:, say); the view then has no address.
    }
    if (display) {
        std::string name = display;
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < name.size(); ++i) {
                if (name[i] == '\\' && i + 2 < name.size())
                    ++i;
                unquoted += name[i];
            }
            name = unquoted;
        }
        // Quoted pairs and folded lines bring controls into the name; the handlers get blanks.
        result.displayName() = Data(guard::blankControls(name));
    }
    return result;
}

std::shared_ptr<const Contents> contentsFor(const Mime& type, const Data& body) {
    if (body.empty())
        return nullptr;
    // A CPIM wrapper's contents are those of the message it wraps (one level: a wrapper in a wrapper is
    // never accepted).
    if (type == CpimType()) {
        if (std::optional<CpimMessage> inner = UnwrapCpim(body); inner && !(inner->type == CpimType()))
            return inner->body.empty() ? std::make_shared<OctetContents>(inner->type, inner->body)
                                       : contentsFor(inner->type, inner->body);
    }
    if (type == PlainContents::getStaticType())
        return std::make_shared<PlainContents>(body);
    if (type == SdpContents::getStaticType()) {
        if (auto sdp = SdpContents::parse(body))
            return std::shared_ptr<const Contents>(std::move(sdp));
    }
    return std::make_shared<OctetContents>(type, body);
}

}  // namespace

void deliverOnUiThread(std::function<void()> call) {
    {
        Mailbox& box = mailbox();
        const std::lock_guard<std::mutex> lock(box.mutex);
        box.calls.push_back(std::move(call));
    }
    g_main_context_invoke(nullptr, drainFromLoop, nullptr);
}

void announceNetworkChange(const void* nua) {
    g_main_context_invoke(nullptr, networkChangedOnUiThread, const_cast<void*>(nua));
}

void StackCore::followNetworkChange() {
    if (nua && !m_stopping)
        nua_set_params(nua, NUTAG_DETECT_NETWORK_UPDATES(NUA_NW_DETECT_TRY_FULL), TAG_END());
}

void StackCore::repeatNetworkChange() {
    if (!nua || m_stopping)
        return;
    markNetworkChanged(nua);
    followNetworkChange();
}

Event::~Event() {
    if (hasSaved)
        nua_destroy_event(saved);
    if (nh)
        nua_handle_unref(nh);
}

const sip_t* Event::sip() const {
    msg_t* message = msg();
    return message ? sip_object(message) : nullptr;
}

const tagi_t* Event::tags() const {
    if (!hasSaved)
        return nullptr;
    const nua_event_data_t* data = nua_event_data(saved);
    return data ? data->e_tags : nullptr;
}

msg_t* Event::msg() const {
    if (!hasSaved)
        return nullptr;
    const nua_event_data_t* data = nua_event_data(saved);
    return data ? data->e_msg : nullptr;
}

SipMessage Event::message() const {
    return MessageAccess::fromMsg(msg(), status, phrase.c_str());
}

SipMessage MessageAccess::fromMsg(msg_t* msg, int status, const char* phrase) {
    const sip_t* sip = msg ? sip_object(msg) : nullptr;
    SipMessage m;
    m.m_statusCode = status;
    m.m_reasonPhrase = text(phrase);
    if (!sip)
        return m;
    su_home_t home[1] = {SU_HOME_INIT(home)};
    if (sip->sip_request) {
        m.m_request = true;
        m.m_statusCode = 0;
        m.m_reasonPhrase = Data();
        m.m_method = text(sip->sip_request->rq_method_name);
        m.m_requestUri = text(url_as_string(home, sip->sip_request->rq_url));
    } else {
        if (sip->sip_status) {
            m.m_statusCode = sip->sip_status->st_status;
            m.m_reasonPhrase = text(sip->sip_status->st_phrase);
        }
        if (sip->sip_cseq)
            m.m_method = text(sip->sip_cseq->cs_method_name);
    }
    if (sip->sip_from)
        m.m_from = nameAddr(home, sip->sip_from->a_url, sip->sip_from->a_display);
    if (sip->sip_to)
        m.m_to = nameAddr(home, sip->sip_to->a_url, sip->sip_to->a_display);
    for (const sip_contact_t* contact = sip->sip_contact; contact; contact = contact->m_next)
        if (contact->m_url->url_type != url_any)
            m.m_contacts.push_back(nameAddr(home, contact->m_url, contact->m_display));
    if (sip->sip_call_id)
        m.m_callId = text(sip->sip_call_id->i_id);
    if (sip->sip_expires)
        m.m_expires = static_cast<int>(std::min<unsigned long>(sip->sip_expires->ex_delta, INT_MAX));
    if (sip->sip_event)
        m.m_event = text(sip->sip_event->o_type);
    if (sip->sip_content_type)
        m.m_contentType = Mime::parse(text(sip->sip_content_type->c_type));
    if (sip->sip_payload && sip->sip_payload->pl_data)
        m.m_body = Data(sip->sip_payload->pl_data, sip->sip_payload->pl_len);
    m.m_contents = contentsFor(m.m_contentType, m.m_body);
    if (msg) {
        size_t size = 0;
        if (char* whole = msg_as_string(home, msg, nullptr, 0, &size))
            m.m_text = Data(whole, size);
    }
    su_home_deinit(home);
    return m;
}

SipMessage MessageAccess::request(const char* method, const NameAddr& target, const Contents* contents) {
    SipMessage m;
    m.m_request = true;
    m.m_method = method;
    m.m_requestUri = target.uri().toString();
    m.m_to = target;
    if (contents) {
        m.m_contentType = contents->getType();
        m.m_body = contents->getBodyData();
        m.m_contents = contents->clone();
    }
    return m;
}

SipMessage MessageAccess::response(int status, const char* phrase) {
    SipMessage m;
    m.m_statusCode = status;
    m.m_reasonPhrase = text(phrase);
    return m;
}

void MessageAccess::setSend(SipMessage& message, std::function<void()> send) {
    message.m_send = std::move(send);
}

void MessageAccess::charge(SipMessage& message, const std::shared_ptr<HeldTexts>& held, std::size_t cost) {
    std::shared_ptr<const Contents> contents =
        message.m_contents ? message.m_contents : std::make_shared<PlainContents>(message.m_body);
    held->bytes += cost;
    const Contents* view = contents.get();
    message.m_contents = std::shared_ptr<const Contents>(
        view, [contents = std::move(contents), held, cost](const Contents*) mutable {
            held->bytes -= cost;
            contents.reset();
        });
}

void MessageAccess::send(SipMessage& message) {
    auto send = std::move(message.m_send);
    message.m_send = nullptr;
    if (send)
        send();
}

nua_hmagic_t* StackCore::marker() {
    static char mark;
    return reinterpret_cast<nua_hmagic_t*>(&mark);
}

StackCore::StackCore() {
    initialiseSofia();
    m_root = su_glib_root_create(nullptr);
    m_source = su_glib_root_gsource(m_root);
    g_source_attach(m_source, nullptr);
}

StackCore::~StackCore() {
    if (m_quietSweep)
        su_timer_destroy(m_quietSweep);
    stop();
    m_queue.clear();
    m_delayed.clear();
    if (nua)
        return;  // The stack never finished its shutdown: it keeps the root, and the process is ending.
    su_root_destroy(m_root);
    g_source_destroy(m_source);
}

std::string StackCore::tlsTrustFile() const {
    return m_tlsFiles ? m_tlsFiles->trustFile() : std::string();
}

bool StackCore::start() {
    if (nua)
        return true;
    if (!transport) {
        m_error = "No transport was added.";
        return false;
    }
    // 0 asks for any free port; everything else outside 1 to 65535 names no port at all.
    if (transport->port < 0 || transport->port > 65535) {
        m_error = std::string(transport->name()) + " port " + std::to_string(transport->port) +
                  " cannot be opened: it is not a port number (1 to 65535)";
        return false;
    }
    // Host "*" without maddr: a socket on every address of both families, so that a request leaves on
    // its destination's family with that family's address in its Via and Contact.
    const std::string url = std::string(transport->tls ? "sips" : "sip") +
                            ":*:" + std::to_string(transport->port) +
                            (transport->tls   ? ""
                             : transport->tcp ? ";transport=tcp"
                                              : ";transport=udp");
    raiseDescriptorLimit();
    if (transport->tcp)
        guardInboundConnections(transport->port);
    if (transport->tls) {
        m_tlsFiles = std::make_unique<TlsFiles>(transport->caCertificates);
        if (!m_tlsFiles->error().empty()) {
            m_error = "TLS cannot be set up: " + m_tlsFiles->error();
            return false;
        }
    }
    using std::chrono::milliseconds;
    // Over TLS the server's certificate chain is checked against what the system and the user trust, and
    // its names against the host the request goes to.
    nua = nua_create(
        m_root, &StackCore::callback, this, NUTAG_URL(url.c_str()), NUTAG_MEDIA_ENABLE(0),
        // On a change of addresses or routes the stack opens its transports again and refreshes the
        // registrations from the new ones (NetworkWatch.cpp).
        NUTAG_DETECT_NETWORK_UPDATES(NUA_NW_DETECT_TRY_FULL),
        TAG_IF(m_tlsFiles, NUTAG_CERTIFICATE_DIR(m_tlsFiles ? m_tlsFiles->path().c_str() : nullptr)),
        TAG_IF(m_tlsFiles, TPTAG_TLS_VERIFY_POLICY(TPTLS_VERIFY_SUBJECTS_OUT)),
        TAG_IF(m_tlsFiles, TPTAG_TLS_VERIFY_DEPTH(kTlsVerifyDepth)),
        TAG_IF(transactionTimeout, NTATAG_SIP_T1X64(transactionTimeout ? transactionTimeout->count() : 0)),
        TPTAG_IDLE(static_cast<unsigned>(connectionIdle.count())),
        TPTAG_TIMEOUT(static_cast<unsigned>(milliseconds(guard::kIncompleteMessage).count())), TAG_END());
    if (!nua) {
        m_error = probe();
        return false;
    }
    m_error.clear();
    if (transport->tls) {
        m_quietSweep = su_timer_create(su_root_task(m_root), kQuietSweepMs);
        su_timer_set_for_ever(
            m_quietSweep,
            [](su_root_magic_t*, su_timer_t*, su_timer_arg_t* core) {
                closeQuietConnections(reinterpret_cast<StackCore*>(core)->connectionIdle);
            },
            this);
    }
    {
        RunningStacks& stacks = runningStacks();
        const std::lock_guard<std::mutex> lock(stacks.mutex);
        stacks.byNua[nua] = this;
    }
    if (onStarted)
        onStarted(nua);
    return true;
}

// sofia-sip gives no reason when it cannot open a transport: binding the same port ourselves, in either
// family, does.
std::string StackCore::probe() const {
    const char* name = transport->name();
    const std::string what = std::string(name) + " port " + std::to_string(transport->port);
    std::string reason = "it is in use";
    for (const int family : {AF_INET, AF_INET6}) {
        const int fd = socket(family, (transport->tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        sockaddr_storage address{};
        socklen_t length = sizeof(sockaddr_in);
        const auto port = htons(static_cast<std::uint16_t>(transport->port));
        if (family == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_port = port;
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = port;
            length = sizeof(sockaddr_in6);
        }
        const int one = 1;
        if (transport->tcp)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
        if (!bound)
            reason = std::strerror(errno);
        close(fd);
        if (!bound)
            break;
    }
    return what + " cannot be opened: " + reason;
}

void StackCore::callback(nua_event_t event, int status, const char* phrase, nua_t* nua, nua_magic_t* magic,
                         nua_handle_t* nh, nua_hmagic_t* hmagic, const sip_t*, tagi_t[]) {
    auto* core = static_cast<StackCore*>(magic);
    auto saved = std::make_unique<Event>();
    saved->type = event;
    saved->status = status;
    saved->phrase = phrase ? phrase : "";
    saved->hasSaved = nua_save_event(nua, saved->saved) != 0;
    if (nh) {
        saved->nh = nua_handle_ref(nh);
        if (!hmagic) {
            saved->newHandle = true;
            nua_handle_bind(nh, marker());
        }
    }
    core->m_queue.push_back(std::move(saved));
    if (core->wake)
        core->wake();
}

void StackCore::collect() {
    gint timeout = -1;
    if (m_source->source_funcs->prepare(m_source, &timeout))
        m_source->source_funcs->dispatch(m_source, nullptr, nullptr);
}

std::unique_ptr<Event> StackCore::pop() {
    drainMailbox();
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_delayed.begin(); it != m_delayed.end();) {
        if (it->due <= now) {
            m_queue.push_back(std::move(it->event));
            it = m_delayed.erase(it);
        } else {
            ++it;
        }
    }
    if (m_queue.empty())
        collect();
    if (m_queue.empty())
        return nullptr;
    std::unique_ptr<Event> event = std::move(m_queue.front());
    m_queue.pop_front();
    return event;
}

void StackCore::post(std::unique_ptr<Event> event, std::chrono::milliseconds delay) {
    if (delay.count() <= 0) {
        m_queue.push_back(std::move(event));
        if (wake)
            wake();
        return;
    }
    m_delayed.push_back({std::chrono::steady_clock::now() + delay, std::move(event)});
}

void StackCore::requestStop() {
    if (m_stopping)
        return;
    m_stopping = true;
    {
        RunningStacks& stacks = runningStacks();
        const std::lock_guard<std::mutex> lock(stacks.mutex);
        stacks.byNua.erase(nua);
    }
    // Nobody pumps any more: what the stack still reports is collected here, not by the application.
    wake = nullptr;
    if (releaseUsages)
        releaseUsages();
    m_queue.clear();
    m_delayed.clear();
    if (nua && !shutdownRequested) {
        shutdownRequested = true;
        nua_shutdown(nua);
    }
}

void StackCore::stop(std::chrono::milliseconds wait) {
    requestStop();
    if (m_stopped)
        return;
    m_stopped = true;
    if (!nua)
        return;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!shutdownComplete && std::chrono::steady_clock::now() < deadline) {
        collect();
        while (!m_queue.empty()) {
            std::unique_ptr<Event> event = std::move(m_queue.front());
            m_queue.pop_front();
            if (event->type == nua_r_shutdown && event->status >= 200)
                shutdownComplete = true;
        }
        if (!shutdownComplete)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!shutdownComplete)
        return;
    nua_destroy(nua);
    nua = nullptr;
}

}  // namespace detail

SipStack::SipStack() : m_core(std::make_unique<detail::StackCore>()) {}

SipStack::~SipStack() = default;

void SipStack::setConnectionIdle(std::chrono::milliseconds idle) {
    m_core->connectionIdle = idle;
}

void SipStack::setTransactionTimeout(std::chrono::milliseconds timeout) {
    m_core->transactionTimeout = timeout;
}

void SipStack::setWakeHandler(std::function<void()> wake) {
    m_core->wake = std::move(wake);
}

void SipStack::setNetworkHandler(std::function<void()> changed) {
    m_core->networkChanged = std::move(changed);
}

bool SipStack::isRunning() const {
    return m_core->running() && !m_core->stopped();
}

const std::string& SipStack::transportError() const {
    return m_core->error();
}

void StackThread::run() {
    m_stack.core().start();
}

void StackThread::shutdown() {
    m_stack.core().requestStop();
}

void StackThread::join(std::chrono::milliseconds wait) {
    m_stack.core().stop(wait);
}

}  // namespace sip
