// The commands of vktctl: status, report CODE, watch --run S --shutdown S
// NAMES, enter a|b, nop. Written without the C++ library, so that the
// Windows program needs nothing but the C runtime and kernel32.
#include "client/vktctl.h"

#include "client/vkt_client.h"

namespace {

const int kLineLength = 640;

// One line of output being built.
struct Line {
    WCHAR Text[kLineLength]; // the text, always terminated
    int Length;              // characters in Text
};

void Append(Line* line, const WCHAR* text) {
    for (; *text != 0 && line->Length < kLineLength - 1; text++) {
        line->Text[line->Length++] = *text;
    }
    line->Text[line->Length] = 0;
}

void AppendNumber(Line* line, uint32_t value) {
    WCHAR digits[11];
    int count = 0;
    do {
        digits[count++] = static_cast<WCHAR>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    WCHAR text[12];
    for (int i = 0; i < count; i++) {
        text[i] = digits[count - 1 - i];
    }
    text[count] = 0;
    Append(line, text);
}

void AppendByte(Line* line, uint8_t value) {
    const char* hex = "0123456789ABCDEF";
    WCHAR text[5] = {'0', 'x', static_cast<WCHAR>(hex[value >> 4]),
                     static_cast<WCHAR>(hex[value & 15]), 0};
    Append(line, text);
}

bool Equal(const WCHAR* a, const WCHAR* b) {
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

// A byte in decimal or, after 0x, in hexadecimal.
bool ParseByte(const WCHAR* text, uint8_t* value) {
    uint32_t base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == 0) {
        return false;
    }
    uint32_t result = 0;
    for (; *text != 0; text++) {
        uint32_t digit;
        if (*text >= '0' && *text <= '9') {
            digit = static_cast<uint32_t>(*text - '0');
        } else if (base == 16 && (*text | 0x20) >= 'a' && (*text | 0x20) <= 'f') {
            digit = static_cast<uint32_t>((*text | 0x20) - 'a' + 10);
        } else {
            return false;
        }
        if (digit >= base) {
            return false;
        }
        result = result * base + digit;
        if (result > 255) {
            return false;
        }
    }
    *value = static_cast<uint8_t>(result);
    return true;
}

struct Tool {
    const VktctlConsole* Console; // where lines go

    void Write(const Line& line, bool isError) const {
        Console->WriteLine(Console->Context, line.Text, isError);
    }

    int Usage(const WCHAR* problem) const {
        Line line = {};
        Append(&line, VKT_USER_TEXT("vktctl: "));
        Append(&line, problem);
        Write(line, true);
        const WCHAR* usage[] = {
            VKT_USER_TEXT("usage: vktctl status"),
            VKT_USER_TEXT("       vktctl report CODE"),
            VKT_USER_TEXT("       vktctl watch --run SECONDS --shutdown SECONDS NAME[,NAME...]"),
            VKT_USER_TEXT("       vktctl enter a|b"),
            VKT_USER_TEXT("       vktctl nop"),
        };
        for (const WCHAR* text : usage) {
            Line usageLine = {};
            Append(&usageLine, text);
            Write(usageLine, true);
        }
        return VKTCTL_BAD_USAGE;
    }

    // "vktctl: WHAT failed: error N: the platform's message"
    int Failure(const WCHAR* what, DWORD error) const {
        Line line = {};
        Append(&line, VKT_USER_TEXT("vktctl: "));
        Append(&line, what);
        Append(&line, VKT_USER_TEXT(" failed: error "));
        AppendNumber(&line, error);
        WCHAR message[512];
        DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, message, 512, nullptr);
        while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' ||
                              message[length - 1] == ' ')) {
            message[--length] = 0;
        }
        if (length > 0) {
            Append(&line, VKT_USER_TEXT(": "));
            Append(&line, message);
        }
        Write(line, true);
        return VKTCTL_FAILED;
    }

    int Success(const Line& line) const {
        Write(line, false);
        return VKTCTL_OK;
    }
};

// The arguments of watch.
struct WatchOptions {
    uint8_t Run;        // run timeout, seconds
    uint8_t Shutdown;   // shutdown timeout, seconds
    const WCHAR* Names; // the comma-separated name list
};

// watch --run S --shutdown S NAMES, the options in either order. Returns
// what is wrong, or null.
const WCHAR* ParseWatch(int argc, const WCHAR* const* argv, WatchOptions* options) {
    bool haveRun = false;
    bool haveShutdown = false;
    options->Names = nullptr;
    for (int i = 2; i < argc; i++) {
        bool isRun = Equal(argv[i], VKT_USER_TEXT("--run"));
        if ((isRun || Equal(argv[i], VKT_USER_TEXT("--shutdown"))) && i + 1 < argc) {
            if (!ParseByte(argv[i + 1], isRun ? &options->Run : &options->Shutdown)) {
                return VKT_USER_TEXT("a timeout is a number of seconds up to 255");
            }
            (isRun ? haveRun : haveShutdown) = true;
            i++;
        } else if (options->Names == nullptr && argv[i][0] != '-' && argv[i][0] != 0) {
            options->Names = argv[i];
        } else {
            return VKT_USER_TEXT("watch takes --run, --shutdown and one name list");
        }
    }
    if (!haveRun || !haveShutdown || options->Names == nullptr) {
        return VKT_USER_TEXT("watch needs --run, --shutdown and a name list");
    }
    return nullptr;
}

