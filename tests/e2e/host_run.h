#pragma once
// One restore through restore-host.exe and restore-worker.exe, both beside the test
// executable, in a scratch directory: the source tree, the backup set packed from it, the
// worker's working directory, the restore root, and the transcript the host writes. The
// transcript is read back as one short line per entry, so that tests compare sequences.
#include "backupset/pack.h"
#include "support.h"

#include "common/text.h"
#include "sys/handle.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

// The value of member `key` of a transcript line (one JSON object): a string's text or a
// number's digits; of nested objects that repeat the key ("class"), the innermost's when
// `last`. Empty when missing. Quotes inside strings are escaped, so "key": is found only
// as a member.
inline std::string field(const std::string& line, const std::string& key, bool last = false)
{
    const std::string tag = "\"" + key + "\":";
    std::size_t at = last ? line.rfind(tag) : line.find(tag);
    if (at == std::string::npos)
        return "";
    at += tag.size();
    if (line[at] != '"')
        return line.substr(at, line.find_first_of(",}", at) - at);
    std::string text;
    // An escaped character stands for itself: the texts compared hold no control characters.
    for (++at; at < line.size() && line[at] != '"'; ++at)
        text += line[at] == '\\' ? line[++at] : line[at];
    return text;
}

// "GetLogLevel", "log 2: text", "progress 2 50", "RestoreInquiry" for the worker's messages;
// "> RestoreStatus 2", "> ChunkResponse name index remaining", "> ChunkNone" for the host's;
// "! exit 0", "! close-input" for the host's events.
inline std::string shortLine(const std::string& entry)
{
    const std::string event = field(entry, "event"), code = field(entry, "code");
    if (!event.empty())
        return "! " + event + (code.empty() ? "" : " " + code);
    const std::string name = field(entry, "class", true);
    if (name == "ClientWorkerLog")
        return "log " + field(entry, "severity") + ": " + field(entry, "text");
    if (name == "UpdateRestoreProgress")
        return "progress " + field(entry, "state") + " " + field(entry, "percentage");
    std::string line = field(entry, "from") == "host" ? "> " + name : name;
    if (name == "CurrentLogLevel")
        line += " " + field(entry, "level");
    if (name == "RestoreStatus")
        line += " " + field(entry, "status");
    if (name == "ChunkResponse")
        line += " " + field(entry, "name") + " " + field(entry, "chunkIndex") + " " + field(entry, "remainingChunks");
    return line;
}

class HostRun {
    // First: the paths below are made from it.
    support::ScratchDir scratch_;
    // The moves at boot as they were before the run, put back at the end.
    support::SavedValue renames_{"System\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations"};

public:
    HostRun()
        : source(scratch_ / "source"),
          set(scratch_ / "set"),
          work(scratch_ / "work"),
          root(scratch_ / "restored"),
          transcriptPath(scratch_ / "transcript.jsonl")
    {
        fs::create_directories(support::toPath(source));
    }

    // Packs the source tree into the set, restoring below `root`, or below `restoreRoot`
    // when one is given.
    backupset::PackResult pack(backupset::PackOptions options = {}, const std::string& restoreRoot = "")
    {
        options.restoreRoot = restoreRoot.empty() ? root : restoreRoot;
        options.key = std::string(32, '\xA5');
        support::removeTree(set);
        return backupset::pack(source, set, options);
    }

    // Runs restore-host on the set with `extra` arguments and gives its exit code (see start
    // and finish); `meanwhile` is called with the host's process id while it runs.
    int run(const std::vector<std::string>& extra = {}, DWORD timeout = 300000,
            const std::function<void(DWORD)>& meanwhile = {})
    {
        const DWORD id = start(extra);
        if (meanwhile)
            meanwhile(id);
        return finish(timeout);
    }

    // Starts restore-host on the set with `extra` arguments and gives its process id.
    DWORD start(const std::vector<std::string>& extra = {})
    {
        std::wstring commandLine = quoted(besideTest("restore-host.exe")) + L" " + quoted(set) +
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
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
            throw std::runtime_error("cannot start restore-host: " + std::to_string(GetLastError()));
        process_.reset(info.hProcess);
        sys::UniqueHandle thread(info.hThread);
        return info.dwProcessId;
    }

    // Waits for the restore-host that start started and gives its exit code; throws when it
    // has not ended after `timeout` milliseconds.
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
        std::ifstream in(support::toPath(transcriptPath), std::ios::binary);
        for (std::string line; std::getline(in, line);)
            out.push_back(shortLine(line));
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
    bool jobFileLeft() const { return support::exists(work + "\\restore.job"); }
    // A file written into the scratch directory, for --job and --config.
    std::string scratchFile(const std::string& name, const std::string& bytes)
    {
        support::writeFile(scratch_ / name, bytes);
        return scratch_ / name;
    }
    // A program beside the test executable.
    static std::string besideTest(const std::string& program)
    {
        wchar_t self[MAX_PATH];
        const std::string path = toUtf8(std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH)));
        return path.substr(0, path.find_last_of("\\/") + 1) + program;
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
        return support::exists(path) ? support::readFile(path) : std::string();
    }
};

} // namespace e2e
