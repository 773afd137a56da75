#include "webrelay.h"

#include "codec.h"
#include "console.h"
#include "fdread.h"
#include "hls.h"
#include "hooks.h"
#include "httpserve.h"
#include "mp3.h"
#include "numbers.h"
#include "oggopus.h"
#include "pagering.h"
#include "receiver.h"

#include <lame/lame.h>
#include <opus/opus.h>

#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

namespace kpx {

namespace {

using Clock = std::chrono::steady_clock;

const AcceptTexts upstreamtexts{stderr, "Use a WWW-browser to connect to server!\n", nullptr};

// The upstream socket's receive buffer: small, so that a sender in playback mode runs only a
// few seconds ahead of what the browsers hear.
inline constexpr int UPSTREAMRCVBUF = 4096;
// After a hold-up longer than this the stream's clock starts afresh instead of catching up.
inline constexpr std::chrono::milliseconds RESYNC{2000};

struct Range {
    const char* name;
    int RelayOptions::*field;
    int low, high;
};

const Range ranges[] = {
    {"--bitrate", &RelayOptions::bitrate, MINBITRATE, MAXBITRATE},
    {"--max-listeners", &RelayOptions::maxlisteners, 1, 10000},
    {"--queue-seconds", &RelayOptions::queueseconds, 2, 60},
    {"--timeout", &RelayOptions::timeout, 1, 300},
    {"--burst-seconds", &RelayOptions::burstseconds, 0, 60},
    {"--mp3-bitrate", &RelayOptions::mp3bitrate, 0, 64000},
    {"--upstream-silence", &RelayOptions::upstreamsilence, 0, 3600},
    {"--per-address", &RelayOptions::peraddress, 1, 10000},
};

// Options naming hosts and networks.
struct ListOption {
    const char* name;
    std::vector<NetRule> RelayOptions::*field;
};

const ListOption lists[] = {
    {"--allow", &RelayOptions::allow},
};

// Options naming a path, a group or a user.
struct TextOption {
    const char* name;
    std::string RelayOptions::*field;
};

const TextOption texts[] = {
    {"--proxy-socket", &RelayOptions::proxysocket},
    {"--proxy-group", &RelayOptions::proxygroup},
    {"--allow-user", &RelayOptions::allowuser},
};

// Seconds between looks at the listening socket and the silence limit while no packet comes.
inline constexpr int UPSTREAMTICKMS = 1000;

bool number(const std::string& text, int low, int high, int& out) {
    long v = 0;
    if (!plainnumber(text, high, v) || v < low) return false;
    out = static_cast<int>(v);
    return true;
}

void setrcvbuf(int sock) {
    const int size = UPSTREAMRCVBUF;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void setupstream(RelayStatus& st, bool on) {
    st.since = std::time(nullptr);
    st.upstream = on;
}

// Relays one upstream until it is lost. With an allow list, senders that connect meanwhile
// are taken at once: strangers are closed, an allowed one waits in `waiting` to take over.
void relayone(int up, const RelayOptions& o, const AcceptGuard& guard, int& waiting, Feed& feed) {
    std::vector<unsigned char> recent;
    const ReadFn rd = drainbacklog(up, linkreader(up), recent);
    Packet p;
    bool whole = !recent.empty(); // at least one whole packet came
    for (std::size_t at = 0; at < recent.size(); at += PACKETBYTES) {
        std::memcpy(p.data(), recent.data() + at, PACKETBYTES);
        feed.push(p);
    }
    auto last = Clock::now();
    for (;;) {
        pollfd fds[2] = {{up, POLLIN, 0}, {lsn.sk, POLLIN, 0}};
        const nfds_t count = o.allowset || o.allowuid >= 0 ? 2 : 1;
        const int r = ::poll(fds, count, UPSTREAMTICKMS);
        if (count == 2 && (fds[1].revents & POLLIN) != 0) takewaiting(lsn.sk, guard, waiting);
        if (r > 0 && fds[0].revents != 0) {
            // A partial packet is dropped; the browsers hear silence until the next upstream.
            if (collectpacket(rd, p.data(), 0) != PACKETBYTES) return;
            feed.push(p);
            whole = true;
            last = Clock::now();
            continue;
        }
        const auto quiet = Clock::now() - last;
        if (!whole && quiet >= FIRSTBYTELIMIT) {
            std::fputs("The upstream sent nothing after connecting.\n", stderr);
            return;
        }
        // A live upstream sends packets also while it is quiet (silence is packets).
        if (whole && o.upstreamsilence > 0 && quiet >= std::chrono::seconds(o.upstreamsilence)) {
            std::fprintf(stderr, "The upstream sent nothing for %d s: it is given up.\n",
                         o.upstreamsilence);
            return;
        }
    }
}

// One upstream after another on the same socket, for ever.
[[noreturn]] void upstreamloop(const RelayOptions& o, Feed& feed, RelayStatus& st) {
    AcceptGuard guard;
    if (o.allowset) guard.allowed = [&o](std::uint32_t addr) { return netallowed(o.allow, addr); };
    guard.user = o.allowuid;
    int waiting = -1;
    for (;;) {
        int up = waiting;
        waiting = -1;
        if (up >= 0) {
            std::fputs("Connection established.\n", stderr);
        } else {
            up = acc_sock(lsn.sk, o.upstream.c_str(), STREAMPORT, upstreamtexts, &guard);
        }
        if (up < 0) {
            // The listening socket is gone: a new one is bound on the next turn.
            renewlistener();
            setrcvbuf(lsn.sk);
            continue;
        }
        prnline();
        std::fputs("SERVER MODE\n", stderr);
        prntime(std::time(nullptr));
        std::fputs("- Relaying the upstream to the browsers.\n", stderr);
        prnline();
        std::fflush(stderr);
        setupstream(st, true);

        relayone(up, o, guard, waiting, feed);
        prnupstreamlost();
        ::close(up);
        setupstream(st, false);
        prntime(std::time(nullptr));
        std::fputs("Upstream gone: the browsers hear silence until the next one connects.\n",
                   stderr);
        prnline();
        std::fflush(stderr);
    }
}

// Makes one page every 200 ms: the next upstream packet when there is one, else silence; the
// same block goes to the MP3 encoder when there is one.
[[noreturn]] void pace(Feed& feed, OggOpus& enc, PageRing& ring, Mp3Encoder* mp3, PageRing* mp3ring,
                       HlsStream* hls, RelayStatus& st) {
    auto due = Clock::now();
    Packet p;
    unsigned char ulaw[PACKETSAMPLES];
    std::int16_t pcm[PACKETSAMPLES];
    for (;;) {
        // Without an upstream there is no late packet to wait for: silence goes out on time,
        // and the next upstream's packets fall early in their period, far from the grace's end.
        bool sound = feed.take(p, due, LEAD, st.upstream ? GRACE : std::chrono::milliseconds(0));
        if (sound && decode(p.data(), PACKETBYTES, ulaw) != PACKETSAMPLES) {
            prncorrupt(stderr);
            sound = false;
        }
        for (int i = 0; i < PACKETSAMPLES; ++i)
            pcm[i] = sound ? ulaw2linear(ulaw[i]) : 0;
        ring.publish(enc.block(pcm, PACKETSAMPLES));
        if (mp3 != nullptr) {
            const std::string frames = mp3->block(pcm, PACKETSAMPLES);
            mp3ring->publish(frames);
            hls->publish(frames);
        }
        st.burstheld = static_cast<double>(ring.burstheld()) / PACKETSPERSECOND;
        due += PAGEPERIOD;
        if (Clock::now() - due > RESYNC) due = Clock::now();
    }
}

void raisefilelimit(int wanted) {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= static_cast<rlim_t>(wanted)) return;
    r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max >= static_cast<rlim_t>(wanted)
                     ? static_cast<rlim_t>(wanted)
                     : r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
}

} // namespace

void Feed::push(const Packet& p) {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return q_.size() < CAPACITY; });
    q_.push_back(p);
    cv_.notify_all();
}

