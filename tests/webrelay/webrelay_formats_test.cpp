// The web relay's two streams as players see them, end to end on 127.0.21.x: a late joiner
// gets the burst at once and a stream valid by itself (checked by ogginfo, opusinfo and
// ffmpeg) across an upstream loss and return, with silence as many bytes as sound; and the
// answers to HEAD, Range and unknown mounts, also through scripts/web's lighttpd; the
// Low-Latency HLS playlist's rules, and the HLS through scripts/cache (nginx).
#include "serverenv.h"
#include "testsupport.h"
#include "upstream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using kpxtest::Process;
using kpxtest::webrelay::Bytes;
using kpxtest::webrelay::noisepackets;
using kpxtest::webrelay::Upstream;
using Clock = std::chrono::steady_clock;

namespace {

struct Page {
    std::int64_t granule = 0;
    std::uint32_t seq = 0;
    std::size_t size = 0;
};

std::int64_t le(const std::string& s, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    return static_cast<std::int64_t>(v);
}

// The complete Ogg pages at the start of `s`; `rest` is what follows them.
std::vector<Page> oggpages(const std::string& s, std::size_t* rest = nullptr) {
    std::vector<Page> out;
    std::size_t at = 0;
    while (at + 27 <= s.size() && s.compare(at, 4, "OggS") == 0) {
        const std::size_t nseg = static_cast<unsigned char>(s[at + 26]);
        if (at + 27 + nseg > s.size()) break;
        std::size_t len = 27 + nseg;
        for (std::size_t i = 0; i < nseg; ++i)
            len += static_cast<unsigned char>(s[at + 27 + i]);
        if (at + len > s.size()) break;
        out.push_back({le(s, at + 6, 8), static_cast<std::uint32_t>(le(s, at + 18, 4)), len});
        at += len;
    }
    if (rest) *rest = s.size() - at;
    return out;
}

// Lengths of the MPEG-2 layer III frames at the start of `s` (16 kHz, as the relay sends);
// stops at the first byte that is not a frame header.
std::vector<std::size_t> mp3frames(const std::string& s, std::size_t* rest = nullptr) {
    static const int kbits[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    std::vector<std::size_t> out;
    std::size_t at = 0;
    while (at + 4 <= s.size()) {
        const auto b1 = static_cast<unsigned char>(s[at + 1]),
                   b2 = static_cast<unsigned char>(s[at + 2]);
        // Sync, MPEG-2, layer III, 16 kHz.
        if (static_cast<unsigned char>(s[at]) != 0xFF || (b1 & 0xFE) != 0xF2 ||
            ((b2 >> 2) & 3) != 2)
            break;
        const std::size_t len =
            static_cast<std::size_t>(72 * kbits[b2 >> 4] * 1000 / 16000 + ((b2 >> 1) & 1));
        if (len == 0 || at + len > s.size()) break;
        out.push_back(len);
        at += len;
    }
    if (rest) *rest = s.size() - at;
    return out;
}

int connectto(const std::string& addr, int port) {
    return kpxtest::connectto(addr, port, 5s);
}

// Sends `request` to addr:port; the descriptor, or -1.
int ask(const std::string& addr, int port, const std::string& request) {
    const int fd = connectto(addr, port);
    if (fd >= 0) kpxtest::sendall(fd, request.data(), request.size());
    return fd;
}

// Appends what `fd` delivers for `d` (or until it closes) to `got`; false when it closed.
bool readfor(int fd, std::chrono::milliseconds d, std::string& got) {
    const auto end = Clock::now() + d;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1,
                   static_cast<int>(
                       std::chrono::ceil<std::chrono::milliseconds>(end - now).count())) <= 0)
            continue;
        char buf[16384];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

std::string get(const std::string& addr, int port, const std::string& path,
                std::chrono::milliseconds d) {
    const int fd = ask(addr, port, "GET " + path + " HTTP/1.0\r\nHost: " + addr + "\r\n\r\n");
    std::string got;
    if (fd >= 0) readfor(fd, d, got);
    if (fd >= 0) ::close(fd);
    return got;
}

std::string body(const std::string& response) {
    const auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

std::string status(const std::string& addr) {
    return body(get(addr, 8000, "/status.json", 2s));
}

bool upstreamis(const std::string& addr, bool on) {
    const std::string want = on ? "\"upstream\":true" : "\"upstream\":false";
    return kpxtest::waitfor([&] { return status(addr).find(want) != std::string::npos; }, 15s);
}

// A tool by its Debian path; empty when it is not installed.
std::string tool(const std::string& name) {
    const std::string p = "/usr/bin/" + name;
    return kpxtest::exists(p) ? p : std::string();
}

// Runs a checker and returns what it printed (stdout and stderr); `input` is its standard input.
std::string run(const std::string& exe, const std::vector<std::string>& args,
                const std::string& input = "") {
    Process::Options o;
    o.stdinfile = input;
    Process p(exe, args, o);
    if (!p.wait(30s)) return "timed out";
    return p.out() + p.err() +
           (p.exitcode() != 0 ? "exit status " + std::to_string(p.exitcode()) : "");
}

// The lines of `text` that hold `word` (case as given), except those holding `except`.
std::string lineswith(const std::string& text, const std::string& word, const std::string& except) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (line.find(word) != std::string::npos &&
            (except.empty() || line.find(except) == std::string::npos))
            out += line + "\n";
        at = end + 1;
    }
    return out;
}

