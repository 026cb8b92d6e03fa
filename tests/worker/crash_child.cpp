// A worker that crashes on purpose: it installs the crash handlers with the worker's own
// sink, then fails in the way its argument names. Exit code 2: it did not crash.
#include "common/assertion.h"
#include "common/crash_handler.h"
#include "worker/driver.h"

#include <stdexcept>
#include <string>

int sinkCalls = 0;
bool sinkAlwaysFaults = false;

// Faults at its first call (a second would report), or at every call.
void faultingSink(const wchar_t* text)
{
    if (++sinkCalls == 1 || sinkAlwaysFaults)
        RaiseException(0xE0005151, 0, 0, nullptr);
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
    sinkAlwaysFaults = mode == "sink-always-faults";
    installCrashHandlers(mode.starts_with("sink-") ? faultingSink : reportCrash);
    if (mode == "access-violation" || mode.starts_with("sink-")) {
        accessViolation();
    } else if (mode == "stack-overflow") {
        deeper = recurse;
        recurse(0);
    } else if (mode == "uncaught-exception") {
        throw std::runtime_error("nobody catches this");
    } else if (mode == "invalid-parameter") {
        // What the runtime does with an invalid argument: it calls the installed handler.
        if (_invalid_parameter_handler handler = _get_invalid_parameter_handler())
            handler(L"buffer != nullptr", L"strcpy_s", L"strcpy_s.c", 17, 0);
    } else if (mode == "purecall-handler") {
        // The runtime here can set the handler but not tell it: a swap tells.
        _purecall_handler handler = _set_purecall_handler(nullptr);
        _set_purecall_handler(handler);
        if (handler != nullptr)
            handler();
    } else if (mode == "assertion") {
        assertion("on purpose");
    }
    return 2;
}