bool Feed::take(Packet& p, Clock::time_point due, std::chrono::milliseconds lead,
                std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
        const auto now = Clock::now();
        if (!q_.empty() && now >= due - lead) {
            p = q_.front();
            q_.pop_front();
            cv_.notify_all();
            return true;
        }
        if (q_.empty() && now >= due + grace) return false;
        cv_.wait_until(l, q_.empty() ? due + grace : due - lead);
    }
}

void usage(std::FILE* out, const char* self) {
    std::fprintf(
        out,
        "Usage: %s [options] [UPSTREAM-ADDRESS]\n"
        "\n"
        "Takes a KPX stream on TCP port 9998 of UPSTREAM-ADDRESS (default 0.0.0.0, all of\n"
        "this machine's addresses), connected by the server like a relay broadcaster, and\n"
        "serves it to web browsers and players as Ogg/Opus and MP3. Without an upstream\n"
        "the listeners get silence.\n"
        "\n"
        "Options:\n"
        "  --listen ADDR:PORT     HTTP address and port (default 127.0.0.1:8000)\n"
        "  --bitrate BITS         Opus bit rate in bit/s, %d to %d (default %d)\n"
        "  --max-listeners N      browsers served at once; more get 503 (default 500)\n"
        "  --queue-seconds S      a browser more than S seconds behind is dropped\n"
        "                         (2 to 60, default 10)\n"
        "  --timeout S            seconds a request may take to arrive complete or a\n"
        "                         connection may stay idle (1 to 300, default 10)\n"
        "  --burst-seconds S      a new listener gets the last S seconds at once, so that\n"
        "                         its player starts at once (0 to 60, default 16)\n"
        "  --mp3-bitrate BITS     MP3 bit rate (mono, 16 kHz): 8000 to 64000 in steps of\n"
        "                         8000; 0 serves no MP3 (default 32000)\n"
        "  --allow LIST           hosts and networks (a.b.c.d or a.b.c.d/n, comma-separated)\n"
        "                         that may feed the relay; others are closed at once\n"
        "                         (default: any sender)\n"
        "  --upstream-silence S   an upstream that sent packets and then nothing for S\n"
        "                         seconds is given up (0 to 3600, 0: never; default 30)\n"
        "  --per-address N        streams at once per client address; more get 503\n"
        "                         (1 to 10000, default 4)\n"
        "  --proxy-socket PATH    a Unix socket (mode 0660) for the web server in front of\n"
        "                         the relay: for requests on it the client address is the\n"
        "                         last entry of X-Forwarded-For (a request without a valid\n"
        "                         one gets 400); on the TCP port that header is ignored\n"
        "  --proxy-group GROUP    the socket's group: the web server's (default: the\n"
        "                         relay's own)\n"
        "  --allow-user NAME      an upstream sender on this machine (loopback too) must be\n"
        "                         a program of user NAME; another local user's is closed at\n"
        "                         once, also from an allowed address (default: any user)\n"
        "  -h, --help             this text\n"
        "\n"
        "HTTP: GET /listen.ogg (the stream, audio/ogg), GET /listen.mp3 (audio/mpeg),\n"
        "GET /status.json (listeners, upstream connected or not and since when, bytes sent).\n",
        self, MINBITRATE, MAXBITRATE, DEFAULTBITRATE);
}

