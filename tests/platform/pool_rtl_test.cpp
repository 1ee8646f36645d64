// Pool accounting and fault injection, the kernel printf, counted strings and DbgPrint.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ntstrsafe.h"
#include "platform_test.h"
#include "wdm.h"

namespace {

using qvtest::PlatformTest;

class PoolTest : public PlatformTest {};
class RtlTest : public PlatformTest {};

constexpr ULONG kTag = 0x74736554;    // "Test"
constexpr ULONG kOther = 0x7268744f;  // "Othr"

// The LP64 traps: the Windows widths, whatever the host's long and wchar_t are.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(WCHAR) == 2 && sizeof(USHORT) == 2);
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(ULONG_PTR) == sizeof(void *));
static_assert(CTL_CODE(0x1B, 10000, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x001B9C40);
static_assert(NT_SUCCESS(STATUS_TIMEOUT) && !NT_SUCCESS(STATUS_CANCELLED) && NT_SUCCESS(STATUS_SERIAL_MORE_WRITES));

TEST(BaseTypes, ContainingRecordAndLists)
{
    struct Item {
        ULONG Value;
        LIST_ENTRY Link;
    } items[3] = {{1, {}}, {2, {}}, {3, {}}};
    LIST_ENTRY head;
    InitializeListHead(&head);
    for (Item &item : items) InsertTailList(&head, &item.Link);
    ULONG sum = 0;
    for (PLIST_ENTRY e = head.Flink; e != &head; e = e->Flink) sum = sum * 10 + CONTAINING_RECORD(e, Item, Link)->Value;
    EXPECT_EQ(sum, 123u);
    // A self-linked entry can be removed again harmlessly.
    RemoveEntryList(&items[1].Link);
    InitializeListHead(&items[1].Link);
    RemoveEntryList(&items[1].Link);
    EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Item, Link)->Value, 3u);
    EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Item, Link)->Value, 1u);
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST_F(PoolTest, FaultInjectionFailsTheChosenAllocation)
{
    qv::FailAllocation(2);
    void *first = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    void *second = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    void *third = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);

    qv::FailAllocationsWithTag(kOther, true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kOther), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kOther), nullptr);
    void *untouched = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(untouched, nullptr);
    qv::FailAllocationsWithTag(kOther, false);
    void *again = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_NE(again, nullptr);

    EXPECT_EQ(qv::QueryPoolUsageByTag(kTag).Blocks, 3u);
    EXPECT_EQ(qv::QueryPoolUsageByTag(kTag).Bytes, 40u);
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(third, kTag);
    ExFreePool(untouched);
    ExFreePoolWithTag(again, kOther);
    EXPECT_EQ(qv::QueryPoolUsage().Blocks, 0u);
}

// The pool's records of live blocks through growth and many frees in no order: every block
// stays known until freed, and only then is a second free caught.
TEST_F(PoolTest, BlocksFreedInAnyOrderStayAccounted)
{
    std::vector<void *> blocks;
    SIZE_T bytes = 0;
    for (ULONG i = 0; i < 3000; ++i) {
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 1 + i % 61, kTag));
        bytes += 1 + i % 61;
    }
    // Every other one, then every third of the rest, from the far end: holes all over.
    for (size_t i = 0; i < blocks.size(); i += 2) {
        bytes -= 1 + i % 61;
        ExFreePoolWithTag(blocks[i], kTag);
    }
    for (size_t i = blocks.size() - 1; i < blocks.size(); i -= 6) {
        bytes -= 1 + i % 61;
        ExFreePoolWithTag(blocks[i], kTag);
    }
    EXPECT_EQ(qv::QueryPoolUsageByTag(kTag).Blocks, 1000u);
    EXPECT_EQ(qv::QueryPoolUsageByTag(kTag).Bytes, bytes);
    void *freed = blocks[0];
    std::vector<void *> others;
    for (int i = 0; i < 2000; ++i) others.push_back(ExAllocatePoolWithTag(PagedPool, 8, kOther));
    EXPECT_EQ(qv::QueryPoolUsageByTag(kOther).Blocks, 2000u);
    {
        qv::ExpectedVerifierFindings expected;  // on purpose: a block freed twice
        if (std::find(others.begin(), others.end(), freed) == others.end()) {
            ExFreePoolWithTag(freed, kTag);
            ExpectFinding("double free");
        }
    }
    for (size_t i = 1; i < blocks.size(); i += 2)
        if (i % 6 != (blocks.size() - 1) % 6) ExFreePoolWithTag(blocks[i], kTag);
    for (void *p : others) ExFreePoolWithTag(p, kOther);
    EXPECT_EQ(qv::QueryPoolUsage().Blocks, 0u);
    EXPECT_EQ(qv::QueryPoolUsage().Bytes, 0u);
}

