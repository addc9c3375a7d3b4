// Whether a watched process runs, from the system's process snapshot; and
// the cases in which the answer has to be yes because nobody can tell.
#include "hostkernel/io/errorlog_control.h"
#include "hostkernel/mm/pool_control.h"
#include "supervision/name_key.h"
#include "supervision/watch_list.h"
#include "tests/supervision/service.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

namespace {

class ProcessCheckTest : public ServiceTest {
  protected:
    BOOLEAN Running() {
        BOOLEAN running = FALSE;
        hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
            KeEnterCriticalRegion();
            ExAcquireResourceExclusiveLite(&Context()->WatchListLock, TRUE);
            running = IsWatchedProcessRunning(Context());
            ExReleaseResourceLite(&Context()->WatchListLock);
            KeLeaveCriticalRegion();
        });
        return running;
    }
    // Sets a list of names hard to match (case pairs beyond ASCII, letters
    // whose capital is ASCII, final sigma) and checks a corpus of running
    // names one at a time against the kernel's comparison. Each snapshot is
    // freed again.
    void ExpectTheKernelsAnswers();
    using Messages = std::vector<std::u16string>;
    // The insertion string of every event-log entry so far.
    static Messages Logged() {
        Messages messages;
        for (const hk::ErrorLogEntry& entry : hk::ErrorLog()) {
            messages.push_back(entry.Strings.at(0));
        }
        return messages;
    }
};

// A query that always answers that the snapshot needs almost 4 GB, and how
// often it was asked.
ULONG HugeQueries = 0;

NTSTATUS HugeSnapshot(ULONG, PVOID, ULONG, PULONG ReturnLength) {
    HugeQueries++;
    *ReturnLength = 0xF0000000;
    return STATUS_INFO_LENGTH_MISMATCH;
}

// The check answers yes whenever it cannot look: without a list, without the
// query routine, when the query fails, without pool. The event log says
// once when checks stop being able to look and once when they can again,
// however many checks either stretch holds; a check with nothing to look
// for logs nothing.
TEST_F(ProcessCheckTest, AnswersYesWhenItCannotLookAndLogsEachStretchOnce) {
    const std::u16string blind = u"Cannot list processes\n";
    const std::u16string seeing = u"Can list processes again\n";
    EXPECT_TRUE(Running()) << "empty list";
    ASSERT_EQ(SetList(u"VKTService.exe"), STATUS_SUCCESS);
    hk::TerminateProcess(service_);
    EXPECT_FALSE(Running());
    EXPECT_EQ(Logged(), Messages{});

    hk::RemoveExport("ZwQuerySystemInformation");
    EXPECT_TRUE(Running());
    EXPECT_TRUE(Running());
    EXPECT_EQ(Logged(), Messages{blind});
    hk::SetExport("ZwQuerySystemInformation", reinterpret_cast<void*>(HkZwQuerySystemInformation));
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Running());
    hk::FailAllocationsWithTag(VKT_POOL_TAG, 1);
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 2u);
    EXPECT_EQ(Logged(), Messages{blind}) << "one entry for the whole stretch";

    service_ = hk::CreateProcess(u"VKTService.exe");
    EXPECT_TRUE(Running());
    EXPECT_TRUE(Running());
    EXPECT_EQ(Logged(), (Messages{blind, seeing}));

    // Queries that keep answering that the snapshot does not fit are asked
    // again, each in what the last one asked for, four times at most.
    hk::TerminateProcess(service_);
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 3);
    EXPECT_FALSE(Running()) << "three failures, then the fourth query looks";
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 4);
    EXPECT_TRUE(Running());
    EXPECT_FALSE(Running());
    EXPECT_EQ(Logged(), (Messages{blind, seeing, blind, seeing}));
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 2u);

    // A snapshot bigger than a query can be given (its eighth more included)
    // ends the check at once instead of asking again in vain.
    hk::SetExport("ZwQuerySystemInformation", reinterpret_cast<void*>(HugeSnapshot));
    EXPECT_TRUE(Running());
    EXPECT_EQ(HugeQueries, 1u);
    EXPECT_EQ(Logged(), (Messages{blind, seeing, blind, seeing, blind}));

    // A log entry that cannot be had changes nothing else.
    hk::FailRoutine("IoAllocateErrorLogEntry", STATUS_INSUFFICIENT_RESOURCES);
    hk::RemoveExport("ZwQuerySystemInformation");
    EXPECT_TRUE(Running());
    EXPECT_EQ(Logged().size(), 5u);
}