int parseoptions(int argc, char** argv, RelayOptions& o, std::string& error) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") return 1;
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            if (arg == "--" || arg.empty() || arg[0] == '-') {
                error = "unknown option '" + arg + "'";
                return -1;
            }
            if (++positional > 1) {
                error = "more than one upstream address";
                return -1;
            }
            o.upstream = arg;
            continue;
        }
        std::string value;
        const std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--proxy") {
            error = "--proxy is gone: X-Forwarded-For is taken only on --proxy-socket PATH";
            return -1;
        }
        bool known = arg == "--listen";
        for (const Range& r : ranges)
            known = known || arg == r.name;
        for (const ListOption& l : lists)
            known = known || arg == l.name;
        for (const TextOption& t : texts)
            known = known || arg == t.name;
        if (!known) {
            error = "unknown option '" + arg + "'";
            return -1;
        }
        if (eq == std::string::npos && i + 1 < argc) {
            value = argv[++i];
        } else if (eq == std::string::npos) {
            error = arg + " needs a value";
            return -1;
        }
        if (arg == "--listen") {
            const std::size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                !number(value.substr(colon + 1), 1, 65535, o.httpport)) {
                error = "--listen wants ADDR:PORT";
                return -1;
            }
            o.httpaddress = value.substr(0, colon);
            continue;
        }
        for (const ListOption& l : lists) {
            if (arg == l.name && (value.empty() || !addrules(value, o.*(l.field)))) {
                error = arg + " wants hosts or networks: a.b.c.d or a.b.c.d/n, comma-separated";
                return -1;
            }
        }
        for (const TextOption& t : texts) {
            if (arg == t.name && value.empty()) {
                error = arg + " needs a value";
                return -1;
            }
            if (arg == t.name) o.*(t.field) = value;
        }
        if (arg == "--allow") o.allowset = true;
        for (const Range& r : ranges) {
            if (arg == r.name && !number(value, r.low, r.high, o.*(r.field))) {
                error = arg + " wants a number from " + std::to_string(r.low) + " to " +
                        std::to_string(r.high);
                return -1;
            }
        }
        if (arg == "--allow-user") {
            const passwd* pw = ::getpwnam(value.c_str());
            if (pw == nullptr) {
                error = "--allow-user: no user '" + value + "'";
                return -1;
            }
            o.allowuid = static_cast<long>(pw->pw_uid);
        }
        if (arg == "--mp3-bitrate" && o.mp3bitrate != 0 && !mp3bitrate(o.mp3bitrate)) {
            error = "--mp3-bitrate wants 0 or a multiple of 8000 from 8000 to 64000";
            return -1;
        }
    }
    return 0;
}

