// Whether a watched process runs, from the system's process snapshot; and
// the cases in which the answer has to be yes because nobody can tell.
#include "hostkernel/mm/pool_control.h"
#include "supervision/name_key.h"
#include "supervision/watch_list.h"
#include "tests/supervision/service.h"

#include <algorithm>

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
};

// The check answers yes whenever it cannot look: without a list, without the
// query routine, when the query fails, without pool. 2,000 processes of 6
// threads each need about 1.5 MB, more than the first snapshot buffer holds:
// there the check asks again in what the query asked for and looks, instead
// of counting the machine as running.
TEST_F(ProcessCheckTest, AnswersYesOnlyWhenItCannotLookEvenOnBigMachines) {
    EXPECT_TRUE(Running()) << "empty list";
    ASSERT_EQ(SetList(u"VKTService.exe"), STATUS_SUCCESS);
    hk::TerminateProcess(service_);
    EXPECT_FALSE(Running());
    hk::RemoveExport("ZwQuerySystemInformation");
    EXPECT_TRUE(Running());
    hk::SetExport("ZwQuerySystemInformation", reinterpret_cast<void*>(HkZwQuerySystemInformation));
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Running());
    hk::FailAllocationsWithTag(VKT_POOL_TAG, 1);
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 2u);

    service_ = hk::CreateProcess(u"VKTService.exe");
    uint64_t allocations = hk::AllocationCount();
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::AllocationCount(), allocations + 1) << "one query where the snapshot fits";

    for (int i = 0; i < 2000; i++) {
        hk::SetSnapshotThreads(hk::CreateProcess(u"filler.exe"), 6);
    }
    ULONG needed = 0;
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
        EXPECT_EQ(HkZwQuerySystemInformation(SystemProcessInformation, nullptr, 0, &needed),
                  STATUS_INFO_LENGTH_MISMATCH);
    });
    ASSERT_GT(needed, PROCESS_SNAPSHOT_SIZE);
    size_t held = hk::NonPagedPoolBytes();
    hk::ResetNonPagedPoolPeak();
    allocations = hk::AllocationCount();
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::AllocationCount(), allocations + 2) << "the first buffer, then one that fits";
    EXPECT_GE(hk::NonPagedPoolPeak() - held, needed);
    EXPECT_LE(hk::NonPagedPoolPeak() - held, needed + needed / 8 + 4096)
        << "the small buffer is freed before the big one is taken";
    EXPECT_EQ(hk::NonPagedPoolBytes(), held);

    hk::TerminateProcess(service_);
    EXPECT_FALSE(Running()) << "a dead service is seen on a big machine";

    // Queries that keep answering that the snapshot does not fit are asked
    // again a bounded number of times, each in what the last one asked for.
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 2);
    EXPECT_FALSE(Running()) << "two failures, then the real answer, then the fourth query";
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 3);
    EXPECT_TRUE(Running()) << "the fourth query is the last, in too small a buffer";
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 4);
    EXPECT_TRUE(Running());

    // No pool for the bigger buffer.
    hk::FailNthAllocation(2);
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::NonPagedPoolBytes(), held);
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

ULONGLONG Key(const std::u16string& name) {
    UNICODE_STRING counted = Counted(name);
    ULONGLONG key = 0;
    EXPECT_EQ(ComputeNameKey(&counted, &key), STATUS_SUCCESS);
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
// tells apart the pairs it finds different: every pair of the corpus.
TEST_F(ProcessCheckTest, NameKeysAgreeWithTheKernelsComparisonForEveryPair) {
    std::vector<std::u16string> corpus = NameCorpus();
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
            EXPECT_EQ(Key(a) == Key(b), equal)
                << testing::PrintToString(a) << " and " << testing::PrintToString(b);
        }
    }
    EXPECT_GT(equalPairs, corpus.size()) << "the corpus holds names equal but for case";
    EXPECT_GT(equalBeyondAscii, 20u) << "and such names beyond ASCII";

    // Folding clears the case bit of every character, so some different
    // names share a key; the kernel's comparison still tells them apart.
    EXPECT_EQ(Key(u"[svc].exe"), Key(u"{svc}.exe"));
    EXPECT_FALSE(KernelEqual(u"[svc].exe", u"{svc}.exe"));
}

// The whole check gives the answer of the kernel's comparison of every
// running name with every watched one: bare names whatever their case, the
// watched process the last entry of the snapshot, and no match for a name
// that only ends or begins like a watched one. Each snapshot is freed again.
TEST_F(ProcessCheckTest, CheckAnswersAsTheKernelsComparisonWould) {
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
