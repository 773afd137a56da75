#include "httpserve.h"

#include "console.h"
#include "hls.h"

#include <microhttpd.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
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

// Request marker of a connection that carries the stream (set once the stream is queued).
char streammark;

const char* const FULLTEXT = "Too many listeners at the moment. Please try again later.\n";
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

std::string peername(MHD_Connection* conn) {
    const MHD_ConnectionInfo* ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (ci == nullptr || ci->client_addr == nullptr || ci->client_addr->sa_family != AF_INET)
        return "?";
    char text[INET_ADDRSTRLEN] = "?";
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ci->client_addr);
    ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    return text;
}

// The address a stream is counted under: the peer's, or for a request passed on by a proxy of
// `proxies` the last entry of its X-Forwarded-For (the one that proxy added itself).
std::string clientaddress(MHD_Connection* conn, const std::vector<NetRule>& proxies) {
    const MHD_ConnectionInfo* ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (ci == nullptr || ci->client_addr == nullptr || ci->client_addr->sa_family != AF_INET)
        return "?";
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ci->client_addr);
    const std::string peer = peername(conn);
    if (!netallowed(proxies, sin->sin_addr.s_addr)) return peer;
    const char* xff = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "X-Forwarded-For");
    if (xff == nullptr) return peer;
    std::string last = xff;
    last.erase(0, last.rfind(',') + 1);
    const std::size_t from = last.find_first_not_of(" \t");
    const std::size_t to = last.find_last_not_of(" \t");
    // The proxy writes an address there; anything longer is not one and is cut short.
    return from == std::string::npos ? peer
                                     : last.substr(from, std::min<std::size_t>(to - from + 1, 64));
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
    const std::string client = clientaddress(conn, srv.settings().proxies);
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
        *reqcls = &srv;
        return MHD_YES;
    }
    if (*uploadsize != 0) {
        *uploadsize = 0; // a body is not wanted; it is read and thrown away
        return MHD_YES;
    }
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
    if (HlsStream* hls = static_cast<WebServer*>(cls)->hls()) hls->forget(conn);
    if (*reqcls == &streammark && why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED)
        prndropped(*static_cast<WebServer*>(cls), peername(conn), "it took nothing for");
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
    daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME,
        static_cast<std::uint16_t>(settings.port), nullptr, nullptr, request, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&sa), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(settings.timeout), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(settings.maxlisteners) + EXTRACONNECTIONS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTIONMEMORY, MHD_OPTION_LISTENING_ADDRESS_REUSE,
        1U, MHD_OPTION_NOTIFY_COMPLETED, completed, this, MHD_OPTION_END);
    return daemon_ != nullptr;
}

} // namespace kpx
