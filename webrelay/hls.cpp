#include "hls.h"

#include "mp3.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kpx {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t TSPACKET = 188;
constexpr unsigned PMTPID = 0x1000, AUDIOPID = 0x100;
// MPEG-2 (half sample rate) audio, which the 16 kHz layer III frames are.
constexpr unsigned char AUDIOTYPE = 0x04;
constexpr std::uint64_t FRAMETICKS = 576 * 90000 / MP3RATE; // 3240 ticks of 90 kHz
constexpr std::uint64_t PTSBASE = 126000;                   // 1.4 s, room for the PCR before
constexpr std::uint64_t PTSWRAP = 1ULL << 33;
constexpr double PARTSECONDS = HLSPARTFRAMES * 576.0 / MP3RATE;
constexpr double SEGMENTSECONDS = PARTSECONDS * HLSSEGMENTPARTS;
constexpr auto HOLD = std::chrono::milliseconds(
    static_cast<long long>(HLSHOLDPARTS * HLSPARTFRAMES * 576 * 1000LL / MP3RATE));
// Parts and segments never change once made.
const char* const FOREVER = "public, max-age=86400, immutable";

std::uint32_t crc32mpeg(const unsigned char* p, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<std::uint32_t>(p[i]) << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000) != 0 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

// A table section (PAT or PMT) in one transport packet, with its CRC.
void tssection(std::string& out, unsigned pid, std::uint8_t& cc, std::vector<unsigned char> s) {
    const std::uint32_t crc = crc32mpeg(s.data(), s.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<unsigned char>(crc >> shift));
    unsigned char pkt[TSPACKET];
    std::memset(pkt, 0xFF, sizeof pkt);
    pkt[0] = 0x47;
    pkt[1] = static_cast<unsigned char>(0x40 | (pid >> 8));
    pkt[2] = static_cast<unsigned char>(pid);
    pkt[3] = static_cast<unsigned char>(0x10 | (cc++ & 0x0F));
    pkt[4] = 0; // pointer field
    std::memcpy(pkt + 5, s.data(), s.size());
    out.append(reinterpret_cast<const char*>(pkt), sizeof pkt);
}

// One PES packet cut into transport packets; the first carries the PCR and marks a random
// access point, the last is filled up by its adaptation field.
void tspes(std::string& out, std::uint8_t& cc, const std::string& pes, std::uint64_t pcr) {
    std::size_t at = 0;
    bool first = true;
    while (at < pes.size()) {
        unsigned char pkt[TSPACKET];
        pkt[0] = 0x47;
        pkt[1] = static_cast<unsigned char>((first ? 0x40 : 0) | (AUDIOPID >> 8));
        pkt[2] = static_cast<unsigned char>(AUDIOPID & 0xFF);
        const std::size_t need = first ? 8 : 0; // adaptation field with a PCR
        const std::size_t n = std::min(pes.size() - at, TSPACKET - 4 - need);
        const std::size_t af = TSPACKET - 4 - n; // adaptation field bytes, its length byte too
        pkt[3] = static_cast<unsigned char>((af > 0 ? 0x30 : 0x10) | (cc++ & 0x0F));
        if (af > 0) {
            pkt[4] = static_cast<unsigned char>(af - 1);
            if (af > 1) {
                std::memset(pkt + 5, 0xFF, af - 1);
                pkt[5] = first ? 0x50 : 0x00; // random access, PCR
                if (first) {
                    pkt[6] = static_cast<unsigned char>(pcr >> 25);
                    pkt[7] = static_cast<unsigned char>(pcr >> 17);
                    pkt[8] = static_cast<unsigned char>(pcr >> 9);
                    pkt[9] = static_cast<unsigned char>(pcr >> 1);
                    pkt[10] = static_cast<unsigned char>(((pcr & 1) << 7) | 0x7E);
                    pkt[11] = 0;
                }
            }
        }
        std::memcpy(pkt + 4 + af, pes.data() + at, n);
        out.append(reinterpret_cast<const char*>(pkt), sizeof pkt);
        at += n;
        first = false;
    }
}

