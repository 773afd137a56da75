// The web relay's encoder: 200 ms blocks of 8 kHz mono audio in, Ogg/Opus pages out. One
// encoder serves every browser, so each block is encoded exactly once.
#pragma once

#include <cstdint>
#include <string>

struct OpusEncoder;

namespace kpx {

inline constexpr int OPUSRATE = 8000;         // input sample rate (the stream's)
inline constexpr int OPUSFRAMESAMPLES = 160;  // 20 ms per Opus frame at the input rate
inline constexpr int OPUSGRANULERATE = 48000; // Ogg/Opus granule positions count at 48 kHz
inline constexpr int OPUSFRAMEGRANULES = 960; // 20 ms at 48 kHz
inline constexpr int MINBITRATE = 6000;
inline constexpr int MAXBITRATE = 64000;
inline constexpr int DEFAULTBITRATE = 16000;

class OggOpus {
  public:
    // A fresh logical stream with serial number `serial`. ok() is false when libopus refused
    // the settings (then error() says why).
    OggOpus(int bitrate, std::uint32_t serial);
    ~OggOpus();
    OggOpus(const OggOpus&) = delete;
    OggOpus& operator=(const OggOpus&) = delete;

    bool ok() const { return enc_ != nullptr; }
    const std::string& error() const { return error_; }

    // The two header pages (OpusHead with the stream's first-page flag, then OpusTags),
    // which every new listener receives before any audio page.
    const std::string& headers() const { return headers_; }

    // Encodes one block (a whole number of 20 ms frames) and returns the page(s) holding
    // exactly those frames, so that a listener can join at the start of any block. Empty
    // when the block length is wrong.
    std::string block(const std::int16_t* pcm, int samples);

    // Granule position after the last block (48 kHz samples, the pre-skip included).
    std::int64_t granule() const { return granule_; }
    int preskip() const { return preskip_; }

  private:
    std::string flushpages(bool all);

    OpusEncoder* enc_ = nullptr;
    std::string error_;
    std::string headers_;
    struct Ogg;
    Ogg* ogg_ = nullptr;
    std::int64_t granule_ = 0;
    std::int64_t packetno_ = 0;
    int preskip_ = 0;
};

} // namespace kpx
