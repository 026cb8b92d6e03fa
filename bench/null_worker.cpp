// null-worker: the ceiling of a restore through restore-host. It speaks the worker's protocol
// over the same overlapped pipe streams, BER reader and writer as restore-worker: it asks
// whether the server is ready, requests every chunk one after another and drops it (no
// decoding, no disk), and ends as a completed restore does. restore-host runs it with
// --worker in place of restore-worker.exe.
#include "common/error.h"
#include "io/pipe_stream.h"
#include "io/selector.h"
#include "proto/messages.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_reader.h"
#include "protocol/ber_writer.h"

#include <cstdint>
#include <cstdio>
#include <memory>

namespace {

constexpr std::int32_t kRestoring = 2;
constexpr std::int32_t kInformation = 2;

class Link {
public:
    Link() : reader_(factory_, input_), writer_(output_) {}

    void send(const protocol::BerValue& message)
    {
        writer_.write(message);
        writer_.sendFiller();
        io::waitReady(writer_);
        writer_.checkFailed();
    }

    // Sends `request` wrapped as an exchange and gives the reply inside the response.
    std::unique_ptr<protocol::BerConstructed> exchange(protocol::BerConstructed* request)
    {
        proto::MessageExchangeRequest wrapper;
        wrapper.request.reset(request);
        send(wrapper);
        std::unique_ptr<protocol::BerConstructed> message;
        while (message == nullptr) {
            io::waitReady(reader_);
            message = reader_.read();
        }
        auto* response = dynamic_cast<proto::MessageExchangeResponse*>(message.get());
        if (response == nullptr)
            throw error::EFatal("null-worker: a reply that is no exchange response");
        return std::unique_ptr<protocol::BerConstructed>(response->response.release());
    }

private:
    proto::Protocol factory_;
    io::StdInStream input_;
    io::StdOutStream output_;
    protocol::BerReader reader_;
    protocol::BerWriter writer_;
};

int run()
{
    Link link;
    for (;;) {
        auto reply = link.exchange(new proto::RestoreInquiry);
        auto* status = dynamic_cast<proto::RestoreStatus*>(reply.get());
        if (status == nullptr || status->status == proto::RestoreStatusType::NoRestore)
            return 1;
        if (status->status == proto::RestoreStatusType::Ready)
            break;
    }
    std::uint64_t chunks = 0;
    std::uint64_t bytes = 0;
    for (;;) {
        auto reply = link.exchange(new proto::ChunkRequest);
        if (auto* chunk = dynamic_cast<proto::ChunkResponse*>(reply.get())) {
            ++chunks;
            bytes += chunk->data.size();
            continue;
        }
        if (dynamic_cast<proto::ChunkNone*>(reply.get()) != nullptr)
            break;
        return 1;
    }
    // What restore-host takes for a completed restore: the last report at 100 %, and the
    // worker's closing line.
    proto::UpdateRestoreProgress done;
    done.state = kRestoring;
    done.percentage = 100;
    done.files = chunks;
    done.bytes = bytes;
    link.send(done);
    proto::ClientWorkerLog closing;
    closing.severity = kInformation;
    closing.text = "Restore completer exiting. Restore completed successfully.";
    link.send(closing);
    return 0;
}

} // namespace

int main()
{
    try {
        return run();
    } catch (const error::Exception& e) {
        std::fprintf(stderr, "null-worker: %s\n", e.fullText().c_str());
        return 1;
    }
}
