// SPDX-License-Identifier: MIT
// The stack: sofia-sip's nua in the stack's thread, its event queue, the opening of the one transport,
// and the end of the stack's thread. See StackCore.h for the threading.
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
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
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
// How long the end of the stack's thread is waited for once it was asked to end.
constexpr std::chrono::milliseconds kThreadEndWait{1000};

}  // namespace

// The GLib source through which the stack's thread wakes the user-interface thread: ready at once when
// armed, it calls the application's wake-up there and disarms.
struct WakeSource {
    GSource source;
    StackCore* core;
    StackCore::Shared* shared;
};

namespace {

// Set in a stack's thread once its stack is made.
thread_local StackCore::Shared* thisThreadsStack = nullptr;

gboolean dispatchWake(GSource* source, GSourceFunc, gpointer);

// The stack's memory comes from a heap of its thread's own, which the C library extends a page at a time,
// each time with a system call: over UDP, where every answered request is kept for its transaction's
// lifetime, that was two calls for every text, before its 200. The heap is extended once, a second after
// the start (not before the first REGISTER, which it would hold up by a few milliseconds), and its pages
// are handed back at once: only the reservation stays.
constexpr su_duration_t kArenaReserveAfterMs = 1000;
constexpr std::size_t kArenaReserveBlocks = 256;
constexpr std::size_t kArenaReserveBlockBytes = 60 * 1024;

void reserveArena() {
    std::vector<void*> blocks;
    blocks.reserve(kArenaReserveBlocks);
    for (std::size_t i = 0; i < kArenaReserveBlocks; ++i)
        blocks.push_back(std::malloc(kArenaReserveBlockBytes));
    for (void* block : blocks)
        std::free(block);
}

}  // namespace

// Each text held for its transaction's lifetime takes fresh pages at the top of that heap, and the C library
// gives the top back to the system once it is free: the next text, whose 200 waits, took the faults (two a
// text, measured over UDP). A block touched and freed after each answer takes them behind the 200 instead.
// Under AddressSanitizer a freed block is never handed out again soon, so there it would only cost.
#if defined(__SANITIZE_ADDRESS__)
#define CHIMELY_HEAP_RUNWAY 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHIMELY_HEAP_RUNWAY 0
#endif
#endif
#ifndef CHIMELY_HEAP_RUNWAY
#define CHIMELY_HEAP_RUNWAY 1
#endif

void keepRunwayResident() {
    if constexpr (CHIMELY_HEAP_RUNWAY) {
        constexpr std::size_t kRunwayBytes = 64 * 1024;
        constexpr std::size_t kPage = 4096;
        auto* block = static_cast<volatile char*>(std::malloc(kRunwayBytes));
        if (!block)
            return;
        for (std::size_t at = 0; at < kRunwayBytes; at += kPage)
            block[at] = 0;
        std::free(const_cast<char*>(block));
    }
}