// Loudness (RMS) per 200 ms of 8 kHz 16-bit mono samples decoded by ffmpeg from `file`.
std::vector<double> loudness(const std::string& ffmpeg, const std::string& file,
                             const std::string& raw) {
    run(ffmpeg, {"-nostdin", "-v", "error", "-y", "-i", file, "-ac", "1", "-ar", "8000", "-f",
                 "s16le", raw});
    const Bytes b = kpxtest::readbytes(raw);
    std::vector<double> out;
    for (std::size_t at = 0; at + 3200 <= b.size(); at += 3200) {
        double sum = 0;
        for (std::size_t i = at; i < at + 3200; i += 2) {
            const double v = static_cast<short>(b[i] | (b[i + 1] << 8));
            sum += v * v;
        }
        out.push_back(std::sqrt(sum / 1600));
    }
    return out;
}

} // namespace

// Two late joiners, one per mount, 5 s after the start with a 3 s burst: each gets the burst
// within a second, then the live stream through a 2.5 s upstream loss and the return. Each
// capture is a valid stream by itself (tools report nothing but the live stream's missing end),
// silence comes at the byte rate of sound, and ffmpeg plays both mounts without a word.
TEST(WebRelayFormats, LateJoinersGetTheBurstAndAValidStreamAcrossAnUpstreamLoss) {
    const std::string addr = "127.0.21.1";
    const std::string ogginfo = tool("ogginfo"), opusinfo = tool("opusinfo"),
                      ffmpeg = tool("ffmpeg");
    if (ogginfo.empty() || opusinfo.empty() || ffmpeg.empty())
        GTEST_SKIP() << "ogginfo (vorbis-tools), opusinfo (opus-tools) or ffmpeg is missing";
    Process relay(kpxtest::program("webrelay"),
                  {"--listen", addr + ":8000", "--burstseconds", "3", addr});
    ASSERT_TRUE(relay.waiterr("Use a WWW-browser to connect to server!", 10s)) << relay.err();
    auto up = std::make_unique<Upstream>(addr, noisepackets());
    ASSERT_TRUE(up->ok());
    ASSERT_TRUE(upstreamis(addr, true));
    std::this_thread::sleep_for(5s);

    struct Listener {
        const char* path;
        int fd = -1;
        std::string got;
        std::size_t burstbytes = 0;
    };
    Listener ls[2] = {{"/listen.ogg", -1, {}, 0}, {"/listen.mp3", -1, {}, 0}};
    const auto t0 = Clock::now();
    for (Listener& l : ls) {
        l.fd = ask(addr, 8000,
                   std::string("GET ") + l.path + " HTTP/1.0\r\nHost: " + addr + "\r\n\r\n");
        ASSERT_GE(l.fd, 0);
    }
    std::atomic<bool> stop{false};
    std::thread readers([&] {
        for (bool first = true; !stop; first = false)
            for (Listener& l : ls) {
                readfor(l.fd, first ? 700ms : 100ms, l.got);
                if (first) l.burstbytes = body(l.got).size();
            }
    });
    std::this_thread::sleep_for(2s);
    up.reset();
    EXPECT_TRUE(upstreamis(addr, false));
    std::this_thread::sleep_for(2500ms);
    up = std::make_unique<Upstream>(addr, noisepackets());
    ASSERT_TRUE(up->ok());
    EXPECT_TRUE(upstreamis(addr, true));
    std::this_thread::sleep_for(3s);
    stop = true;
    readers.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    for (Listener& l : ls)
        ::close(l.fd);

    // The burst: 3 s of audio within the first 1.4 s (two turns of 700 ms at most).
    const std::string ogg = body(ls[0].got), mp3 = body(ls[1].got);
    std::size_t rest = 0;
    const auto pages = oggpages(ogg.substr(0, ls[0].burstbytes), &rest);
    EXPECT_GE(pages.size(), 2u + 15) << "Ogg burst: pages within 0.7 s";
    EXPECT_GE(mp3frames(mp3.substr(0, ls[1].burstbytes), &rest).size(), 3u * 16000 / 576)
        << "MP3 burst";

    // Ogg: numbered from the header pages on, granule positions from 0, every page of audio as
    // large as any other (constant bit rate through the silence), as much audio as time passed
    // plus the burst.
    const auto all = oggpages(ogg, &rest);
    ASSERT_GT(all.size(), 40u);
    for (std::size_t k = 0; k < all.size(); ++k)
        ASSERT_EQ(all[k].seq, k) << "page " << k;
    EXPECT_EQ(all[2].granule, 9600);
    for (std::size_t k = 3; k < all.size(); ++k) {
        ASSERT_EQ(all[k].granule - all[k - 1].granule, 9600) << "page " << k;
        ASSERT_EQ(all[k].size, all[2].size) << "page " << k << ": not constant bit rate";
    }
    const double oggsecs = static_cast<double>(all.size() - 2) * 0.2;
    EXPECT_NEAR(oggsecs, secs + 3, 1.0);
    // MP3: whole frames of one size, as many as time passed plus the burst.
    const auto frames = mp3frames(mp3, &rest);
    EXPECT_LT(rest, 144u) << "bytes that are not MP3 frames";
    ASSERT_GT(frames.size(), 200u);
    for (std::size_t k = 0; k < frames.size(); ++k)
        ASSERT_EQ(frames[k], frames[0]) << "frame " << k;
    EXPECT_NEAR(static_cast<double>(frames.size()) * 576 / 16000, secs + 3, 1.0);

    kpxtest::TempDir dir;
    kpxtest::writefile(dir.file("late.ogg"), ogg);
    kpxtest::writefile(dir.file("late.mp3"), mp3);
    // The only warning allowed: a live stream has no end-of-stream page yet.
    const std::string og = run(ogginfo, {dir.file("late.ogg")});
    EXPECT_EQ(lineswith(og, "WARNING", "EOS not set"), "") << og;
    EXPECT_EQ(lineswith(og, "rror", ""), "") << og;
    const std::string oi = run(opusinfo, {dir.file("late.ogg")});
    EXPECT_EQ(lineswith(oi, "WARNING", "EOS not set"), "") << oi;
    EXPECT_EQ(lineswith(oi, "rror", ""), "") << oi;
    // Read as a player reads it: from a pipe (a file of MP3 frames makes ffmpeg guess at a length).
    for (const char* f : {"late.ogg", "late.mp3"})
        EXPECT_EQ(run(ffmpeg, {"-v", "warning", "-i", "pipe:0", "-f", "null", "-"}, dir.file(f)),
                  "")
            << f;

    // Sound, silence in the gap, sound again, in both.
    for (const char* f : {"late.ogg", "late.mp3"}) {
        const auto loud = loudness(ffmpeg, dir.file(f), dir.file("raw"));
        ASSERT_GT(loud.size(), 40u) << f;
        std::size_t quiet = 0, longest = 0;
        for (double v : loud) {
            quiet = v < 30 ? quiet + 1 : 0;
            longest = std::max(longest, quiet);
        }
        EXPECT_GT(loud[3], 300) << f;
        EXPECT_GT(loud[loud.size() - 2], 300) << f;
        EXPECT_GE(longest, 8u) << f << ": no silence in the gap";
        EXPECT_LE(longest, 20u) << f;
    }

    // ffmpeg plays both mounts straight from the relay.
    for (const char* path : {"/listen.ogg", "/listen.mp3"})
        EXPECT_EQ(run(ffmpeg, {"-nostdin", "-v", "warning", "-t", "2", "-i",
                               "http://" + addr + ":8000" + path, "-f", "null", "-"}),
                  "")
            << path;
}

