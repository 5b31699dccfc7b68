// SPDX-License-Identifier: MIT
// PresenceWatch: a presence subscription of our own to another user, for a peer that watches users (the
// demo's echo peer does); the agent itself only answers such subscriptions. Each NOTIFY's PIDF basic
// status ("open", "closed") is reported; the stack answers the NOTIFY and refreshes the subscription.
// A challenge to the SUBSCRIBE is not answered: registrars such as the demo's let in-domain watchers
// through unchallenged. User-interface thread only.
//
//   watcher              user
//     | SUBSCRIBE          |
//     | Event: presence    |
//     |------------------->|
//     |     202 (or 200)   |   answered(202)
//     |<-------------------|
//     | NOTIFY (PIDF open) |   notified("open", "active")
//     |<-------------------|
//     |      200           |
//     |------------------->|
//     | SUBSCRIBE Expires:0|   end()
//     |------------------->|
#pragma once

#include "sip/Usages.h"

#include <functional>
#include <memory>
#include <string>

namespace sip {

class PresenceWatch : public Usage {
public:
    struct Handlers {
        // The final answer to the SUBSCRIBE; a failure also ends the watch.
        std::function<void(int status, const std::string& phrase)> answered;
        // A NOTIFY: the document's basic status ("" when it had none) and the subscription's state
        // ("active", "pending" or "terminated"; a terminated one ends the watch).
        std::function<void(const std::string& basic, const std::string& state)> notified;
        // The watch has ended, for whatever reason.
        std::function<void()> ended;
    };

    // Sends the SUBSCRIBE to `target` from the profile's default From (through its outbound proxy).
    static std::shared_ptr<PresenceWatch> start(DialogUsageManager& dum, const NameAddr& target,
                                                Handlers handlers, std::uint32_t expires = 600);
    ~PresenceWatch() override;

    // Unsubscribes; the watch ends when that is answered.
    void end();
    bool ended() const { return retired(); }
    const std::string& basic() const { return m_basic; }

    // The basic status in a PIDF document, "" when there is none.
    static std::string basicStatus(const std::string& document);

private:
    PresenceWatch(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target, Handlers handlers);
    void dispatch(std::unique_ptr<detail::Event>& event) override;
    void finish();

    std::string m_target;
    Handlers m_handlers;
    std::string m_basic;
    bool m_ending = false;
};

}  // namespace sip
