// The pages every listener is sent: the header pages once, then the audio of the last few
// seconds in a ring that all listeners read from at their own position. A new listener starts
// a burst back from the newest page, so that a player's start-up buffer fills at once; one
// whose position has left the ring has fallen too far behind and is dropped.
//
// An Ogg ring renumbers the pages for each listener (see pagefix.h), so that every listener's
// stream is a valid stream by itself: pages numbered on from the header pages without a gap,
// granule positions counting from zero at its first audio page. A plain ring (MP3 frames)
// sends the bytes as they are.
#pragma once

#include "pagefix.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kpx {

// One listener's place in the stream.
struct Cursor {
    bool inheader = true;   // still sending the header pages
    std::uint64_t page = 0; // number of the next audio page (valid once inheader is false)
    std::size_t offset = 0; // bytes of the current page (or of the headers) already sent
    // Ogg: this listener's sequence number of the current page, the granule position its
    // stream starts from, and the current page's header as this listener gets it.
    std::uint32_t seq = 0;
    std::int64_t granulebase = 0;
    std::size_t headlen = 0;
    unsigned char head[OGGMAXHEADER];
};

class PageRing {
  public:
    enum class Kind { Ogg, Plain };
    // `capacity` pages are held; a new listener starts `burst` pages back (at most what is
    // held).
    PageRing(Kind kind, std::string headers, std::size_t capacity, std::size_t burst);

    // `hook(arg)` is called once after each page is published (outside the ring's lock): the
    // one wake-up of whoever sends the pages on to every listener.
    using Hook = void (*)(void* arg);
    void onpublish(Hook hook, void* arg);

    // A new listener: the headers first, then the burst and the live pages.
    Cursor join();
    // Adds the next block of audio: for an Ogg ring one or more complete pages, each held on
    // its own; for a plain ring one entry. Oldest pages beyond the capacity are forgotten;
    // the publish hook is called. An empty block is ignored.
    void publish(const std::string& block);
    // Copies up to `max` bytes at `c` into `buf` and advances `c`. Returns the bytes copied;
    // 0 when the listener is up to date; -1 when its next page is no longer held: the
    // listener fell more than the ring behind.
    long read(Cursor& c, unsigned char* buf, std::size_t max);

    std::uint64_t published() const; // audio pages published so far
    // Pages a listener joining now gets at once: the burst, or fewer while the ring holds less.
    std::size_t burstheld() const;

  private:
    struct Entry {
        std::string bytes;
        std::int64_t granule = 0; // Ogg: the page's granule position
        std::int64_t before = 0;  // Ogg: the granule position of the page before it
        PageSum sum;              // Ogg: for the listeners' checksums
    };
    void push(Entry e);

    mutable std::mutex mu_;
    const Kind kind_;
    const std::string headers_;
    std::uint32_t headerpages_ = 0;
    const std::size_t capacity_, burst_;
    Hook hook_ = nullptr;
    void* hookarg_ = nullptr;
    std::deque<Entry> pages_; // pages first_ .. first_ + pages_.size() - 1
    std::uint64_t first_ = 0;
    std::int64_t lastgranule_ = 0;
};

} // namespace kpx
