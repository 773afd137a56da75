#include "pagering.h"

#include <algorithm>
#include <cstring>

namespace kpx {

PageRing::PageRing(std::string headers, std::size_t capacity, Hook suspend, Hook resume)
    : headers_(std::move(headers)), capacity_(capacity < 1 ? 1 : capacity), suspend_(suspend),
      resume_(resume) {}

Cursor PageRing::join() {
    std::lock_guard<std::mutex> l(mu_);
    Cursor c;
    c.page = first_ + pages_.size();
    return c;
}

void PageRing::publish(std::string page) {
    std::lock_guard<std::mutex> l(mu_);
    pages_.push_back(std::move(page));
    while (pages_.size() > capacity_) {
        pages_.pop_front();
        ++first_;
    }
    for (void* r : waiting_) resume_(r);
    waiting_.clear();
}

long PageRing::read(Cursor& c, unsigned char* buf, std::size_t max, void* reader) {
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
        const std::string& p = pages_[static_cast<std::size_t>(c.page - first_)];
        const std::size_t n = std::min(max - done, p.size() - c.offset);
        std::memcpy(buf + done, p.data() + c.offset, n);
        done += n;
        c.offset += n;
        if (c.offset == p.size()) {
            ++c.page;
            c.offset = 0;
        }
    }
    if (done == 0) {
        waiting_.push_back(reader);
        suspend_(reader);
    }
    return static_cast<long>(done);
}

void PageRing::forget(void* reader) {
    std::lock_guard<std::mutex> l(mu_);
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), reader), waiting_.end());
}

std::uint64_t PageRing::published() const {
    std::lock_guard<std::mutex> l(mu_);
    return first_ + pages_.size();
}

} // namespace kpx
