#include "host_options.h"

#include "backupset/chunk_store.h"
#include "backupset/path_text.h"
#include "common/text.h"

#include <filesystem>
#include <limits>

namespace host {

const char kUsage[] = "usage: restore-host SET-DIR [--work DIR] [--worker FILE] [--transcript FILE]\n"
                      "                    [--job FILE] [--config FILE | --no-config]\n"
                      "                    [--log-level 0..3] [--quiet] [--serve N] [--fault FAULT]...\n"
                      "                    [--script FILE]\n"
                      "faults: not-ready=N  status=N  wrong-reply  bare-status  malformed  close-input=N\n"
                      "        foreign-chunk  chunk-after-complete=POS  corrupt=POS  short=POS\n"
                      "        chunk-none-first  unexpected-reply  overrun\n";

namespace {

std::uint64_t numberIn(const std::string& fault, const std::string& text, std::uint64_t maximum)
{
    bool negative = !text.empty() && text[0] == '-';
    std::string digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError("fault '" + fault + "' needs a number");
    std::uint64_t value = std::stoull(digits);
    if (negative || value > maximum)
        throw UsageError("fault '" + fault + "': number out of range");
    return value;
}

std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace

void addFault(Faults& faults, const std::string& fault)
{
    std::size_t equals = fault.find('=');
    std::string name = fault.substr(0, equals);
    bool hasValue = equals != std::string::npos;
    std::string value = hasValue ? fault.substr(equals + 1) : std::string();
    auto number = [&](std::uint64_t maximum) {
        if (!hasValue)
            throw UsageError("fault '" + name + "' needs '=N'");
        return numberIn(fault, value, maximum);
    };
    auto flag = [&](bool& target) {
        if (hasValue)
            throw UsageError("fault '" + name + "' takes no value");
        target = true;
    };
    const std::uint64_t anyCount = std::numeric_limits<std::uint32_t>::max();

    if (name == "not-ready")
        faults.notReadyRounds = static_cast<unsigned>(number(anyCount));
    else if (name == "status") {
        if (hasValue && value[0] == '-')
            faults.status = -static_cast<std::int32_t>(numberIn(fault, value.substr(1), 0x7FFFFFFF));
        else
            faults.status = static_cast<std::int32_t>(number(0x7FFFFFFF));
    } else if (name == "wrong-reply")
        flag(faults.wrongReplyType);
    else if (name == "bare-status")
        flag(faults.bareStatus);
    else if (name == "malformed")
        flag(faults.malformedReply);
    else if (name == "close-input")
        faults.closeInputAfter = static_cast<unsigned>(number(anyCount));
    else if (name == "foreign-chunk")
        flag(faults.foreignChunk);
    else if (name == "chunk-after-complete")
        faults.repeatAfterComplete = number(anyCount);
    else if (name == "corrupt")
        faults.corruptObject = number(anyCount);
    else if (name == "short")
        faults.shortObject = number(anyCount);
    else if (name == "chunk-none-first")
        flag(faults.chunkNoneFirst);
    else if (name == "unexpected-reply")
        flag(faults.unexpectedChunkReply);
    else if (name == "overrun")
        flag(faults.overrunReply);
    else
        throw UsageError("unknown fault '" + fault + "'");
}

void addFaultScript(Faults& faults, const std::string& scriptText)
{
    for (const std::string& line : split(scriptText, '\n', false)) {
        std::string fault = trimmed(line);
        if (!fault.empty() && fault[0] != '#')
            addFault(faults, fault);
    }
}

Options parseArguments(const std::vector<std::string>& args, std::string (*readFile)(const std::string&))
{
    Options options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError("missing value after " + arg);
            return args[++i];
        };
        if (arg == "--work")
            options.workDirectory = value();
        else if (arg == "--worker")
            options.workerProgram = value();
        else if (arg == "--transcript")
            options.transcriptPath = value();
        else if (arg == "--job")
            options.jobFile = value();
        else if (arg == "--config")
            options.configFile = value();
        else if (arg == "--no-config")
            options.noConfig = true;
        else if (arg == "--log-level") {
            const std::string& level = value();
            if (level.size() != 1 || level[0] < '0' || level[0] > '3')
                throw UsageError("--log-level takes 0, 1, 2 or 3");
            options.logLevel = level[0] - '0';
        } else if (arg == "--quiet")
            options.quiet = true;
        else if (arg == "--serve") {
            const std::string& count = value();
            if (count.empty() || count.size() > 10 || count.find_first_not_of("0123456789") != std::string::npos)
                throw UsageError("--serve takes a number of objects");
            options.servedObjects = static_cast<std::size_t>(std::stoull(count));
        } else if (arg == "--fault")
            addFault(options.faults, value());
        else if (arg == "--script")
            addFaultScript(options.faults, readFile(value()));
        else if (arg.rfind("--", 0) == 0)
            throw UsageError("unknown option " + arg);
        else
            positional.push_back(arg);
    }
    if (options.noConfig && !options.configFile.empty())
        throw UsageError("--config and --no-config exclude each other");
    if (positional.size() != 1)
        throw UsageError("restore-host takes one backup set directory");
    options.setDirectory = positional[0];
    return options;
}

void checkPaths(const Options& options)
{
    namespace fs = std::filesystem;
    auto isFile = [](const std::string& path) {
        std::error_code error;
        return fs::is_regular_file(backupset::toPath(path), error);
    };
    std::error_code error;
    if (!fs::is_directory(backupset::toPath(options.setDirectory), error))
        throw PathError("no backup set directory " + options.setDirectory);
    const std::string set = options.setDirectory + "/";
    if (!isFile(set + backupset::kJobFile))
        throw PathError(options.setDirectory + " is no backup set: it has no " + backupset::kJobFile);
    if (!options.jobFile.empty() && !isFile(options.jobFile))
        throw PathError("no job file " + options.jobFile);
    if (!options.configFile.empty() && !isFile(options.configFile))
        throw PathError("no configuration file " + options.configFile);
    if (options.configFile.empty() && !options.noConfig && !isFile(set + backupset::kConfigFile))
        throw PathError(options.setDirectory + " has no " + backupset::kConfigFile +
                        " (--no-config runs the worker without a configuration)");
    if (!options.workerProgram.empty() && !isFile(options.workerProgram))
        throw PathError("no worker program " + options.workerProgram);
}

} // namespace host
