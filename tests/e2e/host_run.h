#pragma once
// One restore through restore-host.exe and restore-worker.exe, both beside the test
// executable, in a scratch directory: the source tree, the backup set packed from it, the
// worker's working directory, the restore root, and the transcript the host writes. The
// transcript is read back as one short line per entry, so that tests compare sequences.
#include "e2e/json_line.h"
#include "backupset/pack.h"
#include "restore/restore_fixture.h"

#include "common/text.h"
#include "sys/handle.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

// The 32 key bytes every set of these tests is packed with.
inline std::string testKey()
{
    std::string key;
    for (int i = 0; i < 32; ++i)
        key.push_back(static_cast<char>(0xA0 + i));
    return key;
}

// "GetLogLevel", "log 2: text", "progress 2 50", "RestoreInquiry" for the worker's messages;
// "> RestoreStatus 2", "> ChunkResponse name index remaining", "> ChunkNone" for the host's;
// "! exit 0", "! close-input" for the host's events.
inline std::string shortLine(const Json& entry)
{
    if (entry.has("event")) {
        std::string line = "! " + entry["event"].text;
        if (entry.has("code"))
            line += " " + std::to_string(entry["code"].number);
        return line;
    }
    const Json* message = &entry;
    const std::string& cls = entry["class"].text;
    if (cls == "MessageExchangeRequest")
        message = &entry["request"];
    else if (cls == "MessageExchangeResponse")
        message = &entry["response"];
    const std::string& name = (*message)["class"].text;
    std::string line = entry["from"].text == "host" ? "> " + name : name;
    if (name == "ClientWorkerLog")
        return "log " + std::to_string((*message)["severity"].number) + ": " + (*message)["text"].text;
    if (name == "UpdateRestoreProgress")
        return "progress " + std::to_string((*message)["state"].number) + " " +
               std::to_string((*message)["percentage"].number);
    if (name == "CurrentLogLevel")
        line += " " + std::to_string((*message)["level"].number);
    if (name == "RestoreStatus")
        line += " " + std::to_string((*message)["status"].number);
    if (name == "ChunkResponse")
        line += " " + (*message)["name"].text + " " + std::to_string((*message)["chunkIndex"].number) + " " +
                std::to_string((*message)["remainingChunks"].number);
    return line;
}

class HostRun {
    // First: the paths below are made from it.
    restore_test::ScratchDir scratch_;
    restore_test::PendingRenamesGuard renames_;

public:
    HostRun()
        : source(scratch_ / "source"),
          set(scratch_ / "set"),
          work(scratch_ / "work"),
          root(scratch_ / "restored"),
          transcriptPath(scratch_ / "transcript.jsonl")
    {
        fs::create_directories(fs::path(toWide(source)));
    }

    // Packs the source tree into the set, restoring below `root`, or below `restoreRoot`
    // when one is given.
    backupset::PackResult pack(backupset::PackOptions options = {}, const std::string& restoreRoot = "")
    {
        options.restoreRoot = restoreRoot.empty() ? root : restoreRoot;
        options.key = testKey();
        fs::remove_all(fs::path(toWide(set)));
        return backupset::pack(source, set, options);
    }

    // Runs restore-host on the set with `extra` arguments and gives its exit code; throws
    // when it has not ended after `timeout` milliseconds. `meanwhile` is called with the
    // host's process id while it runs.
    int run(const std::vector<std::string>& extra = {}, DWORD timeout = 300000,
            const std::function<void(DWORD)>& meanwhile = {})
    {
        const DWORD id = start(extra);
        if (meanwhile)
            meanwhile(id);
        return finish(timeout);
    }
    int run(const std::vector<std::string>& extra, const std::function<void(DWORD)>& meanwhile)
    {
        return run(extra, 300000, meanwhile);
    }

    // Starts restore-host on the set with `extra` arguments and gives its process id; finish
    // waits for it.
    DWORD start(const std::vector<std::string>& extra = {})
    {
        std::wstring commandLine = L"\"" + besideTest(L"restore-host.exe") + L"\" " + quoted(set) +
                                   (quiet ? L" --quiet" : L"") + L" --work " + quoted(work) + L" --transcript " +
                                   quoted(transcriptPath);
        for (const std::string& arg : extra)
            commandLine += L" " + quoted(arg);
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        sys::UniqueHandle output(CreateFileW(toWide(scratch_ / "host.out").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                             &inherited, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
            throw std::runtime_error("cannot start restore-host: " + std::to_string(GetLastError()));
        process_.reset(info.hProcess);
        sys::UniqueHandle thread(info.hThread);
        return info.dwProcessId;
    }

    // Waits for the restore-host that start started and gives its exit code.
    int finish(DWORD timeout = 300000)
    {
        if (WaitForSingleObject(process_.get(), timeout) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 99);
            throw std::runtime_error("restore-host did not end");
        }
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        process_.reset();
        return static_cast<int>(code);
    }

    // The transcript entries as short lines (see shortLine).
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::ifstream in(fs::path(toWide(transcriptPath)), std::ios::binary);
        for (std::string line; std::getline(in, line);)
            out.push_back(shortLine(JsonParser::parse(line)));
        return out;
    }
    // The lines that start with `prefix`, in order.
    std::vector<std::string> linesStartingWith(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const std::string& line : lines())
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line);
        return out;
    }
    bool wrote(const std::string& line) const
    {
        const std::vector<std::string> all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    // What the host printed.
    std::string hostOutput() const { return readText(scratch_ / "host.out"); }
    // The worker's local diagnostics, empty when it wrote none.
    std::string wdiag() const { return readText(work + "\\wdiag.log"); }
    bool jobFileLeft() const { return restore_test::exists(work + "\\restore.job"); }
    // A file or directory written into the scratch directory, for --job and --config.
    std::string scratchFile(const std::string& name, const std::string& bytes)
    {
        restore_test::writeFile(scratch_ / name, bytes);
        return scratch_ / name;
    }
    // A program beside the test executable.
    static std::string besideTest(const std::string& program) { return toUtf8(besideTest(toWide(program))); }
    static std::wstring besideTest(const std::wstring& program)
    {
        wchar_t self[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::wstring path(self, n);
        return path.substr(0, path.find_last_of(L"\\/") + 1) + program;
    }
    // Where a record stored as C:\source\<relative> is restored.
    std::string restoredPath(const std::string& relative) const { return root + "\\Drive_C\\source\\" + relative; }

    const std::string source, set, work, root, transcriptPath;
    bool quiet = true; // no display, only the result line

private:
    sys::UniqueHandle process_;

    static std::wstring quoted(const std::string& arg) { return L"\"" + toWide(arg) + L"\""; }
    static std::string readText(const std::string& path)
    {
        return restore_test::exists(path) ? restore_test::readFile(path) : std::string();
    }
};

} // namespace e2e