// Quota allocations charge the calling program's non-paged quota until freed, whoever frees
// them; past the limit the FAIL_INSTEAD_OF_RAISE variant returns NULL and the plain one raises,
// which driver code cannot survive.
TEST_F(PoolTest, QuotaAllocationsAreChargedToTheCallingProgram)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: overspends the quota without the fail flag
    qv::ProgramContext *program = qv::CreateProgram("quota test");
    qv::SetProgramNonPagedQuota(program, 4096);
    const POOL_TYPE failing = (POOL_TYPE)(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    void *first = nullptr;
    {
        qv::ProgramScope scope(program);
        first = ExAllocatePoolWithQuotaTag(failing, 4000, kTag);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(qv::ProgramNonPagedQuotaUsage(program), 4000u);
        EXPECT_EQ(ExAllocatePoolWithQuotaTag(failing, 200, kTag), nullptr);
        EXPECT_TRUE(qv::VerifierFindings().empty());
        EXPECT_THROW(ExAllocatePoolWithQuotaTag(NonPagedPool, 200, kTag), NtStatusException);
        ExpectFinding("violation: ExAllocatePoolWithQuotaTag: 200 bytes");
    }
    // The system process has no quota; freeing from there returns the program's charge.
    void *system = ExAllocatePoolWithQuotaTag(failing, 1 << 20, kTag);
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(qv::ProgramNonPagedQuotaUsage(program), 4000u);
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(system, kTag);
    EXPECT_EQ(qv::ProgramNonPagedQuotaUsage(program), 0u);
    qv::ProgramScope scope(program);
    void *again = ExAllocatePoolWithQuotaTag(failing, 4096, kTag);
    EXPECT_NE(again, nullptr);
    ExFreePoolWithTag(again, kTag);
}

TEST_F(PoolTest, LeakedPoolIsReportedWithItsTag)
{
    ExAllocatePoolWithTag(PagedPool, 100, kTag);
    qv::PlatformReport report = Shutdown();
    ASSERT_EQ(report.Leaks.size(), 1u) << report.Text();
    EXPECT_NE(report.Leaks[0].find("100 bytes, tag 'Test' PagedPool"), std::string::npos) << report.Leaks[0];
}

TEST_F(PoolTest, FreeingPoolThatHoldsAnArmedTimerIsCaught)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: frees a block with an armed timer in it
    auto *timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTag));
    KeInitializeTimer(timer);
    LARGE_INTEGER due = qvtest::Due(qvtest::RelativeMs(3600 * 1000));
    KeSetTimer(timer, due, nullptr);
    ExFreePoolWithTag(timer, kTag);
    ExpectFinding("freed while it holds an armed timer");
}

std::string Format(const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return n < 0 ? std::string("<overflow>") : std::string(buffer, n);
}

TEST_F(RtlTest, FormatterUsesWindowsArgumentSizes)
{
    // %ld/%lu/%lx take 32-bit LONG/ULONG; %I64 takes 64 bits; the arguments after them stay aligned.
    EXPECT_EQ(Format("%ld %lu %lx|%d", (LONG)-5, (ULONG)0xFFFFFFFF, (ULONG)0xBEEF, 7), "-5 4294967295 beef|7");
    EXPECT_EQ(Format("%I64d %I64x %I64u|%u", (LONGLONG)-1234567890123LL, (ULONGLONG)0x1122334455667788ULL,
                     (ULONGLONG)18446744073709551615ULL, 9u),
              "-1234567890123 1122334455667788 18446744073709551615|9");
    EXPECT_EQ(Format("%02X %02x %4d|%-4d|%+d %05d %.3d", 0xA, 0xff, 42, 42, 3, -42, 7), "0A ff   42|42  |+3 -0042 007");
    EXPECT_EQ(Format("%#x %#o %x %c%c %%", 0x1f, 8, 0, 'o', 'k'), "0x1f 010 0 ok %");
    EXPECT_EQ(Format("%hd %hu %hhx", (int)0x12345, (int)0xFFFF, 0x1FF), "9029 65535 ff");
    EXPECT_EQ(Format("%*d|%-*d|%.*s", 5, 1, 3, 2, 2, "abc"), "    1|2  |ab");
}

TEST_F(RtlTest, FormatterPrintsStringsPointersAndCountedStrings)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\QuorvelDevice0");
    EXPECT_EQ(Format("[%wZ]", &name), "[\\Device\\QuorvelDevice0]");
    // A counted string is printed by its length, not up to a terminator.
    name.Length = 7 * sizeof(WCHAR);
    EXPECT_EQ(Format("[%wZ]", &name), "[\\Device]");
    EXPECT_EQ(Format("%ws|%S|%ls|%hs|%s", u"wide", u"Wide", u"ls", "narrow", "plain"), "wide|Wide|ls|narrow|plain");
    EXPECT_EQ(Format("%ws", u"\u041f\u043e\u0440\u0442"), "\xd0\x9f\xd0\xbe\xd1\x80\xd1\x82");
    EXPECT_EQ(Format("%s|%ws|%wZ", (char *)nullptr, (WCHAR *)nullptr, (UNICODE_STRING *)nullptr),
              "(null)|(null)|(null)");
    EXPECT_EQ(Format("%-6s|%6s|%.2ws", "ab", "cd", u"xyz"), "ab    |    cd|xy");
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "ansi");
    EXPECT_EQ(Format("%Z", &ansi), "ansi");
    EXPECT_EQ(Format("%p", (void *)0x1234abcd), "000000001234ABCD");
}

