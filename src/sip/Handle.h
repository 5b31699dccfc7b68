// SPDX-License-Identifier: MIT
// Handle: the application's reference to a usage the usage manager owns. It does not keep the usage
// alive; isValid() says whether the usage still exists. User-interface thread.
#pragma once

#include <cassert>
#include <memory>

namespace sip {

template <class T>
class Handle {
public:
    Handle() = default;
    explicit Handle(std::weak_ptr<T> usage) : m_usage(std::move(usage)) {}
    template <class U>
    Handle(const Handle<U>& other) : m_usage(other.weak()) {}

    bool isValid() const {
        auto usage = m_usage.lock();
        return usage && !usage->retired();
    }
    // Only on a valid handle.
    T* operator->() const {
        T* usage = get();
        assert(usage && "use of an invalid handle");
        return usage;
    }
    T* get() const { return m_usage.lock().get(); }
    const std::weak_ptr<T>& weak() const { return m_usage; }

    friend bool operator==(const Handle& a, const Handle& b) { return a.get() == b.get(); }

private:
    std::weak_ptr<T> m_usage;
};

class ClientRegistration;
class ClientPagerMessage;
class ServerPagerMessage;
class InviteSession;
class ClientInviteSession;
class ServerInviteSession;
class ServerSubscription;
class ClientSubscription;
class ClientPublication;

using ClientRegistrationHandle = Handle<ClientRegistration>;
using ClientPagerMessageHandle = Handle<ClientPagerMessage>;
using ServerPagerMessageHandle = Handle<ServerPagerMessage>;
using InviteSessionHandle = Handle<InviteSession>;
using ClientInviteSessionHandle = Handle<ClientInviteSession>;
using ServerInviteSessionHandle = Handle<ServerInviteSession>;
using ServerSubscriptionHandle = Handle<ServerSubscription>;
using ClientSubscriptionHandle = Handle<ClientSubscription>;
using ClientPublicationHandle = Handle<ClientPublication>;

}  // namespace sip
