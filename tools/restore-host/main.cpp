// restore-host: the parent of a restore. Serves a backup set to restore-worker.exe over its
// standard handles, shows the progress and the worker's log, writes a transcript, and exits
// with the worker's exit code (2: bad command line, 3: the host itself failed or the worker
// vanished).
#include "host_options.h"
#include "host_session.h"

#include "common/error.h"
#include "common/text.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> arguments()
{
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; list != nullptr && i < count; ++i)
        args.push_back(toUtf8(list[i]));
    LocalFree(list);
    return args;
}

std::string readScript(const std::string& path)
{
    std::ifstream in(std::filesystem::path(toWide(path)), std::ios::binary);
    if (!in)
        throw host::UsageError("cannot read the fault script " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where the output goes. A launcher that hands the host a pipe to a terminal names the
// terminal's width in TERMINAL_COLUMNS; a console is asked for its own.
host::Screen screen()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (const char* columns = std::getenv("TERMINAL_COLUMNS");
        columns != nullptr && GetFileType(out) == FILE_TYPE_PIPE) {
        const unsigned long width = std::strtoul(columns, nullptr, 10);
        if (width > 0 && width < 10000)
            return {host::Screen::Kind::Ansi, width};
    }
    DWORD mode = 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleMode(out, &mode) && GetConsoleScreenBufferInfo(out, &info))
        return {host::Screen::Kind::Console, static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1)};
    return {};
}

} // namespace

int main()
{
    try {
        const std::vector<std::string> args = arguments();
        if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
            std::fputs(host::kUsage, stdout);
            return 0;
        }
        return host::runHost(host::parseArguments(args, readScript), screen());
    } catch (const host::PathError& e) {
        std::fprintf(stderr, "restore-host: %s\n", e.what());
        return 2;
    } catch (const host::UsageError& e) {
        std::fprintf(stderr, "restore-host: %s\n%s", e.what(), host::kUsage);
        return 2;
    } catch (const error::Exception& e) {
        std::fprintf(stderr, "restore-host: %s\n", e.fullText().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "restore-host: %s\n", e.what());
    }
    return 3;
}
