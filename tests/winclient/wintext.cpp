// Test helper for the window of wingui: prints the text of the text area of the top-level
// window with the given title, or, with "close", asks that window to close. Exit status 1
// when no such window exists.
#include <windows.h> // first: the other Windows headers need it

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HWND w = FindWindowA(nullptr, argv[1]);
    if (w == nullptr) return 1;
    if (argc > 2 && std::strcmp(argv[2], "close") == 0) {
        PostMessageA(w, WM_CLOSE, 0, 0);
        return 0;
    }
    HWND edit = FindWindowExA(w, nullptr, "EDIT", nullptr);
    if (edit == nullptr) return 1;
    const LRESULT n = SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0);
    std::vector<char> text(static_cast<std::size_t>(n) + 1);
    SendMessageA(edit, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                 reinterpret_cast<LPARAM>(text.data()));
    _setmode(_fileno(stdout), _O_BINARY); // the text keeps its own line ends
    std::fwrite(text.data(), 1, std::strlen(text.data()), stdout);
    return 0;
}
