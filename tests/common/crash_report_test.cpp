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

TEST(CrashDumpPath, ExtensionBecomesDmpWithinTheRoom)
{
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\x\\worker.tar.exe", L"C:\\x\\worker.tar.dmp"},
        // The last '.' lies in a directory name: the path is cut there all the same.
        {L"C:\\x.y\\worker", L"C:\\x.dmp"},
        {L"\\\\server\\share\\w.exe", L"\\\\server\\share\\w.dmp"},
        // The longest path that Windows gives in 260 units: 259 and the null.
        {L"C:\\" + std::wstring(252, L'a') + L".exe", L"C:\\" + std::wstring(252, L'a') + L".dmp"},
        // Without an extension there is no room for all of ".dmp".
        {L"C:\\" + std::wstring(254, L'b'), L"C:\\" + std::wstring(254, L'b') + L".d"},
    };
    for (const auto& [executable, dump] : cases)
        EXPECT_EQ(dumpPath(executable), dump) << executable.size() << " units";
    EXPECT_EQ(dumpPath(L"C:\\x\\worker.exe", 8), L"C:\\x\\wo");
}

TEST(CrashReport, PathAndSignedErrorReplacedWithinTheRoom)
{
    EXPECT_EQ(report(kDumpNotCreatedReport, L"C:\\x\\worker.dmp", 5),
              L"Failed to create dump file 'C:\\x\\worker.dmp' (error 5)");
    // An HRESULT such as MiniDumpWriteDump leaves: 0x8007000E.
    EXPECT_EQ(report(kDumpNotSavedReport, L"p", static_cast<int>(0x8007000Eu)),
              L"Failed to save dump file to 'p' (error -2147024882)");
    EXPECT_EQ(report(L"%d", L"", INT_MIN), L"-2147483648");
    EXPECT_EQ(report(L"%s|%d|%x|%%|%", L"p", 7), L"p|7|%x|%%|%");
    // The longest dump path still leaves the longest report whole.
    const std::wstring longest(259, L'z');
    EXPECT_NE(report(kDumpSavedReport, longest, 0).find(L"'" + longest + L"' along with your error report"),
              std::wstring::npos);
    EXPECT_EQ(report(kDumpNotCreatedReport, L"C:\\x\\worker.dmp", 5, 12), L"Failed to c");
    EXPECT_EQ(report(L"abc %d", L"", -123456, 7), L"abc -1");
    EXPECT_EQ(report(L"abc", L"", 0, 0), L"");
}

} // namespace