std::string isodate(std::chrono::system_clock::time_point t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t s = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    ::gmtime_r(&s, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

// A decimal number of at most 18 digits, nothing else.
bool decimal(const char* text, std::uint64_t& out) {
    if (text == nullptr) return false;
    const std::size_t n = std::strlen(text);
    if (n == 0 || n > 18) return false;
    out = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return true;
}

struct Query {
    const char* msn = nullptr;
    const char* part = nullptr;
    bool bad = false;
};

MHD_Result queryarg(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto& q = *static_cast<Query*>(cls);
    if (std::strcmp(key, "_HLS_msn") == 0) {
        q.bad = q.bad || q.msn != nullptr || value == nullptr;
        q.msn = value;
    } else if (std::strcmp(key, "_HLS_part") == 0) {
        q.bad = q.bad || q.part != nullptr || value == nullptr;
        q.part = value;
    } else if (std::strncmp(key, "_HLS_", 5) == 0) {
        q.bad = true; // a delivery directive this server does not offer (_HLS_skip)
    }
    return MHD_YES;
}

int reply(MHD_Connection* conn, unsigned code, const std::string& body, const char* type,
          const char* cache, const std::string& etag) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Cache-Control", cache);
    MHD_add_response_header(r, "Access-Control-Allow-Origin", "*");
    if (!etag.empty()) MHD_add_response_header(r, "ETag", etag.c_str());
    const MHD_Result ok = MHD_queue_response(conn, code, r);
    MHD_destroy_response(r);
    return ok;
}

int refuse(MHD_Connection* conn, unsigned code, const char* text) {
    return reply(conn, code, text, "text/plain; charset=utf-8", "no-cache, no-store", "");
}

// The body, or 304 when the client holds this version already.
int content(MHD_Connection* conn, const std::string& body, const char* type, const char* cache,
            const std::string& etag) {
    const char* has = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "If-None-Match");
    if (has != nullptr && etag == has) return reply(conn, 304, "", type, cache, etag);
    return reply(conn, MHD_HTTP_OK, body, type, cache, etag);
}

// "/listen/MSN.ts" or "/listen/MSN.PART.ts".
bool mediapath(const std::string& path, std::uint64_t& msn, int& part, bool& whole) {
    static const std::string prefix = "/listen/";
    if (path.rfind(prefix, 0) != 0 || path.size() < prefix.size() + 4 ||
        path.compare(path.size() - 3, 3, ".ts") != 0)
        return false;
    const std::string name = path.substr(prefix.size(), path.size() - prefix.size() - 3);
    const std::size_t dot = name.find('.');
    std::uint64_t p = 0;
    if (!decimal(name.substr(0, dot).c_str(), msn)) return false;
    whole = dot == std::string::npos;
    if (whole) return true;
    if (!decimal(name.substr(dot + 1).c_str(), p) || p >= HLSSEGMENTPARTS) return false;
    part = static_cast<int>(p);
    return true;
}

} // namespace

bool hlspath(const std::string& path) {
    return path == "/listen.m3u8" || path.rfind("/listen/", 0) == 0;
}

HlsStream::HlsStream(std::uint64_t firstmsn) : firstmsn_(firstmsn) {
    makeplaylist();
}

void HlsStream::publish(const std::string& frames) {
    const std::lock_guard<std::mutex> l(mu_);
    std::size_t at = 0;
    while (const std::size_t len = mp3framelength(frames, at)) {
        if (at + len > frames.size()) break;
        if (pendingframes_ == 0) pendingdate_ = isodate(std::chrono::system_clock::now());
        pending_.append(frames, at, len);
        at += len;
        if (++pendingframes_ == HLSPARTFRAMES) makepart();
    }
    const auto now = Clock::now();
    const long long last = lastpart();
    std::erase_if(waiting_, [&](const Waiter& w) {
        if (static_cast<long long>(w.part) > last && now < w.deadline) return false;
        MHD_resume_connection(w.conn);
        return true;
    });
}

void HlsStream::forget(MHD_Connection* conn) {
    const std::lock_guard<std::mutex> l(mu_);
    std::erase_if(held_, [&](const Waiter& w) { return w.conn == conn; });
    std::erase_if(waiting_, [&](const Waiter& w) { return w.conn == conn; });
}

long long HlsStream::lastpart() const {
    return static_cast<long long>(partsdone_) - 1;
}

std::uint64_t HlsStream::parts() const {
    const std::lock_guard<std::mutex> l(mu_);
    return partsdone_;
}

