#include "oggopus.h"

#include <ogg/ogg.h>
#include <opus/opus.h>

#include <cstring>
#include <vector>

namespace kpx {

struct OggOpus::Ogg {
    ogg_stream_state os{};
};

namespace {

void put16(std::vector<unsigned char>& b, unsigned v) {
    b.push_back(static_cast<unsigned char>(v & 0xFF));
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void put32(std::vector<unsigned char>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

void putbytes(std::vector<unsigned char>& b, const char* s, std::size_t n) {
    b.insert(b.end(), s, s + n);
}

std::string pagetext(const ogg_page& og) {
    std::string s(reinterpret_cast<const char*>(og.header),
                  static_cast<std::size_t>(og.header_len));
    s.append(reinterpret_cast<const char*>(og.body), static_cast<std::size_t>(og.body_len));
    return s;
}

} // namespace

OggOpus::OggOpus(int bitrate, std::uint32_t serial) {
    int err = OPUS_OK;
    enc_ = opus_encoder_create(OPUSRATE, 1, OPUS_APPLICATION_AUDIO, &err);
    if (enc_ == nullptr || err != OPUS_OK) {
        error_ = opus_strerror(err);
        enc_ = nullptr;
        return;
    }
    if (opus_encoder_ctl(enc_, OPUS_SET_BITRATE(bitrate)) != OPUS_OK ||
        opus_encoder_ctl(enc_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE)) != OPUS_OK ||
        // Constant bit rate: pages of silence are as large as pages of sound, so a player that
        // waits for a number of bytes waits no longer in a silence than in a programme.
        opus_encoder_ctl(enc_, OPUS_SET_VBR(0)) != OPUS_OK) {
        error_ = "bit rate refused by the encoder";
        opus_encoder_destroy(enc_);
        enc_ = nullptr;
        return;
    }
    opus_int32 lookahead = 0;
    opus_encoder_ctl(enc_, OPUS_GET_LOOKAHEAD(&lookahead));
    preskip_ = static_cast<int>(lookahead) * (OPUSGRANULERATE / OPUSRATE);

    ogg_ = new Ogg;
    ogg_stream_init(&ogg_->os, static_cast<int>(serial));

    // OpusHead: version 1, one channel, pre-skip, the input rate, no gain, mapping family 0.
    std::vector<unsigned char> head;
    putbytes(head, "OpusHead", 8);
    head.push_back(1);
    head.push_back(1);
    put16(head, static_cast<unsigned>(preskip_));
    put32(head, OPUSRATE);
    put16(head, 0);
    head.push_back(0);
    // OpusTags: the encoder's version as vendor and one comment naming this program.
    std::vector<unsigned char> tags;
    const char* vendor = opus_get_version_string();
    const char comment[] = "ENCODER=KPX web relay";
    putbytes(tags, "OpusTags", 8);
    put32(tags, static_cast<std::uint32_t>(std::strlen(vendor)));
    putbytes(tags, vendor, std::strlen(vendor));
    put32(tags, 1);
    put32(tags, sizeof comment - 1);
    putbytes(tags, comment, sizeof comment - 1);

    for (auto* p : {&head, &tags}) {
        ogg_packet op{};
        op.packet = p->data();
        op.bytes = static_cast<long>(p->size());
        op.b_o_s = p == &head ? 1 : 0;
        op.granulepos = 0;
        op.packetno = packetno_++;
        ogg_stream_packetin(&ogg_->os, &op);
        headers_ += flushpages(true); // each header packet on a page of its own
    }
}

OggOpus::~OggOpus() {
    if (ogg_ != nullptr) {
        ogg_stream_clear(&ogg_->os);
        delete ogg_;
    }
    if (enc_ != nullptr) opus_encoder_destroy(enc_);
}

std::string OggOpus::flushpages(bool all) {
    std::string out;
    ogg_page og;
    while (ogg_stream_flush(&ogg_->os, &og) != 0) {
        out += pagetext(og);
        if (!all) break;
    }
    return out;
}

std::string OggOpus::block(const std::int16_t* pcm, int samples) {
    if (!ok() || samples <= 0 || samples % OPUSFRAMESAMPLES != 0) return {};
    unsigned char packet[1500];
    for (int at = 0; at < samples; at += OPUSFRAMESAMPLES) {
        const opus_int32 n = opus_encode(enc_, pcm + at, OPUSFRAMESAMPLES, packet, sizeof packet);
        if (n < 0) return {};
        granule_ += OPUSFRAMEGRANULES;
        ogg_packet op{};
        op.packet = packet;
        op.bytes = n;
        op.granulepos = granule_;
        op.packetno = packetno_++;
        ogg_stream_packetin(&ogg_->os, &op);
    }
    // Flushing here puts the block's frames, and only those, on the page(s) returned.
    return flushpages(true);
}

} // namespace kpx
