// SPDX-License-Identifier: MIT
// Both address families in one stack: the transport of a request's family, and the registration's Contact
// of the family it registers over. sofia-sip binds both (SipStack.cpp) but chooses between them in two
// places the program defines (see each below). The stack's thread runs them; the layer sets the family of
// the next registration from the user-interface thread.
#include "sip/ReplacedFunctions.h"
#include "sip/Targets.h"

#include <sofia-sip/hostdomain.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/su_alloc.h>
#include <sofia-sip/tport.h>
#include <sofia-sip/url.h>

#include <sys/socket.h>

#include <dlfcn.h>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
typedef struct nua_registration_s nua_registration_t;
int nua_registration_add(nua_registration_t** list, nua_registration_t* registration);
void nua_registration_remove(nua_registration_t* registration);
}

namespace sip::detail {
namespace {

std::atomic<int> g_registrationFamily{0};

// The Contacts made from the transports' addresses, in the list of the stack whose thread this is: each
// stack's list is made and remade only in its own thread.
thread_local std::vector<nua_registration_t*> t_addressContacts;

}  // namespace

void setRegistrationFamily(int family) {
    g_registrationFamily = family;
}

void forgetAddressContacts() {
    for (nua_registration_t* contact : t_addressContacts)
        nua_registration_remove(contact);
    t_addressContacts.clear();
}

}  // namespace sip::detail

// sofia-sip picks the transport a request leaves on by the next hop's protocol and address family, but
// takes an IPv6 address in a URI's brackets ("sip:[2001:db8::1]", as the layer's next hops and addresses
// the user types are written) for no address at all, and so the first transport of the protocol: an IPv4
// one, from which sending to an IPv6 address fails ("Address family not supported"). The program
// defines the choice: the address without its brackets, then the stack's own. Checked against sofia-sip
// 1.12.11.
extern "C" tport_t* tport_primary_by_name(tport_t const* tp, tp_name_t const* tpn) {
    using Real = tport_t* (*)(tport_t const*, tp_name_t const*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tport_primary_by_name"));
    if (!real)
        return nullptr;
    const char* host = tpn ? tpn->tpn_host : nullptr;
    const std::size_t length = host ? std::strlen(host) : 0;
    if (length < 3 || host[0] != '[' || host[length - 1] != ']' ||
        !sip::replaced::inUse(sip::replaced::Family::TransportByName))
        return real(tp, tpn);
    const std::string bare(host + 1, length - 2);
    tp_name_t name = *tpn;
    name.tpn_host = bare.c_str();
    return real(tp, &name);
}

// The Contact sofia-sip makes for a REGISTER is the address of the first transport whose family suits
// the address of record's host: for a domain name, any family, and so the first address bound, IPv4 where
// the machine has one, whichever family the REGISTER leaves on. A registrar reached over IPv6 would bind
// an IPv4 Contact it may have no way to. The stack asks nua_registration_by_aor() for that transport with
// the address of record and no other hint; the program defines it so that, asked that way while the
// layer registers over a family it knows (setRegistrationFamily), it answers as for an address of that
// family, then as the stack would. Checked against sofia-sip 1.12.11.
// From the addresses the stack listens on, it makes the Contacts a registration may take. Where there is
// more than one it passes over the machine's own loopback addresses, except when one is the last address
// and none was taken before: it keeps one loopback address only, the last, which with both families bound
// is ::1. On a machine with loopback alone (a test's network namespace, a laptop with no network yet) the
// Contact would then be [::1] even for a registrar reached over 127.0.0.1, which cannot reach it. The
// program defines the function: the IPv4 loopback addresses go last, as they were when only IPv4 was
// bound, then the stack's own.
//
// When the network changes, the stack means to take the Contacts it made out of its list before it makes
// new ones, but its loop stops after the first: with both families bound there are several, and the next
// registration took one of the old ones, whose address may be gone. So the Contacts made here are kept
// track of, made into a list of their own and then moved to the stack's, and forgetAddressContacts()
// takes them all out before the change (NetworkWatch.cpp); the stack's loop then finds none. The library
// adds and removes them itself (nua_registration_add, nua_registration_remove); the program does not look
// inside them. Checked against sofia-sip 1.12.11.
extern "C" int nua_registration_from_via(nua_registration_t** list, nua_handle_t* nh, sip_via_t const* via,
                                         int publicOnes) {
    using Real = int (*)(nua_registration_t**, nua_handle_t*, sip_via_t const*, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "nua_registration_from_via"));
    if (!real)
        return -1;
    if (!sip::replaced::inUse(sip::replaced::Family::ContactFromVia))
        return real(list, nh, via, publicOnes);
    su_home_t home[1] = {SU_HOME_INIT(home)};
    sip_via_t* copy = via ? sip_via_copy(home, via) : nullptr;
    sip_via_t* others = nullptr;
    sip_via_t** othersEnd = &others;
    sip_via_t* loopback = nullptr;
    sip_via_t** loopbackEnd = &loopback;
    for (sip_via_t* next = nullptr; copy; copy = next) {
        next = copy->v_next;
        copy->v_next = nullptr;
        const bool local4 = copy->v_host && host_is_local(copy->v_host) && host_is_ip4_address(copy->v_host);
        sip_via_t**& end = local4 ? loopbackEnd : othersEnd;
        *end = copy;
        end = &copy->v_next;
    }
    *othersEnd = loopback;
    nua_registration_t* made = nullptr;
    const int result = real(list ? &made : list, nh, via ? others : via, publicOnes);
    su_home_deinit(home);
    std::vector<nua_registration_t*> contacts;
    while (made) {
        contacts.push_back(made);
        nua_registration_remove(made);
    }
    // Added to the front one by one: the last first, so that they keep the order the stack made them in.
    for (auto contact = contacts.rbegin(); contact != contacts.rend(); ++contact) {
        nua_registration_add(list, *contact);
        sip::detail::t_addressContacts.push_back(*contact);
    }
    return result;
}

extern "C" nua_registration_t* nua_registration_by_aor(nua_registration_t const* list, sip_from_t const* aor,
                                                       url_t const* remote_uri, int only_default) {
    using Real = nua_registration_t* (*)(nua_registration_t const*, sip_from_t const*, url_t const*, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "nua_registration_by_aor"));
    if (!real)
        return nullptr;
    const int family = sip::detail::g_registrationFamily;
    if (family && only_default && sip::replaced::inUse(sip::replaced::Family::ContactByAor) && !aor && remote_uri && remote_uri->url_host &&
        !host_is_ip4_address(remote_uri->url_host) && !host_is_ip6_reference(remote_uri->url_host)) {
        url_t standIn = *remote_uri;
        standIn.url_host = family == AF_INET6 ? "[::1]" : "127.0.0.1";
        if (nua_registration_t* found = real(list, aor, &standIn, only_default))
            return found;
    }
    return real(list, aor, remote_uri, only_default);
}