void HlsStream::makepart() {
    if (segments_.empty() || segments_.back().parts.size() == HLSSEGMENTPARTS) {
        segments_.push_back({firstmsn_ + partsdone_ / HLSSEGMENTPARTS, {}, pendingdate_});
        while (segments_.size() > HLSHELD + 1)
            segments_.pop_front();
    }
    const std::uint64_t pts = (PTSBASE + frames_ * FRAMETICKS) % PTSWRAP;
    const std::uint64_t pcr = (pts + PTSWRAP - 9000) % PTSWRAP;
    std::string ts;
    tssection(ts, 0, cc_[0],
              {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01,
               static_cast<unsigned char>(0xE0 | (PMTPID >> 8)), PMTPID & 0xFF});
    tssection(ts, PMTPID, cc_[1],
              {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00,
               static_cast<unsigned char>(0xE0 | (AUDIOPID >> 8)), AUDIOPID & 0xFF, 0xF0, 0x00,
               AUDIOTYPE, static_cast<unsigned char>(0xE0 | (AUDIOPID >> 8)), AUDIOPID & 0xFF, 0xF0,
               0x00});
    const std::size_t len = pending_.size() + 8;
    const unsigned char head[14] = {0x00,
                                    0x00,
                                    0x01,
                                    0xC0,
                                    static_cast<unsigned char>(len >> 8),
                                    static_cast<unsigned char>(len & 0xFF),
                                    0x80,
                                    0x80,
                                    0x05,
                                    static_cast<unsigned char>(0x21 | ((pts >> 29) & 0x0E)),
                                    static_cast<unsigned char>((pts >> 22) & 0xFF),
                                    static_cast<unsigned char>(((pts >> 14) & 0xFE) | 1),
                                    static_cast<unsigned char>((pts >> 7) & 0xFF),
                                    static_cast<unsigned char>(((pts << 1) & 0xFE) | 1)};
    std::string pes(reinterpret_cast<const char*>(head), sizeof head);
    pes.append(pending_);
    tspes(ts, cc_[2], pes, pcr);
    segments_.back().parts.push_back(std::move(ts));
    frames_ += static_cast<std::uint64_t>(pendingframes_);
    pending_.clear();
    pendingframes_ = 0;
    ++partsdone_;
    makeplaylist();
}

void HlsStream::makeplaylist() {
    char line[160];
    std::string p = "#EXTM3U\n#EXT-X-VERSION:6\n";
    std::snprintf(line, sizeof line,
                  "#EXT-X-TARGETDURATION:%d\n"
                  "#EXT-X-SERVER-CONTROL:CAN-BLOCK-RELOAD=YES,PART-HOLD-BACK=%.3f\n"
                  "#EXT-X-PART-INF:PART-TARGET=%.3f\n",
                  static_cast<int>(SEGMENTSECONDS + 0.5), 3 * PARTSECONDS, PARTSECONDS);
    p += line;
    std::size_t whole = segments_.size();
    if (whole > 0 && segments_.back().parts.size() < HLSSEGMENTPARTS) --whole;
    const std::size_t from = whole > HLSLISTED ? whole - HLSLISTED : 0;
    const std::uint64_t first =
        from < segments_.size() ? segments_[from].msn : firstmsn_ + partsdone_ / HLSSEGMENTPARTS;
    std::snprintf(line, sizeof line, "#EXT-X-MEDIA-SEQUENCE:%llu\n",
                  static_cast<unsigned long long>(first));
    p += line;
    for (std::size_t i = from; i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        if (i == from) p += "#EXT-X-PROGRAM-DATE-TIME:" + s.date + "\n";
        if (i + HLSPARTSLISTED >= whole) {
            for (std::size_t k = 0; k < s.parts.size(); ++k) {
                std::snprintf(
                    line, sizeof line,
                    "#EXT-X-PART:DURATION=%.3f,URI=\"listen/%llu.%zu.ts\",INDEPENDENT=YES\n",
                    PARTSECONDS, static_cast<unsigned long long>(s.msn), k);
                p += line;
            }
        }
        if (s.parts.size() == HLSSEGMENTPARTS) {
            std::snprintf(line, sizeof line, "#EXTINF:%.3f,\nlisten/%llu.ts\n", SEGMENTSECONDS,
                          static_cast<unsigned long long>(s.msn));
            p += line;
        }
    }
    const std::uint64_t next = partsdone_;
    std::snprintf(line, sizeof line, "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"listen/%llu.%llu.ts\"\n",
                  static_cast<unsigned long long>(firstmsn_ + next / HLSSEGMENTPARTS),
                  static_cast<unsigned long long>(next % HLSSEGMENTPARTS));
    p += line;
    playlist_ = std::move(p);
    std::snprintf(line, sizeof line, "\"%llu.%llu\"", static_cast<unsigned long long>(firstmsn_),
                  static_cast<unsigned long long>(partsdone_));
    etag_ = line;
}

