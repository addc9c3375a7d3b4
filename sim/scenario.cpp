#include "sim/scenario.h"

#include "sim/request_steps.h"

#include "hostkernel/cm/registry_control.h"
#include "include/VKTWatchdog.h"

#include <cctype>
#include <map>
#include <sstream>

namespace sim {

namespace {

// Splits a line into words; double quotes keep spaces (a double quote inside
// them is written twice), and a backslash is an ordinary character (registry
// paths and Windows paths are full of them).
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            i++;
            continue;
        }
        if (line[i] == '#') {
            break;
        }
        std::string word;
        if (line[i] == '"') {
            for (i++;; i += 2) {
                size_t end = line.find('"', i);
                if (end == std::string::npos) {
                    *error = "a quoted text is not closed";
                    return false;
                }
                word += line.substr(i, end - i);
                i = end;
                if (i + 1 >= line.size() || line[i + 1] != '"') {
                    break;
                }
                word += '"';
            }
            i++;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
                word += line[i++];
            }
        }
        words->push_back(word);
    }
    return true;
}

bool ParseNumber(const std::string& text, uint64_t maximum, uint64_t* value) {
    if (text.empty()) {
        return false;
    }
    size_t used = 0;
    try {
        *value = std::stoull(text, &used, 0);
    } catch (...) {
        return false;
    }
    return used == text.size() && text[0] != '-' && *value <= maximum;
}

