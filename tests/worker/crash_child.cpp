// A worker that crashes on purpose: it installs the crash handlers with the worker's own
// sink, then fails in the way its argument names. Exit code 2: it did not crash.
#include "common/assertion.h"
#include "common/crash_handler.h"
#include "worker/driver.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

// Of external linkage: the compiler must not know every class that derives from Task, or
// it would call the one override there is.
struct Task {
    Task();
    virtual ~Task() = default;
    virtual void run() = 0;
};

void runTask(Task& task)
{
    task.run();
}
// Out of the compiler's sight, so that the call stays a call through the table of the
// object under construction, which is still the one of the abstract class.
void (*volatile runner)(Task&) = runTask;

Task::Task()
{
    runner(*this);
}

struct Download : Task {
    void run() override {}
};

// The code of the fault that a faulting sink raises, which no dump may record.
constexpr DWORD kSinkFault = 0xE0005151;
int sinkCalls = 0;
bool sinkAlwaysFaults = false;

void faultingSink(const wchar_t* text)
{
    if (++sinkCalls == 1 || sinkAlwaysFaults)
        RaiseException(kSinkFault, 0, 0, nullptr);
    reportCrash(text);
}

void accessViolation()
{
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

// Out of the compiler's sight, so that the recursion stays one; the frame is used after
// the call, so that no call becomes a jump that reuses it.
void (*volatile deeper)(int);
void recurse(int depth)
{
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    deeper(depth + 1);
    frame[1] = frame[0];
}

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sink-faults-once" || mode == "sink-always-faults") {
        sinkAlwaysFaults = mode == "sink-always-faults";
        installCrashHandlers(faultingSink);
        accessViolation();
        return 2;
    }
    installCrashHandlers(reportCrash);
    if (mode == "access-violation") {
        accessViolation();
    } else if (mode == "stack-overflow") {
        deeper = recurse;
        recurse(0);
    } else if (mode == "pure-virtual-call") {
        Download download;
    } else if (mode == "uncaught-exception") {
        throw std::runtime_error("nobody catches this");
    } else if (mode == "invalid-parameter") {
        // What the runtime does with an invalid argument: it calls the installed handler.
        _invalid_parameter_handler handler = _get_invalid_parameter_handler();
        if (handler == nullptr)
            return 3;
        handler(L"buffer != nullptr", L"strcpy_s", L"strcpy_s.c", 17, 0);
    } else if (mode == "purecall-handler") {
        // The runtime here can set the handler but not tell it: a swap tells.
        _purecall_handler handler = _set_purecall_handler(nullptr);
        _set_purecall_handler(handler);
        if (handler == nullptr)
            return 3;
        handler();
    } else if (mode == "assertion") {
        assertion("on purpose");
    }
    return 2;
}
