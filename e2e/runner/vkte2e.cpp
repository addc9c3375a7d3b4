// The Windows side of the end-to-end run: installs the test bus and the
// driver through the Plug and Play install path, steers the test bus through
// its control device, and reads the driver image's message table as the event
// viewer does. One step per run; e2e/run_e2e.py calls it under Wine and reads
// what it prints.
//
//   vkte2e install-bus INF          root device Root\VKTBus, driver from INF
//   vkte2e install-driver INF       driver from INF on the device ACPI\VKT0001
//   vkte2e service NAME             state of a service (1 stopped, 4 running)
//   vkte2e query                    the bus's child and the driver above it
//   vkte2e configure VALUE METHOD STATUS
//                                   GSXS value; METHOD fails with STATUS (- for none)
//   vkte2e command HEX [NAMES]      sends a command record (and name list)
//                                   from kernel mode
//   vkte2e power STATE ACTION CONTEXT
//                                   sends a system set-power request
//   vkte2e message IMAGE CODE TEXT  the event viewer's text of an entry of CODE
//                                   whose insertion string is TEXT
//   vkte2e unplug                   takes the child off the bus
//   vkte2e mark TEXT                a marker line in the trace
//   vkte2e hold                     waits until killed: Wine stops its services
//                                   when the last program of a prefix exits
//
// Built without a C runtime: the program needs a handful of system calls.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <shellapi.h>
#include <winioctl.h>

#include "e2e/bus/bus_control.h"

static void Print(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
}

static void PrintHex(unsigned long long value, int digits) {
    char text[20];
    for (int index = 0; index < digits; ++index) {
        text[index] = "0123456789abcdef"[(value >> ((digits - 1 - index) * 4)) & 0xF];
    }
    text[digits] = 0;
    Print(text);
}

static void PrintDecimal(unsigned long value) {
    char text[16];
    int count = 15;
    text[count] = 0;
    do {
        text[--count] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    Print(text + count);
}

static void PrintWide(const WCHAR* text) {
    char narrow[256];
    int count = 0;
    while (text[count] != 0 && count < 255) {
        narrow[count] = text[count] < 0x80 ? static_cast<char>(text[count]) : '?';
        ++count;
    }
    narrow[count] = 0;
    Print(narrow);
}

[[noreturn]] static void Fail(const char* what) {
    Print("error: ");
    Print(what);
    Print(" (error 0x");
    PrintHex(GetLastError(), 8);
    Print(")\n");
    ExitProcess(1);
}

static unsigned long long ParseNumber(const WCHAR* text) {
    unsigned long long value = 0;
    int base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text += 2;
    }
    for (; *text; ++text) {
        int digit = *text >= L'0' && *text <= L'9'   ? *text - L'0'
                    : *text >= L'a' && *text <= L'f' ? *text - L'a' + 10
                    : *text >= L'A' && *text <= L'F' ? *text - L'A' + 10
                                                     : 99;
        if (digit >= base) {
            Fail("not a number");
        }
        value = value * base + digit;
    }
    return value;
}

static bool Same(const WCHAR* left, const WCHAR* right) {
    return lstrcmpW(left, right) == 0;
}

static void InstallBus(const WCHAR* inf) {
    static const WCHAR hardwareId[] = L"Root\\VKTBus\0";
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        Fail("SetupDiCreateDeviceInfoList");
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    GUID system = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    if (!SetupDiCreateDeviceInfoW(set, L"Root\\VKTBus\\0000", &system, nullptr, nullptr, 0,
                                  &device)) {
        Fail("SetupDiCreateDeviceInfo");
    }
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareId),
                                           sizeof hardwareId)) {
        Fail("SetupDiSetDeviceRegistryProperty");
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        Fail("DIF_REGISTERDEVICE");
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"Root\\VKTBus", inf, INSTALLFLAG_FORCE,
                                            &reboot)) {
        Fail("UpdateDriverForPlugAndPlayDevices (bus)");
    }
    SetupDiDestroyDeviceInfoList(set);
    Print("bus installed\n");
}

static void InstallDriver(const WCHAR* inf) {
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"ACPI\\VKT0001", inf, INSTALLFLAG_FORCE,
                                            &reboot)) {
        Fail("UpdateDriverForPlugAndPlayDevices (driver)");
    }
    Print("driver installed\n");
}

static void ServiceState(const WCHAR* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        Fail("OpenSCManager");
    }
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        Print("state=absent\n");
        return;
    }
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) {
        Fail("QueryServiceStatus");
    }
    Print("state=");
    PrintDecimal(status.dwCurrentState);
    Print("\n");
}

static HANDLE OpenBus() {
    HANDLE bus = CreateFileW(L"\\\\.\\VKTBusControl", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        Fail("cannot open \\\\.\\VKTBusControl");
    }
    return bus;
}

static DWORD Control(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize) {
    HANDLE bus = OpenBus();
    DWORD returned = 0;
    if (!DeviceIoControl(bus, code, input, inputSize, output, outputSize, &returned, nullptr)) {
        Fail("DeviceIoControl on the bus");
    }
    CloseHandle(bus);
    return returned;
}

static void Query() {
    VktBusState state = {};
    Control(IOCTL_VKTBUS_QUERY, nullptr, 0, &state, sizeof state);
    Print("present=");
    PrintDecimal(state.ChildPresent);
    Print(" started=");
    PrintDecimal(state.ChildStarted);
    Print(" evaluations=");
    PrintDecimal(state.Evaluations);
    Print(" function=");
    WCHAR name[65] = {};
    for (int index = 0; index < 64; ++index) {
        name[index] = state.FunctionDriver[index];
    }
    PrintWide(name[0] ? name : L"-");
    Print("\n");
}

