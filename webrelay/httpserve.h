// The web relay's HTTP side: libmicrohttpd (one internal thread with epoll) reads and answers
// the requests; GET /listen.ogg and /listen.mp3 are then handed to a sending thread of their
// own, which streams the shared pages to every listener; GET /status.json tells how the relay
// is doing.
#pragma once

#include "headguard.h"
#include "pagering.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct MHD_Daemon;

namespace kpx {

class HlsStream;
class StreamSender;
struct StreamListener;

// The streams served: Ogg/Opus always, MP3 unless it is turned off.
enum Mount { OGGMOUNT, MP3MOUNT, MOUNTS };

struct MountStatus {
    std::atomic<int> listeners{0};
    std::atomic<std::uint64_t> bytessent{0};
};

// What /status.json reports; written by the relay's threads, read by the HTTP thread.
struct RelayStatus {
    std::atomic<int> listeners{0};
    std::atomic<bool> upstream{false};
    std::atomic<std::time_t> since{0};       // last change of `upstream`
    std::atomic<std::uint64_t> bytessent{0}; // audio stream bytes handed to the network
    std::atomic<std::uint64_t> dropped{0};   // listeners dropped for falling behind
    std::atomic<std::uint64_t> refused{0};   // listeners turned away at the limit
    int bitrate = 0;
    int maxlisteners = 0;
    MountStatus mounts[MOUNTS];
    int mp3bitrate = 0; // 0: no MP3 stream
    int burstseconds = 0;
    // Seconds of burst a listener joining now gets: fewer than burstseconds while the relay
    // is younger than its burst.
    std::atomic<double> burstheld{0};
};

struct HttpSettings {
    std::string address; // host name or dotted IPv4 address
    int port = 0;
    int maxlisteners = 0; // more get 503
    int timeout = 0;      // seconds a request may take to arrive, or a connection idle
    int queueseconds = 0; // a stream connection that takes nothing this long is dropped
    int peraddress = 0;   // streams at once per client address; more get 503
    int proxyfd = -1;     // the web server's listening socket (proxysocket), or -1
};

// The listening Unix socket at `path` through which the web server passes requests on (their
// X-Forwarded-For names the client): mode 0660, of `group` when one is given (else of the
// relay's own group). A socket left there is replaced. -1 with `error` saying why.
int proxysocket(const std::string& path, const std::string& group, std::string& error);

class WebServer {
  public:
    // `mp3` may be null: then /listen.mp3 is not served.
    WebServer(PageRing& ogg, PageRing* mp3, RelayStatus& status);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Starts serving; false (with errno set where the system said why) when the address
    // cannot be resolved or bound.
    bool start(const HttpSettings& settings);

    // Used by the request handling (public for the C callbacks).
    PageRing* ring(Mount m) { return rings_[m]; }
    RelayStatus& status() { return status_; }
    HeadGuard* heads() { return heads_.get(); } // watches only the TCP port's connections
    // The HLS playlist and segments (/listen.m3u8), when set.
    void sethls(HlsStream* hls) { hls_ = hls; }
    HlsStream* hls() { return hls_; }
    const HttpSettings& settings() const { return settings_; }
    // Takes one of the per-address places of `client`; false when they are all taken.
    bool takeplace(const std::string& client);
    void giveplace(const std::string& client);
    // Hands a stream connection, answered, over to one of the sending threads.
    void handover(std::unique_ptr<StreamListener> l);

  private:
    std::mutex placesmu_;
    std::map<std::string, int> places_; // streams per client address
    PageRing* rings_[MOUNTS];
    RelayStatus& status_;
    HttpSettings settings_;
    MHD_Daemon* daemon_ = nullptr;
    MHD_Daemon* proxydaemon_ = nullptr;
    std::unique_ptr<HeadGuard> heads_; // the TCP port's incomplete requests
    // The stream connections, once answered, shared out among the sending threads.
    std::vector<std::unique_ptr<StreamSender>> senders_;
    std::atomic<unsigned> nextsender_{0};
    static void pagein(void* self); // the rings' hook: wakes every sending thread
    HlsStream* hls_ = nullptr;
};

// The body of /status.json.
std::string statusjson(const RelayStatus& s);

} // namespace kpx
