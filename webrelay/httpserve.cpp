#include "httpserve.h"

#include "console.h"
#include "hls.h"

#include <microhttpd.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace kpx {

namespace {

// Kernel send buffer of a stream connection: a few seconds of audio, so that a browser that
// stops reading is noticed by the relay instead of vanishing into large socket buffers.
inline constexpr int STREAMSNDBUF = 4096;
// Memory per connection for the request and the response's write buffer: room for a
// browser's request headers and one reader block; at ten thousand listeners every KiB here
// is about 10 MiB of the relay's memory.
inline constexpr std::size_t CONNECTIONMEMORY = 8 * 1024;
inline constexpr std::size_t READERBLOCK = 4096;
// Connections beyond the listener limit that may still be open (status requests and those
// being told 503); MHD closes any more at once.
inline constexpr unsigned EXTRACONNECTIONS = 64;
// Requests on the TCP port that have not arrived complete, per client address and in all,
// and the time a new connection's request has to arrive (a kept-alive connection waits
// --timeout for its next one). Beyond the bounds the oldest is closed for the new one.
inline constexpr std::size_t INCOMPLETEPERADDRESS = 4;
inline constexpr std::size_t INCOMPLETETOTAL = 128;
inline constexpr int HEADSECONDS = 5;
// Threads that send the streams, each to its share of the listeners: on two cores the page
// reaches the last of ten thousand listeners in about half the time one thread takes.
inline constexpr unsigned SENDERS = 2;

const char* const FULLTEXT = "Too many listeners at the moment. Please try again later.\n";
const char* const NOCLIENTTEXT =
    "A request through the web server must name its client in X-Forwarded-For.\n";
const char* const BUSYTEXT =
    "Too many streams to your address at the moment. Please try again later.\n";

const MHD_ConnectionInfo* peerinfo(MHD_Connection* conn) {
    const MHD_ConnectionInfo* ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return ci == nullptr || ci->client_addr == nullptr ? nullptr : ci;
}

std::string peername(MHD_Connection* conn) {
    const MHD_ConnectionInfo* ci = peerinfo(conn);
    if (ci != nullptr && ci->client_addr->sa_family == AF_UNIX) return "web server";
    if (ci == nullptr || ci->client_addr->sa_family != AF_INET) return "?";
    char text[INET_ADDRSTRLEN] = "?";
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ci->client_addr);
    ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    return text;
}

// The address a request is counted under: the peer's on the TCP port (any X-Forwarded-For
// there is a client's own and is ignored); on the web server's socket, which only the web
// server can reach, the last entry of X-Forwarded-For (the one it added itself), in its
// canonical form. Empty when that entry is missing or not an address.
std::string clientaddress(MHD_Connection* conn) {
    const MHD_ConnectionInfo* ci = peerinfo(conn);
    if (ci == nullptr || ci->client_addr->sa_family != AF_UNIX) return peername(conn);
    const char* xff = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "X-Forwarded-For");
    if (xff == nullptr) return {};
    std::string last = xff;
    last.erase(0, last.rfind(',') + 1);
    const std::size_t from = last.find_first_not_of(" \t");
    const std::size_t to = last.find_last_not_of(" \t");
    if (from == std::string::npos) return {};
    last = last.substr(from, to - from + 1);
    unsigned char bin[sizeof(in6_addr)];
    char text[INET6_ADDRSTRLEN] = "";
    const int family = last.find(':') == std::string::npos ? AF_INET : AF_INET6;
    if (::inet_pton(family, last.c_str(), bin) != 1 ||
        ::inet_ntop(family, bin, text, sizeof text) == nullptr)
        return {};
    return text;
}

// The calendar text of `t` as the console helpers write it, but safe to make on this thread
// while the upstream thread prints its own time stamps.
std::string stamptext(std::time_t t) {
    std::tm tm{};
    char buf[64];
    if (::localtime_r(&t, &tm) == nullptr ||
        std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm) == 0)
        return "??? ??? ?? ??:??:?? ????";
    return std::string(buf).substr(0, 24);
}

