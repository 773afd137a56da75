#include "pagering.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kpx {

PageRing::PageRing(Kind kind, std::string headers, std::size_t capacity, std::size_t burst)
    : kind_(kind), headers_(std::move(headers)), capacity_(capacity < 1 ? 1 : capacity),
      burst_(std::min(burst, capacity_)) {
    for (std::string_view s = headers_; std::size_t n = ogglength(s); s.remove_prefix(n))
        ++headerpages_;
}

Cursor PageRing::join() {
    std::lock_guard<std::mutex> l(mu_);
    Cursor c;
    c.page = first_ + pages_.size() - std::min(burst_, pages_.size());
    c.seq = headerpages_;
    c.granulebase = c.page < first_ + pages_.size()
                        ? pages_[static_cast<std::size_t>(c.page - first_)].before
                        : lastgranule_;
    c.inheader = !headers_.empty();
    return c;
}

void PageRing::push(Entry e) {
    pages_.push_back(std::move(e));
    while (pages_.size() > capacity_) {
        pages_.pop_front();
        ++first_;
    }
}

void PageRing::onpublish(Hook hook, void* arg) {
    std::lock_guard<std::mutex> l(mu_);
    hook_ = hook;
    hookarg_ = arg;
}

void PageRing::publish(const std::string& block) {
    if (block.empty()) return;
    std::unique_lock<std::mutex> l(mu_);
    if (kind_ == Kind::Plain) {
        push({block, 0, 0, {}});
    } else {
        std::string_view s = block;
        while (const std::size_t n = ogglength(s)) {
            Entry e{std::string(s.substr(0, n)), ogggranule(s), lastgranule_,
                    pagesum(s.substr(0, n))};
            // A page on which no packet ends (-1) keeps the position of the one before.
            if (e.granule != -1) lastgranule_ = e.granule;
            push(std::move(e));
            s.remove_prefix(n);
        }
    }
    const Hook hook = hook_;
    void* const arg = hookarg_;
    l.unlock();
    if (hook != nullptr) hook(arg);
}

long PageRing::read(Cursor& c, unsigned char* buf, std::size_t max) {
    std::lock_guard<std::mutex> l(mu_);
    std::size_t done = 0;
    if (c.inheader) {
        const std::size_t n = std::min(max, headers_.size() - c.offset);
        std::memcpy(buf, headers_.data() + c.offset, n);
        c.offset += n;
        done = n;
        if (c.offset < headers_.size()) return static_cast<long>(done);
        c.inheader = false;
        c.offset = 0;
    }
    if (c.page < first_) return -1;
    const std::uint64_t end = first_ + pages_.size();
    while (done < max && c.page < end) {
        const Entry& e = pages_[static_cast<std::size_t>(c.page - first_)];
        const char* from = e.bytes.data() + c.offset;
        std::size_t avail = e.bytes.size() - c.offset;
        if (kind_ == Kind::Ogg) {
            if (c.offset == 0)
                c.headlen = renumber(e.bytes, e.sum, c.seq,
                                     e.granule == -1 ? -1 : e.granule - c.granulebase, c.head);
            if (c.offset < c.headlen) {
                from = reinterpret_cast<const char*>(c.head) + c.offset;
                avail = c.headlen - c.offset;
            }
        }
        const std::size_t n = std::min(max - done, avail);
        std::memcpy(buf + done, from, n);
        done += n;
        c.offset += n;
        if (c.offset == e.bytes.size()) {
            ++c.page;
            ++c.seq;
            c.offset = 0;
        }
    }
    return static_cast<long>(done);
}

std::uint64_t PageRing::published() const {
    std::lock_guard<std::mutex> l(mu_);
    return first_ + pages_.size();
}

std::size_t PageRing::burstheld() const {
    std::lock_guard<std::mutex> l(mu_);
    return std::min(burst_, pages_.size());
}

} // namespace kpx