// HEAD, Range and unknown mounts, from the relay and through scripts/web's lighttpd; and a
// relay without MP3 has no /listen.mp3.
TEST(WebRelayFormats, HeadRangeAndUnknownMounts) {
    const std::string addr = "127.0.21.2";
    Process relay(kpxtest::program("webrelay"), {"--listen", addr + ":8000", addr});
    ASSERT_TRUE(relay.waiterr("Use a WWW-browser to connect to server!", 10s)) << relay.err();
    std::vector<int> ports = {8000};
    kpxtest::TempDir state;
    std::unique_ptr<Process> web;
    if (!tool("lighttpd").empty() || kpxtest::exists("/usr/sbin/lighttpd")) {
        web = std::make_unique<Process>(
            "/bin/bash",
            std::vector<std::string>{kpxtest::sourcedir() + "/scripts/web", "--address", addr,
                                     "--port", "8080", "--webrelay", addr + ":8000", "--statedir",
                                     state.path(), "--bindir", kpxtest::bindir()});
        ASSERT_TRUE(kpxtest::waitfor(
            [&] {
                const int fd = connectto(addr, 8080);
                if (fd >= 0) ::close(fd);
                return fd >= 0;
            },
            10s))
            << web->err();
        ports.push_back(8080);
    }
    // Younger than its 16 s burst, the relay says how much of it a new listener gets now:
    // what it made since it started.
    std::string young;
    double held = 0;
    EXPECT_TRUE(kpxtest::waitfor(
        [&] {
            young = status(addr);
            const auto at = young.find("\"burst_held_seconds\":");
            held = at == std::string::npos ? 0 : std::atof(young.c_str() + at + 21);
            return held >= 1;
        },
        5s));
    EXPECT_TRUE(held >= 1 && held < 16) << young;
    struct Case {
        const char* method;
        const char* path;
        const char* extra;
        const char* status;
        const char* type;
        bool stream;
    };
    const Case cases[] = {
        {"HEAD", "/listen.ogg", "", " 200 ", "audio/ogg", false},
        {"HEAD", "/listen.mp3", "", " 200 ", "audio/mpeg", false},
        {"GET", "/listen.ogg", "Range: bytes=0-\r\n", " 200 ", "audio/ogg", true},
        {"GET", "/listen.mp3", "Range: bytes=1000-\r\n", " 200 ", "audio/mpeg", true},
        {"GET", "/listen.opus", "", " 404 ", nullptr, false},
        {"GET", "/listen.ogg/x", "", " 404 ", nullptr, false},
        {"GET", "/listen.mp3?x", "", " 200 ", "audio/mpeg", true},
    };
    for (int port : ports)
        for (const Case& c : cases) {
            const std::string what =
                std::to_string(port) + " " + c.method + " " + c.path + " " + c.extra;
            const int fd = ask(addr, port,
                               std::string(c.method) + " " + c.path + " HTTP/1.0\r\nHost: " + addr +
                                   "\r\n" + c.extra + "\r\n");
            ASSERT_GE(fd, 0);
            std::string got;
            const bool open = readfor(fd, c.stream ? 1500ms : 3s, got);
            ::close(fd);
            const auto headend = got.find("\r\n\r\n");
            ASSERT_NE(headend, std::string::npos) << what << ": " << got;
            const std::string head = got.substr(0, headend);
            EXPECT_EQ(head.find(c.status), 8u) << what << ": " << head;
            EXPECT_EQ(head.find("Accept-Ranges: bytes"), std::string::npos) << what;
            if (c.type == nullptr) continue;
            EXPECT_NE(head.find(std::string("Content-Type: ") + c.type), std::string::npos) << what;
            EXPECT_EQ(head.find("Content-Length"), std::string::npos) << what;
            EXPECT_EQ(open, c.stream) << what;
            if (c.stream)
                EXPECT_GT(body(got).size(), 1000u) << what << ": the stream from its start";
            else
                EXPECT_EQ(body(got), "") << what;
        }
    EXPECT_NE(status(addr).find("\"listeners\":0,"), std::string::npos)
        << "a HEAD request left a listener";

    const std::string addr2 = "127.0.21.3";
    Process plain(kpxtest::program("webrelay"),
                  {"--listen", addr2 + ":8000", "--mp3bitrate", "0", addr2});
    ASSERT_TRUE(plain.waiterr("Use a WWW-browser to connect to server!", 10s)) << plain.err();
    EXPECT_EQ(get(addr2, 8000, "/listen.mp3", 2s).find(" 404 "), 8u);
    EXPECT_EQ(get(addr2, 8000, "/listen.ogg", 1s).find(" 200 "), 8u);
}