void prndropped(WebServer& srv, const std::string& peer, const char* why) {
    srv.status().dropped++;
    std::fprintf(stderr, "%s:\n", stamptext(std::time(nullptr)).c_str());
    std::fprintf(stderr, "Listener %s dropped: %s %d s.\n", peer.c_str(), why,
                 srv.settings().queueseconds);
    prnline();
    std::fflush(stderr);
}

} // namespace

// One stream connection, once its request is answered.
struct StreamListener {
    int fd = -1;
    Mount mount = OGGMOUNT;
    Cursor cursor;
    std::string answer;                             // the answer's header, sent before the stream
    std::size_t answered = 0;                       // bytes of it sent
    bool blocked = false;                           // its socket is full: it waits for room
    std::chrono::steady_clock::time_point lastbyte; // when it last took something
    std::size_t at = 0;                             // its place among the sender's listeners
    std::string peer;
    std::string client; // the address whose per-address place this stream holds
};

// Sends the pages to every stream connection from one thread: after each page one pass over
// all listeners, each given all that is due to it in one send (the header pages, the burst,
// the new page, renumbered for it); a listener whose socket is full waits on epoll (edge
// triggered, so only a full socket ever wakes the thread) and is dropped when it has taken
// nothing for --queue-seconds, or when it falls more than the ring behind.
class StreamSender {
  public:
    explicit StreamSender(WebServer& srv) : srv_(srv) {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        ev_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = ev_;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, ev_, &e);
        t_ = std::thread([this] { run(); });
    }
    ~StreamSender() {
        stop_ = true;
        wake(this);
        t_.join();
        for (auto& l : listeners_)
            ::close(l->fd);
        for (auto& l : incoming_)
            ::close(l->fd);
        ::close(ep_);
        ::close(ev_);
    }
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    // A new listener (from the HTTP threads): answered and sent its burst at once.
    void add(std::unique_ptr<StreamListener> l) {
        {
            const std::lock_guard<std::mutex> g(mu_);
            incoming_.push_back(std::move(l));
        }
        wake(this);
    }
    // The ring's hook: a page is there.
    static void wake(void* self) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n =
            ::write(static_cast<StreamSender*>(self)->ev_, &one, sizeof one);
    }

  private:
    enum class Sent { KEPT, CLOSED, BEHIND };
    using Clock = std::chrono::steady_clock;

    void run() {
        std::vector<epoll_event> evs(256);
        while (!stop_) {
            const int n = ::epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), 1000);
            bool page = false;
            for (int j = 0; j < n; ++j) {
                const epoll_event& e = evs[static_cast<std::size_t>(j)];
                if (e.data.fd == ev_) {
                    std::uint64_t v = 0;
                    [[maybe_unused]] const ssize_t r = ::read(ev_, &v, sizeof v);
                    page = true;
                    continue;
                }
                StreamListener* l = listenerof(e.data.fd);
                if (l == nullptr) continue;
                if ((e.events & (EPOLLERR | EPOLLHUP)) != 0) {
                    drop(*l, Sent::CLOSED);
                } else if ((e.events & EPOLLOUT) != 0 && l->blocked) {
                    l->blocked = false;
                    const Sent s = send(*l);
                    if (s != Sent::KEPT) drop(*l, s);
                }
            }
            takeincoming();
            if (page || n == 0) pass();
        }
    }

    StreamListener* listenerof(int fd) {
        return fd >= 0 && static_cast<std::size_t>(fd) < byfd_.size()
                   ? byfd_[static_cast<std::size_t>(fd)]
                   : nullptr;
    }

    void takeincoming() {
        std::vector<std::unique_ptr<StreamListener>> in;
        {
            const std::lock_guard<std::mutex> g(mu_);
            in.swap(incoming_);
        }
        for (auto& p : in) {
            StreamListener& l = *p;
            l.lastbyte = Clock::now();
            l.at = listeners_.size();
            const auto fd = static_cast<std::size_t>(l.fd);
            if (byfd_.size() <= fd) byfd_.resize(fd + 1024, nullptr);
            byfd_[fd] = &l;
            listeners_.push_back(std::move(p));
            epoll_event e{};
            e.events = EPOLLOUT | EPOLLET;
            e.data.fd = l.fd;
            ::epoll_ctl(ep_, EPOLL_CTL_ADD, l.fd, &e);
            const Sent s = send(l);
            if (s != Sent::KEPT) drop(l, s);
        }
    }

    // Everybody not waiting for room gets what is due; those waiting too long are dropped.
    void pass() {
        const auto now = Clock::now();
        const auto limit = std::chrono::seconds(srv_.settings().queueseconds);
        for (std::size_t i = listeners_.size(); i-- > 0;) {
            StreamListener& l = *listeners_[i];
            if (l.blocked) {
                if (now - l.lastbyte >= limit) {
                    prndropped(srv_, l.peer, "it took nothing for");
                    drop(l, Sent::CLOSED);
                }
                continue;
            }
            const Sent s = send(l);
            if (s != Sent::KEPT) drop(l, s);
        }
    }

    // All that is due to `l`, in as few sends as its socket takes (one, but for a burst).
    Sent send(StreamListener& l) {
        PageRing& ring = *srv_.ring(l.mount);
        for (;;) {
            std::size_t head = 0;
            if (l.answered < l.answer.size()) {
                head = std::min(l.answer.size() - l.answered, buf_.size());
                std::memcpy(buf_.data(), l.answer.data() + l.answered, head);
            }
            Cursor c = l.cursor;
            const long got = ring.read(c, buf_.data() + head, buf_.size() - head);
            if (got < 0) return Sent::BEHIND;
            const std::size_t total = head + static_cast<std::size_t>(got);
            if (total == 0) return Sent::KEPT;
            const ssize_t n = ::send(l.fd, buf_.data(), total, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                l.blocked = true;
                return Sent::KEPT;
            }
            if (n <= 0) return Sent::CLOSED;
            l.lastbyte = Clock::now();
            const std::size_t sent = static_cast<std::size_t>(n);
            const std::size_t ofhead = std::min(sent, head);
            l.answered += ofhead;
            if (l.answered == l.answer.size() && ofhead > 0) {
                l.answer = std::string();
                l.answered = 0;
            }
            const std::size_t body = sent - ofhead;
            if (body == static_cast<std::size_t>(got))
                l.cursor = c;
            else if (body > 0)
                ring.read(l.cursor, scratch_.data(), body);
            srv_.status().bytessent += body;
            srv_.status().mounts[l.mount].bytessent += body;
            if (sent < total) {
                l.blocked = true;
                return Sent::KEPT;
            }
        }
    }

    void drop(StreamListener& l, Sent why) {
        if (why == Sent::BEHIND) prndropped(srv_, l.peer, "it fell behind the stream by more than");
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, l.fd, nullptr);
        ::close(l.fd);
        byfd_[static_cast<std::size_t>(l.fd)] = nullptr;
        srv_.giveplace(l.client);
        srv_.status().listeners--;
        srv_.status().mounts[l.mount].listeners--;
        const std::size_t at = l.at;
        if (at + 1 != listeners_.size()) {
            listeners_[at] = std::move(listeners_.back());
            listeners_[at]->at = at;
        }
        listeners_.pop_back(); // `l` is gone from here on
    }

    WebServer& srv_;
    int ep_ = -1, ev_ = -1;
    std::mutex mu_;
    std::vector<std::unique_ptr<StreamListener>> incoming_;
    std::vector<std::unique_ptr<StreamListener>> listeners_;
    std::vector<StreamListener*> byfd_;
    std::array<unsigned char, 16384> buf_{}, scratch_{};
    std::atomic<bool> stop_{false};
    std::thread t_;
};

