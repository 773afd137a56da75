// The real Windows programs under Wine: wincon against a sender on loopback, its usage
// error, and wingui's window under Xvfb. Each test process runs in a network namespace of
// its own (the clients bind every address on port 9998, which would otherwise collide with
// the other test areas' listeners); the sender connects to 127.0.10.1. The Wine prefix is
// made once under the build tree. Every test ends with its whole process group and the
// prefix's wineserver killed.
#include "codec.h"
#include "stream.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>

namespace {

using namespace std::chrono_literals;
using kpxtest::Process;
using Bytes = std::vector<unsigned char>;

const std::string SENDERADDR = "127.0.10.1";

struct Wine {
    std::string loader, bindir, arch, prefix, skip;
    std::map<std::string, std::string> env() const {
        return {{"WINEPREFIX", prefix},
                {"WINEARCH", arch},
                {"WINEDEBUG", "-all"},
                {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    }
};

bool runs(const std::string& exe) {
    if (access(exe.c_str(), X_OK) != 0) return false;
    Process p(exe, {"--version"});
    return p.wait(20s) && p.exitcode() == 0;
}

// The i686 programs need Wine's 32-bit side, which needs a kernel that runs 32-bit
// programs. Where it cannot, the same sources built for x86-64 run under wine64.
const Wine& wine() {
    static const Wine w = [] {
        Wine w;
        if (runs("/usr/lib/wine/wine") &&
            kpxtest::exists(std::string(KPX_WIN32_BIN) + "/wincon.exe")) {
            w = {"/usr/lib/wine/wine", KPX_WIN32_BIN, "win32", "", ""};
        } else if (runs("/usr/lib/wine/wine64") &&
                   kpxtest::exists(std::string(KPX_WIN64_BIN) + "/wincon.exe")) {
            w = {"/usr/lib/wine/wine64", KPX_WIN64_BIN, "win64", "", ""};
            std::fprintf(stderr,
                         "note: Wine cannot run 32-bit programs here; testing the x86-64 build\n");
        } else {
            w.skip = "no runnable Wine with built programs (install wine, wine32 or wine64; "
                     "build the win32 or win64 preset)";
            return w;
        }
        w.prefix = std::string(KPX_WINE_DIR) + "/prefix-" + w.arch;
        // One prefix for all tests, made by whichever test comes first.
        std::filesystem::create_directories(KPX_WINE_DIR);
        const int lock =
            open((std::string(KPX_WINE_DIR) + "/lock").c_str(), O_CREAT | O_RDWR, 0644);
        flock(lock, LOCK_EX);
        if (!kpxtest::exists(w.prefix + "/system.reg")) {
            Process::Options o;
            o.env = w.env();
            o.unsetenv = {"DISPLAY"};
            Process boot(w.loader, {"wineboot", "-i"}, o);
            if (!boot.wait(180s) || boot.exitcode() != 0)
                w.skip = "the Wine prefix could not be made";
            Process stop("/usr/lib/wine/wineserver", {"-w"}, o);
            stop.wait(60s);
        }
        flock(lock, LOCK_UN);
        close(lock);
        return w;
    }();
    return w;
}

// A Windows program under Wine; on destruction its process group and the prefix's
// wineserver are killed.
class WineProgram {
  public:
    WineProgram(const std::string& name, const std::vector<std::string>& args,
                std::map<std::string, std::string> extra = {}) {
        // Wine makes its sockets in the wineserver, so a server left from a run in another
        // network namespace must not serve this one.
        stopserver();
        Process::Options o;
        o.env = wine().env();
        for (auto& [k, v] : extra)
            o.env[k] = v;
        if (!o.env.count("DISPLAY")) o.unsetenv = {"DISPLAY"};
        std::vector<std::string> a{wine().bindir + "/" + name};
        a.insert(a.end(), args.begin(), args.end());
        proc_ = std::make_unique<Process>(wine().loader, a, o);
    }
    ~WineProgram() {
        ::kill(-proc_->pid(), SIGKILL);
        proc_->kill();
        stopserver();
    }
    static void stopserver() {
        Process::Options o;
        o.env = wine().env();
        Process stop("/usr/lib/wine/wineserver", {"-k"}, o);
        stop.wait(20s);
    }
    Process& proc() { return *proc_; }
    // Standard output with the Windows line ends made plain.
    std::string out() const { return std::regex_replace(proc_->out(), std::regex("\r\n"), "\n"); }

  private:
    std::unique_ptr<Process> proc_;
};

Bytes packets(int count) {
    Bytes wire;
    for (int p = 0; p < count; ++p) {
        unsigned char audio[kpx::PACKETSAMPLES], gsm[kpx::PACKETBYTES];
        for (int i = 0; i < kpx::PACKETSAMPLES; ++i)
            audio[i] =
                kpx::linear2ulaw(static_cast<std::int16_t>(((i * (p + 3)) % 200 - 100) * 80));
        kpx::encode(audio, kpx::PACKETSAMPLES, gsm);
        wire.insert(wire.end(), gsm, gsm + kpx::PACKETBYTES);
    }
    return wire;
}

// Connects to the client and sends `wire`, then closes.
void stream(const Bytes& wire) {
    const int fd = kpxtest::connectto(SENDERADDR, kpx::STREAMPORT, 20s);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(kpxtest::sendall(fd, wire.data(), wire.size()));
    std::this_thread::sleep_for(300ms);
    ::close(fd);
}

std::string banner(const std::string& kind, const std::string& version) {
    const std::string rule(43, '*');
    return rule + "\n* KPX - Korvanet                          *\n* " + kind + "  Version " +
           version +
           "          *\n*                                         *\n"
           "*     No warranty. Use at your own risk.  *\n" +
           rule + "\n\nCODEC: V1.48\n";
}

#define NEED_WINE()                                                                                \
    if (!wine().skip.empty()) GTEST_SKIP() << wine().skip

TEST(Wine, ConsoleStreamThenClose) {
    NEED_WINE();
    WineProgram w("wincon.exe", {});
    ASSERT_TRUE(w.proc().waitout("(CTRL-C quits)", 60s)) << w.out();
    stream(packets(3));
    ASSERT_TRUE(w.proc().wait(30s)) << w.out();
    EXPECT_EQ(w.proc().exitcode(), 0);
    EXPECT_EQ(w.out(), banner("Win32Client", "1.10b    ") +
                           "Initializing TCP/IP...ready.\n\n"
                           "Use your WWW-browser to connect to a server! (CTRL-C quits)\n"
                           "Connection established.\n"
                           "The audience is listening to KPX...\n"
                           "Connection to server lost.\nTry to connect again!\n"
                           "Connection closed.\nRestart KPX!\n\n\n");
}

TEST(Wine, TwoArgumentsGiveUsage) {
    NEED_WINE();
    WineProgram w("wincon.exe", {"a", "b"});
    ASSERT_TRUE(w.proc().wait(60s));
    EXPECT_EQ(w.proc().exitcode(), 255);
    const std::string out = w.out();
    EXPECT_EQ(out.find(banner("Win32Client", "1.10b    ")), 0u) << out;
    EXPECT_TRUE(
        std::regex_search(out, std::regex("\nUsage: (.*wincon\\.exe) <your-IP>\n   or: \\1 \n$")))
        << out;
    EXPECT_EQ(out.find("Initializing"), std::string::npos);
}

// wingui under Xvfb: the window, its text before and after a stream, and a screenshot.
TEST(Wine, WindowShowsTheClientsText) {
    NEED_WINE();
    if (!kpxtest::exists("/usr/bin/Xvfb") || !kpxtest::exists("/usr/bin/xdotool") ||
        !kpxtest::exists("/usr/bin/import"))
        GTEST_SKIP()
            << "Xvfb, xdotool or ImageMagick's import missing (scripts/setup installs them)";
    int display = 40 + getpid() % 50;
    while (kpxtest::exists("/tmp/.X" + std::to_string(display) + "-lock"))
        ++display;
    const std::string dpy = ":" + std::to_string(display);
    Process xvfb("/usr/bin/Xvfb", {dpy, "-screen", "0", "800x600x24", "-nolisten", "tcp"});
    ASSERT_TRUE(kpxtest::waitfor(
        [&] { return kpxtest::exists("/tmp/.X11-unix/X" + std::to_string(display)); }, 20s));

    const std::string title = "KPX Win32s Client";
    WineProgram gui("wingui.exe", {}, {{"DISPLAY", dpy}});
    auto windowtext = [&] {
        Process::Options o;
        o.env = wine().env();
        o.env["DISPLAY"] = dpy;
        Process t(wine().loader, {wine().bindir + "/wintext.exe", title}, o);
        t.wait(30s);
        return std::regex_replace(t.out(), std::regex("\r\n"), "\n");
    };
    auto found = [&] {
        Process::Options o;
        o.env = {{"DISPLAY", dpy}};
        Process s("/usr/bin/xdotool", {"search", "--name", "^" + title + "$"}, o);
        return s.wait(10s) && s.exitcode() == 0;
    };
    ASSERT_TRUE(kpxtest::waitfor(found, 60s)) << "no window titled " << title;
    std::string text;
    ASSERT_TRUE(kpxtest::waitfor(
        [&] { return (text = windowtext()).find("connect to a server!") != std::string::npos; },
        30s))
        << text;
    EXPECT_EQ(text,
              banner("Win32sClient", "0.1alpha") +
                  "\nATTENTION:\nKPX was never designed to run on 16 bit systems.\n"
                  "THIS IS AN EXPERIMENTAL VERSION. No warranty, no support!\n\n"
                  "Initializing TCP/IP...ready.\n\nUse your WWW-browser to connect to a server!\n");

    stream(packets(3));
    ASSERT_TRUE(kpxtest::waitfor(
        [&] { return (text = windowtext()).find("Restart KPX!") != std::string::npos; }, 30s))
        << text;
    EXPECT_TRUE(text.ends_with("Connection to server lost.\nTry to connect again!\n"
                               "Connection closed.\nRestart KPX!\n\n\n"))
        << text;
    // The work is over, the window stays until it is closed.
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(gui.proc().running());

    const std::string artifacts = std::string(KPX_ARTIFACTS_DIR);
    std::filesystem::create_directories(artifacts);
    Process::Options o;
    o.env = {{"DISPLAY", dpy}};
    Process shot("/usr/bin/import", {"-window", "root", artifacts + "/wingui-window.png"}, o);
    EXPECT_TRUE(shot.wait(30s) && shot.exitcode() == 0);

    Process::Options c;
    c.env = wine().env();
    c.env["DISPLAY"] = dpy;
    Process closer(wine().loader, {wine().bindir + "/wintext.exe", title, "close"}, c);
    closer.wait(30s);
    ASSERT_TRUE(gui.proc().wait(30s));
    EXPECT_EQ(gui.proc().exitcode(), 0);
}

// The clients bind every address on port 9998: a network namespace of their own keeps
// them clear of the other tests' listeners. Without the right to make one, the tests run
// in the machine's namespace.
void privatenetwork() {
    if (unshare(CLONE_NEWNET) != 0) return;
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    if (s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_UP;
        ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    if (s >= 0) close(s);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    privatenetwork();
    return RUN_ALL_TESTS();
}