int HlsStream::hold(MHD_Connection* conn, std::uint64_t part, Clock::time_point now) {
    auto it =
        std::find_if(held_.begin(), held_.end(), [&](const Waiter& w) { return w.conn == conn; });
    if (it == held_.end()) {
        held_.push_back({conn, part, now + HOLD});
        it = held_.end() - 1;
    }
    waiting_.push_back(*it);
    MHD_suspend_connection(conn);
    return MHD_YES;
}

int HlsStream::request(MHD_Connection* conn, const std::string& path) {
    const auto now = Clock::now();
    std::unique_lock<std::mutex> l(mu_);
    // A request resumed after its wait: the time it has left (none when it is new).
    const auto it =
        std::find_if(held_.begin(), held_.end(), [&](const Waiter& w) { return w.conn == conn; });
    const bool timedout = it != held_.end() && now >= it->deadline;
    if (it != held_.end() && (timedout || static_cast<long long>(it->part) <= lastpart()))
        held_.erase(it);
    const long long last = lastpart();
    if (path == "/listen.m3u8") {
        Query q;
        MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, queryarg, &q);
        std::uint64_t msn = 0, part = 0;
        if (q.bad || (q.part != nullptr && q.msn == nullptr) ||
            (q.msn != nullptr && !decimal(q.msn, msn)) ||
            (q.part != nullptr && (!decimal(q.part, part) || part >= 1000))) {
            l.unlock();
            return refuse(conn, MHD_HTTP_BAD_REQUEST, "Bad playlist request.\n");
        }
        if (q.msn == nullptr) {
            const std::string body = playlist_, etag = etag_;
            l.unlock();
            return content(conn, body, "application/vnd.apple.mpegurl", "public, max-age=0", etag);
        }
        // The part asked for: a whole segment is its last part.
        const bool past = msn < firstmsn_;
        const std::uint64_t want = past ? 0
                                        : (msn - firstmsn_) * HLSSEGMENTPARTS +
                                              (q.part != nullptr ? part : HLSSEGMENTPARTS - 1);
        if (!past && static_cast<long long>(want) > last + 2 * HLSSEGMENTPARTS) {
            l.unlock();
            return refuse(conn, MHD_HTTP_BAD_REQUEST, "That part is too far ahead.\n");
        }
        const bool there = past || static_cast<long long>(want) <= last;
        if (!there && !timedout) return hold(conn, want, now);
        const std::string body = playlist_, etag = etag_;
        l.unlock();
        // A playlist that holds the part asked for answers that question for good; one given
        // when the wait ran out does not.
        return content(conn, body, "application/vnd.apple.mpegurl",
                       there ? "public, max-age=1" : "no-cache", etag);
    }
    std::uint64_t msn = 0;
    int part = 0;
    bool whole = false;
    if (!mediapath(path, msn, part, whole)) {
        l.unlock();
        return refuse(conn, MHD_HTTP_NOT_FOUND, "Not found.\n");
    }
    std::string body;
    const Segment* seg = nullptr;
    for (const Segment& s : segments_)
        if (s.msn == msn) seg = &s;
    if (seg != nullptr && whole && seg->parts.size() == HLSSEGMENTPARTS) {
        for (const std::string& ts : seg->parts)
            body += ts;
    } else if (seg != nullptr && !whole && static_cast<std::size_t>(part) < seg->parts.size()) {
        body = seg->parts[static_cast<std::size_t>(part)];
    } else {
        // The part named in the preload hint (or the one after) is waited for.
        const std::uint64_t want = msn >= firstmsn_ ? (msn - firstmsn_) * HLSSEGMENTPARTS +
                                                          static_cast<std::uint64_t>(part)
                                                    : 0;
        if (!whole && msn >= firstmsn_ && static_cast<long long>(want) > last &&
            static_cast<long long>(want) <= last + 2 && !timedout)
            return hold(conn, want, now);
        l.unlock();
        return refuse(conn, MHD_HTTP_NOT_FOUND, "Not in the stream's window.\n");
    }
    l.unlock();
    char etag[48];
    if (whole)
        std::snprintf(etag, sizeof etag, "\"%llu\"", static_cast<unsigned long long>(msn));
    else
        std::snprintf(etag, sizeof etag, "\"%llu.%d\"", static_cast<unsigned long long>(msn), part);
    return content(conn, body, "video/mp2t", FOREVER, etag);
}

} // namespace kpx
