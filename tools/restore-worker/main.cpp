// restore-worker: runs one restore for the parent that started it, over the standard input
// and output, in the working directory that holds restore.job and harbex.cfg. The command
// line is ignored. Exit code 0: the restore completed; 1: it did not.
#include "hives/hive_registry.h"
#include "hives/hive_restore.h"
#include "worker/driver.h"

#include <memory>

int main()
{
    // The live hive list is read when the run asks for it, once the server is ready.
    std::unique_ptr<HiveRegistry> hives;
    RestoreSteps steps;
    steps.placement = [&]() -> Placement& {
        hives = std::make_unique<HiveRegistry>();
        return *hives;
    };
    steps.hiveStep = [&] { processDeferredHives(*hives); };
    return runRestore(steps);
}
