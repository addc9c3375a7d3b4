// What one supervision check costs the driver, on machines of many
// processes: instructions counted by callgrind, snapshot queries, and
// non-paged pool.
//
//   vkt_bench_check                   the table of every machine
//   vkt_bench_check --instructions 'NAMES PROCESSES THREADS WATCHED AT' ...
//                                     "instructions queries" of each machine
//   vkt_bench_check --day             seconds of processor time the simulated
//                                     machine takes for a supervised day
//
// Both run this program again under valgrind (callgrind). Collection is on
// only inside IsWatchedProcessRunning and off again inside the kernel
// routines that build the snapshot (the system information query), allocate
// or free pool and look up routines by name: their host versions keep a
// verifier's books and fill fresh pool, which models nothing of the
// platform's cost; and inside the host's check behind PAGED_CODE(), which
// the platform's release build does not have (the call to it still counts,
// one instruction). Everything else counts: the driver's routines, and the
// kernel's string routines it calls (comparison and up-casing).
#include "hostkernel/control.h"
#include "hostkernel/mm/pool_control.h"
#include "sim/scenario.h"
#include "supervision/watch_list.h"

#include <valgrind/callgrind.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// One measured machine.
struct Machine {
    std::string Names; // process names: their length ("12") or "cyrillic"
    int Processes;     // processes in the snapshot, idle and system included
    int Threads;       // threads of each process
    int Watched;       // watched names
    bool WatchedLast;  // the last process has the last watched name; else none has one
};

// What one check of it cost.
struct Cost {
    size_t Held = 0;      // non-paged pool held before the check (the watch list)
    size_t Peak = 0;      // the most non-paged pool held during it
    uint64_t Queries = 0; // snapshot queries the check made
    bool Running = false; // the check's answer
};

const int kThreadsPerProcess = 10;
const char* const kNameKinds[] = {"1", "8", "12", "13", "16", "32", "cyrillic", "cyrillic-letters"};
const int kMachineSizes[] = {300, 1000, 3000, 20000};
// The largest machines, measured with the names of 12 characters and the
// Cyrillic ones only (each takes seconds under valgrind): processes, and
// threads of each.
const std::pair<int, int> kLargestMachines[] = {{50000, 10}, {100000, 1}};
const char* const kLargestMachineNames[] = {"12", "cyrillic"};
const int kNameCounts[] = {1, 20};

// Letters before the number, and the extension.
const char16_t kLatinStem[] = u"procworkeragentservicehostmonitorbrokerupdaterhelperindexer";
const char16_t kCyrillicStem[] = u"\u0441\u043b\u0443\u0436\u0431\u0430"; // "sluzhba"

bool Cyrillic(const std::string& kind) {
    return kind == "cyrillic" || kind == "cyrillic-letters";
}

size_t NameLength(const std::string& kind) {
    return Cyrillic(kind) ? 14 : std::stoul(kind);
}

// A numbered name of the machine's kind: letters, a number of four digits
// and ".exe" ("proc0042.exe"); names shorter than eight characters are the
// number alone, as long as the name ("0042", "7"). The Cyrillic names are a
// Cyrillic word, the number and ".exe"; "cyrillic-letters" writes the
// number's digits as the Cyrillic letters a to k. A watched name has a
// letter where the number begins ("procW042.exe", "W042", "A" to "T"; a
// Cyrillic sha for Cyrillic letters), so the process names and the watched
// ones share all but one character.
std::u16string NumberedName(const std::string& kind, int number, bool watched) {
    size_t length = NameLength(kind);
    size_t digits = length < 4 ? length : 4;
    size_t extension = length >= 8 ? 4 : 0;
    std::u16string name(Cyrillic(kind) ? kCyrillicStem : kLatinStem, length - digits - extension);
    bool letters = kind == "cyrillic-letters";
    char16_t zero = letters ? u'\u0430' : u'0';
    std::u16string figures(digits, zero);
    for (size_t i = digits, rest = number; i-- > 0; rest /= 10) {
        figures[i] = static_cast<char16_t>(zero + rest % 10);
    }
    if (watched) {
        figures[0] =
            digits > 1 ? (letters ? u'\u0428' : u'W') : static_cast<char16_t>(u'A' + number % 20);
    }
    return name + figures + (extension != 0 ? u".exe" : u"");
}

std::string Label(const Machine& machine) {
    return machine.Names + " " + std::to_string(machine.Processes) + " " +
           std::to_string(machine.Threads) + " " + std::to_string(machine.Watched) + " " +
           (machine.WatchedLast ? "last" : "absent");
}

