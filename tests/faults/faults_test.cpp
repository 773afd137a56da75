// Fault scenarios with the real programs on loopback (127.0.13.x): peers that die, reset or
// stop reading in the middle of a stream, a crowd of gateway runs with unanswered
// addresses among them, a relay whose upstream is killed again and again, a full disk.
#include "faults.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

namespace kpxtest::faults {
namespace {

using server::follow;

// Where a listener's stream ends in the programme's cycle; -1 when it does not follow it.
int endof(const FakeListener& l, const Programme& p) {
    const server::Follow f = follow(l.bytes(0), p.packets);
    if (!f.problem.empty() || l.total(0) % 330 != 0 || f.packets == 0) return -1;
    return (f.first + f.packets) % static_cast<int>(p.packets.size());
}

TEST(Faults, TenListenersSurviveKillsResetsAndStalls) {
    std::mt19937 rng(seed());
    LiveServer s(1300, 7, 1ms);
    s.env.start();
    const int pid = s.env.proc().pid();

    // Four listeners that behave, two killed, two resetting, two that stop reading.
    std::vector<int> roles = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3};
    std::shuffle(roles.begin(), roles.end(), rng);
    std::vector<std::unique_ptr<FakeListener>> good;
    std::vector<std::unique_ptr<Sink>> bad;
    std::vector<std::chrono::milliseconds> killat;
    for (int i = 0; i < 10; ++i) {
        const std::string a = addr(10 + i);
        const auto after = std::chrono::milliseconds(300 + rng() % 3000);
        if (roles[static_cast<std::size_t>(i)] == 0) {
            good.push_back(std::make_unique<FakeListener>(a));
            ASSERT_TRUE(s.env.connect(a, *good.back())) << s.env.err();
            continue;
        }
        bad.push_back(std::make_unique<Sink>(a,
                                             roles[static_cast<std::size_t>(i)] == 2 ? Sink::resets
                                             : roles[static_cast<std::size_t>(i)] == 3
                                                 ? Sink::stalls
                                                 : Sink::reads,
                                             after));
        killat.push_back(roles[static_cast<std::size_t>(i)] == 1
                             ? after
                             : std::chrono::milliseconds(3600000)); // never
        ASSERT_TRUE(s.env.command(a + "\n"));
        ASSERT_TRUE(bad.back()->accepted(5s)) << a;
    }
    const int fdsbefore = descriptors(pid); // with all ten connected

    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < 9s) {
        for (std::size_t k = 0; k < bad.size(); ++k)
            if (std::chrono::steady_clock::now() - t0 >= killat[k]) bad[k]->kill();
        std::this_thread::sleep_for(20ms);
    }
    // Six faults, six peers gone (a peer that stops reading goes once the socket buffers
    // are full and a send has waited 3 s); the four that behave are the table.
    EXPECT_TRUE(waitfor([&] { return countof(s.env.err(), " died (#") == 6; }, 90s)) << s.env.err();
    const auto dropped = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    ASSERT_TRUE(s.env.command("@LIST\n"));
    std::vector<std::string> listed, expected;
    const std::string err = s.env.err();
    const std::size_t from = err.rfind("No/IP\n") + 6;
    for (std::size_t at = from; err.compare(at, 3, "---") != 0 && at < err.size();
         at = err.find('\n', at) + 1)
        listed.push_back(
            err.substr(err.find('/', at) + 1, err.find('\n', at) - err.find('/', at) - 1));
    for (int i = 0; i < 10; ++i)
        if (roles[static_cast<std::size_t>(i)] == 0) expected.push_back(addr(10 + i));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected) << err;
    const int fdsafter = descriptors(pid);
    const long rss = rsskb(pid);
    EXPECT_EQ(s.env.stop(), 10);

    // Every survivor has whole packets of the programme in order, and all end at the same
    // packet: none lost, repeated or torn, whatever happened to the others.
    const int end = endof(*good[0], s.programme);
    for (const auto& l : good) {
        EXPECT_EQ(endof(*l, s.programme), end);
        EXPECT_GT(l->total(0), 330U * 100);
        EXPECT_TRUE(l->closedbypeer(0));
    }
    EXPECT_NE(end, -1);
    // The six dropped peers' descriptors are closed again.
    EXPECT_EQ(fdsafter, fdsbefore - 6);
    std::cout << "faults injected 6 (2 killed, 2 reset, 2 stalled), 4 listeners intact; packets "
              << good[0]->total(0) / 330 << "; server descriptors " << fdsbefore << " -> "
              << fdsafter << ", RSS " << rss << " kB; all six dropped after " << dropped.count()
              << " ms\n";
}

