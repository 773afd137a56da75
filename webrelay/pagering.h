// The pages every browser is sent: the header pages once, then the audio pages of the last
// few seconds in a ring that all listeners read from at their own position. A listener
// whose position has left the ring has fallen too far behind and is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kpx {

// One listener's place in the stream.
struct Cursor {
    bool inheader = true;      // still sending the header pages
    std::uint64_t page = 0;    // number of the next audio page (valid once inheader is false)
    std::size_t offset = 0;    // bytes of the current page (or of the headers) already sent
};

class PageRing {
public:
    // `suspend` is called for a reader that has to wait for the next page, `resume` for every
    // such reader once that page is there; both under the ring's lock, so a wake-up can never
    // overtake the wait it ends.
    using Hook = void (*)(void* reader);
    PageRing(std::string headers, std::size_t capacity, Hook suspend, Hook resume);

    // A new listener: the headers first, then audio from the next page published.
    Cursor join();
    // Adds the next audio page (oldest pages beyond the capacity are forgotten) and wakes
    // every waiting reader.
    void publish(std::string page);
    // Copies up to `max` bytes at `c` into `buf` and advances `c`. Returns the bytes copied;
    // 0 when the listener is up to date (then `reader` waits, see the constructor); -1 when
    // its next page is no longer held: the listener fell more than the ring behind.
    long read(Cursor& c, unsigned char* buf, std::size_t max, void* reader);
    // A reader that has gone must not be woken any more.
    void forget(void* reader);

    std::uint64_t published() const;   // audio pages published so far

private:
    mutable std::mutex mu_;
    const std::string headers_;
    const std::size_t capacity_;
    const Hook suspend_, resume_;
    std::deque<std::string> pages_;    // pages first_ .. first_ + pages_.size() - 1
    std::uint64_t first_ = 0;
    std::vector<void*> waiting_;
};

} // namespace kpx
