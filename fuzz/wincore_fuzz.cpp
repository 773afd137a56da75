// The Windows clients' reception and sound images on arbitrary streams. The input scripts
// the platform: the first byte sets how often the player refuses an image (and whether
// frame signatures are put into the stream so that packets decode), then receive calls as
// in the stream target (control byte 0: nothing, 1: an error, else up to that many bytes).
// Every image the player starts must be the next 4 s of the decoded stream with the
// right header.
#include "codec.h"
#include "fuzzcheck.h"
#include "stream.h"
#include "wincore.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace kpx::win;

class Scripted final : public Platform {
  public:
    Scripted(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    int startup() override { return 0; }
    long lasterror() override { return 0; }
    void cleanup() override {}
    Sock opensocket() override { return 3; }
    int bindto(Sock, const char*, int) override { return 0; }
    int listento(Sock, int) override { return 0; }
    Sock acceptfrom(Sock) override { return 4; }
    void closesock(Sock) override {}
    void report(const char*) override {}
    long ticks() override { return clock_; }
    long tickspersecond() override { return 1000; }
    void pause(int ms) override { clock_ += ms; }

    long receive(Sock, unsigned char* buf, std::size_t len) override {
        FUZZ_CHECK(len >= 1 && len <= static_cast<std::size_t>(kpx::PACKETBYTES));
        if (at_ >= size_) return 0;
        const std::uint8_t control = data_[at_++];
        if (control == 0) return 0;
        if (control == 1) return -1;
        const std::size_t n = std::min({static_cast<std::size_t>(control), len, size_ - at_});
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char c = data_[at_ + i];
            if (signatures && (stream.size() % kpx::PACKETBYTES) % kpx::FRAMEBYTES == 0)
                c = static_cast<unsigned char>((c & 0x0F) | (kpx::FRAMESIGNATURE << 4));
            buf[i] = c;
            stream.push_back(static_cast<char>(c));
        }
        at_ += n;
        return static_cast<long>(n);
    }

    int playsound(const unsigned char* img) override {
        // Refuses `refusals` times in a row, then starts the image.
        if (refused_ < refusals) {
            ++refused_;
            return 0;
        }
        refused_ = 0;
        played.emplace_back(reinterpret_cast<const char*>(img), IMAGEBYTES);
        return 1;
    }

    bool signatures = false;
    long refusals = 0;
    std::string stream;              // every byte received, in order
    std::vector<std::string> played; // every image started

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 1;
    long clock_ = 0;
    long refused_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    Scripted plat(data, size);
    plat.signatures = (data[0] & 0x80) != 0;
    // Up to 7 s of refusals: past the 6 s start limit the client gives up.
    plat.refusals = (data[0] & 0x7F) == 0x7F ? 700 : (data[0] & 0x0F);
    sys = &plat;
    frontend = &CONSOLEFRONTEND;
    resetsound();
    getsound(4);

    // What the images must hold: every whole packet that decodes, as 8-bit PCM.
    std::string expected;
    unsigned char audio[kpx::PACKETSAMPLES];
    for (std::size_t p = 0; p + kpx::PACKETBYTES <= plat.stream.size(); p += kpx::PACKETBYTES) {
        if (kpx::decode(reinterpret_cast<const unsigned char*>(plat.stream.data() + p),
                        kpx::PACKETBYTES, audio) != kpx::PACKETSAMPLES)
            continue;
        for (unsigned char c : audio)
            expected.push_back(static_cast<char>(ulaw2pcm8[c]));
    }
    const std::size_t whole = expected.size() / IMAGESAMPLES;
    FUZZ_CHECK(plat.played.size() == whole || (plat.refusals == 700 && plat.played.empty()));
    unsigned char header[HEADERBYTES];
    writeheader(header);
    for (std::size_t i = 0; i < plat.played.size(); ++i) {
        FUZZ_CHECK(std::memcmp(plat.played[i].data(), header, HEADERBYTES) == 0);
        FUZZ_CHECK(plat.played[i].compare(HEADERBYTES, IMAGESAMPLES, expected, i * IMAGESAMPLES,
                                          IMAGESAMPLES) == 0);
    }
    FUZZ_CHECK(fill >= 0 && fill <= IMAGESAMPLES && (current == 0 || current == 1));
    return 0;
}
