// decode on arbitrary frames: a block is refused exactly when its length is not a whole
// number of frames or a frame lacks the signature, a refused block leaves the output
// untouched, and an accepted one expands to 160 samples per frame that encode again.
#include "codec.h"
#include "fuzzcheck.h"
#include "stream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int length = static_cast<int>(std::min<std::size_t>(size, 33 * 200));
    bool valid = length % kpx::FRAMEBYTES == 0;
    for (int pos = 0; valid && pos < length; pos += kpx::FRAMEBYTES)
        valid = (data[pos] >> 4) == kpx::FRAMESIGNATURE;

    const std::size_t samples =
        static_cast<std::size_t>(length / kpx::FRAMEBYTES) * kpx::FRAMESAMPLES;
    std::vector<unsigned char> out(samples + 1, 0xA5);
    const int r = kpx::decode(data, length, out.data());
    FUZZ_CHECK(out.back() == 0xA5);
    if (!valid) {
        FUZZ_CHECK(r == -1);
        for (unsigned char c : out)
            FUZZ_CHECK(c == 0xA5);
        return 0;
    }
    FUZZ_CHECK(r == static_cast<int>(samples));
    if (samples == 0) return 0;
    std::vector<unsigned char> again(static_cast<std::size_t>(length) + 1, 0x5A);
    FUZZ_CHECK(kpx::encode(out.data(), r, again.data()) == length);
    FUZZ_CHECK(again.back() == 0x5A);
    for (int pos = 0; pos < length; pos += kpx::FRAMEBYTES)
        FUZZ_CHECK((again[static_cast<std::size_t>(pos)] >> 4) == kpx::FRAMESIGNATURE);
    return 0;
}