TEST(Faults, RelayKeepsItsListenersThroughTwentyUpstreamRestarts) {
    std::mt19937 rng(seed());
    server::Env e;
    e.conf.push_back("maxclients = 10");
    e.startrelay(addr(30));
    FakeListener a(addr(31)), b(addr(32));

    // Each upstream sends packets of its own; round r's packet i is programme r's chunk i.
    constexpr int rounds = 20, perround = 40;
    std::vector<Programme> progs;
    for (int r = 0; r < rounds; ++r)
        progs.emplace_back(2000 + 100 * static_cast<unsigned>(r), perround);
    std::map<std::string, std::pair<int, int>> where; // packet -> (round, index)
    for (int r = 0; r < rounds; ++r)
        for (int i = 0; i < perround; ++i) {
            const Bytes& p =
                progs[static_cast<std::size_t>(r)].packets[static_cast<std::size_t>(i)];
            where[std::string(p.begin(), p.end())] = {r, i};
        }

    std::unique_ptr<Upstream> up;
    for (int r = 0; r < rounds; ++r) {
        const std::size_t before = a.total(0);
        up = std::make_unique<Upstream>(
            addr(30), server::concat(progs[static_cast<std::size_t>(r)].packets), rng(), 2ms);
        if (r == 0) {
            ASSERT_TRUE(e.connect(addr(31), a)) << e.err();
            ASSERT_TRUE(e.connect(addr(32), b)) << e.err();
        }
        // Killed somewhere after its third packet has gone through, often inside a packet.
        const std::size_t need = before + 330 * (3 + rng() % 10);
        ASSERT_TRUE(waitfor([&] { return a.total(0) >= need; }, 10s)) << "round " << r;
        up->kill();
        ASSERT_TRUE(
            waitfor([&] { return countof(e.err(), "All clients disconnected!!!!") == r + 1; }, 10s))
            << "round " << r << "\n"
            << e.err();
    }
    // The relay reads its command file while an upstream sends: one more to stop it.
    const std::size_t before = a.total(0);
    up = std::make_unique<Upstream>(addr(30), server::concat(progs[0].packets), rng(), 2ms);
    ASSERT_TRUE(waitfor([&] { return a.total(0) > before; }, 10s));
    EXPECT_EQ(e.stop(), 10);

    // The listeners stayed on their one connection; each round's packets came in order from
    // its first, and nothing else came.
    const bool stale =
        e.err().find("stale packets that the new upstream had queued") != std::string::npos;
    for (FakeListener* l : {&a, &b}) {
        EXPECT_EQ(l->connections(), 1);
        const Bytes got = l->bytes(0);
        ASSERT_EQ(got.size() % 330, 0U);
        int round = -1, next = 0, rounds_seen = 0;
        for (std::size_t at = 0; at < got.size(); at += 330) {
            const auto it = where.find(std::string(got.begin() + static_cast<long>(at),
                                                   got.begin() + static_cast<long>(at + 330)));
            ASSERT_NE(it, where.end()) << "packet " << at / 330 << " was never sent";
            const auto [r, i] = it->second;
            if (r != round) {
                // A new upstream: from its first packet on (the listeners joined in round 0),
                // unless the relay found it with a backlog queued (a loaded machine), which it
                // drops and says so.
                ASSERT_TRUE(i == 0 || (round == -1 && r == 0) || stale)
                    << "round " << r << " began at " << i;
                round = r;
                ++rounds_seen;
            } else {
                ASSERT_EQ(i, next) << "round " << r;
            }
            next = i + 1;
        }
        EXPECT_GE(rounds_seen, rounds);
    }
    std::cout << "upstreams killed " << rounds << "; listener packets " << a.total(0) / 330 << "\n";
}

