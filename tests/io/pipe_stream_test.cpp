// Pipe streams over real overlapped named pipes; the rare answers of Windows (failed issues,
// completions with errors) come through the system-call table. The worker's standard streams
// over its parent's pipes are proven by the end-to-end tests.
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

using support::expectThrows;
using support::patterned;
using testing_pipe::makePipePair;
using testing_pipe::PipePair;

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

TEST(PipeIStream, LendsWhatArrivedAndReadsAgainOnlyWhenAllIsConsumed)
{
    issued = 0;
    auto count = support::replaced(
        sys::calls.ReadFileEx,
        +[](HANDLE h, LPVOID buffer, DWORD n, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
            ++issued;
            return ::ReadFileEx(h, buffer, n, ov, done);
        });
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    EXPECT_EQ(issued, 1); // the first read starts at once
    expectThrows<io::ENotReady>([&] { lent(in); }, "Selectable test-in not ready");

    const std::string sent = patterned(100);
    testing_pipe::writeAll(pipe.client.get(), sent);
    io::Selector<int> selector;
    selector.add(in, 7);
    EXPECT_EQ(selector.poll().second, 7);
    EXPECT_EQ(lent(in), sent);
    in.readCommit(10);
    EXPECT_EQ(selector.pollNonBlocking().second, 7) << "bytes left keep the stream ready";
    EXPECT_EQ(lent(in), sent.substr(10));
    EXPECT_EQ(issued, 1);
    in.readCommit(90);
    EXPECT_EQ(issued, 2);
    EXPECT_THROW(lent(in), io::ENotReady);

    testing_pipe::writeAll(pipe.client.get(), "more");
    io::waitReady(in);
    EXPECT_EQ(lent(in), "more");
}

TEST(PipeIStream, EndOfStreamWhenTheWriterCloses)
{
    for (bool withData : {true, false}) {
        PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
        io::PipeIStream in("test-in", pipe.server.release(), true);
        if (withData) {
            testing_pipe::writeAll(pipe.client.get(), "last");
            io::waitReady(in);
            EXPECT_EQ(lent(in), "last");
            in.readCommit(4);
        } else {
            io::sleep(UsecTime(0, 10000)); // the read is surely under way
        }
        pipe.client.reset();
        io::waitReady(in);
        EXPECT_TRUE(in.eof());
        EXPECT_EQ(in.lastError(), 0u);
        expectThrows<io::EEndOfStream>([&] { lent(in); }, "EOS on PipeIStream read");
        expectThrows<io::EEndOfStream>([&] { lent(in); }, "EOS on PipeIStream read");
    }
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
    testing_pipe::writeAll(pipe.client.get(), "xy");
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
    EXPECT_EQ(issued, 2);
    EXPECT_FALSE(in.isReady());
    testing_pipe::writeAll(pipe.client.get(), "after nothing");
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
            testing_pipe::writeAll(pipe.client.get(), "still open");
            io::waitReady(again);
            EXPECT_EQ(lent(again), "still open");
        }
    }
}

TEST(PipeOStream, OneWriteAtATimeAndACommitOfNothingOnlySignalsReadiness)
{
    issued = 0;
    auto count = support::replaced(
        sys::calls.WriteFileEx,
        +[](HANDLE h, LPCVOID buffer, DWORD n, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
            ++issued;
            return ::WriteFileEx(h, buffer, n, ov, done);
        });
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipeOStream out("test-out", pipe.server.release(), true);
    io::Selector<int> selector;
    selector.add(out, 3);
    EXPECT_EQ(selector.poll().second, 3); // idle: ready when added
    unsigned char* window = nullptr;
    EXPECT_EQ(out.getWriteBuffer(&window), io::kPipeBufferSize);
    out.writeCommit(0);
    EXPECT_EQ(selector.pollNonBlocking().second, 3);
    EXPECT_EQ(out.put(0x19), 0); // a refresh: signals, sends nothing
    EXPECT_EQ(selector.pollNonBlocking().second, 3);
    EXPECT_EQ(issued, 0);

    const std::string first = patterned(1000), second = patterned(5000, 2);
    EXPECT_EQ(fill(out, first), 1000u);
    EXPECT_EQ(issued, 1);
    expectThrows<io::ENotReady>([&] { out.getWriteBuffer(&window); }, "Selectable test-out not ready");
    io::waitReady(out);
    EXPECT_EQ(fill(out, second), 5000u);
    io::waitReady(out);
    EXPECT_EQ(issued, 2);
    EXPECT_EQ(testing_pipe::readUpTo(pipe.client.get(), 6000), first + second);
}

TEST(PipeOStream, WritesLargerThanThePipeBufferDrainInOrder)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND, 4096);
    const std::string all = patterned(3 * io::kPipeBufferSize + 777, 3);
    std::string received;
    std::thread peer([&] { received = testing_pipe::readUpTo(pipe.client.get(), all.size()); });
    {
        io::PipeOStream out("test-out", pipe.server.get(), false);
        for (std::size_t done = 0; done < all.size();) {
            io::waitReady(out);
            done += fill(out, all.substr(done));
        }
        io::waitReady(out);
        out.checkWritable();
    }
    peer.join();
    EXPECT_TRUE(received == all);
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