namespace {

MHD_Result answer(MHD_Connection* conn, unsigned code, const std::string& body, const char* type) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Cache-Control", "no-cache, no-store");
    if (code == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, "Allow", "GET, HEAD");
    const MHD_Result ok = MHD_queue_response(conn, code, r);
    MHD_destroy_response(r);
    return ok;
}

const char* const MOUNTPATHS[MOUNTS] = {"/listen.ogg", "/listen.mp3"};
const char* const MOUNTTYPES[MOUNTS] = {"audio/ogg", "audio/mpeg"};

ssize_t nobody(void*, std::uint64_t, char*, std::size_t) {
    return MHD_CONTENT_READER_END_OF_STREAM;
}

// The answer's header as a player expects it of an endless stream: no length, and no byte
// ranges (a Range request is answered with the live stream from its start, 200).
void streamheaders(MHD_Response* r, Mount m) {
    MHD_add_response_header(r, "Content-Type", MOUNTTYPES[m]);
    MHD_add_response_header(r, "Accept-Ranges", "none");
    MHD_add_response_header(r, "Cache-Control", "no-cache, no-store");
    MHD_add_response_header(r, "Pragma", "no-cache");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
}

// HEAD: the stream's header and no body; nobody joins.
MHD_Result streamhead(MHD_Connection* conn, Mount m) {
    MHD_Response* r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, READERBLOCK, nobody, nullptr, nullptr);
    if (r == nullptr) return MHD_NO;
    streamheaders(r, m);
    const MHD_Result ok = MHD_queue_response(conn, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ok;
}