TEST(Faults, ThirtyGatewayRunsAtOnceWithUnansweredAddresses) {
    LiveServer s(1500, 5, 5ms);
    s.env.start();
    FakeListener l1(addr(40)), l2(addr(41));
    ASSERT_TRUE(s.env.connect(addr(40), l1));
    ASSERT_TRUE(s.env.connect(addr(41), l2));
    BlackHole hole1(addr(60)), hole2(addr(61));
    std::vector<std::unique_ptr<FakeListener>> wanted;
    std::vector<std::string> names = {addr(60)}; // asked first, so it is surely handled
    for (int i = 0; i < 4; ++i) {
        wanted.push_back(std::make_unique<FakeListener>(addr(50 + i)));
        names.push_back(addr(50 + i));
    }
    names.push_back(addr(61));
    for (int i = 0; i < 20; ++i)
        names.push_back(addr(70 + i)); // nobody listens there
    for (const char* bad : {"a/b.c.d", "x", "%3Cb%3E.c.d", ".."})
        names.push_back(bad);

    GapWatch watch(l1);
    std::vector<std::unique_ptr<Process>> runs;
    for (const std::string& n : names) {
        runs.push_back(gatewayrun("lconnect", s.env, "CLIENTNAME=" + n));
        if (runs.size() == 1) std::this_thread::sleep_for(300ms);
    }
    // Every run ends within its three waits of about 10 s each.
    std::map<std::string, int> outcomes;
    std::vector<std::string> gaveup;
    for (std::size_t k = 0; k < runs.size(); ++k) {
        ASSERT_TRUE(runs[k]->wait(35s)) << names[k];
        const std::string page = runs[k]->out(), name = names[k];
        const int asked = countof(s.env.err(), name + " is requesting connection.\n");
        std::string outcome;
        if (page.find("<p>connected</p>") != std::string::npos)
            outcome = "connected";
        else if (page.find(name + ": " + server::CANNOTCONNECT + ".") != std::string::npos)
            outcome = "cannot connect";
        else if (page.find("Illegal hostname or IP address!\n") != std::string::npos)
            outcome = "illegal name";
        else if (page.find("Server is busy or not accepting connections.<br>\n") !=
                 std::string::npos)
            outcome = "busy";
        else if (page.find("Timeout: Request was not responded by server!<br>\n") !=
                 std::string::npos)
            outcome = "timeout";
        ASSERT_FALSE(outcome.empty()) << name << ":\n" << page;
        ++outcomes[outcome];
        // A request reached the server exactly when the page says so; never twice.
        if (outcome == "connected" || outcome == "cannot connect") {
            EXPECT_EQ(asked, 1) << name;
        } else if (outcome == "busy" || outcome == "illegal name") {
            EXPECT_EQ(asked, 0) << name;
        }
        if (outcome == "timeout") gaveup.push_back(name);
        EXPECT_EQ(runs[k]->exitcode(),
                  outcome == "connected" || outcome == "cannot connect" ? 0 : 1)
            << name;
    }
    EXPECT_EQ(outcomes["illegal name"], 4);
    // The unanswered address asked first got its report after the connect limit.
    EXPECT_NE(runs[0]->out().find(addr(60) + ": " + server::CANNOTCONNECT + "."),
              std::string::npos);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (countof(s.env.err(), addr(50 + static_cast<int>(i)) + " is requesting connection.\n") ==
            1) {
            EXPECT_TRUE(waitfor([&] { return wanted[i]->total(0) > 0; }, 5s));
        }
    }
    // The stream never waited for the unanswered connects longer than a send may.
    EXPECT_LT(watch.longest(), 3000ms);
    // A request left behind by a run that gave up is still handled once; then only text
    // reports remain, besides the pages of those runs.
    ASSERT_TRUE(waitfor([&] { return !exists(s.env.cmdfile()); }, 10s));
    const int pid = s.env.proc().pid();
    const int fds = descriptors(pid);
    EXPECT_EQ(s.env.stop(), 10);
    for (const auto& f : std::filesystem::directory_iterator(s.env.repdir())) {
        const std::string file = f.path().filename();
        const std::string name = file.substr(0, file.rfind('.'));
        if (name == addr(40) || name == addr(41)) continue; // connected without a gateway
        EXPECT_TRUE(file.ends_with(".txt") || std::count(gaveup.begin(), gaveup.end(), name) == 1)
            << file;
        EXPECT_LE(countof(s.env.err(), name + " is requesting connection.\n"), 1) << file;
    }
    std::cout << "gateway runs 30:";
    for (const auto& [o, n] : outcomes)
        std::cout << " " << o << " " << n << ";";
    std::cout << " longest pause of the stream " << watch.longest().count()
              << " ms; server descriptors " << fds << "\n";
}