static void Configure(WCHAR** argv) {
    VktBusFirmwareSettings settings = {};
    settings.StatusValue = static_cast<uint32_t>(ParseNumber(argv[0]));
    if (!Same(argv[1], L"-")) {
        for (int index = 0; index < 4 && argv[1][index]; ++index) {
            settings.FailMethod[index] = static_cast<uint8_t>(argv[1][index]);
        }
    }
    settings.FailStatus = static_cast<int32_t>(ParseNumber(argv[2]));
    Control(IOCTL_VKTBUS_CONFIGURE, &settings, sizeof settings, nullptr, 0);
    Print("configured\n");
}

static int HexDigit(WCHAR character) {
    return character <= L'9' ? character - L'0' : (character | 0x20) - L'a' + 10;
}

static void Command(WCHAR** argv, int count) {
    static VktBusCommand command;
    const WCHAR* hex = argv[0];
    int length = lstrlenW(hex);
    if (length % 2 != 0 || length / 2 > 24) {
        Fail("the command record is 1 to 24 bytes in hex");
    }
    for (int index = 0; index < length / 2; ++index) {
        command.Record[index] =
            static_cast<uint8_t>(HexDigit(hex[2 * index]) * 16 + HexDigit(hex[2 * index + 1]));
    }
    command.RecordLength = length / 2;
    command.OutputLength = 16;
    if (count > 1) {
        int characters = lstrlenW(argv[1]);
        if (characters * 2 > static_cast<int>(VKTBUS_MAX_NAMES)) {
            Fail("name list too long");
        }
        CopyMemory(command.Names, argv[1], characters * 2);
        uint32_t bytes = characters * 2;
        CopyMemory(command.Record + 8, &bytes, sizeof bytes);
    }
    VktBusCommandResult result = {};
    Control(IOCTL_VKTBUS_SEND_COMMAND, &command, sizeof command, &result, sizeof result);
    Print("status=0x");
    PrintHex(static_cast<uint32_t>(result.Status), 8);
    Print(" information=");
    PrintDecimal(result.Information);
    Print(" output=");
    for (uint32_t index = 0; index < result.Information && index < 16; ++index) {
        PrintHex(result.Output[index], 2);
    }
    Print("\n");
}

static void Power(WCHAR** argv) {
    VktBusPowerRequest request = {};
    request.SystemState = static_cast<uint32_t>(ParseNumber(argv[0]));
    request.ShutdownType = static_cast<uint32_t>(ParseNumber(argv[1]));
    request.SystemContext = static_cast<uint32_t>(ParseNumber(argv[2]));
    VktBusResult result = {};
    Control(IOCTL_VKTBUS_SET_POWER, &request, sizeof request, &result, sizeof result);
    Print("status=0x");
    PrintHex(static_cast<uint32_t>(result.Status), 8);
    Print("\n");
}

// Formats an entry's message from the image's message table as the event
// viewer does: the image loaded as data, the table found by its numeric
// resource type, %1 the logging driver's name and %2 the entry's insertion
// string.
static void Message(WCHAR** argv) {
    HMODULE image = LoadLibraryExW(argv[0], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image == nullptr) {
        Fail("LoadLibraryEx as a data file");
    }
    if (FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(11)) == nullptr) {
        Fail("FindResource of the message table (RT_MESSAGETABLE)");
    }
    static WCHAR driverName[] = L"VKTDrv";
    WCHAR* inserts[] = {driverName, argv[2]};
    WCHAR text[256];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  image, static_cast<DWORD>(ParseNumber(argv[1])), 0, text,
                                  ARRAYSIZE(text), reinterpret_cast<va_list*>(inserts));
    if (length == 0) {
        Fail("FormatMessage");
    }
    FreeLibrary(image);
    Print("text=");
    PrintWide(text);
    Print("\n");
}

static void Mark(const WCHAR* text) {
    char narrow[64];
    int count = 0;
    while (text[count] != 0 && count < 63) {
        narrow[count] = static_cast<char>(text[count]);
        ++count;
    }
    Control(IOCTL_VKTBUS_MARK, narrow, count, nullptr, 0);
}

extern "C" void Start() {
    int argc = 0;
    WCHAR** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) {
        Fail("usage: vkte2e STEP ARGUMENTS...");
    }
    const WCHAR* step = argv[1];
    WCHAR** rest = argv + 2;
    int count = argc - 2;
    if (Same(step, L"install-bus") && count == 1) {
        InstallBus(rest[0]);
    } else if (Same(step, L"install-driver") && count == 1) {
        InstallDriver(rest[0]);
    } else if (Same(step, L"service") && count == 1) {
        ServiceState(rest[0]);
    } else if (Same(step, L"query") && count == 0) {
        Query();
    } else if (Same(step, L"configure") && count == 3) {
        Configure(rest);
    } else if (Same(step, L"command") && (count == 1 || count == 2)) {
        Command(rest, count);
    } else if (Same(step, L"power") && count == 3) {
        Power(rest);
    } else if (Same(step, L"message") && count == 3) {
        Message(rest);
    } else if (Same(step, L"unplug") && count == 0) {
        Control(IOCTL_VKTBUS_UNPLUG, nullptr, 0, nullptr, 0);
        Print("unplugged\n");
    } else if (Same(step, L"mark") && count == 1) {
        Mark(rest[0]);
    } else if (Same(step, L"hold") && count == 0) {
        Sleep(INFINITE);
    } else {
        Fail("unknown step or wrong arguments");
    }
    ExitProcess(0);
}