// The answer's header of a stream the relay sends itself: the headers above, the date, and
// the end of the stream is the end of the connection.
std::string streamanswer(Mount m) {
    char date[64] = "";
    std::tm tm{};
    const std::time_t now = std::time(nullptr);
    if (::gmtime_r(&now, &tm) != nullptr)
        std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string("HTTP/1.1 200 OK\r\nConnection: close\r\nDate: ") + date +
           "\r\nContent-Type: " + MOUNTTYPES[m] +
           "\r\nAccept-Ranges: none\r\nCache-Control: no-cache, no-store\r\n"
           "Pragma: no-cache\r\nX-Content-Type-Options: nosniff\r\n\r\n";
}

// A stream request that is let in: its connection is handed over to the stream sender, which
// answers it from here on; libmicrohttpd is told to let go of it (MHD_NO closes only its own
// descriptor of the socket).
MHD_Result stream(WebServer& srv, MHD_Connection* conn, Mount m) {
    RelayStatus& st = srv.status();
    const std::string client = clientaddress(conn);
    if (!srv.takeplace(client)) {
        st.refused++;
        return answer(conn, MHD_HTTP_SERVICE_UNAVAILABLE, BUSYTEXT, "text/plain; charset=utf-8");
    }
    if (st.listeners.fetch_add(1) >= srv.settings().maxlisteners) {
        st.listeners--;
        st.refused++;
        srv.giveplace(client);
        return answer(conn, MHD_HTTP_SERVICE_UNAVAILABLE, FULLTEXT, "text/plain; charset=utf-8");
    }
    const MHD_ConnectionInfo* ci = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
    const int fd = ci == nullptr ? -1 : ::fcntl(ci->connect_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        st.listeners--;
        srv.giveplace(client);
        return MHD_NO;
    }
    st.mounts[m].listeners++;
    auto l = std::make_unique<StreamListener>();
    l->fd = fd;
    l->mount = m;
    l->cursor = srv.ring(m)->join();
    l->client = client;
    l->peer = peername(conn);
    if (l->peer != client) l->peer += " for " + client;
    l->answer = streamanswer(m);
    const int size = STREAMSNDBUF;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    srv.handover(std::move(l));
    return MHD_NO;
}

