#include "sim/request_steps.h"

#include <map>

namespace sim {

namespace {

// sleep [s1|s2|s3] [hang] | hibernate [shutdown] [hang]
std::string ReadSleep(const std::vector<std::string>& words, ScenarioStep* step) {
    static const std::map<std::string, SYSTEM_POWER_STATE> kStates = {
        {"s1", PowerSystemSleeping1}, {"s2", PowerSystemSleeping2}, {"s3", PowerSystemSleeping3}};
    bool hibernate = words[0] == "hibernate";
    bool hang = words.size() > 1 && words.back() == "hang";
    size_t end = words.size() - (hang ? 1 : 0);
    if (hibernate) {
        if (end > 2 || (end == 2 && words[1] != "shutdown")) {
            return "usage: hibernate [shutdown] [hang]";
        }
        bool toShutdown = end == 2;
        if (toShutdown && hang) {
            return "a hybrid shutdown does not sleep; a shutdown without reboot hangs anyway";
        }
        step->Action = [toShutdown, hang](Machine& m) { m.Hibernate(toShutdown, hang); };
        return "";
    }
    SYSTEM_POWER_STATE state = PowerSystemSleeping3;
    if (end == 2 && kStates.count(words[1]) != 0) {
        state = kStates.at(words[1]);
    } else if (end != 1) {
        return "usage: sleep [s1|s2|s3] [hang]";
    }
    step->Action = [state, hang](Machine& m) { m.Sleep(state, hang); };
    return "";
}

// power device d0|d1|d2|d3 | power query s0..s5|d0..d3
std::string ReadPower(const std::vector<std::string>& words, ScenarioStep* step) {
    const char* usage = "usage: power device d0|d1|d2|d3 or power query s0|...|s5|d0|...|d3";
    if (words.size() != 3 || words[2].size() != 2 ||
        (words[1] != "device" && words[1] != "query")) {
        return usage;
    }
    char kind = words[2][0];
    int number = words[2][1] - '0';
    bool system = kind == 's';
    if ((kind != 's' && kind != 'd') || number < 0 || number > (system ? 5 : 3) ||
        (words[1] == "device" && system)) {
        return usage;
    }
    if (words[1] == "device") {
        auto state = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + number);
        step->Action = [state](Machine& m) { m.SetDevicePower(state); };
    } else {
        ULONG state = system ? PowerSystemWorking + number : PowerDeviceD0 + number;
        step->Action = [system, state](Machine& m) { m.QueryPower(system, state); };
    }
    return "";
}

// pnp start|query-stop|stop|cancel-stop|query-remove|cancel-remove|surprise-removal
std::string ReadPnp(const std::vector<std::string>& words, ScenarioStep* step) {
    static const std::map<std::string, UCHAR> kMinors = {
        {"start", IRP_MN_START_DEVICE},
        {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
        {"stop", IRP_MN_STOP_DEVICE},
        {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
        {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
        {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
        {"surprise-removal", IRP_MN_SURPRISE_REMOVAL}};
    if (words.size() != 2 || kMinors.count(words[1]) == 0) {
        return "usage: pnp start|query-stop|stop|cancel-stop|query-remove|cancel-remove|"
               "surprise-removal";
    }
    UCHAR minor = kMinors.at(words[1]);
    step->Action = [minor](Machine& m) { m.SendPnp(minor); };
    return "";
}

} // namespace

bool ReadRequestStep(const std::vector<std::string>& words, ScenarioStep* step,
                     std::string* error) {
    const std::string& verb = words[0];
    if (verb == "sleep" || verb == "hibernate") {
        *error = ReadSleep(words, step);
    } else if (verb == "power") {
        *error = ReadPower(words, step);
    } else if (verb == "pnp") {
        *error = ReadPnp(words, step);
    } else if (verb == "unplug") {
        step->Action = [](Machine& m) { m.Unplug(); };
        *error = words.size() == 1 ? "" : "usage: unplug";
    } else {
        return false;
    }
    return true;
}

} // namespace sim
