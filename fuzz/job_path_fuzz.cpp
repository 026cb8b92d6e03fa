// Arbitrary bytes as a job file: each record of a decoded job taken through its metadata to
// the Windows path it is restored to. Every input must end in messages or an
// error::Exception; anything else is a finding, and so is a path mapped below a restore root
// that does not start with that root and a backslash.
#include "proto/messages.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"
#include "restore/file_meta.h"
#include "restore/paths.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The root as the mapping uses it: without trailing backslashes.
std::string baseOf(const std::string& root)
{
    std::string base = root;
    while (base.size() > 1 && base.back() == '\\')
        base.pop_back();
    return base;
}

void takeRecord(const proto::FileMetaData& record, const std::string& root)
{
    try {
        const FileMetaVariant meta(record);
        meta.isDirectory();
        meta.isSymlink();
        meta.windowsAttributes();
        meta.creationTime();
        meta.lastAccessTime();
        meta.lastWriteTime();
        meta.ownerName();
        meta.securityDescriptor();
        meta.chunkObject();
        if (meta.isSymlink())
            meta.linkTarget();
        mapPath(meta, "");
        if (root.empty())
            return;
        const std::string path = mapPath(meta, root);
        if (path.rfind(baseOf(root) + "\\", 0) != 0)
            std::abort();
    } catch (const error::Exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    std::size_t offset = 0;
    try {
        while (offset < size) {
            const std::size_t used = decoder.process(data + offset, size - offset);
            offset += used;
            std::unique_ptr<protocol::BerConstructed> message = decoder.take();
            if (!message) {
                if (used == 0)
                    std::abort(); // no progress without a message
                continue;
            }
            auto* job = dynamic_cast<proto::ClientRestoreJob*>(message.get());
            if (job == nullptr || !job->hasFiles)
                continue;
            for (const auto& record : job->files)
                if (record)
                    takeRecord(*record, job->restoreRoot);
        }
    } catch (const protocol::EBer&) {
    }
    return 0;
}
