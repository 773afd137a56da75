// Connections whose request has not arrived complete (half-sent requests, and kept-alive
// connections waiting for their next request) on the web relay's HTTP port: each gets a
// deadline, and there are at most so many per client address and in all. The oldest one of
// the address, or of all, is closed to make room for a new connection, so a flood of
// half-sent requests can neither hold the port nor keep a new browser waiting; a request
// that has arrived (a stream) is no longer watched.
#pragma once

#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <microhttpd.h>

namespace kpx {

class HeadGuard {
  public:
    struct Limits {
        std::size_t peraddress;            // incomplete requests per client address
        std::size_t total;                 // incomplete requests in all
        std::chrono::milliseconds head;    // for a new connection's first request
        std::chrono::milliseconds nextreq; // for the next request on a kept-alive one
    };
    explicit HeadGuard(const Limits& limits);
    ~HeadGuard();
    HeadGuard(const HeadGuard&) = delete;
    HeadGuard& operator=(const HeadGuard&) = delete;

    // libmicrohttpd's callbacks (cls: the guard): the accept policy makes room for the new
    // connection; the connection notice starts and ends the watch.
    static MHD_Result accept(void* cls, const sockaddr* addr, socklen_t addrlen);
    static void notify(void* cls, MHD_Connection* conn, void** socketcls,
                       MHD_ConnectionNotificationCode what);

    void headin(MHD_Connection* conn);  // the request's head has arrived
    void waiting(MHD_Connection* conn); // a request ended; the connection may carry another

  private:
    struct Entry {
        int fd = -1;
        std::string client;
        bool pending = false;
        std::chrono::steady_clock::time_point deadline;
        std::list<Entry*>::iterator at; // in pending_, while pending
    };
    void watch(Entry& e, std::chrono::milliseconds limit);
    void unwatch(Entry& e);
    void cut(Entry& e); // closes its socket: the library then ends the connection
    Entry* entry(MHD_Connection* conn);
    void sweep();

    Limits limits_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::list<Entry*> pending_; // oldest deadline first per kind; cut oldest first
    std::map<std::string, std::list<Entry*>> byclient_;
    std::string admitted_; // the client of the connection being accepted
    std::thread sweeper_;
};

} // namespace kpx
