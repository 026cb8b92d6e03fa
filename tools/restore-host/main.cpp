// restore-host: the parent of a restore. Serves a backup set to restore-worker.exe over its
// standard handles, shows the progress and the worker's log, writes a transcript, and exits
// with the worker's exit code (2: bad command line, 3: the host itself failed).
#include "host_options.h"
#include "host_session.h"

#include "common/error.h"
#include "common/text.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
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

} // namespace

int main()
{
    try {
        const std::vector<std::string> args = arguments();
        if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
            std::fputs(host::kUsage, stdout);
            return 0;
        }
        return host::runHost(host::parseArguments(args, readScript));
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