Machine Parse(const std::string& label) {
    Machine machine{};
    char names[32] = {};
    char at[16] = {};
    if (std::sscanf(label.c_str(), "%31s %d %d %d %15s", names, &machine.Processes,
                    &machine.Threads, &machine.Watched, at) != 5 ||
        (!Cyrillic(names) && (std::atoi(names) < 1 || std::atoi(names) > 60)) ||
        machine.Processes < 4 || machine.Threads < 1 || machine.Watched < 1 ||
        machine.Watched > 20 || (std::strcmp(at, "last") != 0 && std::strcmp(at, "absent") != 0)) {
        std::fprintf(stderr, "not a machine: %s\n", label.c_str());
        std::exit(2);
    }
    machine.Names = names;
    machine.WatchedLast = std::strcmp(at, "last") == 0;
    return machine;
}

// Sets the watch list as the service does, from its own memory.
void SetList(DeviceContext* context, const Machine& machine) {
    HkProcess* service = hk::CreateProcess(u"vktsvc00.exe");
    hk::SetSnapshotThreads(service, machine.Threads);
    std::u16string list;
    for (int i = 1; i <= machine.Watched; i++) {
        list += (i > 1 ? u"," : u"") + NumberedName(machine.Names, i, true);
    }
    auto bytes = static_cast<ULONG>(list.size() * 2);
    uint64_t address = hk::AllocateUserMemory(service, bytes);
    hk::WriteUserMemory(service, address, list.data(), bytes);
    hk::RunAs(hk::CreateThread(service), [&] {
        NTSTATUS status = SetWatchList(context, 60, 60, bytes, reinterpret_cast<PVOID>(address));
        if (status != 0) {
            std::fprintf(stderr, "the watch list was refused: 0x%08X\n",
                         static_cast<unsigned>(status));
            std::exit(2);
        }
    });
}

BOOLEAN Check(DeviceContext* context) {
    BOOLEAN running = FALSE;
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&context->WatchListLock, TRUE);
        running = IsWatchedProcessRunning(context);
        ExReleaseResourceLite(&context->WatchListLock);
        KeLeaveCriticalRegion();
    });
    return running;
}

void FreeList(DeviceContext* context) {
    while (!IsListEmpty(&context->WatchList)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&context->WatchList), WatchEntry, Links),
                          VKT_POOL_TAG);
    }
    ExFreePoolWithTag(context->WatchListText, VKT_POOL_TAG);
    ExDeleteResourceLite(&context->WatchListLock);
}

// The name of the last process: the last watched name in capitals, or one
// more process name.
std::u16string LastName(const Machine& machine, int number) {
    if (!machine.WatchedLast) {
        return NumberedName(machine.Names, number, false);
    }
    std::u16string name = NumberedName(machine.Names, machine.Watched, true);
    for (char16_t& c : name) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return name;
}

// Builds the machine, checks once (the check that finds how big the machine
// is), then checks again between callgrind's requests (which do nothing
// outside valgrind).
Cost Measure(const Machine& machine) {
    hk::Reset();
    hk::SetSnapshotThreads(hk::SystemProcess(), machine.Threads);
    static DeviceContext context;
    context = DeviceContext{};
    ExInitializeResourceLite(&context.WatchListLock);
    InitializeListHead(&context.WatchList);
    SetList(&context, machine);
    // Idle, system and the service are three of the machine's processes.
    int others = machine.Processes - 3;
    for (int i = 0; i < others; i++) {
        std::u16string name =
            i + 1 < others ? NumberedName(machine.Names, i, false) : LastName(machine, i);
        hk::SetSnapshotThreads(hk::CreateProcess(name), machine.Threads);
    }
    Check(&context);
    Cost cost;
    cost.Held = hk::NonPagedPoolBytes();
    hk::ResetNonPagedPoolPeak();
    uint64_t allocations = hk::AllocationCount();
    std::string label = Label(machine);
    CALLGRIND_START_INSTRUMENTATION;
    cost.Running = Check(&context);
    CALLGRIND_DUMP_STATS_AT(label.c_str());
    CALLGRIND_STOP_INSTRUMENTATION;
    cost.Queries = hk::AllocationCount() - allocations;
    cost.Peak = hk::NonPagedPoolPeak();
    FreeList(&context);
    if (!hk::FindLeaks().empty() || cost.Running != (machine.WatchedLast ? TRUE : FALSE)) {
        std::fprintf(stderr, "wrong answer or leak on %s\n", Label(machine).c_str());
        std::exit(2);
    }
    return cost;
}

// As many names of the kind as the list holds, commas between them.
int MostWatchedNames(const std::string& kind) {
    return static_cast<int>((WATCH_TEXT_MAX / sizeof(WCHAR) + 1) / (NameLength(kind) + 1));
}

