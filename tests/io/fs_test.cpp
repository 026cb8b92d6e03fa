#include "io/fs.h"

#include "common/error.h"
#include "common/text.h"
#include "io/temp_dir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <typeinfo>
#include <vector>

#ifdef _WIN32
#include "sys/handle.h"
#include "sys/syscalls.h"
#endif

namespace {

using testing_fs::separator;
using testing_fs::TempDir;

// Runs `action`, which must throw an error::ESystemError of exactly the class `Expected`
// with the full text `text`.
template <class Expected>
void expectSystemError(const std::function<void()>& action, const std::string& text)
{
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const error::ESystemError& e) {
        EXPECT_EQ(typeid(e), typeid(Expected)) << e.fullText();
        EXPECT_EQ(e.fullText(), text);
    }
}

TEST(VersionCategory, MapsVersionAndWordSize)
{
    struct Case {
        unsigned major, minor;
        int bits32, bits64;
    };
    const Case cases[] = {
        {5, 0, 0, 0},               // Windows 2000
        {5, 1, 1, 2},               // XP
        {5, 2, 3, 4},               // Server 2003
        {6, 0, 5, 6},               // Vista
        {6, 1, 7, 8},               // Windows 7
        {6, 2, 7, 8},               // what 8 and later report without a manifest
        {6, 3, 7, 8}, {4, 0, 9, 9}, // NT 4
        {5, 3, 9, 9}, {10, 0, 9, 9}, {7, 1, 9, 9},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(versionCategory(c.major, c.minor, false), c.bits32) << c.major << "." << c.minor;
        EXPECT_EQ(versionCategory(c.major, c.minor, true), c.bits64) << c.major << "." << c.minor << " 64-bit";
    }
}

