// SPDX-License-Identifier: MIT
// Private to the SIP layer: the credentials the stack's digest answers are made from (Digest.cpp), and
// the end of a challenged request the stack could not answer. User-interface thread.
#pragma once

#include "sip/MasterProfile.h"
#include "sip/Uri.h"

struct nua_handle_s;

namespace sip::detail {

// Makes `profile`'s digest credentials the ones the stack answers challenges with for requests sent as
// `identity` (a usage manager's default From), replacing what `owner` published before; with `enabled`
// false (no authentication manager) its requests are not answered at all.
void publishCredentials(const void* owner, const NameAddr& identity, const MasterProfile& profile,
                        bool enabled);
void withdrawCredentials(const void* owner);

// A challenge the stack could not answer is reported as the request's final response, and the stack then
// keeps the request waiting for credentials of another kind. Ending that wait makes it report status 904,
// which is no news for the application.
class StackWait {
public:
    void end(nua_handle_s* nh);
    // Whether an event with `status` is the report of such an end; it is then to be dropped.
    bool swallow(int status);

private:
    int m_expectedEnds = 0;
};

}  // namespace sip::detail