bool ParseHexBytes(const std::vector<std::string>& words, size_t from, size_t to,
                   std::vector<uint8_t>* bytes) {
    for (size_t i = from; i < to; i++) {
        std::string text = words[i];
        if (text.size() % 2 != 0 || text.empty()) {
            return false;
        }
        for (size_t j = 0; j < text.size(); j += 2) {
            uint64_t byte = 0;
            if (!std::isxdigit(static_cast<unsigned char>(text[j])) ||
                !std::isxdigit(static_cast<unsigned char>(text[j + 1])) ||
                !ParseNumber("0x" + text.substr(j, 2), 255, &byte)) {
                return false;
            }
            bytes->push_back(static_cast<uint8_t>(byte));
        }
    }
    return true;
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& text) {
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

// Reads one step's words into its action; returns what is wrong, or "".
class StepReader {
  public:
    StepReader(const std::vector<std::string>& words, ScenarioStep* step)
        : words_(words), step_(step) {}

    std::string Read();

  private:
    std::string Registry();
    std::string Firmware();
    std::string Send();
    std::string Letter();
    std::string Count(size_t expected, const char* usage) {
        return words_.size() == expected ? "" : std::string("usage: ") + usage;
    }

    const std::vector<std::string>& words_;
    ScenarioStep* step_;
};

std::string StepReader::Read() {
    const std::string& verb = words_[0];
    std::string error;
    if (ReadRequestStep(words_, step_, &error)) {
        return error;
    }
    if (verb == "registry") {
        step_->NeedsMachine = false;
        return Registry();
    }
    if (verb == "firmware") {
        step_->NeedsMachine = false;
        return Firmware();
    }
    if (verb == "debugger") {
        step_->NeedsMachine = false;
        if (words_.size() != 2 || (words_[1] != "on" && words_[1] != "off")) {
            return "usage: debugger on|off";
        }
        bool on = words_[1] == "on";
        step_->Action = [on](Machine& machine) { machine.SetDebugger(on); };
        return "";
    }
    if (verb == "export") {
        step_->NeedsMachine = false;
        if (words_.size() != 3 || (words_[1] != "add" && words_[1] != "remove")) {
            return "usage: export add|remove ROUTINE";
        }
        bool add = words_[1] == "add";
        std::string routine = words_[2];
        step_->Action = [add, routine](Machine& machine) { machine.SetExport(routine, add); };
        return "";
    }
    if (verb == "folder" || verb == "file") {
        step_->NeedsMachine = false;
        if (words_.size() != 2) {
            return "usage: " + verb + " PATH";
        }
        std::string path = words_[1];
        bool folder = verb == "folder";
        step_->Action = [path, folder](Machine& machine) {
            folder ? machine.MakeFolder(path) : machine.MakeFile(path);
        };
        return "";
    }
    if (verb == "boot") {
        step_->NeedsMachine = false; // it powers the machine on at its own time
        step_->Action = [](Machine& machine) {
            if (!machine.PoweredOn()) {
                machine.PowerOn();
            }
        };
        return Count(1, "boot");
    }
    if (verb == "start") {
        bool admin = true;
        if (words_.size() == 5 && words_[3] == "as" &&
            (words_[4] == "admin" || words_[4] == "user")) {
            admin = words_[4] == "admin";
        } else if (words_.size() != 3) {
            return "usage: start LABEL PATH [as user|admin]";
        }
        std::string label = words_[1];
        std::string path = words_[2];
        step_->Action = [label, path, admin](Machine& machine) {
            machine.StartProcess(label, path, admin);
        };
        return "";
    }
    if (verb == "end" || verb == "open" || verb == "close") {
        // An open may end in "access none|read|read-write".
        std::string access;
        size_t count = words_.size();
        if (verb == "open" && count >= 4 && words_[count - 2] == "access") {
            access = words_[count - 1];
            count -= 2;
            if (access != "none" && access != "read" && access != "read-write") {
                return "unknown access " + access + " (none, read or read-write)";
            }
        }
        if (count != 2 && !(verb == "open" && count == 3)) {
            return verb == "open" ? "usage: open LABEL [NAME] [access none|read|read-write]"
                                  : "usage: " + verb + " LABEL";
        }
        std::string label = words_[1];
        std::string what = verb;
        std::string name = count == 3 ? words_[2] : "";
        step_->Action = [label, what, name, access](Machine& machine) {
            if (!machine.HasProcess(label)) {
                return; // it ended with a reset; the trace shows that
            }
            if (what == "end") {
                machine.EndProcess(label);
            } else if (what == "open") {
                machine.OpenDevice(label, name, access);
            } else {
                machine.CloseDevice(label);
            }
        };
        return "";
    }
    if (verb == "letter") {
        return Letter();
    }
    if (verb == "attach") {
        step_->Action = [](Machine& machine) { machine.FailNextAttachment(); };
        return words_.size() == 2 && words_[1] == "fail" ? "" : "usage: attach fail";
    }
    if (verb == "send") {
        return Send();
    }
    if (verb == "vktctl") {
        if (words_.size() < 2) {
            return "usage: vktctl LABEL ARGUMENTS...";
        }
        std::string label = words_[1];
        std::vector<std::string> arguments(words_.begin() + 2, words_.end());
        step_->Action = [label, arguments](Machine& machine) {
            if (machine.HasProcess(label)) {
                std::vector<std::string> lines;
                machine.RunVktctl(label, arguments, &lines);
            }
        };
        return "";
    }
    static const std::map<std::string, std::function<void(Machine&)>> kPlain = {
        {"shutdown", [](Machine& m) { m.Shutdown(); }},
        {"wake", [](Machine& m) { m.Wake(); }},
        {"remove", [](Machine& m) { m.RemoveDevice(); }},
        {"add", [](Machine& m) { m.AddDevice(); }},
        {"reboot", [](Machine& m) { m.Reboot(); }},
    };
    if (kPlain.count(verb) != 0) {
        step_->Action = kPlain.at(verb);
        return Count(1, verb.c_str());
    }
    if (verb == "run") {
        uint64_t duration = 0;
        if (words_.size() != 2 || !ParseDuration(words_[1], &duration)) {
            return "usage: run DURATION";
        }
        // Its time is set by the parser: the step ends `duration` later.
        step_->Action = [](Machine&) {};
        return "";
    }
    return "unknown step \"" + verb + "\"";
}

// registry set KEY NAME TYPE DATA... | registry delete KEY
std::string StepReader::Registry() {
    const char* usage =
        "usage: registry set KEY NAME sz|expand_sz|multi_sz|dword|qword|binary|none "
        "DATA... or registry delete KEY";
    if (words_.size() == 3 && words_[1] == "delete") {
        std::u16string key = Widen(words_[2]);
        step_->Action = [key](Machine& machine) { machine.DeleteRegistryKey(key); };
        return "";
    }
    if (words_.size() < 5 || words_[1] != "set") {
        return usage;
    }
    std::u16string key = Widen(words_[2]);
    std::u16string name = Widen(words_[3]);
    const std::string& type = words_[4];
    std::vector<uint8_t> data;
    ULONG kind = REG_NONE;
    uint64_t number = 0;
    if (type == "sz" || type == "expand_sz") {
        if (words_.size() != 6) {
            return "a " + type + " value takes one text";
        }
        kind = type == "sz" ? REG_SZ : REG_EXPAND_SZ;
        data = Utf16Bytes(Widen(words_[5]) + u'\0');
    } else if (type == "multi_sz") {
        kind = REG_MULTI_SZ;
        for (size_t i = 5; i < words_.size(); i++) {
            std::vector<uint8_t> text = Utf16Bytes(Widen(words_[i]) + u'\0');
            data.insert(data.end(), text.begin(), text.end());
        }
        data.push_back(0);
        data.push_back(0);
    } else if (type == "dword" || type == "qword") {
        bool dword = type == "dword";
        if (words_.size() != 6 ||
            !ParseNumber(words_[5], dword ? UINT32_MAX : UINT64_MAX, &number)) {
            return "a " + type + " value takes one number";
        }
        kind = dword ? REG_DWORD : REG_QWORD;
        for (size_t i = 0; i < (dword ? 4u : 8u); i++) {
            data.push_back(static_cast<uint8_t>(number >> (8 * i)));
        }
    } else if (type == "binary" || type == "none") {
        kind = type == "binary" ? REG_BINARY : REG_NONE;
        if (!ParseHexBytes(words_, 5, words_.size(), &data)) {
            return "binary data is pairs of hexadecimal digits";
        }
    } else {
        return usage;
    }
    step_->Action = [key, name, kind, data](Machine& machine) {
        machine.SetRegistryValue(key, name, kind, data);
    };
    return "";
}

// firmware status BYTE | sleep halt|count | fail METHOD [STATUS] [form F] [times N] |
//          pend METHOD DURATION [form F] [times N] |
//          answer METHOD empty|foreign|short [form F] [times N] | normal
std::string StepReader::Firmware() {
    const char* usage = "usage: firmware status BYTE | sleep halt|count | "
                        "fail METHOD [STATUS] [form F] [times N] | "
                        "pend METHOD DURATION [form F] [times N] | "
                        "answer METHOD empty|foreign|short [form F] [times N] | normal";
    if (words_.size() < 2) {
        return usage;
    }
    uint64_t number = 0;
    if (words_[1] == "status") {
        if (words_.size() != 3 || !ParseNumber(words_[2], 0x7F, &number)) {
            return "firmware status takes a byte from 0 to 0x7F (0x80 is the firmware's reset "
                   "flag)";
        }
        uint8_t bits = static_cast<uint8_t>(number);
        step_->Action = [bits](Machine& machine) { machine.SetFirmwareStatus(bits); };
        return "";
    }
    if (words_[1] == "normal") {
        step_->Action = [](Machine& machine) { machine.ClearFirmwareRules(); };
        return words_.size() == 2 ? "" : usage;
    }
    if (words_[1] == "sleep") {
        if (words_.size() != 3 || (words_[2] != "halt" && words_[2] != "count")) {
            return "usage: firmware sleep halt|count";
        }
        bool counting = words_[2] == "count";
        step_->Action = [counting](Machine& machine) { machine.SetSleepCounting(counting); };
        return "";
    }
    if ((words_[1] != "fail" && words_[1] != "pend" && words_[1] != "answer") ||
        words_.size() < 3) {
        return usage;
    }
    FirmwareRule rule{words_[2], AcpiFault::FailWithStatus, STATUS_UNSUCCESSFUL, 0, 0};
    if (rule.Method != "*" && rule.Method.size() != 4) {
        return "a method is four characters, or * for every method";
    }
    size_t next = 3;
    static const std::map<std::string, AcpiFault> kAnswers = {
        {"empty", AcpiFault::CountZero},
        {"foreign", AcpiFault::WrongSignature},
        {"short", AcpiFault::ShortOutput}};
    if (words_[1] == "answer") {
        if (words_.size() < 4 || kAnswers.count(words_[3]) == 0) {
            return "firmware answer takes a method and empty, foreign or short";
        }
        rule.Fault = kAnswers.at(words_[3]);
        next = 4;
    } else if (words_[1] == "pend") {
        rule.Fault = AcpiFault::Pend;
        if (words_.size() < 4 || !ParseDuration(words_[3], &rule.Delay) || rule.Delay == 0) {
            return "firmware pend takes a method and a delay";
        }
        next = 4;
    } else if (words_[1] == "fail" && words_.size() > 3 && words_[3] != "times" &&
               words_[3] != "form") {
        if (!ParseNumber(words_[3], UINT32_MAX, &number)) {
            return "a status is a number such as 0xC0000001";
        }
        rule.Status = static_cast<NTSTATUS>(number);
        next = 4;
    }
    if (next + 1 < words_.size() && words_[next] == "form") {
        const std::string& form = words_[next + 1];
        if (form != "none" && form != "1" && form != "2" && form != "4") {
            return "an input form is none (no argument) or an argument's length: 1, 2 or 4";
        }
        rule.Form = form == "none" ? kNoArgument : form[0] - '0';
        next += 2;
    }
    if (next < words_.size()) {
        if (words_.size() != next + 2 || words_[next] != "times" ||
            !ParseNumber(words_[next + 1], UINT32_MAX, &number) || number == 0) {
            return usage;
        }
        rule.Count = static_cast<uint32_t>(number);
    }
    step_->Action = [rule](Machine& machine) { machine.AddFirmwareRule(rule); };
    return "";
}

// send LABEL nop|status|report CODE|watch RUN SHUTDOWN NAMES|enter a|b|
//            raw HEX... [code CODE] [out N]
std::string StepReader::Send() {
    if (words_.size() < 3) {
        return "usage: send LABEL COMMAND...";
    }
    std::string label = words_[1];
    const std::string& what = words_[2];
    ClientCommand command;
    uint64_t number = 0;
    if (what == "nop" || what == "status") {
        command.What = what == "nop" ? ClientCommand::Kind::Nop : ClientCommand::Kind::Status;
        if (words_.size() != 3) {
            return what + " takes nothing";
        }
    } else if (what == "report") {
        command.What = ClientCommand::Kind::Report;
        if (words_.size() != 4 || !ParseNumber(words_[3], 255, &number)) {
            return "report takes a state code from 0 to 255";
        }
        command.Code = static_cast<uint8_t>(number);
    } else if (what == "watch") {
        command.What = ClientCommand::Kind::Watch;
        uint64_t run = 0;
        uint64_t shutdown = 0;
        if (words_.size() != 6 || !ParseNumber(words_[3], 255, &run) ||
            !ParseNumber(words_[4], 255, &shutdown)) {
            return "usage: send LABEL watch RUN SHUTDOWN NAME[,NAME...] (seconds up to 255)";
        }
        command.RunSeconds = static_cast<uint8_t>(run);
        command.ShutdownSeconds = static_cast<uint8_t>(shutdown);
        command.Names = Widen(words_[5]);
    } else if (what == "enter") {
        if (words_.size() != 4 || (words_[3] != "a" && words_[3] != "b")) {
            return "usage: send LABEL enter a|b";
        }
        command.What = words_[3] == "a" ? ClientCommand::Kind::EnterA : ClientCommand::Kind::EnterB;
    } else if (what == "raw") {
        command.What = ClientCommand::Kind::Raw;
        command.ControlCode = IOCTL_WATCHDOG_COMMAND;
        size_t end = words_.size();
        while (end >= 5 && (words_[end - 2] == "code" || words_[end - 2] == "out")) {
            bool code = words_[end - 2] == "code";
            if (!ParseNumber(words_[end - 1], code ? UINT32_MAX : 4096, &number)) {
                return code ? "code takes a control code" : "out takes an output length up to 4096";
            }
            (code ? command.ControlCode : command.OutputLength) = static_cast<uint32_t>(number);
            end -= 2;
        }
        if (!ParseHexBytes(words_, 3, end, &command.Input)) {
            return "raw input is pairs of hexadecimal digits";
        }
    } else {
        return "unknown command \"" + what + "\"";
    }
    step_->Action = [label, command](Machine& machine) {
        if (machine.HasProcess(label)) {
            machine.Send(label, command);
        }
    };
    return "";
}

// letter global LETTER TARGET | letter define|link LABEL LETTER TARGET
std::string StepReader::Letter() {
    const char* usage =
        "usage: letter global LETTER TARGET | letter define|link LABEL LETTER TARGET";
    bool global = words_.size() == 4 && words_[1] == "global";
    if (!global && (words_.size() != 5 || (words_[1] != "define" && words_[1] != "link"))) {
        return usage;
    }
    const std::string& letter = words_[global ? 2 : 3];
    if (letter.size() != 2 || letter[1] != ':' ||
        !std::isalpha(static_cast<unsigned char>(letter[0]))) {
        return "a drive letter such as E:";
    }
    std::string target = words_.back();
    if (global) {
        step_->NeedsMachine = false;
        step_->Action = [letter, target](Machine& machine) {
            machine.DefineGlobalLetter(letter, target);
        };
        return "";
    }
    std::string label = words_[2];
    bool define = words_[1] == "define";
    step_->Action = [label, letter, target, define](Machine& machine) {
        if (machine.HasProcess(label)) {
            machine.DefineProcessLetter(label, letter, target, define);
        }
    };
    return "";
}

} // namespace

