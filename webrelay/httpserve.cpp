#include "httpserve.h"

#include "console.h"
#include "hls.h"

#include <microhttpd.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

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

// Request marker of a connection that carries the stream (set once the stream is queued).
char streammark;

const char* const FULLTEXT = "Too many listeners at the moment. Please try again later.\n";
const char* const NOCLIENTTEXT =
    "A request through the web server must name its client in X-Forwarded-For.\n";
const char* const BUSYTEXT =
    "Too many streams to your address at the moment. Please try again later.\n";

struct StreamListener {
    WebServer* srv = nullptr;
    Mount mount = OGGMOUNT;
    MHD_Connection* conn = nullptr;
    Cursor cursor;
    std::string peer;
    std::string client; // the address whose per-address place this stream holds
};

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

ssize_t readstream(void* cls, std::uint64_t, char* buf, std::size_t max) {
    auto* l = static_cast<StreamListener*>(cls);
    const long n =
        l->srv->ring(l->mount)->read(l->cursor, reinterpret_cast<unsigned char*>(buf), max, l);
    if (n < 0) {
        prndropped(*l->srv, l->peer, "it fell behind the stream by more than");
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    l->srv->status().bytessent += static_cast<std::uint64_t>(n);
    l->srv->status().mounts[l->mount].bytessent += static_cast<std::uint64_t>(n);
    return n;
}

void endstream(void* cls) {
    auto* l = static_cast<StreamListener*>(cls);
    l->srv->ring(l->mount)->forget(l);
    l->srv->giveplace(l->client);
    l->srv->status().listeners--;
    l->srv->status().mounts[l->mount].listeners--;
    delete l;
}

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

MHD_Result stream(WebServer& srv, MHD_Connection* conn, void** reqcls, Mount m) {
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
    st.mounts[m].listeners++;
    auto* l = new StreamListener;
    l->srv = &srv;
    l->mount = m;
    l->conn = conn;
    l->cursor = srv.ring(m)->join();
    l->client = client;
    l->peer = peername(conn);
    if (l->peer != client) l->peer += " for " + client;
    MHD_Response* r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, READERBLOCK, readstream, l, endstream);
    if (r == nullptr) {
        st.listeners--;
        st.mounts[m].listeners--;
        srv.giveplace(client);
        delete l;
        return MHD_NO;
    }
    streamheaders(r, m);
    // A stream connection that takes nothing for as long as the queue holds is dropped too.
    MHD_set_connection_option(conn, MHD_CONNECTION_OPTION_TIMEOUT,
                              static_cast<unsigned>(srv.settings().queueseconds));
    if (const MHD_ConnectionInfo* ci =
            MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        const int size = STREAMSNDBUF;
        ::setsockopt(ci->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    const MHD_Result ok = MHD_queue_response(conn, MHD_HTTP_OK, r);
    if (ok == MHD_YES) *reqcls = &streammark;
    MHD_destroy_response(r); // freed, with `l`, when the connection is done with it
    return ok;
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
    return stream(srv, conn, reqcls, Mount(mount));
}

// A stream connection that the browser stopped reading ends by the idle timeout.
void completed(void* cls, MHD_Connection* conn, void** reqcls, MHD_RequestTerminationCode why) {
    auto& srv = *static_cast<WebServer*>(cls);
    if (why == MHD_REQUEST_TERMINATED_COMPLETED_OK && srv.heads() != nullptr)
        srv.heads()->waiting(conn);
    if (HlsStream* hls = srv.hls()) hls->forget(conn);
    if (*reqcls == &streammark && why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED)
        prndropped(srv, peername(conn), "it took nothing for");
}

} // namespace

void suspendreader(void* reader) {
    MHD_suspend_connection(static_cast<StreamListener*>(reader)->conn);
}
void resumereader(void* reader) {
    MHD_resume_connection(static_cast<StreamListener*>(reader)->conn);
}

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

WebServer::~WebServer() {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    if (proxydaemon_ != nullptr) MHD_stop_daemon(proxydaemon_);
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
    heads_ = std::make_unique<HeadGuard>(HeadGuard::Limits{peraddress, INCOMPLETETOTAL, head,
                                                           std::chrono::seconds(settings.timeout)});
    daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME,
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
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, request, this,
        MHD_OPTION_LISTEN_SOCKET, settings.proxyfd, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(settings.timeout), MHD_OPTION_CONNECTION_LIMIT, limit,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTIONMEMORY, MHD_OPTION_NOTIFY_COMPLETED,
        completed, this, MHD_OPTION_END);
    return proxydaemon_ != nullptr;
    return daemon_ != nullptr;
}

} // namespace kpx
