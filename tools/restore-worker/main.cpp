// restore-worker: runs one restore for the parent that started it, over the standard input
// and output, in the working directory that holds restore.job and harbex.cfg. The command
// line is ignored. Exit code 0: the restore completed; 1: it did not.
#include "hives/hive_restore.h"
#include "worker/driver.h"

int main()
{
    RestoreSteps steps;
    steps.hiveStep = processDeferredHives;
    return runRestore(steps);
}
