#pragma once
// The command line of restore-host: which backup set to serve, where the worker runs, and
// the faults to inject into the conversation.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

// A command line or fault script that cannot be followed; the text says why.
class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A path of the command line that names nothing usable.
class PathError : public UsageError {
    using UsageError::UsageError;
};

// Ways to make the parent misbehave. Object positions count from 0 in job order.
struct Faults {
    unsigned notReadyRounds = 0;                    // inquiries answered "not ready" first
    std::optional<std::int32_t> status;             // the status given instead of "ready"
    bool wrongReplyType = false;                    // the inquiry answered by ChunkNone
    bool bareStatus = false;                        // RestoreStatus without its exchange wrapper
    bool malformedReply = false;                    // bytes that are no BER message, for the inquiry
    std::optional<unsigned> closeInputAfter;        // close the worker's input after N messages from it
    bool foreignChunk = false;                      // a chunk of an object the job does not hold, first
    std::optional<std::size_t> repeatAfterComplete; // that object's last chunk again after the next one's first
    std::optional<std::size_t> corruptObject;       // that object's first chunk damaged
    std::optional<std::size_t> shortObject;         // that object's chunks end after the first half
    bool chunkNoneFirst = false;                    // ChunkNone as the first chunk reply
    bool unexpectedChunkReply = false;              // the first chunk request answered by RestoreStatus
    bool overrunReply = false; // the first chunk request answered by a value that overruns its parent
};

struct Options {
    std::string setDirectory;
    std::string workDirectory;  // empty: <set>\work
    std::string workerProgram;  // empty: restore-worker.exe beside restore-host.exe
    std::string transcriptPath; // empty: none
    std::string jobFile;        // empty: the set's restore.job
    std::string configFile;     // empty: the set's harbex.cfg, which must be there
    bool noConfig = false;      // the worker gets no harbex.cfg at all
    std::int32_t logLevel = 2;
    bool quiet = false;
    // Serve the chunks of the first N objects of the job only (a job too large to restore
    // whole on a test machine, with chunk files for its first objects); then ChunkNone.
    std::optional<std::size_t> servedObjects;
    Faults faults;
};

// Applies one fault description such as "not-ready=2" or "corrupt=3".
void addFault(Faults& faults, const std::string& fault);
// One fault description per line; blank lines and lines starting with '#' are skipped.
void addFaultScript(Faults& faults, const std::string& scriptText);

// Parses the arguments after the program name. `readFile` gives a script file's text.
Options parseArguments(const std::vector<std::string>& args, std::string (*readFile)(const std::string&));

// Throws PathError when a path of `options` names nothing usable: the set directory, its
// restore.job, the configuration (the set's unless --config or --no-config), the job file and
// the worker program given.
void checkPaths(const Options& options);

extern const char kUsage[];

} // namespace host