namespace {

GSourceFuncs kWakeFuncs = {nullptr, nullptr, dispatchWake, nullptr, nullptr, nullptr};

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

namespace {

gboolean dispatchWake(GSource* source, GSourceFunc, gpointer) {
    // Disarmed first: an event queued from here on arms it again.
    auto* wake = reinterpret_cast<WakeSource*>(source);
    g_source_set_ready_time(source, -1);
    wake->shared->wakeArmed = false;
    if (wake->core->wake)
        wake->core->wake();
    return G_SOURCE_CONTINUE;
}

// Runs the closure a message carries, in the thread of the root it was sent to.
void runClosure(su_root_magic_t*, su_msg_r message, su_msg_arg_t* argument) {
    std::function<void()>* call = nullptr;
    std::memcpy(&call, argument, sizeof call);
    if (call && *call)
        (*call)();
    (void)message;
}

void wakeLater(su_root_magic_t*, su_msg_r, su_msg_arg_t* argument) {
    StackCore::Shared* shared = nullptr;
    std::memcpy(&shared, argument, sizeof shared);
    g_source_set_ready_time(&shared->wake->source, 0);
}

void deleteClosure(su_msg_arg_t* argument) {
    std::function<void()>* call = nullptr;
    std::memcpy(&call, argument, sizeof call);
    delete call;
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
    if (request)
        msg_destroy(request);
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
    if (request)
        return request;
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

void MessageAccess::charge(SipMessage& message, std::shared_ptr<TextCharge> charge) {
    std::shared_ptr<const Contents> contents =
        message.m_contents ? message.m_contents : std::make_shared<PlainContents>(message.m_body);
    const Contents* view = contents.get();
    message.m_contents = std::shared_ptr<const Contents>(
        view, [contents = std::move(contents), charge = std::move(charge)](const Contents*) mutable {
            charge.reset();
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

nua_hmagic_t* StackCore::sessionMarker() {
    static char mark;
    return reinterpret_cast<nua_hmagic_t*>(&mark);
}

StackCore::StackCore() : m_shared(std::make_unique<Shared>()) {
    initialiseSofia();
    auto* wake = reinterpret_cast<WakeSource*>(g_source_new(&kWakeFuncs, sizeof(WakeSource)));
    wake->core = this;
    wake->shared = m_shared.get();
    m_shared->wake = wake;
    g_source_attach(&wake->source, nullptr);
}

StackCore::~StackCore() {
    stop();
    m_queue.clear();
    m_delayed.clear();
    if (!m_shared)
        return;  // The stack's thread never ended: what it uses stays, and the process is ending.
    g_source_destroy(&m_shared->wake->source);
    g_source_unref(&m_shared->wake->source);
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
    // A port we cannot have is found before the stack tries it: a stack that fails to open its
    // transports leaves its root's event port behind (three descriptors and some 3 kB each time).
    if (std::optional<std::string> taken = probe()) {
        m_error = *taken;
        return false;
    }
    if (beforeStart)
        beforeStart();
    using std::chrono::milliseconds;
    // The stack is made in its own thread, where it runs from then on; this waits for the outcome.
    Shared* shared = m_shared.get();
    shared->connectionIdle = connectionIdle;
    const bool tls = transport->tls;
    std::promise<nua_t*> created;
    m_thread = std::thread([&, shared, tls] {
        su_root_t* root = su_root_create(nullptr);
        nua_t* made = nullptr;
        if (root) {
            su_root_threading(root, 0);
            // Over TLS the server's certificate chain is checked against what the system and the user
            // trust, and its names against the host the request goes to.
            made = nua_create(
                root, &StackCore::callback, shared, NUTAG_URL(url.c_str()), NUTAG_MEDIA_ENABLE(0),
                // On a change of addresses or routes the stack opens its transports again and refreshes the
                // registrations from the new ones (NetworkWatch.cpp).
                NUTAG_DETECT_NETWORK_UPDATES(NUA_NW_DETECT_TRY_FULL),
                TAG_IF(m_tlsFiles, NUTAG_CERTIFICATE_DIR(m_tlsFiles ? m_tlsFiles->path().c_str() : nullptr)),
                TAG_IF(m_tlsFiles, TPTAG_TLS_VERIFY_POLICY(TPTLS_VERIFY_SUBJECTS_OUT)),
                TAG_IF(m_tlsFiles, TPTAG_TLS_VERIFY_DEPTH(kTlsVerifyDepth)),
                TAG_IF(transactionTimeout,
                       NTATAG_SIP_T1X64(transactionTimeout ? transactionTimeout->count() : 0)),
                TPTAG_IDLE(static_cast<unsigned>(connectionIdle.count())),
                TPTAG_TIMEOUT(static_cast<unsigned>(milliseconds(guard::kIncompleteMessage).count())),
                TPTAG_UDP_RMEM(guard::kUdpReceiveBuffer), TAG_END());
        }
        shared->root = made ? root : nullptr;
        shared->nua = made;
        thisThreadsStack = made ? shared : nullptr;
        if (made && tls) {
            shared->quietSweep = su_timer_create(su_root_task(root), kQuietSweepMs);
            su_timer_set_for_ever(
                shared->quietSweep,
                [](su_root_magic_t*, su_timer_t*, su_timer_arg_t* argument) {
                    closeQuietConnections(reinterpret_cast<Shared*>(argument)->connectionIdle);
                },
                reinterpret_cast<su_timer_arg_t*>(shared));
        }
        created.set_value(made);
        if (!made) {
            if (root)
                su_root_destroy(root);
            return;
        }
        su_timer_t* reserve = su_timer_create(su_root_task(root), kArenaReserveAfterMs);
        su_timer_set(
            reserve, [](su_root_magic_t*, su_timer_t*, su_timer_arg_t*) { reserveArena(); }, nullptr);
        su_root_run(root);
        su_timer_destroy(reserve);
        if (shared->quietSweep)
            su_timer_destroy(shared->quietSweep);
        // Only a stack that has shut down may be destroyed; one that has not keeps its root, and the
        // process is ending.
        if (shared->destroyAtEnd) {
            nua_destroy(made);
            su_root_destroy(root);
        }
        const std::lock_guard<std::mutex> lock(shared->endMutex);
        shared->ended = true;
        shared->endSignal.notify_all();
    });
    nua = created.get_future().get();
    if (!nua) {
        m_thread.join();
        m_error = probe().value_or(std::string(transport->name()) + " port " +
                                   std::to_string(transport->port) + " cannot be opened: it is in use");
        return false;
    }
    m_error.clear();
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
// family, does. Nothing when both families can have it.
std::optional<std::string> StackCore::probe() const {
    const char* name = transport->name();
    const std::string what = std::string(name) + " port " + std::to_string(transport->port);
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
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            const std::string reason = std::strerror(errno);
            close(fd);
            return what + " cannot be opened: " + reason;
        }
        close(fd);
    }
    return std::nullopt;
}

// The stack's thread.
void StackCore::callback(nua_event_t event, int status, const char* phrase, nua_t* nua, nua_magic_t* magic,
                         nua_handle_t* nh, nua_hmagic_t* hmagic, const sip_t* sip, tagi_t[]) {
    auto* shared = static_cast<Shared*>(magic);
    auto saved = std::make_unique<Event>();
    saved->type = event;
    saved->status = status;
    saved->phrase = phrase ? phrase : "";
    saved->hasSaved = nua_save_event(nua, saved->saved) != 0;
    if (nh) {
        saved->nh = nua_handle_ref(nh);
        if (!hmagic) {
            saved->newHandle = true;
            nua_handle_bind(nh, event == nua_i_invite ? sessionMarker() : marker());
        }
    }
    if (sip && sip->sip_request)
        shared->requestsArrived.fetch_add(1, std::memory_order_relaxed);
    const bool answered = event == nua_i_message && (saved->newHandle || hmagic == sessionMarker());
    if (answered && !answerText(*shared, *saved))
        return;
    queueForUi(*shared, std::move(saved), answered);
}

void queueForUi(StackCore::Shared& shared, std::unique_ptr<Event> event, bool answerQueued) {
    {
        const std::lock_guard<std::mutex> lock(shared.mutex);
        shared.events.push_back(std::move(event));
    }
    if (shared.wakeArmed.exchange(true))
        return;
    // A text's 200 leaves first: while it waits in the stack's queue, the wake-up goes behind it there, so
    // that the user-interface thread does not compete with it for the processor.
    StackCore::Shared* self = &shared;
    su_msg_r message = SU_MSG_R_INIT;
    if (!answerQueued ||
        su_msg_create(message, su_root_task(shared.root), su_task_null, wakeLater, sizeof self) != 0)
        return g_source_set_ready_time(&shared.wake->source, 0);
    std::memcpy(su_msg_data(message), &self, sizeof self);
    su_msg_send(message);
}

StackCore::Shared* stackOfThisThread() {
    return thisThreadsStack;
}

void StackCore::collect() {
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    while (!m_shared->events.empty()) {
        m_queue.push_back(std::move(m_shared->events.front()));
        m_shared->events.pop_front();
    }
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

void StackCore::inStack(std::function<void()> call) {
    if (!nua || m_stopped)
        return;
    su_msg_r message = SU_MSG_R_INIT;
    if (su_msg_create(message, su_root_task(m_shared->root), su_task_null, runClosure,
                      sizeof(std::function<void()>*)) != 0)
        return;
    auto* closure = new std::function<void()>(std::move(call));
    std::memcpy(su_msg_data(message), &closure, sizeof closure);
    su_msg_deinitializer(message, deleteClosure);
    su_msg_send(message);
}

void StackCore::letFirstRequestLeave(std::chrono::milliseconds limit) {
    if (m_firstRequestLeft || !nua || m_stopped)
        return;
    m_firstRequestLeft = true;
    // A message the stack drops unread breaks the promise, which ends the wait too.
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    inStack([taken] { taken->set_value(); });
    done.wait_for(limit);
}

void StackCore::destroyHandle(nua_handle_t* nh) {
    if (!nh || !nua || m_stopped)
        return;
    // Its requests go with it, answered or not.
    m_flood.waiting.erase(nh);
    nua_handle_destroy(nh);
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
    if (nua && !shutdownRequested)
        shutdown();
}

void StackCore::shutdown() {
    shutdownRequested = true;
    nua_shutdown(nua);
}

void StackCore::stop(std::chrono::milliseconds wait) {
    requestStop();
    if (m_stopped)
        return;
    if (!nua) {
        m_stopped = true;
        return;
    }
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
    endThread(kThreadEndWait);
    m_stopped = true;
    if (shutdownComplete && m_shared)
        nua = nullptr;
}

void StackCore::endThread(std::chrono::milliseconds wait) {
    Shared* shared = m_shared.get();
    shared->destroyAtEnd = shutdownComplete;
    su_root_t* root = shared->root;
    inStack([root] { su_root_break(root); });
    std::unique_lock<std::mutex> lock(shared->endMutex);
    if (shared->endSignal.wait_for(lock, wait, [shared] { return shared->ended; })) {
        lock.unlock();
        m_thread.join();
        // Whatever the stack reported last goes with its handles, before the stack itself.
        collect();
        m_queue.clear();
        return;
    }
    // The stack's thread does not answer: it keeps what it uses, and the process is ending.
    lock.unlock();
    m_thread.detach();
    static_cast<void>(m_shared.release());
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