int Watch(const Tool& tool, HANDLE device, int argc, const WCHAR* const* argv) {
    WatchOptions options = {};
    ParseWatch(argc, argv, &options);
    const WCHAR* names = options.Names;
    uint8_t run = options.Run;
    uint8_t shutdown = options.Shutdown;
    uint32_t bytes = 0;
    while (names[bytes / sizeof(WCHAR)] != 0) {
        bytes += sizeof(WCHAR);
    }
    DWORD error = VktSetWatchList(device, names, bytes, run, shutdown);
    if (error != ERROR_SUCCESS) {
        return tool.Failure(VKT_USER_TEXT("watch"), error);
    }
    Line line = {};
    Append(&line, VKT_USER_TEXT("watching "));
    Append(&line, names);
    Append(&line, VKT_USER_TEXT(", run timeout "));
    AppendNumber(&line, run);
    Append(&line, VKT_USER_TEXT(" s, shutdown timeout "));
    AppendNumber(&line, shutdown);
    Append(&line, VKT_USER_TEXT(" s"));
    return tool.Success(line);
}

int Command(const Tool& tool, HANDLE device, int argc, const WCHAR* const* argv) {
    const WCHAR* command = argv[1];
    Line line = {};
    if (Equal(command, VKT_USER_TEXT("status"))) {
        uint8_t status = 0;
        DWORD error = VktGetFirmwareStatus(device, &status);
        if (error != ERROR_SUCCESS) {
            return tool.Failure(VKT_USER_TEXT("status"), error);
        }
        Append(&line, VKT_USER_TEXT("firmware status "));
        AppendByte(&line, status);
        Append(&line, VKT_USER_TEXT(" ("));
        AppendNumber(&line, status);
        Append(&line, VKT_USER_TEXT(")"));
        return tool.Success(line);
    }
    if (Equal(command, VKT_USER_TEXT("report"))) {
        uint8_t code = 0;
        DWORD error = VktReportState(device, (ParseByte(argv[2], &code), code));
        if (error != ERROR_SUCCESS) {
            return tool.Failure(VKT_USER_TEXT("report"), error);
        }
        Append(&line, VKT_USER_TEXT("reported state "));
        AppendByte(&line, code);
        return tool.Success(line);
    }
    if (Equal(command, VKT_USER_TEXT("watch"))) {
        return Watch(tool, device, argc, argv);
    }
    if (Equal(command, VKT_USER_TEXT("enter"))) {
        bool isA = argv[2][0] == 'a' || argv[2][0] == 'A';
        DWORD error = isA ? VktEnterWatchA(device) : VktEnterWatchB(device);
        if (error != ERROR_SUCCESS) {
            return tool.Failure(VKT_USER_TEXT("enter"), error);
        }
        Append(&line, isA ? VKT_USER_TEXT("entered supervised state A (0x2A)")
                          : VKT_USER_TEXT("entered supervised state B (0x2B)"));
        return tool.Success(line);
    }
    DWORD error = VktNop(device);
    if (error != ERROR_SUCCESS) {
        return tool.Failure(VKT_USER_TEXT("nop"), error);
    }
    Append(&line, VKT_USER_TEXT("nop: the driver answered"));
    return tool.Success(line);
}

// Whether the arguments make a command, before anything is opened.
const WCHAR* CheckArguments(int argc, const WCHAR* const* argv) {
    if (argc < 2) {
        return VKT_USER_TEXT("no command given");
    }
    const WCHAR* command = argv[1];
    if (Equal(command, VKT_USER_TEXT("status")) || Equal(command, VKT_USER_TEXT("nop"))) {
        return argc == 2 ? nullptr : VKT_USER_TEXT("this command takes no argument");
    }
    if (Equal(command, VKT_USER_TEXT("report"))) {
        uint8_t code = 0;
        return argc == 3 && ParseByte(argv[2], &code)
                   ? nullptr
                   : VKT_USER_TEXT("report takes one state code from 0 to 255 (0x00 to 0xFF)");
    }
    if (Equal(command, VKT_USER_TEXT("enter"))) {
        return argc == 3 &&
                       (Equal(argv[2], VKT_USER_TEXT("a")) || Equal(argv[2], VKT_USER_TEXT("b")))
                   ? nullptr
                   : VKT_USER_TEXT("enter takes a or b");
    }
    if (Equal(command, VKT_USER_TEXT("watch"))) {
        WatchOptions options = {};
        return ParseWatch(argc, argv, &options);
    }
    return VKT_USER_TEXT("unknown command");
}

} // namespace

int VktctlRun(int argc, const WCHAR* const* argv, const VktctlConsole* console) {
    Tool tool = {console};
    const WCHAR* problem = CheckArguments(argc, argv);
    if (problem != nullptr) {
        return tool.Usage(problem);
    }
    HANDLE device = VktOpenDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return tool.Failure(VKT_USER_TEXT("opening \\\\.\\VKT0001"), GetLastError());
    }
    int result = Command(tool, device, argc, argv);
    VktCloseDevice(device);
    return result;
}