int webrelaymain(int argc, char** argv) {
    const char* self = argc > 0 ? argv[0] : "webrelay";
    RelayOptions o;
    std::string error;
    const int parsed = parseoptions(argc, argv, o, error);
    if (parsed == 1) {
        usage(stdout, self);
        return 0;
    }
    if (parsed < 0) {
        std::fprintf(stderr, "%s: %s\n\n", self, error.c_str());
        usage(stderr, self);
        return 255;
    }
    // A thread that has to end the program (a failed bind of the upstream socket) ends it at
    // once, with the other threads still running.
    hooks.quit = [](int status) {
        std::fflush(nullptr);
        std::_Exit(status);
    };
    std::signal(SIGPIPE, SIG_IGN);
    raisefilelimit(o.maxlisteners + 256);

    printbanner("WEB RELAY  ", "1.10     ");
    prncod();
    std::fflush(stdout);

    std::random_device seed;
    OggOpus enc(o.bitrate, static_cast<std::uint32_t>(seed()));
    if (!enc.ok()) {
        std::fprintf(stderr, "Opus encoder: %s\n", enc.error().c_str());
        return 255;
    }
    std::unique_ptr<Mp3Encoder> mp3;
    if (o.mp3bitrate != 0) {
        mp3 = std::make_unique<Mp3Encoder>(o.mp3bitrate);
        if (!mp3->ok()) {
            std::fputs("MP3 encoder: settings refused\n", stderr);
            return 255;
        }
    }
    RelayStatus status;
    status.bitrate = o.bitrate;
    status.maxlisteners = o.maxlisteners;
    status.since = std::time(nullptr);
    status.mp3bitrate = o.mp3bitrate;
    status.burstseconds = o.burstseconds;
    // Each ring holds the burst and the queue: a listener may fall the queue behind its burst.
    const auto held = static_cast<std::size_t>(o.queueseconds + o.burstseconds) * PACKETSPERSECOND;
    const auto burst = static_cast<std::size_t>(o.burstseconds) * PACKETSPERSECOND;
    PageRing ring(PageRing::Kind::Ogg, enc.headers(), held, burst);
    std::unique_ptr<PageRing> mp3ring;
    if (mp3) mp3ring = std::make_unique<PageRing>(PageRing::Kind::Plain, "", held, burst);
    int proxyfd = -1;
    if (!o.proxysocket.empty()) {
        proxyfd = proxysocket(o.proxysocket, o.proxygroup, error);
        if (proxyfd < 0) {
            std::fprintf(stderr, "Cannot serve HTTP on %s: %s\n", o.proxysocket.c_str(),
                         error.c_str());
            return 1;
        }
    }
    WebServer web(ring, mp3ring.get(), status);
    // The MP3 frames as Low-Latency HLS too, numbered from the start time (see hls.h).
    std::unique_ptr<HlsStream> hls;
    if (mp3) {
        hls = std::make_unique<HlsStream>(static_cast<std::uint64_t>(std::time(nullptr)));
        web.sethls(hls.get());
    }
    if (!web.start({o.httpaddress, o.httpport, o.maxlisteners, o.timeout, o.queueseconds,
                    o.peraddress, proxyfd})) {
        std::fprintf(stderr, "Cannot serve HTTP on %s:%d: %s\n", o.httpaddress.c_str(), o.httpport,
                     errno != 0 ? std::strerror(errno) : "refused");
        return 1;
    }

    lsn = Listener{};
    lsn.sk = makelistensocket();
    if (lsn.sk < 0) {
        std::perror("socket() (I)");
        return 255;
    }
    setrcvbuf(lsn.sk);

    std::fprintf(stderr, "- Opus %s, %d bit/s, one page per 200 ms.\n", opus_get_version_string(),
                 o.bitrate);
    if (mp3)
        std::fprintf(stderr, "- MP3 (LAME %s), %d bit/s, mono, %d Hz.\n", get_lame_version(),
                     o.mp3bitrate, MP3RATE);
    std::fprintf(stderr, "- Browsers: http://%s:%d/listen.ogg%s, status: /status.json\n",
                 o.httpaddress.c_str(), o.httpport, mp3 ? " and /listen.mp3" : "");
    if (mp3)
        std::fprintf(stderr, "- Low-Latency HLS of the MP3: http://%s:%d/listen.m3u8\n",
                     o.httpaddress.c_str(), o.httpport);
    std::fprintf(stderr, "- A new listener gets the last %d s at once.\n", o.burstseconds);
    std::fprintf(stderr,
                 "- At most %d listeners; one more than %d s behind is dropped; requests time out "
                 "after %d s.\n",
                 o.maxlisteners, o.queueseconds, o.timeout);
    std::fprintf(stderr, "- At most %d streams per client address.\n", o.peraddress);
    if (proxyfd >= 0)
        std::fprintf(stderr,
                     "- The web server's socket: %s (there the client is the last entry of "
                     "X-Forwarded-For).\n",
                     o.proxysocket.c_str());
    std::fputs(
        o.allowset
            ? "- Upstream senders are accepted only from the --allow list.\n"
            : "- Upstream senders are accepted from any host (name the server in --allow).\n",
        stderr);
    if (o.allowuid >= 0)
        std::fprintf(stderr, "- Upstream senders on this machine must be programs of user %s.\n",
                     o.allowuser.c_str());
    if (o.upstreamsilence > 0)
        std::fprintf(stderr, "- An upstream silent for %d s is given up.\n", o.upstreamsilence);
    std::fprintf(stderr, "- Startup time: %.24s.\n", timetext(std::time(nullptr)).c_str());
    prnline();
    std::fputs("CLIENT MODE\n", stderr);
    std::fflush(stderr);

    Feed feed;
    std::thread(upstreamloop, std::cref(o), std::ref(feed), std::ref(status)).detach();
    pace(feed, enc, ring, mp3.get(), mp3ring.get(), hls.get(), status);
}

} // namespace kpx