// A snapshot of two entries as a kernel might write it: the second entry's
// fixed part, whose name is watched, ends `SecondEntryShort` bytes past the
// valid length the query reports.
ULONG SecondEntryShort = 0;

NTSTATUS TwoEntrySnapshot(ULONG, PVOID Buffer, ULONG, PULONG ReturnLength) {
    const ULONG second = 128;
    const ULONG entry = 72; // the fixed part of an entry
    auto* bytes = static_cast<uint8_t*>(Buffer);
    std::memset(bytes, 0, second + entry);
    const std::u16string names[] = {u"other.exe", u"VKTService.exe"};
    ULONG text = entry;
    for (int i = 0; i < 2; i++) {
        uint8_t* at = bytes + (i == 0 ? 0 : second);
        ULONG next = i == 0 ? second : 0;
        std::memcpy(at, &next, sizeof next);
        std::memcpy(bytes + text, names[i].data(), names[i].size() * 2);
        UNICODE_STRING name{static_cast<USHORT>(names[i].size() * 2),
                            static_cast<USHORT>(names[i].size() * 2),
                            reinterpret_cast<PWCHAR>(bytes + text)};
        std::memcpy(at + 56, &name, sizeof name);
        text += 28;
    }
    *ReturnLength = second + entry - SecondEntryShort;
    return STATUS_SUCCESS;
}

// The walk reads no entry that reaches past the snapshot's valid bytes, by
// as little as one byte, and reads one that ends exactly there.
TEST_F(ProcessCheckTest, WalkEndsAtAnEntryPastTheValidBytes) {
    ASSERT_EQ(SetList(u"VKTService.exe"), STATUS_SUCCESS);
    hk::SetExport("ZwQuerySystemInformation", reinterpret_cast<void*>(TwoEntrySnapshot));
    SecondEntryShort = 0;
    EXPECT_TRUE(Running());
    SecondEntryShort = 1;
    EXPECT_FALSE(Running());
    SecondEntryShort = 72;
    EXPECT_FALSE(Running());
}

// 2,000 processes of 6 threads need about 1.5 MB, more than the first
// snapshot buffer holds: the first check there asks again in what the query
// asked for and looks, instead of counting the machine as running; every
// later check starts in what the last one needed, so asks once, until the
// machine shrinks again.
TEST_F(ProcessCheckTest, BigMachinesAreLookedAtWithOneQueryOnceKnown) {
    ASSERT_EQ(SetList(u"VKTService.exe"), STATUS_SUCCESS);
    uint64_t allocations = hk::AllocationCount();
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::AllocationCount(), allocations + 1) << "one query where the snapshot fits";

    std::vector<HkProcess*> fillers;
    for (int i = 0; i < 2000; i++) {
        fillers.push_back(hk::CreateProcess(u"filler.exe"));
        hk::SetSnapshotThreads(fillers.back(), 6);
    }
    ULONG needed = 0;
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
        EXPECT_EQ(HkZwQuerySystemInformation(SystemProcessInformation, nullptr, 0, &needed),
                  STATUS_INFO_LENGTH_MISMATCH);
    });
    ASSERT_GT(needed, PROCESS_SNAPSHOT_SIZE);
    size_t held = hk::NonPagedPoolBytes();
    for (int check = 1; check <= 3; check++) {
        hk::ResetNonPagedPoolPeak();
        allocations = hk::AllocationCount();
        EXPECT_TRUE(Running());
        EXPECT_EQ(hk::AllocationCount(), allocations + (check == 1 ? 2 : 1))
            << "check " << check << ": the first buffer, then one that fits; then one";
        EXPECT_GE(hk::NonPagedPoolPeak() - held, needed);
        EXPECT_LE(hk::NonPagedPoolPeak() - held, needed + needed / 8 + 4096)
            << "a buffer too small is freed before a bigger one is taken";
        EXPECT_EQ(hk::NonPagedPoolBytes(), held);
    }
    hk::TerminateProcess(service_);
    EXPECT_FALSE(Running()) << "a dead service is seen on a big machine";

    // No pool for the buffer of the known size: the check cannot look, and
    // leaves nothing behind.
    hk::FailNthAllocation(1);
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::NonPagedPoolBytes(), held);

    // Once the machine is small again, so is the next check's buffer.
    for (HkProcess* filler : fillers) {
        hk::TerminateProcess(filler);
    }
    EXPECT_FALSE(Running());
    hk::ResetNonPagedPoolPeak();
    EXPECT_FALSE(Running());
    EXPECT_EQ(hk::NonPagedPoolPeak() - held, PROCESS_SNAPSHOT_SIZE);
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 2u);
}