MHD_Result request(void* cls, MHD_Connection* conn, const char* url, const char* method,
                   const char*, const char*, std::size_t* uploadsize, void** reqcls) {
    auto& srv = *static_cast<WebServer*>(cls);
    if (*reqcls == nullptr) {
        // First call: the header is complete. Answer once the request (and any body) is in.
        if (srv.heads() != nullptr) srv.heads()->headin(conn);
        *reqcls = &srv;
        return MHD_YES;
    }
    if (*uploadsize != 0) {
        *uploadsize = 0; // a body is not wanted; it is read and thrown away
        return MHD_YES;
    }
    if (clientaddress(conn).empty())
        return answer(conn, MHD_HTTP_BAD_REQUEST, NOCLIENTTEXT, "text/plain; charset=utf-8");
    const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const std::string path = url;
    int mount = 0;
    while (mount < MOUNTS && (path != MOUNTPATHS[mount] || srv.ring(Mount(mount)) == nullptr))
        ++mount;
    if (mount == MOUNTS && srv.hls() != nullptr && hlspath(path)) {
        if (!get && !head)
            return answer(conn, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD.\n",
                          "text/plain; charset=utf-8");
        return static_cast<MHD_Result>(srv.hls()->request(conn, path));
    }
    if (mount == MOUNTS && path != "/status.json")
        return answer(conn, MHD_HTTP_NOT_FOUND, "Not found.\n", "text/plain; charset=utf-8");
    if (!get && !head)
        return answer(conn, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD.\n",
                      "text/plain; charset=utf-8");
    if (mount == MOUNTS)
        return answer(conn, MHD_HTTP_OK, statusjson(srv.status()), "application/json");
    if (head) return streamhead(conn, Mount(mount));
    return stream(srv, conn, Mount(mount));
}

void completed(void* cls, MHD_Connection* conn, void**, MHD_RequestTerminationCode why) {
    auto& srv = *static_cast<WebServer*>(cls);
    if (why == MHD_REQUEST_TERMINATED_COMPLETED_OK && srv.heads() != nullptr)
        srv.heads()->waiting(conn);
    if (HlsStream* hls = srv.hls()) hls->forget(conn);
}

} // namespace

std::string statusjson(const RelayStatus& s) {
    const std::time_t since = s.since.load();
    const nlohmann::ordered_json j = {
        {"listeners", s.listeners.load()},
        {"max_listeners", s.maxlisteners},
        {"upstream", s.upstream.load()},
        {"since", stamptext(since)},
        {"since_unix", static_cast<long long>(since)},
        {"bytes_sent", static_cast<unsigned long long>(s.bytessent.load())},
        {"dropped", static_cast<unsigned long long>(s.dropped.load())},
        {"refused", static_cast<unsigned long long>(s.refused.load())},
        {"bitrate", s.bitrate},
        {"burst_seconds", s.burstseconds},
        {"burst_held_seconds", s.burstheld.load()},
        {"ogg",
         {{"listeners", s.mounts[OGGMOUNT].listeners.load()},
          {"bytes_sent", static_cast<unsigned long long>(s.mounts[OGGMOUNT].bytessent.load())}}},
        {"mp3",
         {{"listeners", s.mounts[MP3MOUNT].listeners.load()},
          {"bytes_sent", static_cast<unsigned long long>(s.mounts[MP3MOUNT].bytessent.load())},
          {"bitrate", s.mp3bitrate}}},
    };
    return j.dump() + "\n";
}

bool WebServer::takeplace(const std::string& client) {
    const std::lock_guard<std::mutex> l(placesmu_);
    int& n = places_[client];
    if (n >= settings_.peraddress) return false;
    ++n;
    return true;
}

void WebServer::giveplace(const std::string& client) {
    const std::lock_guard<std::mutex> l(placesmu_);
    const auto it = places_.find(client);
    if (it != places_.end() && --it->second <= 0) places_.erase(it);
}

void WebServer::handover(std::unique_ptr<StreamListener> l) {
    senders_[nextsender_++ % senders_.size()]->add(std::move(l));
}

