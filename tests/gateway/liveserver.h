// The real server for gateway tests and benchmarks: a temporary directory with kpx.conf, the
// web skeletons, command file and report directory, and a paced live input (a FIFO fed with
// 1600 bytes of u-law silence every 200 ms, as a sound device would deliver them).
#pragma once

#include "testsupport.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace gatewaytest {

class LiveServer {
  public:
    // Extra kpx.conf lines (for example "maxclients = 1") come after the defaults.
    explicit LiveServer(const std::vector<std::string>& extra = {});
    ~LiveServer();
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    bool ready() const { return ready_; }
    std::string cmdfile() const { return dir_.file("commands"); }
    std::string repdir() const { return dir_.file("reports"); }
    const kpxtest::TempDir& dir() const { return dir_; }
    kpxtest::Process& proc() { return *proc_; }
    std::string err() const { return proc_->err(); }

  private:
    kpxtest::TempDir dir_;
    int feedfd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
    std::unique_ptr<kpxtest::Process> proc_;
    bool ready_ = false;
};

// The answer page lconnect/bconnect print for a report file holding `report`: every line of
// the report followed by one more newline.
std::string pagefor(const std::string& report);
// The report the server writes from a skeleton: every line followed by one more newline.
std::string reportfor(const std::string& skeleton);

} // namespace gatewaytest
