// A routine of the hardware layer: importing from HAL.dll is allowed.
#include "platform/platform.h"

LONGLONG CounterNow() {
    return KeQueryPerformanceCounter(nullptr).QuadPart;
}
