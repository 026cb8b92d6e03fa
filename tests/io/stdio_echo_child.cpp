// A child for the standard-stream tests: copies its standard input to its standard output
// through StdInStream and StdOutStream until the input ends. Exit code 0 when all was
// copied, 2 on any failure (its text on the standard error stream).
#include "io/pipe_stream.h"
#include "io/selector.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

int main()
{
    try {
        io::StdInStream in;
        io::StdOutStream out;
        for (;;) {
            io::waitReady(in);
            const unsigned char* data = nullptr;
            std::size_t n = 0;
            try {
                n = in.read(&data);
            } catch (const io::EEndOfStream&) {
                io::waitReady(out); // the last write has completed
                out.checkWritable();
                return 0;
            }
            io::waitReady(out);
            unsigned char* window = nullptr;
            std::size_t room = out.getWriteBuffer(&window);
            std::size_t k = std::min(n, room);
            std::memcpy(window, data, k);
            out.writeCommit(k);
            in.readCommit(k);
        }
    } catch (const error::Exception& e) {
        std::fprintf(stderr, "stdio_echo_child: %s\n", e.fullText().c_str());
        return 2;
    }
}
