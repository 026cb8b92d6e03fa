// Pipe streams over real overlapped named pipes; the rare answers of Windows (failed issues,
// completions with errors, failed waits) come through the system-call table.
#include "io/pipe_stream.h"

#include "common/error.h"
#include "io/child_process.h"
#include "io/pipe_pair.h"
#include "io/selector.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

using support::expectThrows;

using io::makePipePair;
using io::PipePair;

std::string pattern(std::size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
    return s;
}

std::string lent(io::ByteIStream& in)
{
    const unsigned char* data = nullptr;
    std::size_t n = in.read(&data);
    return std::string(reinterpret_cast<const char*>(data), n);
}

// Counts the calls of one table entry and passes them on to Windows.
int readFileExCalls = 0;
int writeFileExCalls = 0;

BOOL WINAPI countingReadFileEx(HANDLE h, LPVOID buffer, DWORD n, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done)
{
    ++readFileExCalls;
    return ::ReadFileEx(h, buffer, n, ov, done);
}

BOOL WINAPI countingWriteFileEx(HANDLE h, LPCVOID buffer, DWORD n, LPOVERLAPPED ov,
                                LPOVERLAPPED_COMPLETION_ROUTINE done)
{
    ++writeFileExCalls;
    return ::WriteFileEx(h, buffer, n, ov, done);
}

// A completion that Windows is made to report: queued to this thread as an APC, so it runs
// at the next alertable wait, as a real one does.
struct FakeCompletion {
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
    LPOVERLAPPED overlapped;
    DWORD error;
    DWORD bytes;
};
FakeCompletion fake;

void CALLBACK deliverFake(ULONG_PTR)
{
    fake.routine(fake.error, fake.bytes, fake.overlapped);
}

void queueFake(LPOVERLAPPED_COMPLETION_ROUTINE routine, LPOVERLAPPED ov, DWORD error, DWORD bytes)
{
    fake = {routine, ov, error, bytes};
    QueueUserAPC(deliverFake, GetCurrentThread(), 0);
}

// ---------------------------------------------------------------------------------------
// Reading

TEST(PipeIStream, LendsWhatArrivedAndReadsAgainOnlyWhenAllIsConsumed)
{
    readFileExCalls = 0;
    sys::Override count(sys::calls.ReadFileEx, countingReadFileEx);
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    EXPECT_EQ(readFileExCalls, 1); // the first read starts at once
    EXPECT_FALSE(in.isReady());
    expectThrows<io::ENotReady>([&] { lent(in); }, "Selectable test-in not ready");

    const std::string sent = pattern(100);
    io::writeAll(pipe.client.get(), sent);
    io::waitReady(in);
    EXPECT_EQ(lent(in), sent);

    in.readCommit(10);
    EXPECT_TRUE(in.isReady());
    EXPECT_EQ(lent(in), sent.substr(10));
    EXPECT_EQ(readFileExCalls, 1);

    in.readCommit(90);
    EXPECT_EQ(readFileExCalls, 2);
    EXPECT_FALSE(in.isReady());
    EXPECT_THROW(lent(in), io::ENotReady);

    io::writeAll(pipe.client.get(), "more");
    io::waitReady(in);
    EXPECT_EQ(lent(in), "more");
}

TEST(PipeIStream, PartlyConsumedBytesKeepTheStreamReadyOnItsSelector)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    io::writeAll(pipe.client.get(), "abcdef");
    io::Selector<int> selector;
    selector.add(in, 7);
    EXPECT_EQ(selector.poll().second, 7);
    in.readCommit(2);
    EXPECT_EQ(selector.pollNonBlocking().second, 7); // told again by readCommit
    EXPECT_EQ(lent(in), "cdef");
}

TEST(PipeIStream, EndOfStreamWhenTheWriterCloses)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    io::writeAll(pipe.client.get(), "last");
    pipe.client.reset();

    io::waitReady(in);
    EXPECT_EQ(lent(in), "last");
    in.readCommit(4);
    io::waitReady(in);
    EXPECT_TRUE(in.eof());
    expectThrows<io::EEndOfStream>([&] { lent(in); }, "EOS on PipeIStream read");
    expectThrows<io::EEndOfStream>([&] { lent(in); }, "EOS on PipeIStream read");
}

TEST(PipeIStream, EndOfStreamWhileAReadIsOutstanding)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    io::sleep(UsecTime(0, 10000)); // the read is surely under way
    EXPECT_FALSE(in.isReady());
    pipe.client.reset();
    io::waitReady(in);
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(in.valid());
    EXPECT_EQ(in.lastError(), 0u);
    expectThrows<io::EEndOfStream>([&] { lent(in); }, "EOS on PipeIStream read");
}

