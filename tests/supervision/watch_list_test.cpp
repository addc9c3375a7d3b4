// Command 4: building the watch list from the caller's memory.
#include "supervision/watch_list.h"
#include "tests/supervision/service.h"

#include <cstring>
#include <string>

namespace {

using Names = std::vector<std::u16string>;

class WatchListTest : public ServiceTest {
  protected:
    // A fresh device, so that command 4 can succeed again.
    void Renew() {
        DeleteDevice();
        CreateDevice();
    }
};

TEST_F(WatchListTest, LengthAndTimeoutLimits) {
    uint32_t bytes = 0;
    uint64_t names = PutNames(std::u16string(600, u'a'), &bytes);
    for (uint32_t length : {0u, 1025u}) {
        EXPECT_EQ(Send(Record(4, 60, 60, length, names)).returned, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Send(Record(4, 59, 60, 4, names)).returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(Record(4, 60, 59, 4, names)).returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send({4, 60}).returned, STATUS_INVALID_PARAMETER) << "short form has no list";
    EXPECT_EQ(Context()->WatchListText, nullptr);
    EXPECT_EQ(Context()->ShutdownTimeout, 60u);

    EXPECT_EQ(Send(Record(4, 60, 255, 1024, names)).returned, STATUS_SUCCESS);
    EXPECT_EQ(WatchedNames(), Names{std::u16string(512, u'a')});
    EXPECT_EQ(Context()->RunTimeout, 60u);
    EXPECT_EQ(Context()->ShutdownTimeout, 255u);
    Renew();
    EXPECT_EQ(Send(Record(4, 255, 60, 1, PutNames(u"x", &bytes))).returned, STATUS_SUCCESS);
    EXPECT_EQ(Context()->RunTimeout, 255u);
}

// Names split at commas, in order. An empty field makes no entry: an empty
// name would match the idle process and so keep the watchdog fed forever.
// The text ends at its first zero, or inside the copy at an odd length (the
// last byte a character with high byte 0). A list is set only once.
TEST_F(WatchListTest, NamesFromTheTextAndAListSetOnlyOnce) {
    struct Row {
        std::u16string Text;
        uint32_t Length; // bytes given to command 4; 0: the whole text
        Names Watched;
    };
    for (const Row& row :
         {Row{u"VKTService.exe,VKTAgent.exe", 0, {u"VKTService.exe", u"VKTAgent.exe"}},
          Row{u"one name.exe,", 0, {u"one name.exe"}},
          Row{u",a.exe,,b.exe,,", 0, {u"a.exe", u"b.exe"}},
          Row{std::u16string(u"a.exe\0b.exe", 11), 0, {u"a.exe"}}, Row{u"ab\u4163", 5, {u"abc"}}}) {
        Renew();
        uint32_t bytes = 0;
        uint64_t names = PutNames(row.Text, &bytes);
        EXPECT_EQ(Send(Record(4, 60, 60, row.Length != 0 ? row.Length : bytes, names)).returned,
                  STATUS_SUCCESS);
        EXPECT_EQ(WatchedNames(), row.Watched);
        EXPECT_EQ(Context()->WatchEnabled, 1);
    }
    EXPECT_EQ(SetList(u"c.exe", 200, 200), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WatchedNames(), Names{u"abc"});
    EXPECT_EQ(Context()->RunTimeout, 60u);
}

// A text without a single name would leave a list "in force" that never
// arms the watchdog and blocks every later list: it is refused, nothing of
// it is kept, and a later list with names is accepted.
TEST_F(WatchListTest, TextWithoutANameIsRefusedAndKeepsNothing) {
    for (const std::u16string& text :
         {std::u16string(u","), std::u16string(u",,,"), std::u16string(u"\0a.exe", 6)}) {
        EXPECT_EQ(SetList(text, 90, 120), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(WatchedNames().empty());
        EXPECT_EQ(Context()->WatchListText, nullptr);
        EXPECT_EQ(Context()->WatchEnabled, 0);
        EXPECT_EQ(Context()->RunTimeout, 0u);
        EXPECT_EQ(Context()->ShutdownTimeout, 60u);
        EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 0u);
    }
    EXPECT_EQ(SetList(u"b.exe", 90, 120), STATUS_SUCCESS);
    EXPECT_EQ(WatchedNames(), Names{u"b.exe"});
    EXPECT_EQ(Context()->WatchEnabled, 1);
    EXPECT_EQ(Context()->RunTimeout, 90u);
    EXPECT_EQ(Context()->ShutdownTimeout, 120u);
}

TEST_F(WatchListTest, BadCallerMemoryFailsAndChangesNothing) {
    EXPECT_EQ(Send(Record(4, 60, 60, 8, 0xFFFF800000001000ULL)).returned, STATUS_ACCESS_VIOLATION);
    // Pool lies above MmUserProbeAddress, so the probe refuses it.
    void* pool = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'TseT');
    std::memcpy(pool, u"pool.exe", 16);
    EXPECT_EQ(Send(Record(4, 60, 60, 16, reinterpret_cast<uint64_t>(pool))).returned,
              STATUS_ACCESS_VIOLATION);
    ExFreePoolWithTag(pool, 'TseT');
    // Below the limit, memory the caller never mapped faults in the copy,
    // even where the host keeps an object of its own.
    std::u16string host = u"host.exe, a host object";
    for (uint64_t unmapped : {uint64_t{0x10000}, reinterpret_cast<uint64_t>(host.data())}) {
        EXPECT_EQ(Send(Record(4, 60, 60, 16, unmapped)).returned, STATUS_ACCESS_VIOLATION);
    }
    // A range that starts on a mapped page and runs into the unmapped one after it.
    uint64_t page = hk::AllocateUserMemory(service_, hk::kUserPageSize);
    uint64_t tail = page + hk::kUserPageSize - 6;
    hk::WriteUserMemory(service_, tail, u"abc", 6);
    EXPECT_EQ(Send(Record(4, 60, 60, 20, tail)).returned, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Context()->WatchListText, nullptr);
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 0u);
    EXPECT_EQ(Context()->RunTimeout, 0u);
    EXPECT_EQ(SetList(u"after.exe"), STATUS_SUCCESS) << "a failed command 4 leaves room for one";
}

TEST_F(WatchListTest, PoolShortageForTextAndForEntries) {
    hk::FailAllocationsWithTag(VKT_POOL_TAG, 1);
    EXPECT_EQ(SetList(u"a.exe"), static_cast<NTSTATUS>(0xC0000058L));
    EXPECT_EQ(Context()->WatchListText, nullptr);
    EXPECT_EQ(Context()->RunTimeout, 0u);
    // The text, the kernel's case pairs and the first entry get pool; the
    // second entry does not.
    hk::FailNthAllocation(4);
    EXPECT_EQ(SetList(u"a.exe,b.exe,c.exe"), STATUS_SUCCESS);
    EXPECT_EQ(WatchedNames(), Names{u"a.exe"});
    EXPECT_EQ(Context()->WatchEnabled, 1);
    // Without pool for even the first entry nothing is kept, as without
    // pool for the text.
    Renew();
    hk::FailNthAllocation(3);
    EXPECT_EQ(SetList(u"a.exe,b.exe"), static_cast<NTSTATUS>(0xC0000058L));
    EXPECT_EQ(Context()->WatchListText, nullptr);
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 0u);
    EXPECT_EQ(SetList(u"a.exe,b.exe"), STATUS_SUCCESS);
    EXPECT_EQ(WatchedNames(), (Names{u"a.exe", u"b.exe"}));
}

} // namespace
