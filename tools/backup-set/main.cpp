// backup-set: packs a directory tree into a backup set that the restore worker can
// restore, writes a deterministic sample tree to pack, or checks a restored tree against
// the directory its set was packed from. Exit codes: 0 done (verify: the trees match),
// 1 verify found differences, 2 a bad command line or a path or value in it that names
// nothing usable, 3 the work could not be done.
#include "backupset/chunk_store.h"
#include "backupset/pack.h"
#include "backupset/path_text.h"
#include "backupset/sample_tree.h"
#include "backupset/verify.h"

#include "common/error.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "usage: backup-set pack <source-dir> <set-dir> [--form ctcn|encn|enz|mixed]\n"
                      "                       [--meta ntfs|ntfs-sddl|unix|hfs] [--root C:\\restore] [--key HEX]\n"
                      "                       [--source-root PATH] [--sddl TEXT] [--job-number N]\n"
                      "       backup-set sample <dir> [--seed N]\n"
                      "       backup-set verify <source-dir> <set-dir> <restored-dir> [--source-root PATH]\n";

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The value after a flag at argv[i], advancing i.
std::string valueOf(const std::vector<std::string>& args, std::size_t& i)
{
    if (i + 1 >= args.size())
        throw UsageError("missing value after " + args[i]);
    return args[++i];
}

std::uint64_t numberOf(const std::string& flag, const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19)
        throw UsageError(flag + " takes a decimal number, not '" + text + "'");
    return std::stoull(text);
}

int runPack(const std::vector<std::string>& args)
{
    std::vector<std::string> positional;
    backupset::PackOptions options;
    std::string hexKey;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--form") {
            std::string form = valueOf(args, i);
            if (form == "ctcn")
                options.form = backupset::FormChoice::Cleartext;
            else if (form == "encn")
                options.form = backupset::FormChoice::Encrypted;
            else if (form == "enz")
                options.form = backupset::FormChoice::EncryptedCompressed;
            else if (form == "mixed")
                options.form = backupset::FormChoice::Mixed;
            else
                throw UsageError("unknown chunk form '" + form + "'");
        } else if (arg == "--meta") {
            std::string meta = valueOf(args, i);
            if (meta == "ntfs")
                options.meta = backupset::MetaStyle::Ntfs;
            else if (meta == "ntfs-sddl")
                options.meta = backupset::MetaStyle::NtfsWithSddl;
            else if (meta == "unix")
                options.meta = backupset::MetaStyle::Unix;
            else if (meta == "hfs")
                options.meta = backupset::MetaStyle::Hfs;
            else
                throw UsageError("unknown metadata kind '" + meta + "'");
        } else if (arg == "--root") {
            options.restoreRoot = valueOf(args, i);
        } else if (arg == "--key") {
            hexKey = valueOf(args, i);
        } else if (arg == "--source-root") {
            options.storedRoot = valueOf(args, i);
        } else if (arg == "--sddl") {
            options.sddl = valueOf(args, i);
        } else if (arg == "--job-number") {
            std::uint64_t number = numberOf(arg, valueOf(args, i));
            if (number > UINT32_MAX)
                throw UsageError("--job-number must fit in 32 bits");
            options.jobNumber = static_cast<std::uint32_t>(number);
        } else if (arg.rfind("--", 0) == 0) {
            throw UsageError("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
        throw UsageError("pack takes a source directory and a set directory");
    options.key = hexKey.empty() ? backupset::randomKey() : backupset::keyFromHex(hexKey);
    backupset::PackResult result = backupset::pack(positional[0], positional[1], options);
    for (const std::string& path : result.skipped)
        std::fprintf(stderr, "backup-set: skipped %s (no record for it in this metadata kind)\n", path.c_str());
    std::printf("backup-set: %zu objects, %llu bytes packed into %s\n", result.objects,
                static_cast<unsigned long long>(result.bytes), positional[1].c_str());
    return 0;
}

int runSample(const std::vector<std::string>& args)
{
    std::vector<std::string> positional;
    std::uint64_t seed = 1;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--seed")
            seed = numberOf(args[i], valueOf(args, i));
        else if (args[i].rfind("--", 0) == 0)
            throw UsageError("unknown option " + args[i]);
        else
            positional.push_back(args[i]);
    }
    if (positional.size() != 1)
        throw UsageError("sample takes one directory");
    std::error_code error;
    const std::filesystem::path top = backupset::toPath(positional[0]);
    if (std::filesystem::exists(top, error) && !std::filesystem::is_directory(top, error))
        throw backupset::ArgumentError(positional[0] + " is no directory");
    backupset::writeSampleTree(positional[0], seed);
    std::printf("backup-set: sample tree (seed %llu) written to %s\n", static_cast<unsigned long long>(seed),
                positional[0].c_str());
    return 0;
}

// Exit 0 when the restored tree matches the source, 1 when it does not.
int runVerify(const std::vector<std::string>& args)
{
    std::vector<std::string> positional;
    backupset::VerifyOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--source-root")
            options.storedRoot = valueOf(args, i);
        else if (args[i].rfind("--", 0) == 0)
            throw UsageError("unknown option " + args[i]);
        else
            positional.push_back(args[i]);
    }
    if (positional.size() != 3)
        throw UsageError("verify takes a source directory, a set directory and the restored directory");
    backupset::VerifyResult result = backupset::verify(positional[0], positional[1], positional[2], options);
    for (const std::string& note : result.notes)
        std::printf("verify: note: %s\n", note.c_str());
    for (const backupset::Difference& difference : result.differences)
        std::printf("verify: DIFFERS: %s\n", backupset::describe(difference).c_str());
    std::printf("%s\n", backupset::summary(result).c_str());
    return result.matches() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.empty())
            throw UsageError("no command");
        std::string command = args.front();
        args.erase(args.begin());
        if (command == "pack")
            return runPack(args);
        if (command == "sample")
            return runSample(args);
        if (command == "verify")
            return runVerify(args);
        if (command == "--help" || command == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        throw UsageError("unknown command '" + command + "'");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "backup-set: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const backupset::ArgumentError& e) {
        std::fprintf(stderr, "backup-set: %s\n", e.what());
        return 2;
    } catch (const error::Exception& e) {
        std::fprintf(stderr, "backup-set: %s\n", e.fullText().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "backup-set: %s\n", e.what());
    }
    return 3;
}