UNICODE_STRING Counted(const std::u16string& name) {
    return UNICODE_STRING{static_cast<USHORT>(name.size() * 2),
                          static_cast<USHORT>(name.size() * 2), const_cast<PWCHAR>(name.data())};
}

bool KernelEqual(const std::u16string& a, const std::u16string& b) {
    UNICODE_STRING first = Counted(a);
    UNICODE_STRING second = Counted(b);
    return RtlCompareUnicodeString(&first, &second, TRUE) == 0;
}

// The key of a name, made from the end of a pool block, so that a read past
// the name stops the test (a block ends where its inaccessible page begins,
// its size rounded up to eight bytes).
ULONGLONG Key(const std::u16string& name) {
    size_t bytes = (name.size() * sizeof(WCHAR) + 7) / 8 * 8;
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, 'tseT'));
    auto* text = reinterpret_cast<PWCHAR>(block + bytes - name.size() * sizeof(WCHAR));
    std::copy(name.begin(), name.end(), text);
    UNICODE_STRING counted = Counted(name);
    counted.Buffer = text;
    ULONGLONG key = 0;
    EXPECT_EQ(ComputeNameKey(&counted, nullptr, &key), STATUS_SUCCESS);
    ExFreePoolWithTag(block, 'tseT');
    return key;
}

// Names in ASCII and beyond, with letters the platform pairs and letters it
// leaves alone (long s, dotless i, micro sign, sharp s, and the letters only
// later Unicode versions paired: Cherokee and Georgian Mkhedruli), each
// with its variants: up-cased by the kernel, ASCII case swapped, one
// character shorter and longer, the last character changed or up-cased.
std::vector<std::u16string> NameCorpus() {
    const std::u16string bases[] = {u"VKTService.exe",
                                    u"svchost.exe",
                                    u"agent",
                                    u"a",
                                    u"",
                                    u"\u00C4rger.exe",
                                    u"\u00FFacht.exe",
                                    u"\u0141\u00F3d\u017A.exe",
                                    u"\u03A3\u03CD\u03C3\u03C4\u03B7\u03BC\u03B1.exe",
                                    u"\u03C3\u03CD\u03C3\u03C4\u03B7\u03C2",
                                    u"\u0421\u043B\u0443\u0436\u0431\u0430.exe",
                                    u"\u0463\u043B\u043A\u0430",
                                    u"\uFF53\uFF56\uFF43.exe",
                                    u"\u2170\u2171.exe",
                                    u"\u24D0gent.exe",
                                    u"\u017Fvc.exe",
                                    u"svc.exe",
                                    u"\u0131dle.exe",
                                    u"Idle.exe",
                                    u"\u00B5svc.exe",
                                    u"\u039Csvc.exe",
                                    u"stra\u00DFe.exe",
                                    u"STRASSE.EXE",
                                    u"\u212Aelvin.exe",
                                    u"kelvin.exe",
                                    u"AB\u0101",
                                    u"ab\u0100",
                                    u"\u0430\u0431\u0432\u0433x",
                                    u"\u0130\u0230\u0430\u0131.exe",
                                    u"\uAB70\uAB71.exe",
                                    u"\u13A0\u13A1.exe",
                                    u"\u10D0\u10D1.exe",
                                    u"\u1C90\u1C91.exe"};
    std::vector<std::u16string> corpus;
    for (const std::u16string& base : bases) {
        std::u16string upper = base;
        std::u16string swapped = base;
        for (size_t i = 0; i < base.size(); i++) {
            upper[i] = RtlUpcaseUnicodeChar(base[i]);
            if ((base[i] | 0x20) >= u'a' && (base[i] | 0x20) <= u'z') {
                swapped[i] = base[i] ^ 0x20;
            }
        }
        corpus.insert(corpus.end(), {base, upper, swapped, base + u"x", upper + u"X"});
        if (!base.empty()) {
            std::u16string lastChanged = base;
            lastChanged.back()++;
            std::u16string lastUpcased = base;
            lastUpcased.back() = RtlUpcaseUnicodeChar(base.back());
            corpus.insert(corpus.end(),
                          {base.substr(0, base.size() - 1), lastChanged, lastUpcased});
        }
    }
    return corpus;
}

} // namespace

