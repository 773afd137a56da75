// The web relay's MP3 encoder (LAME): 200 ms blocks of 8 kHz mono audio in, whole MP3 frames
// out. Mono at 16 kHz (MPEG-2 layer III, which every MP3 decoder plays; 8 kHz would be the
// MPEG-2.5 extension that some do not), constant bit rate and no bit reservoir, so that every
// frame stands alone and a listener can join at any frame. One encoder serves every listener.
#pragma once

#include <cstdint>
#include <string>

struct lame_global_struct;

namespace kpx {

inline constexpr int MP3RATE = 16000;
inline constexpr int DEFAULTMP3BITRATE = 32000;

// Whether `bits` is a bit rate of MPEG-2 layer III that the web relay offers (8 to 64 kbit/s).
bool mp3bitrate(int bits);

class Mp3Encoder {
  public:
    explicit Mp3Encoder(int bitrate);
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;

    bool ok() const { return gf_ != nullptr; }

    // Encodes `samples` samples of 8 kHz audio and returns the frames completed so far (the
    // encoder holds back about two frames of look-ahead).
    std::string block(const std::int16_t* pcm, int samples);

  private:
    lame_global_struct* gf_ = nullptr;
    std::string pending_; // output not yet a whole frame
};

// Length of the MPEG-2 layer III frame at the start of `s` (from its header), or 0 when `s`
// does not start with one.
std::size_t mp3framelength(const std::string& s, std::size_t at);

} // namespace kpx