TEST_F(RtlTest, BoundedFormattersTruncate)
{
    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 4, "%s", "abcdef"), -1);
    EXPECT_EQ(std::string(buffer, 5), "abcdx") << "no terminator when the output does not fit";
    EXPECT_EQ(_snprintf(nullptr, 0, "%d", 12345), 5) << "a size probe";
    EXPECT_EQ(_snprintf(buffer, 4, "%d", 1234), 4);
    EXPECT_EQ(_snprintf(buffer, 8, "%d", 12), 2);
    EXPECT_STREQ(buffer, "12");

    char safe[8];
    EXPECT_EQ(RtlStringCbPrintfA(safe, sizeof(safe), "%s-%d", "quorvel", 5), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(safe, "quorvel");
    EXPECT_EQ(RtlStringCbPrintfA(safe, sizeof(safe), "%lu", (ULONG)1234567), STATUS_SUCCESS);
    EXPECT_STREQ(safe, "1234567");
    EXPECT_EQ(RtlStringCbPrintfA(safe, 0, "x"), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlTest, DbgPrintIsCapturedLineByLine)
{
    qv::ClearDbgPrint();
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\??\\COM5");
    DbgPrint("ConnectThread - start\n");
    DbgPrint("link %wZ, ", &link);
    DbgPrint("DataSize = %u\n", 8u);
    DbgPrint("partial");
    std::vector<std::string> lines = qv::DbgPrintLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ConnectThread - start");
    EXPECT_EQ(lines[1], "link \\??\\COM5, DataSize = 8");
    EXPECT_EQ(lines[2], "partial");
    EXPECT_TRUE(qv::WaitForDbgPrint("DataSize = 8", 0));
    EXPECT_FALSE(qv::WaitForDbgPrint("never printed", 0));
}

TEST_F(RtlTest, AssertPrintsTheConditionAndCarriesOn)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: a failing assertion
    qv::ClearDbgPrint();
    int after = 0;
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    after = 1;
    EXPECT_EQ(after, 1);
    EXPECT_TRUE(qv::WaitForDbgPrint("Assertion failed: KeGetCurrentIrql() == DISPATCH_LEVEL", 0));
    ExpectFinding("RtlAssert: assertion failed: KeGetCurrentIrql() == DISPATCH_LEVEL");
}

TEST_F(RtlTest, UnicodeStringsRespectTheirCapacity)
{
    WCHAR storage[12];
    UNICODE_STRING name{0, sizeof(storage), storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&name, u"\\??\\"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&name, u"COM15"), STATUS_SUCCESS);
    EXPECT_EQ(name.Length, 9 * sizeof(WCHAR));
    EXPECT_EQ(RtlAppendUnicodeToString(&name, u"9999"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(name.Length, 9 * sizeof(WCHAR)) << "a failed append leaves the string alone";
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"abc");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&name, &tail), STATUS_SUCCESS);
    EXPECT_EQ(name.Length, sizeof(storage));
    EXPECT_EQ(RtlAppendUnicodeStringToString(&name, &tail), STATUS_BUFFER_TOO_SMALL);

    WCHAR small[4];
    UNICODE_STRING copy{0, sizeof(small), small};
    RtlCopyUnicodeString(&copy, &name);
    EXPECT_EQ(copy.Length, sizeof(small)) << "copies what fits";
    EXPECT_EQ(memcmp(small, u"\\??\\", sizeof(small)), 0);

    WCHAR digits[4];
    UNICODE_STRING number{0, sizeof(digits), digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &number), STATUS_SUCCESS);
    EXPECT_EQ(number.Length, 3 * sizeof(WCHAR));
    EXPECT_EQ(memcmp(digits, u"123", 4 * sizeof(WCHAR)), 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &number), STATUS_BUFFER_OVERFLOW) << "no room for the terminator";
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &number), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(digits, u"FF", 3 * sizeof(WCHAR)), 0);
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&number, 16, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 255u);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"  -0x10z");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, static_cast<ULONG>(-16));
}

TEST_F(RtlTest, UnicodeComparisonFoldsCaseWhenAsked)
{
    UNICODE_STRING a, b, shorter;
    RtlInitUnicodeString(&a, u"\\DosDevices\\\u043a\u043e\u043c1");
    RtlInitUnicodeString(&b, u"\\DOSDEVICES\\\u041a\u041e\u041c1");
    RtlInitUnicodeString(&shorter, u"\\DosDevices");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &shorter, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&shorter, &a, TRUE), 0);

    ANSI_STRING ansi;
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &b, TRUE), STATUS_SUCCESS);
    EXPECT_STREQ(ansi.Buffer, "\\DOSDEVICES\\???1");
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(ansi.Buffer, nullptr);
}

}  // namespace
