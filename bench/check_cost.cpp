// What one supervision check costs the driver, on machines of many
// processes: instructions counted by callgrind, and non-paged pool.
//
//   vkt_bench_check                        the table of every machine
//   vkt_bench_check --instructions P N at  one count (at: absent or last),
//                                          one line for each machine given
//
// Both run this program again under valgrind (callgrind). Collection is on
// only inside IsWatchedProcessRunning and off again inside the kernel
// routines that build the snapshot (the system information query), allocate
// or free pool and look up routines by name: their host versions keep a
// verifier's books and fill fresh pool, which models nothing of the
// platform's cost. Everything else counts: the driver's routines, and the
// kernel's string routines it calls (comparison and up-casing).
#include "hostkernel/control.h"
#include "hostkernel/mm/pool_control.h"
#include "supervision/watch_list.h"

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One measured machine.
struct Machine {
    int Processes;    // processes in the snapshot, idle and system included
    int Names;        // watched names
    bool WatchedLast; // the last process has the last watched name; else none has one
};

// What one check of it cost.
struct Cost {
    size_t Held = 0;      // non-paged pool held before the check (the watch list)
    size_t Peak = 0;      // the most non-paged pool held during it
    bool Running = false; // the check's answer
};

const int kThreadsPerProcess = 10;
const int kMachineSizes[] = {100, 300, 1000, 3000, 20000};
const int kNameCounts[] = {1, 5, 20};

// Twelve characters with a number: "proc0042.exe", and the watched names
// "procW042.exe", which share the first four characters with every process.
std::u16string NumberedName(const char16_t* pattern, int number) {
    std::u16string name = pattern;
    for (size_t digit = 7; digit > 4; digit--, number /= 10) {
        name[digit] = static_cast<char16_t>(u'0' + number % 10);
    }
    if (name[4] == u'0') {
        name[4] = static_cast<char16_t>(u'0' + number % 10);
    }
    return name;
}

std::string Label(const Machine& machine) {
    return std::to_string(machine.Processes) + " " + std::to_string(machine.Names) + " " +
           (machine.WatchedLast ? "last" : "absent");
}