namespace {

// The header field `name` of `response` ("" when absent).
std::string field(const std::string& response, const std::string& name) {
    const std::size_t at = response.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > response.find("\r\n\r\n")) return "";
    const std::size_t from = at + name.size() + 4;
    return response.substr(from, response.find("\r\n", from) - from);
}

// The part the playlist's preload hint names: "MSN.PART", split.
bool hint(const std::string& playlist, std::uint64_t& msn, int& part) {
    const std::string key = "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"listen/";
    const std::size_t at = playlist.find(key);
    if (at == std::string::npos) return false;
    unsigned long long m = 0;
    if (std::sscanf(playlist.c_str() + at + key.size(), "%llu.%d.ts", &m, &part) != 2) return false;
    msn = m;
    return true;
}

// The parts the playlist names, in order.
std::vector<std::pair<std::uint64_t, int>> playlistparts(const std::string& playlist) {
    std::vector<std::pair<std::uint64_t, int>> out;
    const std::string key = "#EXT-X-PART:DURATION=0.396,URI=\"listen/";
    for (std::size_t at = playlist.find(key); at != std::string::npos;
         at = playlist.find(key, at + 1)) {
        unsigned long long m = 0;
        int p = 0;
        if (std::sscanf(playlist.c_str() + at + key.size(), "%llu.%d.ts", &m, &p) == 2)
            out.emplace_back(m, p);
    }
    return out;
}

