// SPDX-License-Identifier: MIT
// The floor the program's first REGISTER is compared with: the plain program that links Qt Widgets and
// sofia-sip, makes the application object, starts the stack and sends one REGISTER, and nothing else. It
// stays until it is ended. Links Qt Widgets and sofia-sip alone.
//
//   bench_anchor_register <registrar's host:port>
#include <QApplication>

#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_tag.h>
#include <sofia-sip/su_wait.h>

#include <cstdio>
#include <string>

namespace {

void ignore(nua_event_t, int, const char*, nua_t*, nua_magic_t*, nua_handle_t*, nua_hmagic_t*, const sip_t*,
            tagi_t[]) {}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_anchor_register <registrar's host:port>\n");
        return 2;
    }
    const std::string registrar = std::string("sip:") + argv[1];
    QApplication application(argc, argv);
    su_init();
    su_root_t* root = su_root_create(nullptr);
    nua_t* nua =
        root ? nua_create(root, ignore, nullptr, NUTAG_URL("sip:*:*;maddr=0.0.0.0;transport=udp"), TAG_END())
             : nullptr;
    if (!nua) {
        std::fprintf(stderr, "bench_anchor_register: the stack did not start\n");
        return 1;
    }
    nua_handle_t* handle = nua_handle(nua, nullptr, SIPTAG_TO_STR("sip:anchor@127.0.0.1"),
                                      SIPTAG_FROM_STR("sip:anchor@127.0.0.1"), TAG_END());
    nua_register(handle, NUTAG_URL(registrar.c_str()), SIPTAG_EXPIRES_STR("1800"), TAG_END());
    su_root_run(root);
    return 0;
}
