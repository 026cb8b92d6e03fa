#pragma once
// The exception tree through which every failure of the worker is reported.
#include <string>
#include <utility>

namespace error {

// Root of the tree. `context` starts empty; a catcher may append to it and rethrow the
// same object, so the final log line tells where the failure passed through.
class Exception {
public:
    virtual ~Exception() = default;
    virtual std::string reason() const = 0;
    std::string fullText() const { return reason() + context; }

    std::string context;
};

// Storage for the reason text of the concrete classes.
template <class Base>
class WithReason : public Base {
public:
    explicit WithReason(std::string reason) : why_(std::move(reason)) {}
    std::string reason() const override { return why_; }

private:
    std::string why_;
};

class EFatal : public WithReason<Exception> {
    using WithReason::WithReason;
};
// Internal consistency failures that are reported instead of asserted.
class EInvariant : public EFatal {
    using EFatal::EFatal;
};
class EParseError : public WithReason<Exception> {
    using WithReason::WithReason;
};
class ESystemError : public WithReason<Exception> {
    using WithReason::WithReason;
};
class EFileNotFoundError : public ESystemError {
    using ESystemError::ESystemError;
};
class EFileExistsError : public ESystemError {
    using ESystemError::ESystemError;
};

// Reports a failed Windows call: context + ": " + the system's text of `code`.
// Codes 2 and 3 throw EFileNotFoundError, 183 EFileExistsError, others ESystemError.
[[noreturn]] void throwSystemError(unsigned long code, const std::string& context);
[[noreturn]] void throwSystemErrorText(const std::string& text);

// The system's text for an error code, without its trailing line break.
std::string systemErrorText(unsigned long code);
// systemErrorText of the calling thread's last error.
std::string lastErrorText();
// The calling thread's last system error code (GetLastError, errno natively).
unsigned long lastErrorCode();

} // namespace error

// A restore consistency error of the chunk dispatcher.
class ERestore : public error::WithReason<error::Exception> {
    using WithReason::WithReason;
};
// A configuration file problem.
class EConfig : public error::WithReason<error::Exception> {
    using WithReason::WithReason;
};
