// Reads of kernel variables imported as data: the object type of device
// objects and the SeExports record. VKT_FAULT_DATA_INDIRECTION reads the
// object type one level too far, as `*IoDeviceObjectType` does with these
// headers.
#include "platform/platform.h"

POBJECT_TYPE DeviceObjectType() {
#if defined(VKT_FAULT_DATA_INDIRECTION)
    return *IoDeviceObjectType;
#else
    return VKT_OBJECT_TYPE(IoDeviceObjectType);
#endif
}

PSID WorldSid() {
    return VKT_SE_EXPORTS_RECORD()->SeWorldSid;
}
