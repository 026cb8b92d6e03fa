#pragma once
// The end-of-restore hive step: restored hives other than SYSTEM are scheduled to replace
// their targets at the next boot; a restored SYSTEM hive first receives the running
// system's keys and values that are not to be restored, then becomes the SYSTEM key's
// backing file for the next boot. Only the hives that this run listed are handled, and only
// their entries are removed from the worker's hive list at the end (the list itself once it
// is empty), while the machine-wide hive step lock is held. Keys of the running and of the
// restored SYSTEM hive are opened for backup and restore.
#include "hives/hive_registry.h"

#include <windows.h>

#include <string>

// Copies the key tree at source over the one at destination (replacing it).
void copyAndReplace(HKEY sourceRoot, const std::string& sourcePath, HKEY destinationRoot,
                    const std::string& destinationPath);
// Merges the key tree at source into the one at destination (the "start" rule).
void mergeKey(HKEY sourceRoot, const std::string& sourcePath, HKEY destinationRoot, const std::string& destinationPath);
// The whole step, on the hive registry of the restore.
void processDeferredHives(HiveRegistry& hives);
// "ControlSet" + the number, at least three digits, zero-filled.
std::string controlSetName(unsigned current);
