#pragma once
// Byte streams as the BER reader and writer see them. Nothing here blocks: a stream that
// cannot serve a request now throws ENotReady, and the caller waits for its readiness in a
// selector and tries again.
//
//   reading:  n = read(&bytes); use up to n bytes; readCommit(used);
//   writing:  n = getWriteBuffer(&window); fill k <= n bytes; writeCommit(k);
#include "io/selectable.h"

#include <cstddef>

namespace io {

class ByteIStream : public virtual Selectable {
public:
    // Lends the received bytes that are not consumed yet, without copying: sets `data` to
    // them and returns their number.
    virtual std::size_t read(const unsigned char** data) = 0;
    // The caller consumed `n` of the lent bytes.
    virtual void readCommit(std::size_t n) = 0;
};

class ByteOStream : public virtual Selectable {
public:
    // Sets `data` to the writable window and returns its size.
    virtual std::size_t getWriteBuffer(unsigned char** data) = 0;
    // `n` bytes of the window were filled and are to be sent.
    virtual void writeCommit(std::size_t n) = 0;
    // Checks the stream and signals its readiness to its selectors.
    virtual void refresh() = 0;
    // A readiness refresh; the byte is neither stored nor sent.
    virtual int put(unsigned char byte)
    {
        (void)byte;
        refresh();
        return 0;
    }
    // Throws EInputOutput when the stream cannot take bytes.
    virtual void checkWritable() = 0;
    virtual void close() = 0;
};

} // namespace io