std::string partname(std::uint64_t msn, int part) {
    return "/listen/" + std::to_string(msn) + "." + std::to_string(part) + ".ts";
}

std::string blocking(std::uint64_t msn, int part) {
    return "/listen.m3u8?_HLS_msn=" + std::to_string(msn) + "&_HLS_part=" + std::to_string(part);
}

bool transportstream(const std::string& b) {
    return !b.empty() && b.size() % 188 == 0 && b[0] == 0x47;
}

} // namespace

// The Low-Latency HLS playlist and its parts: live, with parts, hint and blocking reloads; a
// blocking reload for the next part is answered once that part is there, within its time; the
// cache rules of each answer; bad and far-ahead questions get 400 at once, segments outside
// the window 404; ffmpeg plays the playlist without a word.
TEST(WebRelayFormats, LowLatencyHlsPlaylistRules) {
    const std::string addr = "127.0.21.4";
    Process relay(kpxtest::program("webrelay"), {"--listen", addr + ":8000", addr});
    ASSERT_TRUE(relay.waiterr("Use a WWW-browser to connect to server!", 10s)) << relay.err();
    std::this_thread::sleep_for(2500ms); // a whole segment and some parts
    const std::string plain = get(addr, 8000, "/listen.m3u8", 2s);
    const std::string pl = body(plain);
    for (const char* want :
         {"#EXTM3U\n", "#EXT-X-TARGETDURATION:1\n",
          "#EXT-X-SERVER-CONTROL:CAN-BLOCK-RELOAD=YES,PART-HOLD-BACK=1.188\n",
          "#EXT-X-PART-INF:PART-TARGET=0.396\n", "#EXT-X-MEDIA-SEQUENCE:",
          "#EXT-X-PROGRAM-DATE-TIME:", "#EXT-X-PART:DURATION=0.396,URI=\"listen/",
          "#EXTINF:1.188,\nlisten/", "#EXT-X-PRELOAD-HINT:TYPE=PART"})
        EXPECT_NE(pl.find(want), std::string::npos) << want << " in\n" << pl;
    EXPECT_EQ(pl.find("#EXT-X-ENDLIST"), std::string::npos) << "a live playlist has no end";
    EXPECT_EQ(field(plain, "Cache-Control"), "public, max-age=0");
    EXPECT_EQ(field(plain, "Content-Type"), "application/vnd.apple.mpegurl");
    EXPECT_FALSE(field(plain, "ETag").empty());

    // Two blocking reloads for the hinted part, one after the other: the second waits for a
    // part made after the first answer (about 0.4 s), and each names its part.
    std::uint64_t msn = 0;
    int part = 0;
    ASSERT_TRUE(hint(pl, msn, part)) << pl;
    std::string last;
    for (int round = 0; round < 2; ++round) {
        const auto t0 = Clock::now();
        const std::string r = get(addr, 8000, blocking(msn, part), 3s);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        EXPECT_EQ(r.find(" 200 "), 8u) << r;
        EXPECT_LT(ms, 1300ms) << "a blocking reload waits at most three parts";
        if (round == 1) {
            EXPECT_GT(ms, 150ms) << "the part did not exist when it was asked for";
        }
        EXPECT_NE(body(r).find("#EXT-X-PART:DURATION=0.396,URI=\"listen" +
                               partname(msn, part).substr(7) + "\""),
                  std::string::npos)
            << body(r);
        EXPECT_EQ(field(r, "Cache-Control"), "public, max-age=1");
        last = body(r);
        ASSERT_TRUE(hint(last, msn, part)) << last;
    }
    // The part just named and its segment's predecessor: transport streams kept for good.
    const std::uint64_t newest = part > 0 ? msn : msn - 1;
    const int newestpart = part > 0 ? part - 1 : 2;
    for (const std::string& path :
         {partname(newest, newestpart), "/listen/" + std::to_string(newest - 1) + ".ts"}) {
        const std::string r = get(addr, 8000, path, 2s);
        EXPECT_EQ(r.find(" 200 "), 8u) << path << ": " << r.substr(0, 200);
        EXPECT_TRUE(transportstream(body(r))) << path;
        EXPECT_EQ(field(r, "Cache-Control"), "public, max-age=86400, immutable") << path;
        EXPECT_FALSE(field(r, "ETag").empty()) << path;
        EXPECT_EQ(field(r, "Content-Type"), "video/mp2t") << path;
    }
    const std::string m = std::to_string(msn);
    const struct {
        std::string path;
        int code;
    } bad[] = {
        {"/listen.m3u8?_HLS_msn=" + std::to_string(msn + 5), 400}, // far ahead
        {"/listen.m3u8?_HLS_msn=" + m + "&_HLS_part=900", 400},
        {"/listen.m3u8?_HLS_msn=abc", 400},
        {"/listen.m3u8?_HLS_msn=", 400},
        {"/listen.m3u8?_HLS_part=1", 400},
        {"/listen.m3u8?_HLS_msn=" + m + "&_HLS_part=-1", 400},
        {"/listen.m3u8?_HLS_msn=" + m + "&_HLS_msn=" + m, 400},
        {"/listen.m3u8?_HLS_skip=YES", 400},
        {"/listen/1.ts", 404}, // long before the window
        {"/listen/" + std::to_string(msn - 30) + ".ts", 404},
        {"/listen/" + std::to_string(msn + 3) + ".0.ts", 404}, // not made for seconds
        {"/listen/" + m + ".7.ts", 404},
        {"/listen/x.ts", 404},
        {"/listen/" + m + ".ts.x", 404},
    };
    for (const auto& b : bad) {
        const auto t0 = Clock::now();
        const std::string r = get(addr, 8000, b.path, 3s);
        EXPECT_EQ(r.substr(0, 13), "HTTP/1.1 " + std::to_string(b.code) + " ")
            << b.path << ": " << r;
        EXPECT_LT(Clock::now() - t0, 300ms) << b.path << " is answered at once";
    }
    const std::string ffmpeg = tool("ffmpeg");
    if (ffmpeg.empty()) GTEST_SKIP() << "ffmpeg is missing";
    EXPECT_EQ(run(ffmpeg, {"-nostdin", "-v", "warning", "-i",
                           "http://" + addr + ":8000/listen.m3u8", "-t", "8", "-f", "null", "-"}),
              "");
}

