// Pipe streams over real overlapped named pipes, with the rare answers of Windows (failed
// issues, completions with errors or nothing, a closed pipe) through the system-call table.
// Reads and writes as Windows usually answers them, the end of the input and the worker's
// standard streams over its parent's pipes are what every end-to-end run does.
#include "io/pipe_stream.h"

#include "common/error.h"
#include "io/pipe_pair.h"
#include "io/selector.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

using io::makePipePair;
using io::PipePair;
using support::expectThrows;
using support::patterned;

std::string lent(io::ByteIStream& in)
{
    const unsigned char* data = nullptr;
    const std::size_t n = in.read(&data);
    return std::string(reinterpret_cast<const char*>(data), n);
}

std::size_t fill(io::ByteOStream& out, const std::string& bytes)
{
    unsigned char* window = nullptr;
    const std::size_t n = std::min(out.getWriteBuffer(&window), bytes.size());
    std::memcpy(window, bytes.data(), n);
    out.writeCommit(n);
    return n;
}

// The calls of ReadFileEx or WriteFileEx, passed on to Windows.
int issued = 0;

// A completion that Windows is made to report: queued to this thread as an APC, so it runs
// at the next alertable wait, as a real one does.
struct FakeCompletion {
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
    LPOVERLAPPED overlapped;
    DWORD error;
};
FakeCompletion fake;

BOOL queueFake(LPOVERLAPPED_COMPLETION_ROUTINE routine, LPOVERLAPPED ov, DWORD error)
{
    fake = {routine, ov, error};
    return QueueUserAPC([](ULONG_PTR) { fake.routine(fake.error, 0, fake.overlapped); }, GetCurrentThread(), 0);
}

DWORD issueError = 0;

TEST(PipeIStream, ReadIssueFailures)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    auto failing = support::replaced(
        sys::calls.ReadFileEx, +[](HANDLE, LPVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) -> BOOL {
            SetLastError(issueError);
            return FALSE;
        });
    issueError = ERROR_BROKEN_PIPE;
    {
        io::PipeIStream in("test-in", pipe.server.get(), false);
        EXPECT_TRUE(in.eof() && in.isReady());
        EXPECT_EQ(in.callbacks(), 0);
    }
    issueError = ERROR_ACCESS_DENIED;
    expectThrows<io::EInputOutput>([&] { io::PipeIStream("test-in", pipe.server.get(), false); },
                                   "Unknown error after ReadFileEx() in test-in: " +
                                       error::systemErrorText(ERROR_ACCESS_DENIED));
    // Pending and already-connected issues are fine.
    for (DWORD code : {DWORD(ERROR_IO_PENDING), DWORD(ERROR_PIPE_CONNECTED)}) {
        issueError = code;
        io::PipeIStream in("test-in", pipe.server.get(), false);
        EXPECT_FALSE(in.isReady() || in.eof()) << code;
    }
}

TEST(PipeIStream, BrokenPipeAtTheNextIssueMarksTheStreamReadyOnItsSelector)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    io::writeAll(pipe.client.get(), "xy");
    io::Selector<int> selector;
    selector.add(in, 1);
    EXPECT_EQ(selector.poll().second, 1);
    auto broken = support::refuse(sys::calls.ReadFileEx, ERROR_BROKEN_PIPE);
    in.readCommit(2);
    EXPECT_EQ(selector.pollNonBlocking().second, 1);
    EXPECT_THROW(lent(in), io::EEndOfStream);
}

TEST(PipeIStream, FailedCompletionSurfacesAtTheNextRead)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    auto failing = support::replaced(
        sys::calls.ReadFileEx, +[](HANDLE, LPVOID, DWORD, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) {
            return queueFake(done, ov, ERROR_NETNAME_DELETED);
        });
    io::PipeIStream in("test-in", pipe.server.get(), false);
    io::waitReady(in);
    EXPECT_EQ(in.callbacks(), 0);
    EXPECT_FALSE(in.valid());
    expectThrows<io::EInputOutput>([&] { lent(in); }, "Unhandled error set by fileInCallBack in test-in: " +
                                                          error::systemErrorText(ERROR_NETNAME_DELETED));
}

