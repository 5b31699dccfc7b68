// SPDX-License-Identifier: MIT
// A network namespace of the test program's own, holding only a loopback interface with a default route
// through it. Kamailio, baresip, SIPp and the test's agent all run in it: no port that another program
// on the machine holds (5060 included) is in the way, nothing a test starts can reach beyond 127.0.0.1,
// and baresip, which will not start without a default route, finds one even on a machine that has only
// loopback.
//
// The move happens before main, while the program still has one thread, so that every thread and child
// process the tests start is inside: a test file that needs it says so at namespace scope with
//
//     const bool kPrivateNetwork = test::enterPrivateNetwork();
//
// and its tests begin with CHIMELY_REQUIRE_PRIVATE_NETWORK(), which skips them, with the reason, where
// no namespace could be made.
//
// Root (as in CI) makes the namespace directly; other users get one inside a user namespace of their
// own, where the kernel allows unprivileged user namespaces.
#pragma once

#include <string>

namespace test {

// Moves this process into a new network namespace and sets its loopback up. Call it before any thread
// starts; later calls return the first outcome. True when the process is inside.
bool enterPrivateNetwork();

// Gives the namespace a second address on lo, 192.0.2.1 (a documentation address), which the default
// route then takes as its source. A peer that judges the network by the source address of its way out
// (linphonec) otherwise takes the namespace for a machine without a network and never registers. Call it
// at namespace scope after enterPrivateNetwork(), before anything starts; true when the address is there.
bool addRoutableAddress();

// Whether enterPrivateNetwork() succeeded, and why not when it did not.
bool inPrivateNetwork();
const std::string& privateNetworkProblem();

}  // namespace test

#define CHIMELY_REQUIRE_PRIVATE_NETWORK()                                                                \
    do {                                                                                                 \
        if (!::test::inPrivateNetwork())                                                                 \
            GTEST_SKIP() << "needs a network namespace of its own: " << ::test::privateNetworkProblem(); \
    } while (false)
