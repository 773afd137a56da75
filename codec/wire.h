// The stream link on the wire, in one place for every program that sends or receives it: the
// port every receiver waits on, the packet and its frames, and the buffers a receiver keeps
// for one packet and its decoded audio.
#pragma once

namespace kpx {

inline constexpr int STREAMPORT = 9998; // every receiver (listener, relay) listens here
inline constexpr int FRAMEBYTES = 33;   // one GSM 06.10 frame, 160 samples, 20 ms
inline constexpr int FRAMESAMPLES = 160;
inline constexpr int FRAMESPERPACKET = 10;
inline constexpr int PACKETBYTES = 330;    // one packet on the wire, 200 ms
inline constexpr int PACKETSAMPLES = 1600; // one packet as u-law audio, one byte per sample
inline constexpr int PACKETSPERSECOND = 5;
inline constexpr unsigned char FRAMESIGNATURE = 0xD; // high nibble of a frame's first byte

// A receiver's buffers for one reception: one packet with a little slack, and its decoded
// audio (PACKETSAMPLES) with slack.
inline constexpr int PACKETBUFBYTES = PACKETBYTES + 2;
inline constexpr int AUDIOBUFBYTES = PACKETSAMPLES + 50;

} // namespace kpx