// Every machine of the table: each kind of name on each size, ten threads
// a process; then the largest machines.
std::vector<Machine> AllMachines() {
    std::vector<Machine> machines;
    for (const char* names : kNameKinds) {
        std::vector<std::pair<int, int>> sizes;
        for (int processes : kMachineSizes) {
            sizes.push_back({processes, kThreadsPerProcess});
        }
        for (const char* large : kLargestMachineNames) {
            if (std::strcmp(large, names) == 0) {
                sizes.insert(sizes.end(), std::begin(kLargestMachines), std::end(kLargestMachines));
            }
        }
        for (auto [processes, threads] : sizes) {
            for (int watched : kNameCounts) {
                watched = std::min(watched, MostWatchedNames(names));
                machines.push_back({names, processes, threads, watched, false});
                machines.push_back({names, processes, threads, watched, true});
            }
        }
    }
    return machines;
}

// A machine's instructions under callgrind, with what the check cost
// besides.
struct Measured {
    uint64_t Instructions = 0;
    Cost Check;
};

// Runs this program under callgrind on the machines given and returns each
// one's count and costs by its label. Collection is on inside
// IsWatchedProcessRunning, off inside the kernel routines that model none of
// the platform's cost (see the top of this file) and inside the host's check
// behind PAGED_CODE(), which a release build on the platform does not have.
std::map<std::string, Measured> MeasureUnderCallgrind(const std::vector<Machine>& machines) {
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "valgrind is not installed: callgrind counts the instructions\n");
        std::exit(2);
    }
    char directory[] = "/tmp/vkt_bench_XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    std::string command =
        "valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no"
        " --toggle-collect='IsWatchedProcessRunning*'"
        " --toggle-collect='HkZwQuerySystemInformation*'"
        " --toggle-collect='ExAllocatePoolWithTag*' --toggle-collect='ExFreePoolWithTag*'"
        " --toggle-collect='MmGetSystemRoutineAddress*' --toggle-collect='HkCheckPagedCode*'"
        " --callgrind-out-file=" +
        std::string(directory) + "/out -q /proc/" + std::to_string(getpid()) + "/exe --measure";
    for (const Machine& machine : machines) {
        command += " '" + Label(machine) + "'";
    }
    std::map<std::string, Measured> measured;
    FILE* output = popen(command.c_str(), "r");
    char line[256];
    while (output != nullptr && std::fgets(line, sizeof line, output) != nullptr) {
        std::string text = line;
        size_t bar = text.find('|');
        if (bar == std::string::npos) {
            continue;
        }
        Cost& cost = measured[text.substr(0, bar)].Check;
        unsigned long long held = 0, peak = 0, queries = 0;
        std::sscanf(text.c_str() + bar + 1, "%llu %llu %llu", &held, &peak, &queries);
        cost = Cost{held, peak, queries, true};
    }
    if (output == nullptr || pclose(output) != 0) {
        std::fprintf(stderr, "callgrind failed: %s\n", command.c_str());
        std::exit(2);
    }
    DIR* listing = opendir(directory);
    while (dirent* file = readdir(listing)) {
        if (file->d_name[0] == '.') {
            continue;
        }
        std::string path = std::string(directory) + "/" + file->d_name;
        std::ifstream dump(path);
        std::string text, label;
        uint64_t total = 0;
        while (std::getline(dump, text)) {
            const std::string trigger = "desc: Trigger: Client Request: ";
            if (text.rfind(trigger, 0) == 0) {
                label = text.substr(trigger.size());
            } else if (text.rfind("totals: ", 0) == 0) {
                total = std::strtoull(text.c_str() + text.find(' ') + 1, nullptr, 10);
            }
        }
        if (!label.empty()) {
            measured[label].Instructions = total;
        }
        unlink(path.c_str());
    }
    closedir(listing);
    rmdir(directory);
    for (const Machine& machine : machines) {
        const Measured& one = measured[Label(machine)];
        if (one.Instructions == 0 || !one.Check.Running) {
            std::fprintf(stderr, "no count for %s\n", Label(machine).c_str());
            std::exit(2);
        }
    }
    return measured;
}

// The supervised day: the vendor's service supervises itself for 24 hours
// of machine time among the machine's other processes.
const char kSupervisedDay[] =
    "registry set \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CorvynHostService"
    " ImagePath sz \"C:\\Program Files\\Corvyn\\CorvynService.exe\"\n"
    "file \"C:\\Program Files\\Corvyn\\CorvynService.exe\"\n"
    "@1m start svc \"C:\\Program Files\\Corvyn\\CorvynService.exe\" as admin\n"
    "+1s open svc\n"
    "+1s send svc watch 120 90 CorvynService.exe,CorvynMonitor.exe\n"
    "+1s send svc enter a\n"
    "@24h send svc nop\n";
