// wingui: the listener client in a window. Standard output and standard error both go into
// one pipe, so their text keeps its order; a reader thread shows each piece in a read-only,
// scrolling text area as soon as it has been flushed. The client runs on a thread of its
// own, so the window stays responsive while the client waits in a socket call or for the
// player. When the client's work has ended the window stays until the user closes it; the
// process then exits with the client's status.
#include "win32.h"

#include <windows.h> // first: the other Windows headers need it

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* WINDOWCLASS = "KpxWin32sClient";
constexpr const char* WINDOWTITLE = "KPX Win32s Client";
constexpr const char* ICONNAME = "KPX FOR WIN32S";
constexpr UINT WM_KPXTEXT = WM_APP + 1; // lParam: const std::string* of new text
constexpr UINT WM_KPXDONE = WM_APP + 2; // the client's work has ended
constexpr int TEXTID = 1;
constexpr int MAXTEXT = 200000; // older lines are dropped beyond this many characters

HWND mainwindow = nullptr;
HWND textarea = nullptr;
HANDLE piperead = nullptr;
HANDLE windowready = nullptr;
volatile LONG workdone = 0;
int status = 0;

void append(const std::string& text) {
    // Drop the oldest lines once the text grows too long, then add at the end and scroll.
    int length = GetWindowTextLengthA(textarea);
    if (length + static_cast<int>(text.size()) > MAXTEXT) {
        SendMessageA(textarea, EM_SETSEL, 0, MAXTEXT / 2);
        SendMessageA(textarea, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
        length = GetWindowTextLengthA(textarea);
    }
    SendMessageA(textarea, EM_SETSEL, length, length);
    SendMessageA(textarea, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageA(textarea, EM_SCROLLCARET, 0, 0);
}

LRESULT CALLBACK windowproc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        textarea =
            CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                            0, 0, 0, 0, w, reinterpret_cast<HMENU>(static_cast<INT_PTR>(TEXTID)),
                            reinterpret_cast<LPCREATESTRUCTA>(lp)->hInstance, nullptr);
        SendMessageA(textarea, WM_SETFONT,
                     reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), TRUE);
        SendMessageA(textarea, EM_SETLIMITTEXT, 0, 0);
        return 0;
    case WM_SIZE:
        MoveWindow(textarea, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
        return 0;
    case WM_SETFOCUS:
        SetFocus(textarea);
        return 0;
    case WM_KPXTEXT:
        append(*reinterpret_cast<const std::string*>(lp));
        return 0;
    case WM_KPXDONE:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(w, msg, wp, lp);
    }
}

// Reads what the client writes and hands it to the window, with line ends as the text
// area wants them. SendMessage waits until the text is shown, which keeps it in order.
unsigned __stdcall readerthread(void*) {
    WaitForSingleObject(windowready, INFINITE);
    char buf[4096];
    DWORD n = 0;
    bool lastcr = false;
    while (ReadFile(piperead, buf, sizeof buf, &n, nullptr) && n > 0) {
        std::string text;
        text.reserve(n + n / 8);
        for (DWORD i = 0; i < n; ++i) {
            if (buf[i] == '\n' && !lastcr) text += '\r';
            if (buf[i] != '\0') text += buf[i];
            lastcr = buf[i] == '\r';
        }
        SendMessageA(mainwindow, WM_KPXTEXT, 0, reinterpret_cast<LPARAM>(&text));
    }
    return 0;
}

unsigned __stdcall clientthread(void*) {
    WaitForSingleObject(windowready, INFINITE);
    kpx::win::Win32Platform platform;
    status = kpx::win::clientmain(kpx::win::WINDOWFRONTEND, platform, __argc, __argv);
    std::fflush(stdout);
    std::fflush(stderr);
    InterlockedExchange(&workdone, 1);
    PostMessageA(mainwindow, WM_KPXDONE, 0, 0);
    return 0;
}

// Points the C library's standard output and standard error, and the process's standard
// handles, at the write end of one pipe.
bool redirectoutput() {
    HANDLE writeend = nullptr;
    if (!CreatePipe(&piperead, &writeend, nullptr, 0)) return false;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeend), _O_BINARY | _O_WRONLY);
    if (fd < 0) return false;
    if (_dup2(fd, 1) != 0 || _dup2(fd, 2) != 0) return false;
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    std::setvbuf(stdout, nullptr, _IOFBF, 4096);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    return true;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    if (!redirectoutput()) {
        MessageBoxA(nullptr, "Cannot set up the output window.", WINDOWTITLE, MB_OK | MB_ICONERROR);
        return -1;
    }
    windowready = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    WNDCLASSA wc{};
    wc.lpfnWndProc = windowproc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, ICONNAME);
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = WINDOWCLASS;
    RegisterClassA(&wc);
    mainwindow = CreateWindowExA(0, WINDOWCLASS, WINDOWTITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                 CW_USEDEFAULT, 640, 480, nullptr, nullptr, instance, nullptr);
    if (mainwindow == nullptr) return -1;
    ShowWindow(mainwindow, show);
    UpdateWindow(mainwindow);

    HANDLE reader =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, readerthread, nullptr, 0, nullptr));
    HANDLE worker =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, clientthread, nullptr, 0, nullptr));
    if (reader == nullptr || worker == nullptr) return -1;
    SetEvent(windowready);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    // Closed by the user. Before the client's work has ended, that ends it, as Ctrl-C ends
    // the console client.
    ExitProcess(InterlockedCompareExchange(&workdone, 0, 0) != 0 ? static_cast<UINT>(status) : 0u);
}
