#include "mp3.h"

#include <lame/lame.h>

#include <vector>

namespace kpx {

namespace {

// Layer III bit rates (kbit/s) by index: MPEG-1, then MPEG-2 and 2.5.
constexpr int MPEG1RATES[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                112, 128, 160, 192, 224, 256, 320, 0};
constexpr int MPEG2RATES[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr int SAMPLERATES[3] = {44100, 48000, 32000}; // MPEG-1; halved for 2, quartered for 2.5

} // namespace

bool mp3bitrate(int bits) {
    for (int k : MPEG2RATES)
        if (k != 0 && k <= 64 && k * 1000 == bits) return true;
    return false;
}

std::size_t mp3framelength(const std::string& s, std::size_t at) {
    if (s.size() < at + 4) return 0;
    const auto b1 = static_cast<unsigned char>(s[at + 1]),
               b2 = static_cast<unsigned char>(s[at + 2]);
    if (static_cast<unsigned char>(s[at]) != 0xFF || (b1 & 0xE0) != 0xE0) return 0;
    const unsigned version = (b1 >> 3) & 3, layer = (b1 >> 1) & 3, rateindex = b2 >> 4,
                   srindex = (b2 >> 2) & 3;
    if (version == 1 || layer != 1 || srindex == 3) return 0;
    const bool mpeg1 = version == 3;
    const int kbits = (mpeg1 ? MPEG1RATES : MPEG2RATES)[rateindex];
    if (kbits == 0) return 0;
    const int rate = SAMPLERATES[srindex] / (mpeg1 ? 1 : version == 2 ? 2 : 4);
    return static_cast<std::size_t>((mpeg1 ? 144 : 72) * kbits * 1000 / rate + ((b2 >> 1) & 1));
}

Mp3Encoder::Mp3Encoder(int bitrate) {
    gf_ = lame_init();
    if (gf_ == nullptr) return;
    lame_set_num_channels(gf_, 1);
    lame_set_mode(gf_, MONO);
    lame_set_in_samplerate(gf_, 8000);
    lame_set_out_samplerate(gf_, MP3RATE);
    lame_set_VBR(gf_, vbr_off);
    lame_set_brate(gf_, bitrate / 1000);
    lame_set_disable_reservoir(gf_, 1);
    lame_set_bWriteVbrTag(gf_, 0);
    lame_set_quality(gf_, 5);
    if (lame_init_params(gf_) < 0) {
        lame_close(gf_);
        gf_ = nullptr;
    }
}

Mp3Encoder::~Mp3Encoder() {
    if (gf_ != nullptr) lame_close(gf_);
}

std::string Mp3Encoder::block(const std::int16_t* pcm, int samples) {
    if (!ok() || samples <= 0) return {};
    // LAME's own bound on the output of one call.
    std::vector<unsigned char> out(static_cast<std::size_t>(samples) * 5 / 4 + 7200);
    auto* in = const_cast<std::int16_t*>(pcm);
    const int n =
        lame_encode_buffer(gf_, in, in, samples, out.data(), static_cast<int>(out.size()));
    if (n < 0) return {};
    pending_.append(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
    // Whole frames only; bytes that are not a frame (never expected) are dropped.
    std::string frames;
    std::size_t at = 0;
    while (at + 4 <= pending_.size()) {
        const std::size_t len = mp3framelength(pending_, at);
        if (len == 0) {
            ++at;
            continue;
        }
        if (at + len > pending_.size()) break;
        frames.append(pending_, at, len);
        at += len;
    }
    pending_.erase(0, at);
    return frames;
}

} // namespace kpx
