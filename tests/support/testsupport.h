// Helpers for tests that run the real programs: temporary directories, child processes
// with captured output, loopback peers on port 9998 and small file utilities.
//
// Loopback addresses: port 9998 is fixed, so every test that binds or connects to it uses an
// address of its own. Third octet per test area, fourth per test:
//   127.0.1.x codec/stream   127.0.2.x server   127.0.3.x client   127.0.4.x gateway
//   127.0.5.x browser/web    127.0.6.x broadcaster  127.0.7.x demo/bench
//   127.0.8.x operator tools 127.0.9.x web relay    127.0.10.x Windows clients
//   127.0.11.x relay bench   127.0.12.x relay tree and soak (.1-.111 tree, .121-.132 soak)
//   127.0.16.x lower relays of the depth-3 tree   127.0.17.x-127.0.20.x its 1000 listeners
//   127.0.13.x fault scenarios   127.0.14.x soak harness
//   127.0.15.x vanished listener (in a network namespace of its own)
//   127.0.22.x browsers playing the web relay (Chromium, Firefox, their bench)
//   127.0.23.x server guards (allow lists, consent, report ownership)
//   127.0.47.x relay guards (allow lists, upstream owner, silent upstreams)
//   127.0.21.x web relay streams (formats, burst, HEAD and Range)
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace kpxtest {

std::string bindir();                         // <build>/bin
std::string sourcedir();                      // repository root
std::string program(const std::string& name); // bindir() + "/" + name

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A child process with standard output and standard error captured to files.
class Process {
  public:
    struct Options {
        std::string cwd;                        // empty: inherit
        std::map<std::string, std::string> env; // added to (or replacing in) the environment
        std::vector<std::string> unsetenv;      // removed from the environment
        std::string stdinfile;                  // empty: /dev/null
        std::string outfile, errfile;           // empty: files in a private temp dir
    };
    Process(const std::string& exe, const std::vector<std::string>& args, const Options& opt);
    Process(const std::string& exe, const std::vector<std::string>& args);
    ~Process(); // kills (SIGKILL) and reaps if still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return pid_; }
    bool running();
    // Waits up to `timeout`; returns true when the process ended. Then status() is valid.
    bool wait(std::chrono::milliseconds timeout);
    void signal(int sig);
    void kill();               // SIGKILL and reap
    void join();               // waits, without a limit, until it ended (then status())
    double cpuseconds() const; // user + system CPU of the process once it was reaped
    int exitcode() const;      // WEXITSTATUS, or -1 when killed by a signal
    int termsignal() const;    // signal that ended it, or 0
    std::string out() const;   // captured standard output so far
    std::string err() const;   // captured standard error so far
    // Waits until `text` appears in the captured stdout (or stderr).
    bool waitout(const std::string& text, std::chrono::milliseconds timeout) const;
    bool waiterr(const std::string& text, std::chrono::milliseconds timeout) const;

  private:
    int pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    double cpu_ = 0;
    void reap(int options);
    std::string outfile_, errfile_;
    TempDir* own_ = nullptr;
};

// Polls `pred` every 10 ms until it is true or `timeout` has passed.
bool waitfor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

std::string readfile(const std::string& path);
std::vector<unsigned char> readbytes(const std::string& path);
void writefile(const std::string& path, const std::string& text);
void writebytes(const std::string& path, const std::vector<unsigned char>& bytes);
bool exists(const std::string& path);
int countof(const std::string& haystack, const std::string& needle);

// Segmental SNR in dB of `got` against `ref` (linear 16-bit samples, compared over the
// shorter length) over 160-sample segments whose reference is not near silence; each
// segment's value is held within [-10, 35] dB as usual, so that silent or perfect segments
// do not dominate. -100 when no segment counts.
double segsnr(const std::vector<short>& ref, const std::vector<short>& got);

// A stream receiver on addr:9998 (what a listener client is to the server): accepts one
// connection after another and keeps every byte received, per connection.
class FakeListener {
  public:
    explicit FakeListener(const std::string& addr, int port = 9998);
    ~FakeListener();
    FakeListener(const FakeListener&) = delete;
    FakeListener& operator=(const FakeListener&) = delete;
    int connections() const;
    std::vector<unsigned char> bytes(int connection = 0) const; // copy of what arrived
    std::size_t total(int connection = 0) const;
    bool closedbypeer(int connection = 0) const;
    // Closes the current connection (the sender then sees failed writes).
    void dropcurrent();
    // Stop reading (without closing) so the sender's writes back up.
    void pause(bool paused);

  private:
    struct Impl;
    Impl* impl_;
};

// Connects to addr:port as a stream sender; returns the descriptor or -1.
int connectto(const std::string& addr, int port, std::chrono::milliseconds timeout);
// Writes all bytes; returns false on failure.
bool sendall(int fd, const void* data, std::size_t len);
// One recvmsg() without waiting into `buf`; `stamp` gets the kernel's receive time of what was
// read (CLOCK_REALTIME, ns; needs SO_TIMESTAMPNS on `fd`), or 0 when it gave none. Returns what
// recvmsg() returns.
long recvstamped(int fd, void* buf, std::size_t len, std::int64_t& stamp);

} // namespace kpxtest
