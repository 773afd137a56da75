#include "webrelay.h"

#include "cfile.h"
#include "codec.h"
#include "configfile.h"
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

#include <getopt.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// Milliseconds between looks at the listening socket and the silence limit while no packet
// comes.
inline constexpr int UPSTREAMTICKMS = 1000;

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

Settings relaysettings(RelayOptions& o) {
    return {
        textkey("upstream", o.upstream, "0.0.0.0"),
        {.name = "listen",
         .kind = Kind::hostport,
         .field = &o.httpaddress,
         .text = "127.0.0.1",
         .number = 8000,
         .port = &o.httpport},
        numberkey("bitrate", Kind::number, o.bitrate, DEFAULTBITRATE, MINBITRATE, MAXBITRATE),
        numberkey("maxlisteners", Kind::number, o.maxlisteners, 500, 1, 10000),
        numberkey("queueseconds", Kind::number, o.queueseconds, 10, 2, 60),
        numberkey("timeout", Kind::number, o.timeout, 10, 1, 300),
        numberkey("burstseconds", Kind::number, o.burstseconds, 16, 0, 60),
        numberkey("mp3bitrate", Kind::number, o.mp3bitrate, 32000, 0, 64000),
        {.name = "allowupstream", .kind = Kind::rules, .field = &o.allow, .given = &o.allowset},
        numberkey("upstreamidle", Kind::number, o.upstreamsilence, UPSTREAMIDLESECONDS, 0, 3600),
        numberkey("peraddress", Kind::number, o.peraddress, 4, 1, 10000),
        textkey("proxysocket", o.proxysocket),
        textkey("proxygroup", o.proxygroup),
        textkey("allowuser", o.allowuser),
    };
}

namespace {

// The option names of earlier versions: they still work, with a note to use the new ones.
struct OldName {
    const char* old;
    const char* now;
};

const OldName oldnames[] = {
    {"allow", "allowupstream"},        {"upstream-silence", "upstreamidle"},
    {"allow-user", "allowuser"},       {"max-listeners", "maxlisteners"},
    {"queue-seconds", "queueseconds"}, {"burst-seconds", "burstseconds"},
    {"mp3-bitrate", "mp3bitrate"},     {"per-address", "peraddress"},
    {"proxy-socket", "proxysocket"},   {"proxy-group", "proxygroup"},
};

// Puts `value` into the key `row`, named `as` in messages; false with `error` set.
bool take(const Setting& row, const std::string& as, const std::string& value, RelayOptions& o,
          std::string& error) {
    if (!takesetting(row, value)) {
        error = as + " " + wants(row);
        return false;
    }
    const std::string name = row.name;
    if (name == "allowuser") {
        const passwd* pw = ::getpwnam(value.c_str());
        if (pw == nullptr) {
            error = as + ": no user '" + value + "'";
            return false;
        }
        o.allowuid = static_cast<long>(pw->pw_uid);
    }
    if (name == "mp3bitrate" && o.mp3bitrate != 0 && !mp3bitrate(o.mp3bitrate)) {
        error = as + " wants 0 or a multiple of 8000 from 8000 to 64000";
        return false;
    }
    return true;
}

// Reads the settings file `path` (the keys of relaysettings, as kpx.conf is written).
bool readsettings(const std::string& path, const Settings& rows, RelayOptions& o,
                  std::string& error) {
    FilePtr f = openconfig(path);
    if (!f) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    int lineno = 0;
    eachconfigline(
        f.get(),
        [&](const std::string& line) {
            if (!error.empty()) return;
            const std::string at = path + ", line " + std::to_string(lineno) + ": ";
            const std::string key = getparam(line, 0, KEYCHARS);
            if (key.empty() || key[0] == '#' || key[0] == '/' || key[0] == ';') return;
            const Setting* row = findsetting(rows, key);
            const std::string value = getparam(line, 1, VALUECHARS);
            if (row == nullptr)
                error = at + "unknown key '" + key + "'";
            else if (value.empty())
                error = at + key + " needs a value";
            else if (take(*row, key, value, o, error))
                return;
            else
                error = at + error;
        },
        [&lineno] { ++lineno; });
    return error.empty();
}

} // namespace

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
        "Options (each also a line \"KEY = VALUE\" of a file given with --config):\n"
        "  --config FILE          read settings from FILE, written as kpx.conf is\n"
        "  --upstream ADDR        the upstream address (as UPSTREAM-ADDRESS)\n"
        "  --listen ADDR:PORT     HTTP address and port (default 127.0.0.1:8000)\n"
        "  --bitrate BITS         Opus bit rate in bit/s, %d to %d (default %d)\n"
        "  --maxlisteners N       browsers served at once; more get 503 (default 500)\n"
        "  --queueseconds S       a browser more than S seconds behind is dropped\n"
        "                         (2 to 60, default 10)\n"
        "  --timeout S            seconds a request may take to arrive complete or a\n"
        "                         connection may stay idle (1 to 300, default 10)\n"
        "  --burstseconds S       a new listener gets the last S seconds at once, so that\n"
        "                         its player starts at once (0 to 60, default 16)\n"
        "  --mp3bitrate BITS      MP3 bit rate (mono, 16 kHz): 8000 to 64000 in steps of\n"
        "                         8000; 0 serves no MP3 (default 32000)\n"
        "  --allowupstream LIST   hosts and networks (a.b.c.d or a.b.c.d/n, comma-separated)\n"
        "                         that may feed the relay; others are closed at once\n"
        "                         (default: any sender)\n"
        "  --upstreamidle S       an upstream that sent packets and then nothing for S\n"
        "                         seconds is given up (0 to 3600, 0: never; default %ld)\n"
        "  --peraddress N         streams at once per client address; more get 503\n"
        "                         (1 to 10000, default 4)\n"
        "  --proxysocket PATH     a Unix socket (mode 0660) for the web server in front of\n"
        "                         the relay: for requests on it the client address is the\n"
        "                         last entry of X-Forwarded-For (a request without a valid\n"
        "                         one gets 400); on the TCP port that header is ignored\n"
        "  --proxygroup GROUP     the socket's group: the web server's (default: the\n"
        "                         relay's own)\n"
        "  --allowuser NAME       an upstream sender on this machine (loopback too) must be\n"
        "                         a program of user NAME; another local user's is closed at\n"
        "                         once, also from an allowed address (default: any user)\n"
        "  -h, --help             this text\n"
        "The names of earlier versions (--allow, --upstream-silence, --max-listeners, ...)\n"
        "still work.\n"
        "\n"
        "HTTP: GET /listen.ogg (the stream, audio/ogg), GET /listen.mp3 (audio/mpeg),\n"
        "GET /status.json (listeners, upstream connected or not and since when, bytes sent).\n",
        self, MINBITRATE, MAXBITRATE, DEFAULTBITRATE, UPSTREAMIDLESECONDS);
}