// The key never refuses a pair that the kernel's comparison finds equal, and
// tells apart the pairs it finds different: every pair of the corpus. A
// sample folded from remembered characters is the kernel's, also where
// characters that share their low byte follow each other.
TEST_F(ProcessCheckTest, NameKeysAgreeWithTheKernelsComparisonForEveryPair) {
    std::vector<std::u16string> corpus = NameCorpus();
    std::map<std::u16string, ULONGLONG> keys;
    for (const std::u16string& name : corpus) {
        keys[name] = Key(name);
    }
    size_t equalPairs = 0;
    size_t equalBeyondAscii = 0;
    for (const std::u16string& a : corpus) {
        for (const std::u16string& b : corpus) {
            bool equal = KernelEqual(a, b);
            if (equal) {
                equalPairs++;
                bool beyondAscii =
                    std::any_of(a.begin(), a.end(), [](char16_t c) { return c >= 0x80; });
                equalBeyondAscii += a != b && beyondAscii ? 1 : 0;
            }
            EXPECT_EQ(keys[a] == keys[b], equal)
                << testing::PrintToString(a) << " and " << testing::PrintToString(b);
        }
    }
    EXPECT_GT(equalPairs, corpus.size()) << "the corpus holds names equal but for case";
    EXPECT_GT(equalBeyondAscii, 20u) << "and such names beyond ASCII";

    // Folding clears the case bit of every character, so some different
    // names share a key; the kernel's comparison still tells them apart.
    EXPECT_EQ(Key(u"[svc].exe"), Key(u"{svc}.exe"));
    EXPECT_FALSE(KernelEqual(u"[svc].exe", u"{svc}.exe"));

    ULONG folded[256] = {};
    for (int round = 0; round < 2; round++) {
        for (const std::u16string& name : corpus) {
            UNICODE_STRING counted = Counted(name);
            ULONGLONG key = 0;
            hk::RunAs(hk::CreateThread(hk::SystemProcess()),
                      [&] { ComputeNameKey(&counted, folded, &key); });
            EXPECT_EQ(key, Key(name)) << testing::PrintToString(name);
        }
    }
}

// The slots a watched name marks in a fresh filter, and how many there are.
size_t MarkedSlots(const std::u16string& name, const CaseVariants& variants, UCHAR* filter) {
    std::fill(filter, filter + NAME_FILTER_SLOTS, 0);
    UNICODE_STRING counted = Counted(name);
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
        EXPECT_EQ(MarkWatchedName(filter, &counted, Key(name), &variants), STATUS_SUCCESS);
    });
    return std::count_if(filter, filter + NAME_FILTER_SLOTS,
                         [](UCHAR marks) { return (marks & NAME_FILTER_SAMPLE) != 0; });
}

// Case pairs given by hand, in a pool block that ends where they end.
CaseVariants HandMadePairs(const std::vector<ULONG>& pairs) {
    auto* block = static_cast<ULONG*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, pairs.size() * sizeof(ULONG), 'tseT'));
    std::copy(pairs.begin(), pairs.end(), block);
    return CaseVariants{block, static_cast<ULONG>(pairs.size()), TRUE};
}

// "Q" written `ways` ways: itself and ways - 1 characters beyond ASCII that
// fold apart.
CaseVariants WaysOfWritingQ(ULONG ways) {
    std::vector<ULONG> pairs;
    for (ULONG i = 1; i < ways; i++) {
        pairs.push_back(u'Q' << 16 | (0x100 + 0x40 * i));
    }
    return HandMadePairs(pairs);
}

