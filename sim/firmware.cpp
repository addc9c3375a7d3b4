#include "sim/firmware.h"

namespace sim {

Firmware::~Firmware() {
    CancelCountdown();
}

MethodResult Firmware::Evaluate(const std::string& method, std::optional<uint32_t> argument) {
    if (method == "SVKT" || method == "SSXS") {
        if (!argument) {
            return {STATUS_INVALID_PARAMETER, 0};
        }
        if (method == "SVKT") {
            timeoutSeconds_ = *argument;
        } else {
            lastState_ = static_cast<uint8_t>(*argument);
        }
        return {STATUS_SUCCESS, 0};
    }
    if (method == "OVKT") {
        open_ = true;
        Restart();
        return {STATUS_SUCCESS, 0};
    }
    if (method == "FVKT") {
        if (open_) {
            Restart();
        }
        return {STATUS_SUCCESS, 0};
    }
    if (method == "CVKT") {
        open_ = false;
        CancelCountdown();
        return {STATUS_SUCCESS, 0};
    }
    if (method == "GSXS") {
        return {STATUS_SUCCESS, statusValue_};
    }
    return {STATUS_OBJECT_NAME_NOT_FOUND, 0};
}

void Firmware::PowerOff() {
    open_ = false;
    expiryEvent_ = 0;
    timeoutSeconds_ = kDefaultTimeoutSeconds;
}

// The countdown starts again from the full timeout.
void Firmware::Restart() {
    CountDownFrom(uint64_t{timeoutSeconds_} * hk::kSecond);
}

void Firmware::ExpireNow() {
    CancelCountdown();
    Expire();
}

void Firmware::CountDownFrom(uint64_t left) {
    if (!open_) {
        return;
    }
    CancelCountdown();
    deadline_ = hk::Now() + left;
    expiryEvent_ = hk::ScheduleAt(deadline_, [this] {
        expiryEvent_ = 0;
        Expire();
    });
}

void Firmware::Expire() {
    open_ = false;
    resets_.push_back(ResetRecord{hk::Now(), lastState_});
    if (onReset_) {
        onReset_(resets_.back());
    }
}

void Firmware::CancelCountdown() {
    if (expiryEvent_ != 0) {
        hk::CancelScheduled(expiryEvent_);
        expiryEvent_ = 0;
    }
}

} // namespace sim
