// The power transitions the driver records. Every result of the firmware is
// ignored here: a transition goes on whatever the firmware answers.
#include "power/transitions.h"

#include "driver/event_log.h"
#include "driver/routing.h"
#include "firmware/watchdog.h"
#include "supervision/cycle.h"
#include "supervision/watch_list.h"

// The log messages: 16 characters ending in a line feed, and the NUL.
static const WCHAR MESSAGE_ENTER_S0[] = VKT_TEXT("System enter S0\n");
static const WCHAR MESSAGE_ENTER_S3[] = VKT_TEXT("System enter S3\n");
static const WCHAR MESSAGE_ENTER_S4[] = VKT_TEXT("System enter S4\n");
static const WCHAR MESSAGE_ENTER_S5[] = VKT_TEXT("System enter S5\n");
static const WCHAR MESSAGE_ENTER_S6[] = VKT_TEXT("System enter S6\n");
static_assert(sizeof(MESSAGE_ENTER_S0) == 34, "each message is 34 bytes");

// The entries are logged for the driver object, not the device.
VKT_PAGED_ROUTINE static VOID LogTransition(const WCHAR (&Message)[17]) {
    PAGED_CODE();
    WriteEventLogEntry(SavedDriverObject, sizeof Message, Message);
}

// Called with StateLock held. Hibernation with another target than
// hibernation or shutdown is recorded as hibernation without a log entry.
VKT_PAGED_ROUTINE static VOID RecordEntry(DeviceContext* Context, SYSTEM_POWER_STATE State,
                                          ULONG SystemContext) {
    PAGED_CODE();
    ULONG target = SystemContext & TARGET_STATE_MASK;
    if (State == PowerSystemSleeping3) {
        LogTransition(MESSAGE_ENTER_S3);
        Context->State = StateEnterS3;
    } else if (State == PowerSystemHibernate) {
        Context->State = StateEnterS4;
        if (target == TARGET_HIBERNATE) {
            LogTransition(MESSAGE_ENTER_S4);
        } else if (target == TARGET_SHUTDOWN) {
            LogTransition(MESSAGE_ENTER_S5);
            Context->State = StateEnterS5;
        }
    } else {
        Context->State = StateEnterS6;
        LogTransition(MESSAGE_ENTER_S6);
    }
}

// The code and the timeout are those decided under the lock (the shutdown
// timeout as command 4 publishes it), so that a command changing State
// meanwhile cannot give the sleeping machine the wrong timeout.
VKT_PAGED_ROUTINE VOID EnterLowPowerState(DeviceContext* Context, SYSTEM_POWER_STATE State,
                                          ULONG SystemContext) {
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Context->StateLock, TRUE);
    RecordEntry(Context, State, SystemContext);
    StateCode code = Context->State;
    ExReleaseResourceLite(&Context->StateLock);
    KeLeaveCriticalRegion();
    ReportState(Context, code);
    KeCancelTimer(&Context->Timer);
    StopWatchdog(Context);
    bool sleeping = code == StateEnterS3 || code == StateEnterS4;
    ULONG runTimeout = 0;
    ULONG shutdownTimeout = 0;
    ReadWatchTimeouts(Context, &runTimeout, &shutdownTimeout);
    ArmWatchdog(Context, code, sleeping ? SLEEP_WATCHDOG_TIMEOUT : shutdownTimeout);
}

// A code that is not an entry code (a wake without an entry before it)
// stays as it is.
VKT_PAGED_ROUTINE static StateCode ResumeCodeFor(StateCode Code) {
    PAGED_CODE();
    switch (Code) {
    case StateEnterS3:
        return StateResumeS3;
    case StateEnterS4:
        return StateResumeS4;
    case StateEnterS5:
        return StateResumeS5;
    case StateEnterS6:
        return StateResumeS6;
    default:
        return Code;
    }
}

// StateLock keeps the remapping from interleaving with a command or a
// supervision run that reads or sets State.
VKT_PAGED_ROUTINE VOID ReturnToWorkingState(DeviceContext* Context) {
    PAGED_CODE();
    LogTransition(MESSAGE_ENTER_S0);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Context->StateLock, TRUE);
    Context->State = ResumeCodeFor(Context->State);
    StateCode code = Context->State;
    ExReleaseResourceLite(&Context->StateLock);
    KeLeaveCriticalRegion();
    ReportState(Context, code);
    ArmSupervisionTimer(Context);
    StopWatchdog(Context);
}