TEST(PipeIStream, ReadIssueFailures)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    {
        sys::Override broken(
            sys::calls.ReadFileEx, +[](HANDLE, LPVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) -> BOOL {
                SetLastError(ERROR_BROKEN_PIPE);
                return FALSE;
            });
        io::PipeIStream in("test-in", pipe.server.get(), false);
        EXPECT_TRUE(in.eof());
        EXPECT_TRUE(in.isReady());
        EXPECT_EQ(in.callbacks(), 0);
        expectThrows<io::EEndOfStream>([&] { lent(in); }, "EOS on PipeIStream read");
    }
    {
        sys::Override denied(
            sys::calls.ReadFileEx, +[](HANDLE, LPVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) -> BOOL {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            });
        expectThrows<io::EInputOutput>([&] { io::PipeIStream("test-in", pipe.server.get(), false); },
                                       "Unknown error after ReadFileEx() in test-in: " +
                                           error::systemErrorText(ERROR_ACCESS_DENIED));
    }
    // Pending and already-connected issues are fine.
    for (DWORD code : {DWORD(ERROR_IO_PENDING), DWORD(ERROR_PIPE_CONNECTED)}) {
        static DWORD issued;
        issued = code;
        sys::Override pending(
            sys::calls.ReadFileEx, +[](HANDLE, LPVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) -> BOOL {
                SetLastError(issued);
                return FALSE;
            });
        io::PipeIStream in("test-in", pipe.server.get(), false);
        EXPECT_FALSE(in.isReady()) << code;
        EXPECT_FALSE(in.eof()) << code;
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
    sys::Override broken(
        sys::calls.ReadFileEx, +[](HANDLE, LPVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) -> BOOL {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        });
    in.readCommit(2);
    EXPECT_EQ(selector.pollNonBlocking().second, 1);
    EXPECT_THROW(lent(in), io::EEndOfStream);
}

TEST(PipeIStream, FailedCompletionSurfacesAtTheNextRead)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    sys::Override failing(
        sys::calls.ReadFileEx,
        +[](HANDLE, LPVOID, DWORD, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
            queueFake(done, ov, ERROR_NETNAME_DELETED, 0);
            return TRUE;
        });
    io::PipeIStream in("test-in", pipe.server.get(), false);
    EXPECT_EQ(in.callbacks(), 1);
    io::waitReady(in);
    EXPECT_EQ(in.callbacks(), 0);
    EXPECT_FALSE(in.valid());
    expectThrows<io::EInputOutput>([&] { lent(in); }, "Unhandled error set by fileInCallBack in test-in: " +
                                                          error::systemErrorText(ERROR_NETNAME_DELETED));
}

int emptyCompletions = 0;

TEST(PipeIStream, EmptyCompletionStartsTheNextRead)
{
    readFileExCalls = 0;
    emptyCompletions = 0;
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    sys::Override once(
        sys::calls.ReadFileEx,
        +[](HANDLE h, LPVOID buffer, DWORD n, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
            ++readFileExCalls;
            if (emptyCompletions++ == 0) {
                queueFake(done, ov, 0, 0);
                return TRUE;
            }
            return ::ReadFileEx(h, buffer, n, ov, done);
        });
    io::PipeIStream in("test-in", pipe.server.get(), false);
    io::sleep(UsecTime(0, 10000));
    EXPECT_EQ(readFileExCalls, 2);
    EXPECT_FALSE(in.isReady());
    io::writeAll(pipe.client.get(), "after nothing");
    io::waitReady(in);
    EXPECT_EQ(lent(in), "after nothing");
}

TEST(PipeIStream, CompletionRoutinesRunDuringSleep)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    io::writeAll(pipe.client.get(), "while asleep");
    io::sleep(UsecTime(0, 50000));
    EXPECT_TRUE(in.isReady());
    EXPECT_EQ(lent(in), "while asleep");
}

TEST(PipeIStream, FailedWaitThrows)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    io::PipeIStream in("test-in", pipe.server.release(), true);
    {
        sys::Override failing(
            sys::calls.SleepEx, +[](DWORD, BOOL) -> DWORD {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return WAIT_FAILED;
            });
        expectThrows<io::EInputOutput>([&] { io::waitReady(in); }, "WaitForMultipleEvents returned error: " +
                                                                       error::systemErrorText(ERROR_NOT_ENOUGH_MEMORY));
    }
    io::writeAll(pipe.client.get(), "z");
    io::waitReady(in);
    EXPECT_EQ(lent(in), "z");
}

