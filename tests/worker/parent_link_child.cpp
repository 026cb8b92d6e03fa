// A worker's first steps, for the tests of the parent link over the real standard
// handles: takes its log level from the parent, logs "spawned" at level 2, asks for the
// restore status and logs it at level 1. Exit code 0 when done, 1 when the parent went away,
// 2 on any other failure (its text on the standard error stream).
#include "common/format.h"
#include "common/log.h"
#include "io/errors.h"
#include "proto/messages.h"
#include "worker/parent_link.h"
#include "worker/worker_log.h"

#include <cstdio>
#include <memory>

int main()
{
    std::unique_ptr<ParentLink> link = makeStandardParentLink();
    LogToParent logToParent(*link);
    try {
        setupLogLevel(*link);
        if (logEnabled(2))
            logMessage("spawned", 2, false);
        pfreply_t<proto::RestoreStatus> status{*link, proto::RestoreInquiry()};
        if (logEnabled(1))
            logMessage("status " + formatInt(status->status), 1, false);
        return 0;
    } catch (const io::EEndOfStream&) {
        return 1;
    } catch (const error::Exception& e) {
        std::fprintf(stderr, "parent_link_child: %s\n", e.fullText().c_str());
        return 2;
    }
}
