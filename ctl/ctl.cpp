#include "ctl.h"

#include "config.h"
#include "console.h"
#include "globals.h"
#include "numbers.h"
#include "request.h"
#include "statusview.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace kpx {

namespace {

// Slot numbers have at most nine digits: the server reads them whole.
constexpr long MAXSLOTNUMBER = 999999999;

const std::string usage =
    std::string(
        "Usage: kpxctl [-f COMMANDFILE] [-c kpx.conf] [-s STATUSFILE] COMMAND\n"
        "Commands:\n"
        "  list                              list the connected peers (on the server's console)\n"
        "  kill N                            disconnect the peer in slot N\n"
        "  stop                              disconnect everybody and stop (exit status 10)\n"
        "  connect HOST                      connect a listener waiting on HOST\n"
        "  bconnect HOST CLIENTURL BCASTURL  connect a relay and list it for forwarding\n"
        "  status [--json]                   show the status file (as a table, or as it is)\n"
        "The command file is -f, else the configuration's commandfile (-c), else ") +
    DEFAULTCOMMANDFILE +
    ".\n"
    "The status file is -s, else the configuration's statusfile (-c).\n";

std::string namecheck(const std::string& name) {
    if (name.size() + std::strlen(".html") > FILENAMEBYTES)
        return "host name too long (" + std::to_string(name.size()) +
               " characters): its report file name would exceed 255 bytes; at most " +
               std::to_string(FILENAMEBYTES - std::strlen(".html")) + " characters";
    if (!nameok(name))
        return "'" + name +
               "' is not a host name or address the server takes: only letters, "
               "digits, '.', '-' and '_', with at least two dots";
    return "";
}

std::string directoryof(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string whynot(int error, const std::string& path) {
    std::string text = std::strerror(error);
    switch (error) {
    case ENOENT:
        return text + ": the directory " + directoryof(path) + " does not exist";
    case EACCES:
    case EPERM:
        return text + ": no permission to create files in " + directoryof(path) +
               " (run kpxctl as the server's user or as a user who may write there)";
    case ENOTDIR:
        return text + ": a part of the path is not a directory";
    case EROFS:
        return text + ": the file system is mounted read-only";
    default:
        return text;
    }
}

std::string filekind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

std::string slurp(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < 65536)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

int showstatus(const std::string& path, bool json) {
    if (path.empty()) {
        std::fputs("kpxctl: no status file: give -s STATUSFILE, or -c with a configuration that "
                   "sets statusfile\n",
                   stderr);
        return 1;
    }
    std::string raw, problem;
    const auto s = readstatus(path, raw, problem);
    if (!s) {
        std::fprintf(stderr,
                     "kpxctl: status file '%s': %s (is the server running with "
                     "statusfile set?)\n",
                     path.c_str(), problem.c_str());
        return 1;
    }
    std::fputs(json ? raw.c_str() : statustable(*s, std::time(nullptr)).c_str(), stdout);
    return 0;
}

} // namespace

namespace {

// The server's settings as it starts, the lines of `f` (if any) read into the keys kpxctl
// wants. Only these keys are interpreted, so that lines the server would complain about are
// not complained about twice.
CtlConfig ctlsettings(std::FILE* f) {
    const auto s = std::make_unique<Globals>();
    const Settings all = configkeys(*s);
    resetsettings(all);
    Settings wanted;
    for (const char* key : {"commandfile", "statusfile", "repdir"})
        wanted.push_back(*findsetting(all, key));
    if (f != nullptr)
        eachconfigline(f, [&wanted](const std::string& line) {
            std::string key;
            settingline(wanted, line, key);
        });
    return {s->listname, s->statusfile, s->resdir};
}

} // namespace

CtlConfig defaultctlconfig() {
    return ctlsettings(nullptr);
}

bool readctlconfig(const std::string& path, CtlConfig& conf, std::string& problem) {
    FilePtr f = openconfig(path);
    if (!f) {
        problem = std::strerror(errno);
        return false;
    }
    conf = ctlsettings(f.get());
    return true;
}

std::string commandline(const std::vector<std::string>& w, std::string& problem) {
    problem.clear();
    const std::string word = w.empty() ? "" : w[0];
    const std::size_t args = w.size() > 0 ? w.size() - 1 : 0;
    auto wrongcount = [&](const char* form) {
        problem = std::string("usage: kpxctl ") + form;
        return std::string();
    };
    if (word == "list") {
        if (args != 0) return wrongcount("list");
        return "@LIST\n";
    }
    if (word == "stop") {
        if (args != 0) return wrongcount("stop");
        return "@STOP\n";
    }
    if (word == "kill") {
        if (args != 1) return wrongcount("kill N");
        if (long slot = 0; !plainnumber(w[1], MAXSLOTNUMBER, slot)) {
            problem = "the slot '" + w[1] + "' is not a number (kpxctl list shows the slots)";
            return "";
        }
        return "@KILL " + w[1] + "\n";
    }
    if (word == "connect") {
        if (args != 1) return wrongcount("connect HOST");
        problem = namecheck(w[1]);
        return problem.empty() ? listenerline(w[1]) : "";
    }
    if (word == "bconnect") {
        if (args != 3) return wrongcount("bconnect HOST CLIENTURL BCASTURL");
        problem = namecheck(w[1]);
        if (!problem.empty()) return "";
        for (std::size_t k = 2; k <= 3; ++k) {
            if (!urlok(w[k])) {
                problem = "'" + w[k] +
                          "' is not a web address the server can forward to: it must "
                          "begin with http:// or https://, have at most 1023 characters and no "
                          "blanks, \"=\", quotes or angle brackets";
                return "";
            }
        }
        const std::string line = bconnectline(w[1], w[2], w[3]);
        if (line.size() > static_cast<std::size_t>(COMMANDLINECHARS)) {
            problem = "the command line would be " + std::to_string(line.size()) +
                      " characters long; the server reads at most 1023";
            return "";
        }
        return line;
    }
    problem = word.empty() ? "no command given" : "unknown command '" + word + "'";
    return "";
}

int kpxctl_main(int argc, char** argv) {
    std::string commandfile, statusfile, conffile;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(usage.c_str(), stdout);
            std::printf("kpxctl %s\n", PROGRAMVERSION);
            return 0;
        }
        if (a == "--version") {
            std::printf("kpxctl %s\n", PROGRAMVERSION);
            return 0;
        }
        if (a != "-f" && a != "-c" && a != "-s") break;
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            std::fprintf(stderr, "kpxctl: %s needs a file name\n%s", a.c_str(), usage.c_str());
            return 2;
        }
        (a == "-f" ? commandfile : a == "-c" ? conffile : statusfile) = argv[++i];
    }
    const std::vector<std::string> words(argv + i, argv + argc);

    CtlConfig conf = defaultctlconfig();
    if (!conffile.empty()) {
        std::string problem;
        if (!readctlconfig(conffile, conf, problem)) {
            std::fprintf(stderr, "kpxctl: cannot read the configuration '%s': %s\n",
                         conffile.c_str(), problem.c_str());
            return 1;
        }
    }
    if (commandfile.empty()) commandfile = conf.commandfile;
    if (statusfile.empty()) statusfile = conf.statusfile;

    if (!words.empty() && words[0] == "status") {
        if (words.size() > 2 || (words.size() == 2 && words[1] != "--json")) {
            std::fprintf(stderr, "kpxctl: usage: kpxctl status [--json]\n");
            return 2;
        }
        return showstatus(statusfile, words.size() == 2);
    }

    std::string problem;
    const std::string line = commandline(words, problem);
    if (line.empty()) {
        std::fprintf(stderr, "kpxctl: %s. Nothing was sent.\n", problem.c_str());
        if (words.empty() || problem.rfind("unknown", 0) == 0) std::fputs(usage.c_str(), stderr);
        return 2;
    }
    std::string shown = line.substr(0, line.size() - 1);

    // A command file that is something else than a file would never be taken.
    struct stat st {};
    if (::stat(commandfile.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr,
                     "kpxctl: the command file '%s' is %s, not a file the server reads. "
                     "Nothing was sent.\n",
                     commandfile.c_str(), filekind(st.st_mode).c_str());
        return 1;
    }

    int error = 0;
    switch (handover(commandfile, line, true, error)) {
    case handed::taken:
    case handed::nottaken: // not asked for: a request not taken is withdrawn
        break;
    case handed::busy:
        std::fprintf(stderr,
                     "kpxctl: the command file '%s' still held another request after 10 s: "
                     "no server or relay broadcaster is running with it (a running one reads "
                     "it at least once a second, a relay also while its upstream is silent). "
                     "Nothing was sent; the other request was left.\n",
                     commandfile.c_str());
        return 1;
    case handed::failed:
        std::fprintf(stderr, "kpxctl: cannot write the command file '%s': %s. Nothing was sent.\n",
                     commandfile.c_str(), whynot(error, commandfile).c_str());
        return 1;
    case handed::withdrawn:
        std::fprintf(stderr,
                     "kpxctl: '%s' was not taken within 10 s: no server or relay broadcaster "
                     "is running with the command file '%s' (a running one reads it at least "
                     "once a second, a relay also while its upstream is silent). The command "
                     "was withdrawn.\n",
                     shown.c_str(), commandfile.c_str());
        return 1;
    }

    std::printf("kpxctl: the server took '%s'.\n", shown.c_str());
    const std::string& word = words[0];
    if (word == "stop") {
        std::puts("It disconnects everybody and stops (exit status 10).");
    } else if (word == "list" || word == "kill") {
        std::puts(statusfile.empty() ? "Its console shows the result."
                                     : "Its console shows the result; the status file now says:");
        // The command was taken either way; a status file that cannot be read says so itself.
        if (!statusfile.empty()) showstatus(statusfile, false);
    } else if (!conffile.empty()) {
        // connect / bconnect: the server wrote the text report before it removed the file.
        const std::string report = slurp(reportpath(conf.repdir, words[1], ".txt"));
        if (!report.empty())
            std::printf("Report: %s%s", report.c_str(), report.back() == '\n' ? "" : "\n");
    }
    return 0;
}

} // namespace kpx