int sleepsDuringShutdown = 0;

TEST(PipeIStream, ShutdownWaitsForTheOutstandingRead)
{
    for (bool owns : {true, false}) {
        sleepsDuringShutdown = 0;
        PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
        {
            sys::Override counting(
                sys::calls.SleepEx, +[](DWORD ms, BOOL alertable) -> DWORD {
                    ++sleepsDuringShutdown;
                    return ::SleepEx(ms, alertable);
                });
            io::PipeIStream in("test-in", owns ? pipe.server.release() : pipe.server.get(), owns);
            ASSERT_EQ(in.callbacks(), 1);
            // The destructor closes (or cancels) and sleeps until the read's completion ran.
        }
        EXPECT_GE(sleepsDuringShutdown, 1) << owns;
        // The borrowed handle is still open and usable.
        if (!owns) {
            io::PipeIStream again("test-in", pipe.server.get(), false);
            io::writeAll(pipe.client.get(), "still open");
            io::waitReady(again);
            EXPECT_EQ(lent(again), "still open");
        }
    }
}

TEST(StdInStream, ReadsTheStandardInputHandle)
{
    static HANDLE given;
    PipePair pipe = makePipePair(PIPE_ACCESS_INBOUND);
    given = pipe.server.get();
    sys::Override stdHandle(
        sys::calls.GetStdHandle,
        +[](DWORD which) -> HANDLE { return which == STD_INPUT_HANDLE ? given : INVALID_HANDLE_VALUE; });
    io::StdInStream in;
    EXPECT_EQ(in.name(), "stdin");
    EXPECT_EQ(in.handle(), given);
    io::writeAll(pipe.client.get(), "job");
    io::waitReady(in);
    EXPECT_EQ(lent(in), "job");
}

// ---------------------------------------------------------------------------------------
// Writing

std::size_t fill(io::ByteOStream& out, const std::string& bytes)
{
    unsigned char* window = nullptr;
    std::size_t size = out.getWriteBuffer(&window);
    std::size_t n = std::min(size, bytes.size());
    std::memcpy(window, bytes.data(), n);
    out.writeCommit(n);
    return n;
}

TEST(PipeOStream, OneWriteAtATime)
{
    writeFileExCalls = 0;
    sys::Override count(sys::calls.WriteFileEx, countingWriteFileEx);
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipeOStream out("test-out", pipe.server.release(), true);
    EXPECT_TRUE(out.isReady());
    EXPECT_EQ(writeFileExCalls, 0);

    unsigned char* window = nullptr;
    EXPECT_EQ(out.getWriteBuffer(&window), io::kPipeBufferSize);
    const std::string first = pattern(1000);
    EXPECT_EQ(fill(out, first), 1000u);
    EXPECT_EQ(writeFileExCalls, 1);
    EXPECT_FALSE(out.isReady());
    expectThrows<io::ENotReady>([&] { out.getWriteBuffer(&window); }, "Selectable test-out not ready");

    io::waitReady(out);
    EXPECT_EQ(out.getWriteBuffer(&window), io::kPipeBufferSize);
    out.writeCommit(0);
    const std::string second = pattern(5000, 2);
    EXPECT_EQ(fill(out, second), 5000u);
    io::waitReady(out);
    EXPECT_EQ(writeFileExCalls, 2);
    EXPECT_EQ(io::readUpTo(pipe.client.get(), 6000), first + second);
}

TEST(PipeOStream, CommitOfNothingOnlySignalsReadiness)
{
    writeFileExCalls = 0;
    sys::Override count(sys::calls.WriteFileEx, countingWriteFileEx);
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipeOStream out("test-out", pipe.server.release(), true);
    io::Selector<int> selector;
    selector.add(out, 3);
    EXPECT_EQ(selector.poll().second, 3); // idle: ready when added
    unsigned char* window = nullptr;
    out.getWriteBuffer(&window);
    out.writeCommit(0);
    EXPECT_EQ(selector.pollNonBlocking().second, 3);
    EXPECT_EQ(writeFileExCalls, 0);
    EXPECT_EQ(out.put(0x19), 0); // a refresh: signals, sends nothing
    EXPECT_EQ(selector.pollNonBlocking().second, 3);
    EXPECT_EQ(writeFileExCalls, 0);
}