namespace {

// What getopt_long returns: a short option's letter, or these plus a row's index.
enum : int { HELP = 'h', CONFIG = 'c', GONE = 1000, KEY = 2000, OLD = 3000 };

// The options in their order through getopt_long; see parseoptions.
int readoptions(int argc, char** argv, const Settings& rows, const std::vector<option>& longopts,
                RelayOptions& o, std::vector<const OldName*>& used, std::string& error) {
    optind = 0; // start afresh
    opterr = 0;
    for (;;) {
        const int c = ::getopt_long(argc, argv, ":hc:", longopts.data(), nullptr);
        if (c == -1) break;
        // What was written: the option's own word, also when its value followed it.
        const int at = optarg != nullptr && optind >= 2 && optarg == argv[optind - 1] ? optind - 2
                                                                                      : optind - 1;
        std::string typed = at >= 1 && at < argc ? argv[at] : "";
        typed = typed.substr(0, typed.find('='));
        if (c == '?' || c == ':') {
            if (c == '?' && optopt != 0) typed = std::string("-") + static_cast<char>(optopt);
            error = c == ':' ? typed + " needs a value" : "unknown option '" + typed + "'";
            return -1;
        }
        if (c == HELP) return 1;
        // getopt_long takes any unambiguous abbreviation: only whole names count here.
        const option& chosen =
            *std::find_if(longopts.begin(), longopts.end(),
                          [c](const option& x) { return x.val == c || x.name == nullptr; });
        if (c != CONFIG && (chosen.name == nullptr || typed != std::string("--") + chosen.name)) {
            error = "unknown option '" + typed + "'";
            return -1;
        }
        if (c == GONE) {
            error = "--proxy is gone: X-Forwarded-For is taken only on --proxysocket PATH";
            return -1;
        }
        if (c == CONFIG) {
            if (!readsettings(optarg, rows, o, error)) return -1;
            continue;
        }
        std::size_t k = static_cast<std::size_t>(c - KEY);
        if (c >= OLD) {
            const OldName& n = oldnames[c - OLD];
            if (std::find(used.begin(), used.end(), &n) == used.end()) used.push_back(&n);
            k = static_cast<std::size_t>(findsetting(rows, n.now) - rows.data());
        }
        if (!take(rows[k], typed, optarg, o, error)) return -1;
    }
    for (int i = optind; i < argc; ++i) {
        if (argv[i][0] == '\0') {
            error = "unknown option ''";
            return -1;
        }
        if (i > optind) {
            error = "more than one upstream address";
            return -1;
        }
        o.upstream = argv[i];
    }
    return 0;
}

} // namespace

int parseoptions(int argc, char** argv, RelayOptions& o, std::string& error) {
    const Settings rows = relaysettings(o);
    resetsettings(rows);
    o.allowuid = -1;
    // Long options: the keys, then the old names, then these.
    std::vector<option> longopts;
    for (std::size_t k = 0; k < rows.size(); ++k)
        longopts.push_back({rows[k].name, required_argument, nullptr, KEY + static_cast<int>(k)});
    for (std::size_t k = 0; k < std::size(oldnames); ++k)
        longopts.push_back(
            {oldnames[k].old, required_argument, nullptr, OLD + static_cast<int>(k)});
    longopts.push_back({"config", required_argument, nullptr, CONFIG});
    longopts.push_back({"help", no_argument, nullptr, HELP});
    longopts.push_back({"proxy", required_argument, nullptr, GONE});
    longopts.push_back({nullptr, 0, nullptr, 0});

    std::vector<const OldName*> used; // the old names given
    const int status = readoptions(argc, argv, rows, longopts, o, used, error);
    std::string old, now;
    for (const OldName* n : used) {
        old += (old.empty() ? "--" : ", --") + std::string(n->old);
        now += (now.empty() ? "--" : ", --") + std::string(n->now);
    }
    if (!used.empty())
        std::fprintf(stderr, "%s: %s: old option names; use %s (the names of kpx.conf)\n",
                     argc > 0 ? argv[0] : "webrelay", old.c_str(), now.c_str());
    return status;
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
    std::fputs(o.allowset ? "- Upstream senders are accepted only from the --allowupstream list.\n"
                          : "- Upstream senders are accepted from any host (name the server in "
                            "--allowupstream).\n",
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
