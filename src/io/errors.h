#pragma once
// Exceptions of the I/O layer: streams, selectors and files read sequentially.
#include "common/error.h"

namespace io {

// A stream or selector failure.
class EInputOutput : public error::WithReason<error::Exception> {
    using WithReason::WithReason;
};
// The end of a stream; on standard input it means the parent went away.
class EEndOfStream : public EInputOutput {
    using EInputOutput::EInputOutput;
};
// A file to be read sequentially does not exist or cannot be opened.
class EFileNotFound : public EInputOutput {
    using EInputOutput::EInputOutput;
};

} // namespace io
