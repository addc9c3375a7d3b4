// An entry for a 32-bit x86 kernel: the image is of the wrong machine.
extern "C" long __stdcall DriverEntry(void* DriverObject, void* RegistryPath) {
    (void)DriverObject;
    (void)RegistryPath;
    return 0;
}
