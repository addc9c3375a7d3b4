// Each command is one buffered control request with a 24-byte command
// record; the status of the request comes back as the last error.
#include "client/vkt_client.h"

namespace {

DWORD SendRecord(HANDLE device, const CommandRecord& record, uint8_t* output,
                 uint32_t outputLength) {
    return VktSendRaw(device, IOCTL_WATCHDOG_COMMAND, &record, sizeof record, output, outputLength,
                      nullptr);
}

CommandRecord Record(uint8_t command) {
    CommandRecord record = {};
    record.Command = command;
    return record;
}

} // namespace

HANDLE VktOpenDevice() {
    return CreateFileW(VKT_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void VktCloseDevice(HANDLE device) {
    CloseHandle(device);
}

DWORD VktSendRaw(HANDLE device, uint32_t controlCode, const void* input, uint32_t inputLength,
                 void* output, uint32_t outputLength, uint32_t* returned) {
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(device, controlCode, const_cast<void*>(input), inputLength, output,
                              outputLength, &bytes, nullptr);
    if (returned != nullptr) {
        *returned = bytes;
    }
    if (!ok) {
        return GetLastError();
    }
    SetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

DWORD VktNop(HANDLE device) {
    return SendRecord(device, Record(COMMAND_NOP), nullptr, 0);
}

DWORD VktGetFirmwareStatus(HANDLE device, uint8_t* status) {
    uint8_t output = 0;
    uint32_t returned = 0;
    CommandRecord record = Record(COMMAND_GET_FIRMWARE_STATUS);
    DWORD error = VktSendRaw(device, IOCTL_WATCHDOG_COMMAND, &record, sizeof record, &output,
                             sizeof output, &returned);
    if (error == ERROR_SUCCESS && returned != sizeof output) {
        // A driver that claims success without the byte has answered nothing.
        SetLastError(ERROR_INVALID_FUNCTION);
        return ERROR_INVALID_FUNCTION;
    }
    if (error == ERROR_SUCCESS) {
        *status = output;
    }
    return error;
}

DWORD VktReportState(HANDLE device, uint8_t code) {
    CommandRecord record = Record(COMMAND_REPORT_STATE);
    record.Parameter1 = code;
    return SendRecord(device, record, nullptr, 0);
}

DWORD VktSetWatchList(HANDLE device, const WCHAR* names, uint32_t namesBytes, uint8_t runSeconds,
                      uint8_t shutdownSeconds) {
    CommandRecord record = Record(COMMAND_SET_WATCH_LIST);
    record.Parameter1 = runSeconds;
    record.Parameter2 = shutdownSeconds;
    record.NamesLength = namesBytes;
    record.Names = reinterpret_cast<uintptr_t>(VktCallerMemory(names, namesBytes));
    return SendRecord(device, record, nullptr, 0);
}

DWORD VktEnterWatchA(HANDLE device) {
    return SendRecord(device, Record(COMMAND_ENTER_WATCH_A), nullptr, 0);
}

DWORD VktEnterWatchB(HANDLE device) {
    return SendRecord(device, Record(COMMAND_ENTER_WATCH_B), nullptr, 0);
}