TEST(PipeOStream, WritesLargerThanThePipeBufferDrainInOrder)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND, 4096);
    const std::string all = pattern(3 * io::kPipeBufferSize + 777, 3);
    std::string received;
    std::thread peer([&] { received = io::readUpTo(pipe.client.get(), all.size()); });
    {
        io::PipeOStream out("test-out", pipe.server.get(), false);
        std::size_t done = 0;
        while (done < all.size()) {
            io::waitReady(out);
            done += fill(out, all.substr(done));
        }
        io::waitReady(out);
        out.checkWritable();
    }
    peer.join();
    EXPECT_EQ(received.size(), all.size());
    EXPECT_TRUE(received == all);
}

TEST(StdOutStream, WriteCompletionWithAnErrorSurfacesAtTheNextRequest)
{
    static HANDLE given;
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    given = pipe.server.get();
    sys::Override stdHandle(
        sys::calls.GetStdHandle,
        +[](DWORD which) -> HANDLE { return which == STD_OUTPUT_HANDLE ? given : INVALID_HANDLE_VALUE; });
    sys::Override closing(
        sys::calls.WriteFileEx,
        +[](HANDLE, LPCVOID, DWORD, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
            queueFake(done, ov, ERROR_NO_DATA, 0); // 232: the pipe is being closed
            return TRUE;
        });
    io::StdOutStream out;
    EXPECT_EQ(out.name(), "stdout");
    fill(out, "message");
    io::waitReady(out);
    EXPECT_FALSE(out.valid());
    EXPECT_EQ(out.lastError(), 232u);
    const std::string text = "Unhandled error writing to pipe stdout: " + error::systemErrorText(232);
    unsigned char* window = nullptr;
    expectThrows<io::EInputOutput>([&] { out.getWriteBuffer(&window); }, text);
    expectThrows<io::EInputOutput>([&] { out.refresh(); }, text);
    expectThrows<io::EInputOutput>([&] { out.put(0x19); }, text);
}

TEST(PipeOStream, WriteIssueFailureThrows)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipeOStream out("test-out", pipe.server.release(), true);
    sys::Override failing(
        sys::calls.WriteFileEx, +[](HANDLE, LPCVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) -> BOOL {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        });
    expectThrows<io::EInputOutput>([&] { fill(out, "x"); },
                                   "Unable to write data to: test-out : " + error::systemErrorText(ERROR_DISK_FULL));
}

TEST(PipeOStream, WritingAfterTheReaderWentAwayFails)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipeOStream out("test-out", pipe.server.release(), true);
    pipe.client.reset();
    // Windows refuses either the issue or the completion; both end in an EInputOutput.
    EXPECT_THROW(
        {
            fill(out, "nobody listens");
            io::waitReady(out);
            unsigned char* window = nullptr;
            out.getWriteBuffer(&window);
        },
        io::EInputOutput);
}

TEST(PipeOStream, ClosedStreamRefusesWrites)
{
    PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipeOStream out("test-out", pipe.server.release(), true);
    io::Selector<int> selector;
    selector.add(out, 1);
    fill(out, "bye");
    out.close();
    EXPECT_TRUE(out.selectors().empty());
    EXPECT_EQ(out.callbacks(), 0);
    unsigned char* window = nullptr;
    expectThrows<io::EInputOutput>([&] { out.getWriteBuffer(&window); }, "Trying write on non valid or closed pipe");
}

TEST(PipeStreamDeathTest, BufferRulesAreInvariants)
{
    EXPECT_DEATH(
        {
            PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
            io::PipeOStream out("test-out", pipe.server.release(), true);
            unsigned char* window = nullptr;
            out.getWriteBuffer(&window);
            out.writeCommit(io::kPipeBufferSize + 1);
        },
        "Assertion failed: Buffer out of bounds in PipeOStream::writeCommit");
    EXPECT_DEATH(
        {
            PipePair pipe = makePipePair(PIPE_ACCESS_OUTBOUND);
            io::PipeOStream out("test-out", pipe.server.release(), true);
            out.close();
            out.close();
        },
        "Assertion failed: PipeOStream already closed");
}

// ---------------------------------------------------------------------------------------
// A child process with the pipe ends as its standard handles, as the parent starts the worker

TEST(StdStreams, ChildCopiesItsStandardInputToItsStandardOutput)
{
    io::ChildProcess child(io::besideThisProgram(L"stdio_echo_child.exe"), L"", L"");
    const std::string sent = pattern(3 * io::kPipeBufferSize + 12345, 9);
    std::thread feeder([&] {
        EXPECT_TRUE(child.send(sent));
        child.closeInput(); // the child's standard input ends
    });
    const std::string echoed = child.receive(sent.size() + 1);
    feeder.join();

    EXPECT_EQ(child.exitCode(60000), 0u);
    EXPECT_EQ(echoed.size(), sent.size());
    EXPECT_TRUE(echoed == sent);
}

} // namespace