TEST(LongPath, PrefixesOnlyDriveAbsolutePathsAfterWindows2000)
{
    struct Case {
        std::string path;
        int category;
        std::wstring expected;
    };
    const Case cases[] = {
        {"C:\\data\\x", 7, L"\\\\?\\C:\\data\\x"},
        {"C:\\data\\x", 8, L"\\\\?\\C:\\data\\x"},
        {"C:\\data\\x", 1, L"\\\\?\\C:\\data\\x"},
        {"C:\\data\\x", 9, L"\\\\?\\C:\\data\\x"},
        {"C:\\data\\x", 0, L"C:\\data\\x"},
        {"d:\\", 8, L"\\\\?\\d:\\"},
        {"data\\x", 8, L"data\\x"},
        {"\\\\server\\share\\x", 8, L"\\\\server\\share\\x"},
        {"\\data\\x", 8, L"\\data\\x"},
        {"C:", 8, L"C:"},
        {"C:x", 8, L"C:x"},
        {"C:/data/x", 8, L"C:/data/x"},
        {"", 8, L""},
        {"C:\\caf\xc3\xa9\\\xe2\x82\xac", 8, L"\\\\?\\C:\\caf\u00e9\\\u20ac"},
        {"caf\xc3\xa9", 0, L"caf\u00e9"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(longPathW(c.path, c.category), c.expected) << c.path << " category " << c.category;
}

#ifdef _WIN32

// What the overridden GetVersionExW and GetSystemInfo report.
struct FakeSystem {
    static inline bool versionFails = false;
    static inline DWORD major = 0, minor = 0;
    static inline WORD architecture = 0;
    static inline DWORD recordSize = 0;

    static BOOL WINAPI getVersion(LPOSVERSIONINFOW info)
    {
        recordSize = info->dwOSVersionInfoSize;
        if (versionFails) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        info->dwMajorVersion = major;
        info->dwMinorVersion = minor;
        return TRUE;
    }
    static void WINAPI getSystemInfo(LPSYSTEM_INFO info)
    {
        *info = SYSTEM_INFO{};
        info->wProcessorArchitecture = architecture;
    }
};

class FakedSystem : public ::testing::Test {
protected:
    void set(bool fails, DWORD major, DWORD minor, WORD architecture)
    {
        FakeSystem::versionFails = fails;
        FakeSystem::major = major;
        FakeSystem::minor = minor;
        FakeSystem::architecture = architecture;
        FakeSystem::recordSize = 0;
    }
    sys::Override<decltype(sys::calls.GetVersionExW)> version{sys::calls.GetVersionExW, FakeSystem::getVersion};
    sys::Override<decltype(sys::calls.GetSystemInfo)> info{sys::calls.GetSystemInfo, FakeSystem::getSystemInfo};
};

TEST_F(FakedSystem, CategoryComesFromVersionAndArchitecture)
{
    struct Case {
        bool fails;
        DWORD major, minor;
        WORD architecture;
        int expected;
    };
    const Case cases[] = {
        {false, 5, 0, PROCESSOR_ARCHITECTURE_AMD64, 0},
        {false, 5, 1, PROCESSOR_ARCHITECTURE_INTEL, 1},
        {false, 5, 2, PROCESSOR_ARCHITECTURE_AMD64, 4},
        {false, 6, 1, PROCESSOR_ARCHITECTURE_INTEL, 7},
        {false, 6, 1, PROCESSOR_ARCHITECTURE_AMD64, 8},
        {false, 6, 1, PROCESSOR_ARCHITECTURE_IA64, 7}, // only AMD64 counts as 64-bit
        {false, 10, 0, PROCESSOR_ARCHITECTURE_AMD64, 9},
        {true, 6, 1, PROCESSOR_ARCHITECTURE_AMD64, 9},
    };
    for (const Case& c : cases) {
        set(c.fails, c.major, c.minor, c.architecture);
        EXPECT_EQ(windowsVersionCategory(), c.expected) << c.major << "." << c.minor << " arch " << c.architecture;
        EXPECT_EQ(FakeSystem::recordSize, sizeof(OSVERSIONINFOEXW)) << "the extended record is asked for";
    }
}

TEST_F(FakedSystem, LongPathFollowsTheRunningSystem)
{
    set(false, 5, 0, PROCESSOR_ARCHITECTURE_INTEL);
    EXPECT_EQ(longPathW("C:\\data\\x"), L"C:\\data\\x");
    set(false, 6, 1, PROCESSOR_ARCHITECTURE_AMD64);
    EXPECT_EQ(longPathW("C:\\data\\x"), L"\\\\?\\C:\\data\\x");
    set(true, 0, 0, PROCESSOR_ARCHITECTURE_AMD64);
    EXPECT_EQ(longPathW("C:\\data\\x"), L"\\\\?\\C:\\data\\x");
}

#else

TEST(LongPath, NativeBuildBehavesAsWindows7x64)
{
    EXPECT_EQ(windowsVersionCategory(), 8);
    EXPECT_EQ(longPathW("C:\\data\\x"), L"\\\\?\\C:\\data\\x");
}

#endif

TEST(FileDeletion, RemovesAFileAndIgnoresAMissingOne)
{
    TempDir dir;
    testing_fs::writeFile(dir / "a.txt", "x");
    deleteFile(dir / "a.txt");
    EXPECT_FALSE(testing_fs::exists(dir / "a.txt"));
    EXPECT_NO_THROW(deleteFile(dir / "a.txt"));
    EXPECT_NO_THROW(deleteFile(dir / "never-there"));
}

TEST(FileDeletion, OtherFailuresNameTheFile)
{
    TempDir dir;
    // A missing directory is "path not found", which is a failure unlike "file not found".
    std::string inMissing = dir / ("nodir" + separator + "a.txt");
    expectSystemError<error::EFileNotFoundError>([&] { deleteFile(inMissing); },
                                                 "Attempt to delete file '" + inMissing +
                                                     "' failed.: " + error::systemErrorText(3));
    // A directory is not deleted as a file.
    std::string sub = dir / "sub";
    createDirectory(sub);
    expectSystemError<error::ESystemError>([&] { deleteFile(sub); }, "Attempt to delete file '" + sub +
                                                                         "' failed.: " + error::systemErrorText(5));
    EXPECT_TRUE(testing_fs::exists(sub));
}

TEST(FileExists, OnlyNotFoundMeansAbsent)
{
    TempDir dir;
    testing_fs::writeFile(dir / "file.txt", "x");
    createDirectory(dir / "sub");
    struct Case {
        std::string path;
        bool expected;
    };
    const Case cases[] = {
        {dir / "file.txt", true},
        {dir / "sub", true},
        {dir.path(), true},
        {dir / "missing.txt", false},
        {dir / ("nodir" + separator + "file.txt"), false},
        {dir / ("file.txt" + separator + "below"), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fileExists(c.path), c.expected) << c.path;
}

TEST(RenameFile, ReplacesAnExistingTarget)
{
    TempDir dir;
    testing_fs::writeFile(dir / "new.cfg", "new");
    testing_fs::writeFile(dir / "old.cfg", "old");
    renameFile(dir / "new.cfg", dir / "old.cfg");
    EXPECT_FALSE(testing_fs::exists(dir / "new.cfg"));
    EXPECT_EQ(testing_fs::readFile(dir / "old.cfg"), "new");
}

TEST(RenameFile, FailureNamesBothPathsWithoutClosingQuote)
{
    TempDir dir;
    std::string from = dir / "missing", to = dir / "target";
    testing_fs::writeFile(to, "kept");
    expectSystemError<error::EFileNotFoundError>([&] { renameFile(from, to); }, "Cannot rename file '" + from +
                                                                                    "' into '" + to + ": " +
                                                                                    error::systemErrorText(2));
    EXPECT_EQ(testing_fs::readFile(to), "kept");
}

TEST(DirectoryCreation, ExistingAndMissingParent)
{
    TempDir dir;
    std::string sub = dir / "sub";
    createDirectory(sub);
    EXPECT_TRUE(std::filesystem::is_directory(testing_fs::toPath(sub)));
    expectSystemError<error::EFileExistsError>([&] { createDirectory(sub); }, "Cannot create directory \"" + sub +
                                                                                  "\": " + error::systemErrorText(183));
    std::string deep = dir / ("nodir" + separator + "sub");
    expectSystemError<error::EFileNotFoundError>(
        [&] { createDirectory(deep); }, "Cannot create directory \"" + deep + "\": " + error::systemErrorText(3));
}

TEST(AbsolutePath, ResolvesAgainstTheCurrentDirectory)
{
    std::string cwd = testing_fs::toText(std::filesystem::current_path());
    struct Case {
        std::string path, expected;
    };
    const Case cases[] = {
        {"x.txt", cwd + separator + "x.txt"},
        {"sub" + separator + "x.txt", cwd + separator + "sub" + separator + "x.txt"},
        {"a" + separator + ".." + separator + "b", cwd + separator + "b"},
        {"a" + separator + ".", cwd + separator + "a"},
        {"a" + separator, cwd + separator + "a" + separator},
    };
    for (const Case& c : cases)
        EXPECT_EQ(absolutePath(c.path), c.expected) << c.path;
}

TEST(AbsolutePath, EmptyPathFails)
{
    try {
        absolutePath("");
        ADD_FAILURE() << "no exception";
    } catch (const error::ESystemError& e) {
        EXPECT_EQ(e.fullText().rfind("failed to obtain absolute pathname for ''.: ", 0), 0u) << e.fullText();
    }
}

class RealPathName : public ::testing::Test {
protected:
    void SetUp() override
    {
        createDirectory(dir / "Mixed");
        testing_fs::writeFile(dir / ("Mixed" + separator + "File.TXT"), "x");
        // The temporary directory's own spelling on disk, which the results start with.
        base = real_path_name(dir.path());
    }
    TempDir dir;
    std::string base;
};

TEST_F(RealPathName, GivesTheSpellingOnDisk)
{
    ASSERT_EQ(toUpper(base), toUpper(dir.path()));
    std::string asCreated = dir / ("Mixed" + separator + "File.TXT");
    std::string lowered;
    for (char c : asCreated)
        lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string expected = base + separator + "Mixed" + separator + "File.TXT";
    for (const std::string& spelling : {asCreated, lowered, toUpper(asCreated)})
        EXPECT_EQ(real_path_name(spelling), expected) << spelling;
    // Doubled and trailing separators are empty components and drop out.
    EXPECT_EQ(real_path_name(dir.path() + separator + separator + "mixed" + separator), base + separator + "Mixed");
}

#ifdef _WIN32
TEST_F(RealPathName, DriveLetterInUpperCase)
{
    ASSERT_GT(base.size(), 2u);
    EXPECT_EQ(base[1], ':');
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(base[0]))) << base;
    std::string lowerDrive = dir.path();
    lowerDrive[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(lowerDrive[0])));
    EXPECT_EQ(real_path_name(lowerDrive), base);
}
#endif