void WebServer::pagein(void* self) {
    for (const auto& s : static_cast<WebServer*>(self)->senders_)
        StreamSender::wake(s.get());
}

WebServer::WebServer(PageRing& ogg, PageRing* mp3, RelayStatus& status)
    : rings_{&ogg, mp3}, status_(status) {}

WebServer::~WebServer() {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    if (proxydaemon_ != nullptr) MHD_stop_daemon(proxydaemon_);
    for (PageRing* r : rings_)
        if (r != nullptr) r->onpublish(nullptr, nullptr);
}

int proxysocket(const std::string& path, const std::string& group, std::string& error) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path) {
        error = "the path is empty or too long";
        return -1;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    gid_t gid = static_cast<gid_t>(-1);
    if (!group.empty()) {
        const struct group* gr = ::getgrnam(group.c_str());
        if (gr == nullptr) {
            error = "no group '" + group + "'";
            return -1;
        }
        gid = gr->gr_gid;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    // A socket left by an earlier run is replaced; any other file there is left alone.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    // Made private, then given to the group: nobody else can connect in between.
    const mode_t mask = ::umask(0177);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    ::umask(mask);
    if (!bound || ::chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0 ||
        ::chmod(path.c_str(), 0660) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WebServer::start(const HttpSettings& settings) {
    settings_ = settings;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(settings.port));
    if (::inet_pton(AF_INET, settings.address.c_str(), &sa.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (::getaddrinfo(settings.address.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
            errno = EADDRNOTAVAIL;
            return false;
        }
        sa.sin_addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
        ::freeaddrinfo(res);
    }
    const unsigned limit = static_cast<unsigned>(settings.maxlisteners) + EXTRACONNECTIONS;
    const std::chrono::milliseconds head(std::min(HEADSECONDS, settings.timeout) * 1000);
    // An address allowed more streams than the usual (--peraddress) may also open as many
    // connections at once before their requests arrive.
    const std::size_t peraddress =
        std::max(INCOMPLETEPERADDRESS, static_cast<std::size_t>(std::max(0, settings.peraddress)));
    for (unsigned i = 0; i < SENDERS; ++i)
        senders_.push_back(std::make_unique<StreamSender>(*this));
    for (PageRing* r : rings_)
        if (r != nullptr) r->onpublish(&WebServer::pagein, this);
    heads_ = std::make_unique<HeadGuard>(HeadGuard::Limits{peraddress, INCOMPLETETOTAL, head,
                                                           std::chrono::seconds(settings.timeout)});
    // MHD_USE_TURBO: besides its opportunistic reads and writes, a connection it closes is only
    // closed, not shut down first, so that a stream connection handed over to the sender
    // (stream() above) stays open on the sender's descriptor.
    daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO,
        static_cast<std::uint16_t>(settings.port), HeadGuard::accept, heads_.get(), request, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&sa), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(settings.timeout), MHD_OPTION_CONNECTION_LIMIT,
        limit + static_cast<unsigned>(INCOMPLETETOTAL), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        CONNECTIONMEMORY, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1U, MHD_OPTION_NOTIFY_COMPLETED,
        completed, this, MHD_OPTION_NOTIFY_CONNECTION, HeadGuard::notify, heads_.get(),
        MHD_OPTION_END);
    if (daemon_ == nullptr || settings.proxyfd < 0) return daemon_ != nullptr;
    // The web server's socket: the same requests, each for the client it names.
    proxydaemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO, 0, nullptr,
        nullptr, request, this, MHD_OPTION_LISTEN_SOCKET, settings.proxyfd,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(settings.timeout),
        MHD_OPTION_CONNECTION_LIMIT, limit, MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTIONMEMORY,
        MHD_OPTION_NOTIFY_COMPLETED, completed, this, MHD_OPTION_END);
    return proxydaemon_ != nullptr;
    return daemon_ != nullptr;
}

} // namespace kpx
