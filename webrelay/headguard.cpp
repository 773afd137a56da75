#include "headguard.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace kpx {

namespace {

using Clock = std::chrono::steady_clock;

std::string clientof(const sockaddr* addr) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (addr != nullptr && addr->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text,
                    sizeof text);
    else if (addr != nullptr && addr->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text,
                    sizeof text);
    return text;
}

} // namespace

HeadGuard::HeadGuard(const Limits& limits) : limits_(limits) {
    sweeper_ = std::thread([this] { sweep(); });
}

HeadGuard::~HeadGuard() {
    {
        const std::lock_guard<std::mutex> l(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    sweeper_.join();
}

void HeadGuard::watch(Entry& e, std::chrono::milliseconds limit) {
    if (e.pending) return;
    e.pending = true;
    e.deadline = Clock::now() + limit;
    e.at = pending_.insert(pending_.end(), &e);
    byclient_[e.client].push_back(&e);
}

void HeadGuard::unwatch(Entry& e) {
    if (!e.pending) return;
    e.pending = false;
    pending_.erase(e.at);
    const auto it = byclient_.find(e.client);
    if (it == byclient_.end()) return;
    it->second.remove(&e);
    if (it->second.empty()) byclient_.erase(it);
}

void HeadGuard::cut(Entry& e) {
    unwatch(e);
    // The library sees the end of the connection and closes it (the notice comes before the
    // descriptor is closed, under this guard's lock, so `fd` is still this connection's).
    if (e.fd >= 0) ::shutdown(e.fd, SHUT_RDWR);
}

HeadGuard::Entry* HeadGuard::entry(MHD_Connection* conn) {
    const MHD_ConnectionInfo* ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return ci == nullptr ? nullptr : static_cast<Entry*>(ci->socket_context);
}

MHD_Result HeadGuard::accept(void* cls, const sockaddr* addr, socklen_t) {
    auto& g = *static_cast<HeadGuard*>(cls);
    const std::lock_guard<std::mutex> l(g.mu_);
    g.admitted_ = clientof(addr);
    const auto it = g.byclient_.find(g.admitted_);
    if (it != g.byclient_.end() && it->second.size() >= g.limits_.peraddress)
        g.cut(*it->second.front());
    if (g.pending_.size() >= g.limits_.total) g.cut(*g.pending_.front());
    return MHD_YES;
}

void HeadGuard::notify(void* cls, MHD_Connection* conn, void** socketcls,
                       MHD_ConnectionNotificationCode what) {
    auto& g = *static_cast<HeadGuard*>(cls);
    const std::lock_guard<std::mutex> l(g.mu_);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* e = new Entry;
        const MHD_ConnectionInfo* ci =
            MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
        e->fd = ci != nullptr ? ci->connect_fd : -1;
        const MHD_ConnectionInfo* ai =
            MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        e->client = ai != nullptr ? clientof(ai->client_addr) : g.admitted_;
        *socketcls = e;
        g.watch(*e, g.limits_.head);
        return;
    }
    auto* e = static_cast<Entry*>(*socketcls);
    if (e == nullptr) return;
    g.unwatch(*e);
    e->fd = -1;
    delete e;
    *socketcls = nullptr;
}

void HeadGuard::headin(MHD_Connection* conn) {
    const std::lock_guard<std::mutex> l(mu_);
    if (Entry* e = entry(conn)) unwatch(*e);
}

void HeadGuard::waiting(MHD_Connection* conn) {
    const std::lock_guard<std::mutex> l(mu_);
    if (Entry* e = entry(conn)) watch(*e, limits_.nextreq);
}

void HeadGuard::sweep() {
    std::unique_lock<std::mutex> l(mu_);
    while (!stop_) {
        cv_.wait_for(l, std::chrono::milliseconds(250));
        const auto now = Clock::now();
        for (auto it = pending_.begin(); it != pending_.end();) {
            Entry& e = **it++;
            if (e.deadline <= now) cut(e);
        }
    }
}

} // namespace kpx