const int kDayProcesses = 300;
// The cycles from the service's entry into state A to the end of the day.
const size_t kDayFeeds = 8634;

// Seconds of processor time the simulator takes for the supervised day on a
// machine of kDayProcesses processes of kThreadsPerProcess threads: the
// ten-second cycle's checks and feeds, and the kernel's books.
double MeasureDay() {
    sim::Scenario day = sim::ParseScenario(kSupervisedDay);
    if (!day.Errors.empty()) {
        std::fprintf(stderr, "the day does not parse: line %d: %s\n", day.Errors[0].Line,
                     day.Errors[0].Message.c_str());
        std::exit(2);
    }
    timespec began{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &began);
    sim::Machine machine;
    machine.PowerOn();
    hk::SetSnapshotThreads(hk::SystemProcess(), kThreadsPerProcess);
    // Idle, system and the service are three of the machine's processes.
    for (int i = 0; i < kDayProcesses - 3; i++) {
        hk::SetSnapshotThreads(hk::CreateProcess(NumberedName("12", i, false)), kThreadsPerProcess);
    }
    sim::RunScenario(day, machine);
    timespec ended{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ended);
    size_t feeds = std::count_if(
        machine.Events().begin(), machine.Events().end(), [](const sim::TraceEvent& event) {
            return event.Kind == "cycle" && event.Text.rfind("fed", 0) == 0;
        });
    if (machine.Boots() != 1 || !machine.Firmware().Resets().empty() || feeds != kDayFeeds) {
        std::fprintf(stderr, "the day was not supervised: %zu feeds, %u boots\n", feeds,
                     machine.Boots());
        std::exit(2);
    }
    return static_cast<double>(ended.tv_sec - began.tv_sec) +
           static_cast<double>(ended.tv_nsec - began.tv_nsec) / 1e9;
}

void PrintTable() {
    std::vector<Machine> machines = AllMachines();
    std::map<std::string, Measured> measured = MeasureUnderCallgrind(machines);
    std::printf("| names | processes | threads | watched | at | instructions | per process | "
                "queries | pool held | pool peak |\n"
                "|---|---:|---:|---:|---|---:|---:|---:|---:|---:|\n");
    for (const Machine& machine : machines) {
        const Measured& one = measured[Label(machine)];
        std::printf("| %s | %d | %d | %d | %s | %llu | %.1f | %llu | %zu | %zu |\n",
                    machine.Names.c_str(), machine.Processes, machine.Threads, machine.Watched,
                    machine.WatchedLast ? "last" : "absent",
                    static_cast<unsigned long long>(one.Instructions),
                    static_cast<double>(one.Instructions) / machine.Processes,
                    static_cast<unsigned long long>(one.Check.Queries), one.Check.Held,
                    one.Check.Peak);
    }
}

} // namespace

// --measure runs under callgrind and prints "label|held peak queries" for
// each machine; --instructions prints "instructions queries" for each.
int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--measure") == 0) {
        for (int i = 2; i < argc; i++) {
            Machine machine = Parse(argv[i]);
            Cost cost = Measure(machine);
            std::printf("%s|%zu %zu %llu\n", Label(machine).c_str(), cost.Held, cost.Peak,
                        static_cast<unsigned long long>(cost.Queries));
            std::fflush(stdout);
        }
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--instructions") == 0) {
        std::vector<Machine> machines;
        for (int i = 2; i < argc; i++) {
            machines.push_back(Parse(argv[i]));
        }
        std::map<std::string, Measured> measured = MeasureUnderCallgrind(machines);
        for (const Machine& machine : machines) {
            const Measured& one = measured[Label(machine)];
            std::printf("%llu %llu\n", static_cast<unsigned long long>(one.Instructions),
                        static_cast<unsigned long long>(one.Check.Queries));
        }
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--day") == 0) {
        std::printf("%.3f\n", MeasureDay());
        return 0;
    }
    if (argc == 1) {
        PrintTable();
        std::printf("\nA supervised day at %d processes of %d threads: %.2f s of processor "
                    "time\n",
                    kDayProcesses, kThreadsPerProcess, MeasureDay());
        return 0;
    }
    std::fprintf(
        stderr,
        "usage: %s [--day | --instructions 'NAMES PROCESSES THREADS WATCHED absent|last' ...]\n"
        "  NAMES: the length of every process name (1 to 60), cyrillic or cyrillic-letters\n",
        argv[0]);
    return 2;
}