TEST(PipeIStream, EmptyCompletionStartsTheNextRead)
{
    issued = 0;
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    auto once = support::replaced(
        sys::calls.ReadFileEx,
        +[](HANDLE h, LPVOID buffer, DWORD n, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
            return ++issued == 1 ? queueFake(done, ov, 0) : ::ReadFileEx(h, buffer, n, ov, done);
        });
    io::PipeIStream in("test-in", pipe.server.get(), false);
    io::sleep(UsecTime(0, 10000));
    ASSERT_EQ(issued, 2) << "without a read issued again, the wait below would never end";
    EXPECT_FALSE(in.isReady());
    io::writeAll(pipe.client.get(), "after nothing");
    io::waitReady(in);
    EXPECT_EQ(lent(in), "after nothing");
}

int sleepsDuringShutdown = 0;

TEST(PipeIStream, ShutdownWaitsForTheOutstandingRead)
{
    for (bool owns : {true, false}) {
        sleepsDuringShutdown = 0;
        PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
        {
            auto counting = support::replaced(
                sys::calls.SleepEx, +[](DWORD ms, BOOL alertable) -> DWORD {
                    ++sleepsDuringShutdown;
                    return ::SleepEx(ms, alertable);
                });
            io::PipeIStream in("test-in", owns ? pipe.server.release() : pipe.server.get(), owns);
            ASSERT_EQ(in.callbacks(), 1);
            // The destructor closes (or cancels) and sleeps until the read's completion ran.
        }
        EXPECT_GE(sleepsDuringShutdown, 1) << owns;
        if (!owns) { // the borrowed handle is still open and usable
            io::PipeIStream again("test-in", pipe.server.get(), false);
            io::writeAll(pipe.client.get(), "still open");
            io::waitReady(again);
            EXPECT_EQ(lent(again), "still open");
        }
    }
}

TEST(StdOutStream, WriteCompletionWithAnErrorSurfacesAtTheNextRequest)
{
    static HANDLE given;
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    given = pipe.server.get();
    auto stdHandle = support::replaced(
        sys::calls.GetStdHandle,
        +[](DWORD which) -> HANDLE { return which == STD_OUTPUT_HANDLE ? given : INVALID_HANDLE_VALUE; });
    auto closing = support::replaced(
        sys::calls.WriteFileEx, +[](HANDLE, LPCVOID, DWORD, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) {
            return queueFake(done, ov, ERROR_NO_DATA); // the pipe is being closed
        });
    io::StdOutStream out;
    fill(out, "message");
    io::waitReady(out);
    EXPECT_FALSE(out.valid());
    const std::string text = "Unhandled error writing to pipe stdout: " + error::systemErrorText(ERROR_NO_DATA);
    unsigned char* window = nullptr;
    expectThrows<io::EInputOutput>([&] { out.getWriteBuffer(&window); }, text);
    expectThrows<io::EInputOutput>([&] { out.put(0x19); }, text);
}

TEST(PipeOStream, FailedOrClosedWritesThrow)
{
    {
        PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
        io::PipeOStream out("test-out", pipe.server.release(), true);
        auto failing = support::refuse(sys::calls.WriteFileEx, ERROR_DISK_FULL);
        expectThrows<io::EInputOutput>([&] { fill(out, "x"); }, "Unable to write data to: test-out : " +
                                                                    error::systemErrorText(ERROR_DISK_FULL));
    }
    {
        // Windows refuses either the issue or the completion; both end in an EInputOutput.
        PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
        io::PipeOStream out("test-out", pipe.server.release(), true);
        pipe.client.reset();
        EXPECT_THROW(
            {
                fill(out, "nobody listens");
                io::waitReady(out);
                fill(out, "again");
            },
            io::EInputOutput);
    }
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipeOStream out("test-out", pipe.server.release(), true);
    io::Selector<int> selector;
    selector.add(out, 1);
    fill(out, "bye");
    out.close();
    EXPECT_TRUE(out.selectors().empty());
    EXPECT_EQ(out.callbacks(), 0);
    expectThrows<io::EInputOutput>([&] { fill(out, "x"); }, "Trying write on non valid or closed pipe");
}

} // namespace