TEST(Faults, AFullDiskCostsReportsButNotTheStream) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    LiveServer s(1700, 5, 5ms);
    // The report directory on a file system of 64 kB, filled up.
    if (::mount("kpxfull", s.env.repdir().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{s.env.repdir()};
    s.env.start();
    FakeListener l(addr(100));
    ASSERT_TRUE(s.env.connect(addr(100), l));
    {
        std::FILE* f = std::fopen((s.env.repdir() + "/filler").c_str(), "w");
        ASSERT_NE(f, nullptr);
        const std::string block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), f) == block.size() &&
               std::fflush(f) == 0) {
        }
        std::fclose(f);
    }
    GapWatch watch(l);
    // No page that pretends to be the answer: the cut report is removed and the requester
    // is told that no report came.
    auto run = gatewayrun("lconnect", s.env, "CLIENTNAME=" + addr(101));
    ASSERT_TRUE(run->wait(35s));
    EXPECT_NE(run->out().find("Server did not create any action report!<br>\n"), std::string::npos)
        << run->out();
    EXPECT_NE(
        s.env.err().find("Report '" + s.env.report(addr(101), ".html") +
                         "' could not be written (No space left on device) and was removed.\n"),
        std::string::npos)
        << s.env.err();
    EXPECT_FALSE(exists(s.env.report(addr(101), ".html")));
    EXPECT_LT(watch.longest(), 1000ms);
    // With room again, the next request is answered as usual.
    ::unlink((s.env.repdir() + "/filler").c_str());
    auto again = gatewayrun("lconnect", s.env, "CLIENTNAME=" + addr(101));
    ASSERT_TRUE(again->wait(35s));
    EXPECT_NE(again->out().find(addr(101) + ": " + server::CANNOTCONNECT + "."), std::string::npos)
        << again->out();
    EXPECT_TRUE(l.total(0) > 0 && !l.closedbypeer(0));
    EXPECT_EQ(s.env.stop(), 10);
}

TEST(Faults, RelayTakesGarbageAndTricklesThenRelaysARealStreamIntact) {
    std::mt19937 rng(seed());
    server::Env e;
    e.startrelay(addr(110));
    FakeListener l(addr(111));
    const Programme first(2500, 20), last(2600, 40);
    {
        Upstream up(addr(110), server::concat(first.packets), rng(), 2ms);
        ASSERT_TRUE(e.connect(addr(111), l)) << e.err();
    }
    // Six hostile senders in random order: garbage of any length, a trickle, a sender that
    // says nothing; each goes away in the middle of whatever it was doing.
    for (int k = 0; k < 6; ++k) {
        Bytes junk(100 + rng() % 2000);
        for (auto& b : junk)
            b = static_cast<unsigned char>(rng());
        const int kind = static_cast<int>(rng() % 3);
        Upstream up(addr(110), kind == 2 ? Bytes{} : junk, rng(), kind == 1 ? 30ms : 1ms);
        std::this_thread::sleep_for(kind == 1 ? 600ms : 200ms);
    }
    const std::size_t before = l.total(0);
    // The real stream, and more after it so that the relay still reads its command file.
    Upstream up(addr(110),
                server::concat({server::concat(last.packets), server::concat(first.packets),
                                server::concat(first.packets)}),
                rng(), 2ms);
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= before + 330 * last.packets.size(); }, 15s))
        << e.err();
    EXPECT_EQ(e.stop(), 10);
    // The listener stayed on its connection, and the real stream came whole and in order.
    EXPECT_EQ(l.connections(), 1);
    const Bytes got = l.bytes(0);
    ASSERT_EQ(got.size() % 330, 0U);
    const Bytes want = server::concat(last.packets);
    EXPECT_NE(std::search(got.begin() + static_cast<long>(before / 330 * 330), got.end(),
                          want.begin(), want.end()),
              got.end());
}

} // namespace
} // namespace kpxtest::faults
