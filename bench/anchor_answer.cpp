// SPDX-License-Identifier: MIT
// The floor the program's answer to a MESSAGE is compared with: a bare sofia-sip agent, built as the
// program builds its stack (one thread, the callback in it, both families bound), that answers every
// MESSAGE 200 and does nothing else. It answers where the program answers a text outside a dialog: where
// the stack hands it a request, before it makes a handle for it (the program's nua_stack_process_request,
// ReceivedTexts.cpp), with the request's transaction. With a registrar it signs in there first (digest,
// realm from the challenge). It stays until it is ended. Links sofia-sip alone.
//
//   bench_anchor_answer <port> <udp|tcp> [<registrar's host:port> <user@domain> <password>]
#include <sofia-sip/msg_header.h>
#include <sofia-sip/nta.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/sip_tag.h>
#include <sofia-sip/su_wait.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Account {
    std::string user;
    std::string password;
};

void onEvent(nua_event_t event, int status, const char*, nua_t* nua, nua_magic_t* magic, nua_handle_t* nh,
             nua_hmagic_t*, const sip_t* sip, tagi_t[]) {
    if (event == nua_i_message) {
        nua_respond(nh, 200, "OK", NUTAG_WITH_THIS(nua), TAG_END());
        nua_handle_destroy(nh);
        return;
    }
    const auto* account = static_cast<const Account*>(magic);
    if (event != nua_r_register || (status != 401 && status != 407) || !sip || !account)
        return;
    const msg_auth_t* challenge = status == 401 ? sip->sip_www_authenticate : sip->sip_proxy_authenticate;
    const char* realm = challenge ? msg_params_find(challenge->au_params, "realm=") : nullptr;
    if (!realm)
        return;
    const std::string user = account->user.substr(0, account->user.find('@'));
    // The realm as the challenge quotes it.
    const std::string quoted = realm[0] == '"' ? realm : std::string("\"") + realm + "\"";
    const std::string credentials = "Digest:" + quoted + ":" + user + ":" + account->password;
    nua_authenticate(nh, NUTAG_AUTH(credentials.c_str()), TAG_END());
}

}  // namespace

extern "C" int nua_stack_process_request(nua_handle_t* nh, nta_leg_t* leg, nta_incoming_t* irq,
                                         const sip_t* sip) {
    using Real = int (*)(nua_handle_t*, nta_leg_t*, nta_incoming_t*, const sip_t*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "nua_stack_process_request"));
    if (sip->sip_request->rq_method != sip_method_message || sip->sip_to->a_tag)
        return real ? real(nh, leg, irq, sip) : 500;
    nta_incoming_tag(irq, nullptr);
    nta_incoming_treply(irq, SIP_200_OK, TAG_END());
    nta_incoming_destroy(irq);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        std::fprintf(stderr, "usage: bench_anchor_answer <port> <udp|tcp> [<registrar> <user@domain> <password>]\n");
        return 2;
    }
    const std::string transport = argv[2];
    const std::string url = std::string("sip:*:") + argv[1] + ";transport=" + transport;
    Account account;
    if (argc == 6)
        account = {argv[4], argv[5]};
    su_init();
    su_root_t* root = su_root_create(nullptr);
    if (root)
        su_root_threading(root, 0);
    nua_t* nua = root ? nua_create(root, onEvent, argc == 6 ? &account : nullptr, NUTAG_URL(url.c_str()),
                                   NUTAG_APPL_METHOD("MESSAGE"), TAG_END())
                      : nullptr;
    if (!nua) {
        std::fprintf(stderr, "bench_anchor_answer: the stack did not start on %s\n", url.c_str());
        return 1;
    }
    if (argc == 6) {
        const std::string aor = "sip:" + account.user;
        const std::string registrar = std::string("sip:") + argv[3] + ";transport=" + transport;
        nua_handle_t* handle =
            nua_handle(nua, nullptr, SIPTAG_TO_STR(aor.c_str()), SIPTAG_FROM_STR(aor.c_str()), TAG_END());
        // Named here: the library finds no Contact of its own on a machine with loopback alone.
        const std::string contact = "<sip:" + account.user.substr(0, account.user.find('@')) + "@127.0.0.1:" +
                                    argv[1] + ";transport=" + transport + ">";
        nua_register(handle, NUTAG_REGISTRAR(registrar.c_str()), NUTAG_PROXY(registrar.c_str()),
                     SIPTAG_CONTACT_STR(contact.c_str()), SIPTAG_EXPIRES_STR("1800"), TAG_END());
    }
    su_root_run(root);
    return 0;
}