// Sets the watch list as the service does, from its own memory.
void SetList(DeviceContext* context, int names) {
    HkProcess* service = hk::CreateProcess(u"vktsvc00.exe");
    hk::SetSnapshotThreads(service, kThreadsPerProcess);
    std::u16string list;
    for (int i = 1; i <= names; i++) {
        list += (i > 1 ? u"," : u"") + NumberedName(u"procW000.exe", i);
    }
    auto bytes = static_cast<ULONG>(list.size() * 2);
    uint64_t address = hk::AllocateUserMemory(service, bytes);
    hk::WriteUserMemory(service, address, list.data(), bytes);
    hk::RunAs(hk::CreateThread(service), [&] {
        if (SetWatchList(context, 60, 60, bytes, reinterpret_cast<PVOID>(address)) != 0) {
            std::fprintf(stderr, "the watch list was refused\n");
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

// Builds the machine, checks once to warm up, then checks again between
// callgrind's requests (which do nothing outside valgrind).
Cost Measure(const Machine& machine) {
    hk::Reset();
    hk::SetSnapshotThreads(hk::SystemProcess(), kThreadsPerProcess);
    static DeviceContext context;
    context = DeviceContext{};
    ExInitializeResourceLite(&context.WatchListLock);
    InitializeListHead(&context.WatchList);
    SetList(&context, machine.Names);
    // Idle, system and the service are three of the machine's processes.
    int others = machine.Processes - 3 - (machine.WatchedLast ? 1 : 0);
    for (int i = 0; i < others; i++) {
        hk::SetSnapshotThreads(hk::CreateProcess(NumberedName(u"proc0000.exe", i)),
                               kThreadsPerProcess);
    }
    if (machine.WatchedLast) {
        std::u16string name = NumberedName(u"PROCW000.EXE", machine.Names);
        hk::SetSnapshotThreads(hk::CreateProcess(name), kThreadsPerProcess);
    }
    Check(&context);
    Cost cost;
    cost.Held = hk::NonPagedPoolBytes();
    hk::ResetNonPagedPoolPeak();
    CALLGRIND_START_INSTRUMENTATION;
    cost.Running = Check(&context);
    CALLGRIND_DUMP_STATS_AT(Label(machine).c_str());
    CALLGRIND_STOP_INSTRUMENTATION;
    cost.Peak = hk::NonPagedPoolPeak();
    FreeList(&context);
    if (!hk::FindLeaks().empty() || cost.Running != (machine.WatchedLast ? TRUE : FALSE)) {
        std::fprintf(stderr, "wrong answer or leak on %s\n", Label(machine).c_str());
        std::exit(2);
    }
    return cost;
}

std::vector<Machine> AllMachines() {
    std::vector<Machine> machines;
    for (int processes : kMachineSizes) {
        for (int names : kNameCounts) {
            machines.push_back({processes, names, false});
            machines.push_back({processes, names, true});
        }
    }
    return machines;
}

// Runs this program under callgrind on the machines given as arguments and
// returns each one's instructions by its label.
std::map<std::string, uint64_t> CountUnderCallgrind(const std::vector<std::string>& machines) {
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
        " --toggle-collect='MmGetSystemRoutineAddress*'"
        " --callgrind-out-file=" +
        std::string(directory) + "/out -q /proc/" + std::to_string(getpid()) + "/exe --measure";
    for (const std::string& machine : machines) {
        command += " '" + machine + "'";
    }
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "callgrind failed: %s\n", command.c_str());
        std::exit(2);
    }
    std::map<std::string, uint64_t> counts;
    DIR* listing = opendir(directory);
    while (dirent* file = readdir(listing)) {
        if (file->d_name[0] == '.') {
            continue;
        }
        std::string path = std::string(directory) + "/" + file->d_name;
        std::ifstream dump(path);
        std::string line, label;
        uint64_t total = 0;
        while (std::getline(dump, line)) {
            const std::string trigger = "desc: Trigger: Client Request: ";
            if (line.rfind(trigger, 0) == 0) {
                label = line.substr(trigger.size());
            } else if (line.rfind("totals: ", 0) == 0) {
                total = std::strtoull(line.c_str() + line.find(' ') + 1, nullptr, 10);
            }
        }
        if (!label.empty()) {
            counts[label] = total;
        }
        unlink(path.c_str());
    }
    closedir(listing);
    rmdir(directory);
    return counts;
}

Machine Parse(const std::string& label) {
    Machine machine{};
    char at[16] = {};
    std::sscanf(label.c_str(), "%d %d %15s", &machine.Processes, &machine.Names, at);
    machine.WatchedLast = std::strcmp(at, "last") == 0;
    return machine;
}

void PrintTable() {
    std::vector<std::string> labels;
    for (const Machine& machine : AllMachines()) {
        labels.push_back(Label(machine));
    }
    std::map<std::string, uint64_t> counts = CountUnderCallgrind(labels);
    std::printf("| processes | names | watched | instructions | per process | pool held | "
                "pool peak |\n|---:|---:|---|---:|---:|---:|---:|\n");
    for (const Machine& machine : AllMachines()) {
        Cost cost = Measure(machine);
        uint64_t instructions = counts[Label(machine)];
        std::printf("| %d | %d | %s | %llu | %.1f | %zu | %zu |\n", machine.Processes,
                    machine.Names, machine.WatchedLast ? "last" : "absent",
                    static_cast<unsigned long long>(instructions),
                    static_cast<double>(instructions) / machine.Processes, cost.Held, cost.Peak);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--measure") == 0) {
        for (int i = 2; i < argc; i++) {
            Measure(Parse(argv[i]));
        }
        return 0;
    }
    if (argc >= 5 && (argc - 2) % 3 == 0 && std::strcmp(argv[1], "--instructions") == 0) {
        std::vector<std::string> labels;
        for (int i = 2; i < argc; i += 3) {
            labels.push_back(std::string(argv[i]) + " " + argv[i + 1] + " " + argv[i + 2]);
        }
        std::map<std::string, uint64_t> counts = CountUnderCallgrind(labels);
        for (const std::string& label : labels) {
            if (counts[label] == 0) {
                return 2;
            }
            std::printf("%llu\n", static_cast<unsigned long long>(counts[label]));
        }
        return 0;
    }
    if (argc == 1) {
        PrintTable();
        return 0;
    }
    std::fprintf(stderr, "usage: %s [--instructions PROCESSES NAMES absent|last ...]\n", argv[0]);
    return 2;
}
