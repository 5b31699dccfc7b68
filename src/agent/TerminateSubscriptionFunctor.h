// SPDX-License-Identifier: MIT
// Ends one presence subscription with a final NOTIFY: "terminated", reason "deactivated", no body.
// Applied to every server subscription when the agent disconnects. User-interface thread.
#pragma once

#include "sip/Handlers.h"

class TerminateSubscriptionFunctor : public sip::ServerSubscriptionFunctor {
public:
    ~TerminateSubscriptionFunctor() override;
    void apply(sip::ServerSubscriptionHandle handle) override;
};
