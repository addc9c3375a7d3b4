// vktctl.exe: the Windows console program around VktctlRun. Lines go to the
// console as UTF-16 when standard output or error is one, and as UTF-8
// otherwise (a pipe or a file).
#include "client/vktctl.h"

namespace {

void WriteLine(void* context, const WCHAR* line, bool isError) {
    (void)context;
    HANDLE output = GetStdHandle(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    int length = lstrlenW(line);
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, line, static_cast<DWORD>(length), &written, nullptr);
        WriteConsoleW(output, L"\r\n", 2, &written, nullptr);
        return;
    }
    char bytes[4 * 640 + 2];
    int size =
        WideCharToMultiByte(CP_UTF8, 0, line, length, bytes, sizeof bytes - 2, nullptr, nullptr);
    bytes[size] = '\r';
    bytes[size + 1] = '\n';
    WriteFile(output, bytes, static_cast<DWORD>(size + 2), &written, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    VktctlConsole console = {WriteLine, nullptr};
    return VktctlRun(argc, argv, &console);
}