bool ParseDuration(const std::string& text, uint64_t* duration) {
    static const std::map<std::string, uint64_t> kUnits = {{"ms", hk::kMillisecond},
                                                           {"s", hk::kSecond},
                                                           {"m", hk::kMinute},
                                                           {"h", hk::kHour},
                                                           {"d", 24 * hk::kHour}};
    uint64_t total = 0;
    size_t i = 0;
    if (text.empty()) {
        return false;
    }
    while (i < text.size()) {
        size_t start = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            i++;
        }
        size_t unitStart = i;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) {
            i++;
        }
        auto unit = kUnits.find(text.substr(unitStart, i - unitStart));
        if (start == unitStart || unit == kUnits.end() || unitStart - start > 9) {
            return false;
        }
        total += std::stoull(text.substr(start, unitStart - start)) * unit->second;
    }
    *duration = total;
    return true;
}

Scenario ParseScenario(const std::string& text) {
    Scenario scenario;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    uint64_t now = 0;
    while (std::getline(lines, line)) {
        number++;
        std::vector<std::string> words;
        std::string error;
        size_t invalid = FindInvalidUtf8(line);
        if (invalid != std::string::npos) {
            scenario.Errors.push_back(
                {number, "not UTF-8 text at byte " + std::to_string(invalid + 1) + " of the line"});
            continue;
        }
        if (!SplitWords(line, &words, &error)) {
            scenario.Errors.push_back({number, error});
            continue;
        }
        if (words.empty()) {
            continue;
        }
        ScenarioStep step;
        step.Line = number;
        step.Time = now;
        if (words[0][0] == '@' || words[0][0] == '+') {
            uint64_t duration = 0;
            if (!ParseDuration(words[0].substr(1), &duration)) {
                scenario.Errors.push_back({number, "\"" + words[0] + "\" is not a time"});
                continue;
            }
            step.Time = words[0][0] == '@' ? duration : now + duration;
            if (step.Time < now) {
                scenario.Errors.push_back(
                    {number, "the time " + words[0] + " is before the previous step"});
                continue;
            }
            words.erase(words.begin());
            if (words.empty()) {
                scenario.Errors.push_back({number, "a time without a step"});
                continue;
            }
        }
        error = StepReader(words, &step).Read();
        if (!error.empty()) {
            scenario.Errors.push_back({number, error});
            continue;
        }
        now = step.Time;
        if (words[0] == "run") {
            uint64_t duration = 0;
            ParseDuration(words[1], &duration);
            now += duration;
            step.Time = now;
        }
        scenario.Steps.push_back(std::move(step));
    }
    return scenario;
}

void RunScenario(const Scenario& scenario, Machine& machine) {
    for (const ScenarioStep& step : scenario.Steps) {
        if (!machine.PoweredOn() && !step.NeedsMachine) {
            // Set-up before the boot, and the boot itself, at their time.
            machine.WaitPoweredOff(step.Time);
        } else if (step.Time > machine.Now() || !machine.PoweredOn()) {
            machine.RunUntil(step.Time);
        }
        step.Action(machine);
        machine.FinishStep();
    }
}

} // namespace sim