// Through scripts/cache (nginx): 40 clients follow the playlist by blocking reloads and fetch
// every part for 10 s, and the relay is asked for each part and segment at most twice.
TEST(WebRelayFormats, HlsThroughTheCache) {
    const std::string addr = "127.0.21.5";
    if (!kpxtest::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is missing";
    Process relay(kpxtest::program("webrelay"), {"--listen", addr + ":8000", addr});
    ASSERT_TRUE(relay.waiterr("Use a WWW-browser to connect to server!", 10s)) << relay.err();
    kpxtest::TempDir state;
    Process cache("/bin/bash", {kpxtest::sourcedir() + "/scripts/cache", "--origin", addr + ":8000",
                                "--listen", addr + ":8090", "--statedir", state.path()});
    ASSERT_TRUE(kpxtest::waitfor(
        [&] {
            const int fd = connectto(addr, 8090);
            if (fd >= 0) ::close(fd);
            return fd >= 0;
        },
        10s))
        << cache.err();
    std::this_thread::sleep_for(1500ms);
    constexpr int CLIENTS = 40;
    std::atomic<int> parts{0}, failures{0};
    std::vector<std::thread> clients;
    const auto end = Clock::now() + 10s;
    for (int c = 0; c < CLIENTS; ++c)
        clients.emplace_back([&] {
            std::string pl = body(get(addr, 8090, "/listen.m3u8", 3s));
            std::uint64_t msn = 0;
            int part = 0;
            if (!hint(pl, msn, part)) return;
            // As a player does: every part the playlist names after the last one fetched.
            std::pair<std::uint64_t, int> done{msn, part - 1};
            while (Clock::now() < end && hint(pl, msn, part)) {
                pl = body(get(addr, 8090, blocking(msn, part), 3s));
                for (const auto& p : playlistparts(pl)) {
                    if (p <= done) continue;
                    if (transportstream(body(get(addr, 8090, partname(p.first, p.second), 3s))))
                        ++parts;
                    else
                        ++failures;
                    done = p;
                }
            }
        });
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    // A part every 0.4 s: 25 in 10 s. Each request that waits on the cache's lock waits up to
    // 0.5 s more (nginx looks at the lock twice a second); with a new connection per request
    // these clients got 4 to 20 each on the loaded two cores. They all took part.
    EXPECT_GE(parts.load(), CLIENTS * 3) << "parts in 10 s by " << CLIENTS << " clients";
    // The cache's log: URI, status, cache status, the relay's address when it was asked.
    std::map<std::string, int> asked;
    std::istringstream log(kpxtest::readfile(state.path() + "/access.log"));
    for (std::string uri, code, how, upstream; log >> uri >> code >> how >> upstream;)
        if (uri.rfind("/listen/", 0) == 0 && upstream != "-") ++asked[uri];
    EXPECT_GT(asked.size(), 20u);
    for (const auto& [uri, n] : asked)
        EXPECT_LE(n, 2) << uri << " asked of the relay " << n << " times";
}

// VLC follows the live playlist of a fed relay for 20 s: it is still playing then, it never
// reached an end, it kept fetching the segments made while it played, and it printed no error.
// The relay has run for VLC's own live delay (it starts about 16 s back): on a younger one
// VLC starts at the first segment, close to live, and says so by raising its delay
// ("ES_OUT_SET_(GROUP_)PCR is called too late") until it has its buffer.
TEST(WebRelayFormats, VlcFollowsTheLivePlaylist) {
    const std::string addr = "127.0.21.6";
    const std::string cvlc = tool("cvlc");
    if (cvlc.empty()) GTEST_SKIP() << "cvlc (vlc) is missing";
    // VLC refuses to run as root.
    const bool root = ::geteuid() == 0;
    if (root && tool("runuser").empty() && !kpxtest::exists("/usr/sbin/runuser"))
        GTEST_SKIP() << "runuser is missing";
    Process relay(kpxtest::program("webrelay"), {"--listen", addr + ":8000", addr});
    ASSERT_TRUE(relay.waiterr("Use a WWW-browser to connect to server!", 10s)) << relay.err();
    Upstream up(addr, noisepackets());
    ASSERT_TRUE(up.ok());
    std::this_thread::sleep_for(20s);
    std::uint64_t msn = 0;
    int part = 0;
    ASSERT_TRUE(hint(body(get(addr, 8000, "/listen.m3u8", 2s)), msn, part));
    std::vector<std::string> args = {"-vv", "--no-video", "--aout=dummy",
                                     "http://" + addr + ":8000/listen.m3u8"};
    std::string exe = cvlc;
    if (root) {
        args.insert(args.begin(), {"-u", "nobody", "--", cvlc});
        exe = kpxtest::exists("/usr/sbin/runuser") ? "/usr/sbin/runuser" : tool("runuser");
    }
    Process::Options o;
    o.env["HOME"] = "/tmp";
    Process vlc(exe, args, o);
    std::this_thread::sleep_for(20s);
    const bool playing = vlc.running();
    vlc.kill();
    const std::string log = vlc.out() + vlc.err();
    EXPECT_TRUE(playing) << "VLC ended before 20 s:\n" << lineswith(log, "adaptive", "");
    EXPECT_EQ(lineswith(log, "EOF reached", ""), "");
    // The segments it fetched; those made after it started (one every 1.19 s) show it
    // followed the playlist.
    std::size_t later = 0;
    const std::string key = "Retrieving http://" + addr + ":8000/listen/";
    for (std::size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        char* end = nullptr;
        const unsigned long long m = std::strtoull(log.c_str() + at + key.size(), &end, 10);
        if (std::strncmp(end, ".ts\n", 4) == 0 && m > msn) ++later; // a whole segment
    }
    EXPECT_GE(later, 7u) << lineswith(log, "Retrieving", "");
    // No error but those of its start without a desktop (no D-Bus, no interface module).
    EXPECT_EQ(lineswith(log, " error", "interface"), "");
}

// A client that asks for segments and never reads holds nothing: with its receive buffer
// full the relay's answers wait, another client following the playlist gets every part
// meanwhile, and the stalled connection is closed once it has taken nothing for --timeout.
TEST(WebRelayFormats, HlsClientThatNeverReadsIsDropped) {
    const std::string addr = "127.0.21.7";
    Process relay(kpxtest::program("webrelay"),
                  {"--listen", addr + ":8000", "--timeout", "3", addr});
    ASSERT_TRUE(relay.waiterr("Use a WWW-browser to connect to server!", 10s)) << relay.err();
    std::this_thread::sleep_for(2500ms); // a whole segment
    std::uint64_t msn = 0;
    int part = 0;
    ASSERT_TRUE(hint(body(get(addr, 8000, "/listen.m3u8", 2s)), msn, part));
    // 2,000 requests for the newest whole segment at once (12 MiB of answers), far more than
    // the buffers of both ends hold.
    const int stalled = kpxtest::webrelay::connectfrom("", addr, 8000, 4096);
    ASSERT_GE(stalled, 0);
    std::string asks;
    for (int i = 0; i < 2000; ++i)
        asks += "GET /listen/" + std::to_string(part > 0 ? msn - 1 : msn - 2) +
                ".ts HTTP/1.1\r\nHost: " + addr + "\r\n\r\n";
    ASSERT_TRUE(kpxtest::sendall(stalled, asks.data(), asks.size()));
    const auto t0 = Clock::now();
    // Meanwhile: every part for 2.5 s, each as soon as it is made.
    int parts = 0;
    for (const auto end = Clock::now() + 2500ms; Clock::now() < end;) {
        const std::string pl = body(get(addr, 8000, blocking(msn, part), 3s));
        ASSERT_TRUE(transportstream(body(get(addr, 8000, partname(msn, part), 2s))))
            << partname(msn, part);
        ++parts;
        ASSERT_TRUE(hint(pl, msn, part)) << pl;
    }
    EXPECT_GE(parts, 5) << "parts in 2.5 s (one is made every 0.4 s)";
    // Closed within its 3 s without progress (and a second for the relay's timer): what the
    // buffers held, then the end.
    std::string got;
    std::this_thread::sleep_until(t0 + 4500ms);
    EXPECT_FALSE(readfor(stalled, 1500ms, got)) << "the stalled connection is still open";
    ::close(stalled);
    EXPECT_LT(got.size(), 1000u * 6400) << "the relay answered everything: nothing was stalled";
    EXPECT_EQ(got.find("HTTP/1.1 200 "), 0u);
}
