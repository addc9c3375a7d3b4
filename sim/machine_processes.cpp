// The machine's processes and what they do with the device: start and end,
// open and close, commands and vktctl through the client library.
#include "client/vkt_client.h"
#include "client/vktctl.h"
#include "hostkernel/fs/files_control.h"
#include "hostkernel/ob/namespace_control.h"
#include "hostkernel/se/security_control.h"
#include "hostkernel/user/user_api.h"
#include "sim/machine.h"

namespace sim {

std::string ClientCommand::Describe() const {
    switch (What) {
    case Kind::Nop:
        return "nop";
    case Kind::Status:
        return "status";
    case Kind::Report:
        return "report " + FormatByte(Code);
    case Kind::Watch:
        return "watch " + std::to_string(RunSeconds) + " " + std::to_string(ShutdownSeconds) + " " +
               Narrow(Names);
    case Kind::EnterA:
        return "enter a";
    case Kind::EnterB:
        return "enter b";
    case Kind::Raw: {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", ControlCode);
        return "raw " + std::string(code) + " " + std::to_string(Input.size()) + " bytes in, " +
               std::to_string(OutputLength) + " out";
    }
    }
    return "?";
}

// ----- processes --------------------------------------------------------------

Machine::Process& Machine::Find(const std::string& label) {
    return processes_.at(label);
}

void Machine::StartProcess(const std::string& label, const std::string& path, bool administrator) {
    if (!PoweredOn()) {
        PowerOn();
    }
    Process process;
    process.Path = path;
    process.Administrator = administrator;
    process.Kernel = hk::CreateProcessFromImage(Widen(path));
    if (process.Kernel == nullptr) {
        Emit("process", label, "cannot start " + path + ": no such executable")
            .String("action", "refused")
            .String("path", path);
        return;
    }
    hk::SetProcessToken(process.Kernel,
                        administrator ? hk::AdministratorToken() : hk::StandardUserToken());
    process.Thread = hk::CreateThread(process.Kernel);
    processes_[label] = process;
    Emit("process", label,
         "started " + path + (administrator ? " as an administrator" : " as a user"))
        .String("action", "start")
        .String("path", path)
        .Bool("admin", administrator);
}

void Machine::EndProcess(const std::string& label) {
    Process& process = Find(label);
    actor_ = label;
    hk::CloseProcessHandles(process.Kernel);
    hk::TerminateProcess(process.Kernel);
    processes_.erase(label);
    Emit("process", label, "ended").String("action", "end");
}

void Machine::EmitRequest(const std::string& who, const std::string& request, NTSTATUS status,
                          std::optional<DWORD> error) {
    std::string text = request + " -> " + FormatStatus(status);
    if (error) {
        text += " (error " + std::to_string(*error) + ")";
    }
    TraceEvent& event = Emit("request", who, text);
    event.String("request", request).Number("status", static_cast<uint32_t>(status));
    if (error) {
        event.Number("error", *error);
    }
}

void Machine::OpenDevice(const std::string& label, const std::string& name,
                         const std::string& access) {
    Process& process = Find(label);
    actor_ = label;
    HANDLE device = INVALID_HANDLE_VALUE;
    NTSTATUS status = STATUS_SUCCESS;
    DWORD error = 0;
    std::u16string path = name.empty() ? std::u16string(VKT_DEVICE_PATH) : Widen(name);
    DWORD desired = access == "none"                         ? 0
                    : access == "read-write" || name.empty() ? GENERIC_READ | GENERIC_WRITE
                                                             : GENERIC_READ;
    hk::RunAs(process.Thread, [&] {
        device = name.empty() && access.empty()
                     ? VktOpenDevice()
                     : CreateFileW(path.c_str(), desired, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        error = device == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        status = device == INVALID_HANDLE_VALUE ? RtlGetLastNtStatus() : STATUS_SUCCESS;
    });
    if (device != INVALID_HANDLE_VALUE) {
        if (process.Device != INVALID_HANDLE_VALUE) {
            CloseDevice(label);
        }
        process.Device = device;
    }
    FlushErrorLog();
    std::string asked = desired == 0                                ? " (no access)"
                        : desired == (GENERIC_READ | GENERIC_WRITE) ? " (read and write)"
                                                                    : " (read)";
    EmitRequest(label,
                name.empty() && access.empty() ? "open \\\\.\\VKT0001"
                                               : "open " + Narrow(path) + asked,
                status, error);
}

void Machine::CloseDevice(const std::string& label) {
    Process& process = Find(label);
    if (process.Device == INVALID_HANDLE_VALUE) {
        return;
    }
    actor_ = label;
    hk::RunAs(process.Thread, [&] { VktCloseDevice(process.Device); });
    process.Device = INVALID_HANDLE_VALUE;
    Emit("request", label, "close").String("request", "close").Number("status", 0);
}

DWORD Machine::Send(const std::string& label, const ClientCommand& command) {
    Process& process = Find(label);
    actor_ = label;
    DWORD error = 0;
    NTSTATUS status = STATUS_SUCCESS;
    uint8_t firmwareStatus = 0;
    uint64_t names = 0;
    if (command.What == ClientCommand::Kind::Watch && !command.Names.empty()) {
        // The list lives in the process's own memory, where the driver reads it.
        size_t bytes = command.Names.size() * sizeof(char16_t);
        names = hk::AllocateUserMemory(process.Kernel, bytes + sizeof(char16_t));
        hk::WriteUserMemory(process.Kernel, names, command.Names.data(), bytes);
    }
    std::vector<uint8_t> output(command.OutputLength);
    uint32_t returned = 0;
    hk::RunAs(process.Thread, [&] {
        HANDLE device = process.Device;
        switch (command.What) {
        case ClientCommand::Kind::Nop:
            error = VktNop(device);
            break;
        case ClientCommand::Kind::Status:
            error = VktGetFirmwareStatus(device, &firmwareStatus);
            break;
        case ClientCommand::Kind::Report:
            error = VktReportState(device, command.Code);
            break;
        case ClientCommand::Kind::Watch:
            error = VktSetWatchList(device, reinterpret_cast<const WCHAR*>(names),
                                    static_cast<uint32_t>(command.Names.size() * 2),
                                    command.RunSeconds, command.ShutdownSeconds);
            break;
        case ClientCommand::Kind::EnterA:
            error = VktEnterWatchA(device);
            break;
        case ClientCommand::Kind::EnterB:
            error = VktEnterWatchB(device);
            break;
        case ClientCommand::Kind::Raw:
            error = VktSendRaw(device, command.ControlCode, command.Input.data(),
                               static_cast<uint32_t>(command.Input.size()),
                               output.empty() ? nullptr : output.data(), command.OutputLength,
                               &returned);
            break;
        }
        status = error == 0 ? STATUS_SUCCESS : RtlGetLastNtStatus();
    });
    FlushErrorLog();
    std::string request = command.Describe();
    if (command.What == ClientCommand::Kind::Status && error == 0) {
        request += " = " + FormatByte(firmwareStatus);
    }
    if (command.What == ClientCommand::Kind::Raw && returned != 0) {
        request += " = " + std::to_string(returned) + " bytes";
    }
    EmitRequest(label, request, status, error);
    return error;
}

int Machine::RunVktctl(const std::string& label, const std::vector<std::string>& arguments,
                       std::vector<std::string>* lines) {
    Process& process = Find(label);
    actor_ = label;
    std::vector<std::u16string> wide{u"vktctl"};
    std::string commandLine = "vktctl";
    for (const std::string& argument : arguments) {
        wide.push_back(Widen(argument));
        commandLine += " " + argument;
    }
    std::vector<const WCHAR*> argv;
    for (const std::u16string& argument : wide) {
        argv.push_back(argument.c_str());
    }
    struct Collected {
        std::vector<std::string>* Lines; // where the tool's lines go
    } collected{lines};
    VktctlConsole console{[](void* context, const WCHAR* line, bool isError) {
                              std::u16string text(line);
                              static_cast<Collected*>(context)->Lines->push_back(
                                  (isError ? "stderr: " : "stdout: ") + Narrow(text));
                          },
                          &collected};
    size_t before = lines->size();
    int exitCode = 0;
    hk::RunAs(process.Thread,
              [&] { exitCode = VktctlRun(static_cast<int>(argv.size()), argv.data(), &console); });
    FlushErrorLog();
    TraceEvent& event = Emit("tool", label, commandLine + " -> exit " + std::to_string(exitCode));
    event.String("command", commandLine).Number("exit", exitCode);
    for (size_t i = before; i < lines->size(); i++) {
        Emit("tool", label, "  " + (*lines)[i]).String("line", (*lines)[i]);
    }
    return exitCode;
}

} // namespace sim

namespace sim {

// ----- the DOS device names ------------------------------------------------------

void Machine::DefineGlobalLetter(const std::string& letter, const std::string& target) {
    std::u16string name = hk::GlobalName(Widen(target));
    NTSTATUS status =
        name.empty() ? STATUS_OBJECT_PATH_NOT_FOUND : hk::DefineGlobalLetter(Widen(letter), name);
    Emit("setup", "machine",
         "letter " + letter + " -> " + (name.empty() ? target : Narrow(name)) +
             " for everyone -> " + FormatStatus(status))
        .String("letter", letter)
        .Number("status", static_cast<uint32_t>(status));
}

void Machine::DefineProcessLetter(const std::string& label, const std::string& letter,
                                  const std::string& target, bool define) {
    Process& process = Find(label);
    actor_ = label;
    std::u16string name = hk::GlobalName(Widen(target));
    std::u16string link = u"\\??\\" + Widen(letter);
    NTSTATUS status = STATUS_OBJECT_PATH_NOT_FOUND;
    DWORD error = ERROR_PATH_NOT_FOUND;
    hk::RunAs(process.Thread, [&] {
        if (name.empty()) {
            return;
        }
        if (define) {
            std::u16string device = Widen(letter);
            error = DefineDosDeviceW(DDD_RAW_TARGET_PATH, device.c_str(), name.c_str())
                        ? 0
                        : GetLastError();
            status = error == 0 ? STATUS_SUCCESS : RtlGetLastNtStatus();
            return;
        }
        UNICODE_STRING linkName{static_cast<USHORT>(link.size() * 2),
                                static_cast<USHORT>(link.size() * 2), link.data()};
        UNICODE_STRING linkTarget{static_cast<USHORT>(name.size() * 2),
                                  static_cast<USHORT>(name.size() * 2), name.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE handle = nullptr;
        status = NtCreateSymbolicLinkObject(&handle, 0xF0001, &attributes, &linkTarget);
        error = RtlNtStatusToDosError(status);
    });
    std::string request = (define ? "define " + letter : "link " + Narrow(link)) + " -> " +
                          (name.empty() ? target : Narrow(name));
    EmitRequest(label, request, status, define ? std::optional<DWORD>(error) : std::nullopt);
}

void Machine::FailNextAttachment() {
    hk::FailRoutine("IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL);
    Emit("setup", "machine", "the next attachment of a device to its stack fails");
}

} // namespace sim