TEST_F(RealPathName, ShortInputIsNotAbsolute)
{
    for (std::string path : {"", "C:", "x"})
        expectSystemError<error::ESystemError>([&] { real_path_name(path); },
                                               "'" + path + "' is not an absolute path.");
}

TEST_F(RealPathName, MissingComponentNamesTheWholePath)
{
    for (std::string path : {dir / ("mixed" + separator + "nothing.txt"), dir / ("nodir" + separator + "File.TXT")})
        expectSystemError<error::EFileNotFoundError>([&] { real_path_name(path); },
                                                     "Couldn't get real_path_name from: '" + path +
                                                         "': " + error::systemErrorText(2));
}

#ifdef _WIN32

// Failures that Wine does not give on its own, through the system-call table.

TEST(InjectedFailure, DeleteFileReportsTheSystemText)
{
    for (DWORD code : {DWORD(ERROR_SHARING_VIOLATION), DWORD(ERROR_ACCESS_DENIED)}) {
        static DWORD injected;
        injected = code;
        sys::Override guard(
            sys::calls.DeleteFileW, +[](LPCWSTR) -> BOOL {
                SetLastError(injected);
                return FALSE;
            });
        expectSystemError<error::ESystemError>([] { deleteFile("C:\\data\\x"); },
                                               "Attempt to delete file 'C:\\data\\x' failed.: " +
                                                   error::systemErrorText(code));
    }
}

