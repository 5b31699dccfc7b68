// SPDX-License-Identifier: MIT
// chimely_dns_probe TYPE NAME: one DNS query through the resolver that /etc/resolv.conf names, with the
// whole answer printed. Tests run it under `ip netns exec`, which puts a lab's resolv.conf in place of
// the machine's, to see what the lab's DNS server tells a stub resolver in the home network: the answer
// code, the records, and whether a negative answer carries the zone's SOA (which decides how long a
// resolver may remember it). Single-threaded.
//
// Output, one line each: "rcode NXDOMAIN aa", then "answer <record>", "authority <record>" and
// "additional <record>" lines in zone-file form. Exit status 0 when an answer came (whatever its code),
// 1 when none did, 2 on bad arguments.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Type {
    const char* name;
    int value;
};

constexpr Type kTypes[] = {{"A", ns_t_a},         {"AAAA", ns_t_aaaa}, {"SRV", ns_t_srv},
                           {"NAPTR", ns_t_naptr}, {"SOA", ns_t_soa},   {"NS", ns_t_ns},
                           {"CNAME", ns_t_cname}, {"TXT", ns_t_txt}};

const char* rcodeName(int rcode) {
    switch (rcode) {
        case ns_r_noerror:
            return "NOERROR";
        case ns_r_formerr:
            return "FORMERR";
        case ns_r_servfail:
            return "SERVFAIL";
        case ns_r_nxdomain:
            return "NXDOMAIN";
        case ns_r_notimpl:
            return "NOTIMP";
        case ns_r_refused:
            return "REFUSED";
        default:
            return "OTHER";
    }
}

std::string typeName(int value) {
    for (const Type& known : kTypes)
        if (known.value == value)
            return known.name;
    return "TYPE" + std::to_string(value);
}

unsigned get16(const unsigned char* at) {
    return static_cast<unsigned>(at[0] << 8 | at[1]);
}

unsigned long get32(const unsigned char* at) {
    return static_cast<unsigned long>(get16(at)) << 16 | get16(at + 2);
}

// A domain name at `at`, compression pointers followed; "" when it does not fit the message.
std::string nameAt(const ns_msg& message, const unsigned char*& at) {
    char name[NS_MAXDNAME];
    const int length = dn_expand(ns_msg_base(message), ns_msg_end(message), at, name, sizeof name);
    if (length < 0)
        return "";
    at += length;
    return std::string(name) + ".";
}

std::string characterString(const unsigned char*& at, const unsigned char* end) {
    if (at >= end || at + 1 + *at > end)
        return "\"?\"";
    std::string text(reinterpret_cast<const char*>(at + 1), *at);
    at += 1 + *at;
    return "\"" + text + "\"";
}

// The record data in zone-file form, for the types a SIP agent asks for and what comes with them.
std::string rdataText(const ns_msg& message, const ns_rr& record) {
    const unsigned char* at = ns_rr_rdata(record);
    const unsigned char* end = at + ns_rr_rdlen(record);
    char address[INET6_ADDRSTRLEN];
    switch (ns_rr_type(record)) {
        case ns_t_a:
            return ns_rr_rdlen(record) == 4 && inet_ntop(AF_INET, at, address, sizeof address) ? address
                                                                                               : "?";
        case ns_t_aaaa:
            return ns_rr_rdlen(record) == 16 && inet_ntop(AF_INET6, at, address, sizeof address) ? address
                                                                                                 : "?";
        case ns_t_ns:
        case ns_t_cname:
            return nameAt(message, at);
        case ns_t_srv: {
            if (ns_rr_rdlen(record) < 7)
                return "?";
            const std::string fields = std::to_string(get16(at)) + " " + std::to_string(get16(at + 2)) + " " +
                                       std::to_string(get16(at + 4)) + " ";
            at += 6;
            return fields + nameAt(message, at);
        }
        case ns_t_naptr: {
            if (ns_rr_rdlen(record) < 7)
                return "?";
            std::string text = std::to_string(get16(at)) + " " + std::to_string(get16(at + 2));
            at += 4;
            for (int i = 0; i < 3; ++i)
                text += " " + characterString(at, end);
            return text + " " + nameAt(message, at);
        }
        case ns_t_soa: {
            std::string text = nameAt(message, at);
            text += " " + nameAt(message, at);
            if (at + 20 > end)
                return text + " ?";
            for (int i = 0; i < 5; ++i, at += 4)
                text += " " + std::to_string(get32(at));
            return text;
        }
        default:
            return std::to_string(ns_rr_rdlen(record)) + " bytes";
    }
}

void printSection(ns_msg& message, ns_sect section, const char* label) {
    for (int i = 0; i < ns_msg_count(message, section); ++i) {
        ns_rr record;
        if (ns_parserr(&message, section, i, &record) != 0) {
            std::printf("%s unreadable\n", label);
            continue;
        }
        std::printf("%s %s. %lu %s %s\n", label, ns_rr_name(record),
                    static_cast<unsigned long>(ns_rr_ttl(record)), typeName(ns_rr_type(record)).c_str(),
                    rdataText(message, record).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TYPE NAME\n", argv[0]);
        return 2;
    }
    int type = -1;
    for (const Type& known : kTypes)
        if (std::strcmp(known.name, argv[1]) == 0)
            type = known.value;
    if (type < 0) {
        std::fprintf(stderr, "unknown type %s\n", argv[1]);
        return 2;
    }
    struct __res_state state {};
    if (res_ninit(&state) != 0) {
        std::fprintf(stderr, "res_ninit failed\n");
        return 1;
    }
    // A test waits for this probe: one second a try, two tries, whatever resolv.conf says.
    state.retrans = 1;
    state.retry = 2;
    unsigned char query[NS_PACKETSZ];
    const int queryLength =
        res_nmkquery(&state, ns_o_query, argv[2], ns_c_in, type, nullptr, 0, nullptr, query, sizeof query);
    unsigned char answer[NS_MAXMSG];
    // res_nsend, unlike res_nquery, hands back a negative answer whole, authority section included.
    const int length = queryLength < 0 ? -1 : res_nsend(&state, query, queryLength, answer, sizeof answer);
    res_nclose(&state);
    ns_msg message;
    if (length < 0 || ns_initparse(answer, length, &message) != 0) {
        std::printf("no answer\n");
        return 1;
    }
    std::printf("rcode %s%s\n", rcodeName(ns_msg_getflag(message, ns_f_rcode)),
                ns_msg_getflag(message, ns_f_aa) ? " aa" : "");
    printSection(message, ns_s_an, "answer");
    printSection(message, ns_s_ns, "authority");
    printSection(message, ns_s_ar, "additional");
    return 0;
}