// A watched name marks the few ways its sample can be written: its
// characters' case pairs mostly fold alike. Pairs given by hand show every
// combination of the choices at the sample's characters marked, up to 256
// ways; more ways, or more ways of one character than are kept, mark every
// slot. Neither the pairs nor the filter are touched past their end (each
// ends where its pool block ends).
TEST_F(ProcessCheckTest, WatchedNamesMarkEveryWayOfWritingTheirSample) {
    auto* filter =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, NAME_FILTER_SLOTS, 'tseT'));
    CaseVariants kernel{};
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
        hk::FailNthAllocation(1);
        EXPECT_EQ(FindCaseVariants(&kernel), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(kernel.Complete);
        EXPECT_EQ(FindCaseVariants(&kernel), STATUS_SUCCESS);
    });
    ASSERT_TRUE(kernel.Complete);
    EXPECT_GT(kernel.Count, 500u) << "the host's table changes about a thousand characters";
    for (const std::u16string& name :
         {u"svchost.exe", u"\u0421\u043B\u0443\u0436\u0431\u0430.exe", u"\u017Fvc.exe", u"a"}) {
        size_t marked = MarkedSlots(name, kernel, filter);
        EXPECT_GE(marked, 1u) << testing::PrintToString(name);
        EXPECT_LE(marked, 4u) << testing::PrintToString(name);
    }
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] { FreeCaseVariants(&kernel); });

    CaseVariants three = WaysOfWritingQ(3);
    EXPECT_LE(MarkedSlots(u"QQQQ", three, filter), 81u);
    const ULONGLONG ways[] = {u'Q', 0x140, 0x180};
    for (ULONGLONG a : ways) {
        for (ULONGLONG b : ways) {
            for (ULONGLONG c : ways) {
                for (ULONGLONG d : ways) {
                    EXPECT_NE(filter[NameFilterSlot(a | b << 16 | c << 32 | d << 48, 8)] &
                                  NAME_FILTER_SAMPLE,
                              0);
                }
            }
        }
    }
    for (auto [written, name, all] :
         {std::tuple{4u, u"QQQQ", false}, std::tuple{5u, u"QQQQ", true},
          std::tuple{8u, u"aQbc", false}, std::tuple{9u, u"aQbc", true}}) {
        CaseVariants pairs = WaysOfWritingQ(written);
        size_t marked = MarkedSlots(name, pairs, filter);
        EXPECT_EQ(marked == NAME_FILTER_SLOTS, all) << written << " ways, " << marked << " marked";
        ExFreePoolWithTag(pairs.Pairs, 'tseT');
    }
    ExFreePoolWithTag(three.Pairs, 'tseT');
    ExFreePoolWithTag(filter, 'tseT');
}

void ProcessCheckTest::ExpectTheKernelsAnswers() {
    const std::vector<std::u16string> watched = {u"\u00C4rger.exe",
                                                 u"\u03C3\u03CD\u03C3\u03C4\u03B7\u03C2",
                                                 u"\u0421\u043B\u0443\u0436\u0431\u0430.exe",
                                                 u"\uFF53\uFF56\uFF43.exe",
                                                 u"\u017Fvc.exe",
                                                 u"Idle.exe",
                                                 u"\u00B5svc.exe",
                                                 u"{svc}.exe",
                                                 u"AB\u0101",
                                                 u"\uAB70\uAB71.exe",
                                                 u"\u10D0\u10D1.exe",
                                                 u"a"};
    std::u16string list;
    for (const std::u16string& name : watched) {
        list += (list.empty() ? u"" : u",") + name;
    }
    ASSERT_EQ(SetList(list), STATUS_SUCCESS);
    hk::TerminateProcess(service_);
    std::vector<std::u16string> corpus = NameCorpus();
    corpus.insert(corpus.end(), {u"[svc].exe", u"vc.exe", u"Idle.exe.bak"});
    size_t matches = 0;
    for (const std::u16string& name : corpus) {
        bool expected = std::any_of(watched.begin(), watched.end(),
                                    [&](const std::u16string& w) { return KernelEqual(name, w); });
        HkProcess* process = hk::CreateProcess(name);
        EXPECT_EQ(Running() != FALSE, expected) << testing::PrintToString(name);
        hk::TerminateProcess(process);
        matches += expected ? 1 : 0;
    }
    EXPECT_GT(matches, 20u);
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 1 + watched.size()) << "the list alone";
}

// The whole check gives the answer of the kernel's comparison of every
// running name with every watched one: bare names whatever their case, the
// watched process the last entry of the snapshot, and no match for a name
// that only ends or begins like a watched one.
TEST_F(ProcessCheckTest, CheckAnswersAsTheKernelsComparisonWould) {
    ExpectTheKernelsAnswers();
}

// Without pool for the kernel's case pairs, every sample is marked: each
// name reaches the key, and the answers stay the kernel's.
TEST_F(ProcessCheckTest, WithoutTheCasePairsEveryNameReachesTheKey) {
    hk::FailNthAllocation(2);
    ExpectTheKernelsAnswers();
    for (UCHAR marks : Context()->NameFilter) {
        ASSERT_NE(marks & NAME_FILTER_SAMPLE, 0);
    }
}