TEST(FileDeletion, FileHeldOpenByAnotherHandle)
{
    TempDir dir;
    std::string path = dir / "held.txt";
    testing_fs::writeFile(path, "x");
    // Held without FILE_SHARE_DELETE, as another program would hold it.
    sys::UniqueHandle held(sys::calls.CreateFileW(toWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    expectSystemError<error::ESystemError>([&] { deleteFile(path); },
                                           "Attempt to delete file '" + path +
                                               "' failed.: " + error::systemErrorText(ERROR_SHARING_VIOLATION));
    held.reset();
    EXPECT_TRUE(testing_fs::exists(path));
}

TEST(InjectedFailure, FileExistsUnlessNotFound)
{
    struct Case {
        DWORD code;
        bool expected;
    };
    for (Case c : {Case{ERROR_FILE_NOT_FOUND, false}, Case{ERROR_PATH_NOT_FOUND, false},
                   Case{ERROR_ACCESS_DENIED, true}, Case{ERROR_SHARING_VIOLATION, true}}) {
        static DWORD injected;
        injected = c.code;
        sys::Override guard(
            sys::calls.GetFileAttributesW, +[](LPCWSTR) -> DWORD {
                SetLastError(injected);
                return INVALID_FILE_ATTRIBUTES;
            });
        EXPECT_EQ(fileExists("C:\\data\\x"), c.expected) << c.code;
    }
}

TEST(InjectedFailure, CreateDirectoryAccessDenied)
{
    sys::Override guard(
        sys::calls.CreateDirectoryW, +[](LPCWSTR, LPSECURITY_ATTRIBUTES) -> BOOL {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
    expectSystemError<error::ESystemError>([] { createDirectory("C:\\data"); },
                                           "Cannot create directory \"C:\\data\": " +
                                               error::systemErrorText(ERROR_ACCESS_DENIED));
}

TEST(InjectedFailure, AbsolutePathFailures)
{
    {
        sys::Override guard(
            sys::calls.GetFullPathNameW, +[](LPCWSTR, DWORD, LPWSTR, LPWSTR*) -> DWORD {
                SetLastError(ERROR_INVALID_NAME);
                return 0;
            });
        expectSystemError<error::ESystemError>([] { absolutePath("x"); },
                                               "failed to obtain absolute pathname for 'x'.: " +
                                                   error::systemErrorText(ERROR_INVALID_NAME));
    }
    {
        // A result that does not fit: the call returns the size it would need.
        sys::Override guard(
            sys::calls.GetFullPathNameW, +[](LPCWSTR, DWORD size, LPWSTR, LPWSTR*) -> DWORD { return size + 40; });
        expectSystemError<error::ESystemError>([] { absolutePath("x"); },
                                               "failed to obtain absolute pathname for 'x'.: " +
                                                   error::systemErrorText(ERROR_FILENAME_EXCED_RANGE));
    }
}

// Records the paths and flags that the helpers hand to Windows, failing each call.
struct Recorder {
    static inline std::vector<std::wstring> paths;
    static inline DWORD flags = 0;
    static BOOL fail()
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
};

TEST(SystemCalls, PathsGoInLongFormAndMoveReplacesAndCopies)
{
    sys::Override del(
        sys::calls.DeleteFileW, +[](LPCWSTR p) -> BOOL {
            Recorder::paths.push_back(p);
            return Recorder::fail();
        });
    sys::Override attributes(
        sys::calls.GetFileAttributesW, +[](LPCWSTR p) -> DWORD {
            Recorder::paths.push_back(p);
            return INVALID_FILE_ATTRIBUTES;
        });
    sys::Override move(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            Recorder::paths.push_back(from);
            Recorder::paths.push_back(to);
            Recorder::flags = flags;
            return Recorder::fail();
        });
    sys::Override mkdir(
        sys::calls.CreateDirectoryW, +[](LPCWSTR p, LPSECURITY_ATTRIBUTES security) -> BOOL {
            Recorder::paths.push_back(security == nullptr ? p : L"security attributes given");
            return Recorder::fail();
        });
    sys::Override full(
        sys::calls.GetFullPathNameW, +[](LPCWSTR p, DWORD, LPWSTR, LPWSTR*) -> DWORD {
            Recorder::paths.push_back(p);
            return Recorder::fail();
        });
    sys::Override find(
        sys::calls.FindFirstFileW, +[](LPCWSTR p, LPWIN32_FIND_DATAW) -> HANDLE {
            Recorder::paths.push_back(p);
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        });

    struct Case {
        const char* name;
        std::function<void()> call;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {"deleteFile", [] { deleteFile("C:\\a"); }, {L"\\\\?\\C:\\a"}},
        {"fileExists", [] { fileExists("C:\\a"); }, {L"\\\\?\\C:\\a"}},
        {"renameFile", [] { renameFile("C:\\a", "D:\\b"); }, {L"\\\\?\\C:\\a", L"\\\\?\\D:\\b"}},
        {"createDirectory", [] { createDirectory("C:\\a"); }, {L"\\\\?\\C:\\a"}},
        {"absolutePath", [] { absolutePath("C:\\a"); }, {L"\\\\?\\C:\\a"}},
        {"real_path_name", [] { real_path_name("c:\\a\\b"); }, {L"\\\\?\\C:\\a"}},
    };
    for (const Case& c : cases) {
        Recorder::paths.clear();
        try {
            c.call();
        } catch (const error::Exception&) {
        }
        EXPECT_EQ(Recorder::paths, c.expected) << c.name;
    }
    EXPECT_EQ(Recorder::flags, DWORD(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(Recorder::flags, 0xBu);
}

// Counts searches opened and closed, passing the calls on to Windows.
struct SearchCounter {
    static inline decltype(sys::calls.FindFirstFileW) realFind = nullptr;
    static inline decltype(sys::calls.FindClose) realClose = nullptr;
    static inline int opened = 0, closed = 0;
};

TEST_F(RealPathName, ClosesEverySearch)
{
    SearchCounter::realFind = sys::calls.FindFirstFileW;
    SearchCounter::realClose = sys::calls.FindClose;
    SearchCounter::opened = SearchCounter::closed = 0;
    sys::Override find(
        sys::calls.FindFirstFileW, +[](LPCWSTR p, LPWIN32_FIND_DATAW data) -> HANDLE {
            HANDLE h = SearchCounter::realFind(p, data);
            if (h != INVALID_HANDLE_VALUE)
                ++SearchCounter::opened;
            return h;
        });
    sys::Override close(
        sys::calls.FindClose, +[](HANDLE h) -> BOOL {
            ++SearchCounter::closed;
            return SearchCounter::realClose(h);
        });
    real_path_name(dir / ("mixed" + separator + "file.txt"));
    EXPECT_GE(SearchCounter::opened, 3);
    EXPECT_EQ(SearchCounter::closed, SearchCounter::opened);
    // A failing component closes the searches before it too.
    SearchCounter::opened = SearchCounter::closed = 0;
    EXPECT_THROW(real_path_name(dir / ("mixed" + separator + "nothing")), error::EFileNotFoundError);
    EXPECT_GE(SearchCounter::opened, 2);
    EXPECT_EQ(SearchCounter::closed, SearchCounter::opened);
}

#endif

} // namespace
