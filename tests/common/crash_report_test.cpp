// The dump path and the report texts of a crash, built into fixed buffers.
#include "common/crash_report.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

std::wstring dumpPath(const std::wstring& executable, std::size_t room = kDumpPathRoom)
{
    std::vector<wchar_t> out(room + 1, L'#'); // one more unit, never to be touched
    dumpPathOf(executable.c_str(), out.data(), room);
    EXPECT_EQ(out[room], L'#') << "wrote beyond the room";
    return room == 0 ? std::wstring() : std::wstring(out.data());
}

std::wstring report(const wchar_t* pattern, const std::wstring& path, int error, std::size_t room = kCrashReportRoom)
{
    std::vector<wchar_t> out(room + 1, L'#');
    formatCrashReport(pattern, path.c_str(), error, out.data(), room);
    EXPECT_EQ(out[room], L'#') << "wrote beyond the room";
    return room == 0 ? std::wstring() : std::wstring(out.data());
}

TEST(CrashDumpPath, ExtensionBecomesDmp)
{
    struct Case {
        std::wstring executable;
        std::wstring dump;
    };
    const Case cases[] = {
        {L"C:\\x\\worker.exe", L"C:\\x\\worker.dmp"},
        {L"C:\\x\\worker.tar.exe", L"C:\\x\\worker.tar.dmp"},
        {L"C:\\x\\worker", L"C:\\x\\worker.dmp"},
        // The last '.' lies in a directory name: the path is cut there all the same.
        {L"C:\\x.y\\worker", L"C:\\x.dmp"},
        {L"C:\\x\\worker.", L"C:\\x\\worker.dmp"},
        {L"\\\\server\\share\\w.exe", L"\\\\server\\share\\w.dmp"},
        {L"", L".dmp"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dumpPath(c.executable), c.dump)
            << "executable " << std::string(c.executable.begin(), c.executable.end());
}

TEST(CrashDumpPath, CutToTheRoom)
{
    // The longest path that Windows gives in 260 units: 259 and the null.
    const std::wstring longest = L"C:\\" + std::wstring(252, L'a') + L".exe";
    ASSERT_EQ(longest.size(), 259u);
    EXPECT_EQ(dumpPath(longest), L"C:\\" + std::wstring(252, L'a') + L".dmp");

    // Without an extension there is no room for all of ".dmp".
    const std::wstring bare = L"C:\\" + std::wstring(254, L'b');
    EXPECT_EQ(dumpPath(bare), bare + L".d");

    EXPECT_EQ(dumpPath(L"C:\\x\\worker.exe", 8), L"C:\\x\\wo");
    EXPECT_EQ(dumpPath(L"C:\\x\\worker.exe", 1), L"");
    EXPECT_EQ(dumpPath(L"C:\\x\\worker.exe", 0), L"");
}

TEST(CrashReport, TextsNameTheDumpAndTheError)
{
    const std::wstring path = L"C:\\x\\worker.dmp";
    EXPECT_EQ(report(kDumpSavedReport, path, 0),
              L"An application error has been detected. Please report this error and submit the dump file in "
              L"'C:\\x\\worker.dmp' along with your error report");
    EXPECT_EQ(report(kDumpNotCreatedReport, path, 5), L"Failed to create dump file 'C:\\x\\worker.dmp' (error 5)");
    EXPECT_EQ(report(kDumpNotSavedReport, path, 112), L"Failed to save dump file to 'C:\\x\\worker.dmp' (error 112)");
    EXPECT_EQ(report(kNoDbgHelpReport, path, 126), L"dbghelp.dll not found");
    EXPECT_EQ(report(kOldDbgHelpReport, path, 127), L"dbghelp.dll too old");
}

TEST(CrashReport, ErrorCodesAreSignedDecimal)
{
    struct Case {
        int error;
        std::wstring text;
    };
    const Case cases[] = {
        {0, L"0"},
        {10, L"10"},
        {-1, L"-1"},
        // An HRESULT such as MiniDumpWriteDump leaves: 0x8007000E.
        {static_cast<int>(0x8007000Eu), L"-2147024882"},
        {INT_MAX, L"2147483647"},
        {INT_MIN, L"-2147483648"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(report(L"(error %d)", L"", c.error), L"(error " + c.text + L")") << c.error;
}

TEST(CrashReport, OnlyPathAndErrorAreReplaced)
{
    EXPECT_EQ(report(L"%s|%d|%s|%x|%%|%", L"p", 7), L"p|7|p|%x|%%|%");
    EXPECT_EQ(report(L"no fields", L"p", 7), L"no fields");
    EXPECT_EQ(report(L"", L"p", 7), L"");
}

TEST(CrashReport, CutToTheRoom)
{
    // The longest dump path still leaves the longest report whole.
    const std::wstring longest(259, L'z');
    const std::wstring whole = report(kDumpSavedReport, longest, 0);
    EXPECT_LT(whole.size(), kCrashReportRoom);
    EXPECT_NE(whole.find(L"'" + longest + L"' along with your error report"), std::wstring::npos);

    EXPECT_EQ(report(kDumpNotCreatedReport, L"C:\\x\\worker.dmp", 5, 12), L"Failed to c");
    EXPECT_EQ(report(L"abc %d", L"", -123456, 7), L"abc -1");
    EXPECT_EQ(report(L"%s!", L"path", 0, 3), L"pa");
    EXPECT_EQ(report(L"abc", L"", 0, 1), L"");
    EXPECT_EQ(report(L"abc", L"", 0, 0), L"");
}

} // namespace
