#include "restore/writers.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "io/errors.h"
#include "io/fs.h"
#include "restore/paths.h"
#include "restore/placement.h"
#include "restore/security.h"
#include "restore/work_file.h"
#include "sys/syscalls.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// Whether `directory` is `made` or one of the directories above it.
bool alreadyMade(const std::string& made, const std::string& directory)
{
    return made.compare(0, directory.size(), directory) == 0 &&
           (made.size() == directory.size() || made[directory.size()] == '\\');
}

} // namespace

void RestoreWriter::createLeadingPath(const std::string& path)
{
    std::vector<std::string> components = split(path, '\\', false);
    if (components.size() < 2)
        return;
    components.pop_back(); // the object's own name
    std::string current = components.front() + "\\";
    for (std::size_t i = 1; i < components.size(); ++i) {
        current += components[i];
        try {
            createDirectory(current);
        } catch (const error::EFileExistsError&) {
        }
        current += "\\";
    }
}

RestoreFileWriter::RestoreFileWriter(std::unique_ptr<FileMetaVariant> meta, std::string root, WriterContext& context)
    : root_(std::move(root)), meta_(std::move(meta)), context_(context)
{
    target_ = mapPath(*meta_, root_);
    workPath_ = target_;
    const bool directory = meta_->isDirectory();
    if (logEnabled(2))
        logMessage("Will start restore of " + std::string(directory ? "directory " : "file ") + target_, 2, false);

    std::string leading = target_;
    if (!directory) {
        // A stored name without any directory reaches here unchanged when there is no root.
        std::size_t slash = target_.rfind('\\');
        if (slash == std::string::npos)
            throw error::EInvariant("No backslash in full path name");
        leading = target_.substr(0, slash);
    }
    if (!alreadyMade(context_.madeDirectory, leading)) {
        ensureLeadingPath(leading);
        context_.madeDirectory = leading;
    }

    if (!directory) {
        workPath_ = workFilePath(target_, context_.placement);
        handle_ = createWorkFile(workPath_, *meta_, context_.systemSecurity);
    }
}

void RestoreFileWriter::writeChunk(std::string_view bytes, std::uint64_t offset)
{
    if (bytes.empty())
        return;
    if (!handle_)
        throw io::EInputOutput("RestoreFileWriter: file not open cannot write.");
    const std::uint64_t size = meta_->storedSize();
    if (offset > size || bytes.size() > size - offset)
        throw ERestore("Chunk of " + std::to_string(bytes.size()) + " bytes at offset " + std::to_string(offset) +
                       " reaches past the object's size of " + std::to_string(size) + " bytes");

    LONG high = static_cast<LONG>(offset >> 32);
    sys::calls.SetLastError(0);
    if (sys::calls.SetFilePointer(handle_.get(), static_cast<LONG>(static_cast<DWORD>(offset)), &high, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        DWORD code = GetLastError();
        if (code != 0)
            throw io::EInputOutput("Unable to seek to chunk write position: " + error::systemErrorText(code));
    }

    const char* next = bytes.data();
    std::size_t remaining = bytes.size();
    while (remaining > 0) {
        DWORD count = static_cast<DWORD>(std::min<std::size_t>(remaining, std::numeric_limits<DWORD>::max()));
        DWORD written = 0;
        if (!sys::calls.WriteFile(handle_.get(), next, count, &written, nullptr))
            throw io::EInputOutput("Unable to write chunk in file: " + error::lastErrorText());
        // A write that reports success without progress would spin here forever.
        if (written == 0)
            throw io::EInputOutput("Unable to write chunk in file: " + error::systemErrorText(ERROR_WRITE_FAULT));
        next += written;
        remaining -= written;
    }
    coverage_.add(offset, offset + bytes.size());
}

void RestoreFileWriter::complete()
{
    const bool directory = meta_->isDirectory();
    if (directory && isVolumeRoot(workPath_)) {
        // Its times, attributes and access list belong to everything on the volume.
        if (logEnabled(2))
            logMessage("Leaving the metadata of volume root " + workPath_ + " as it is", 2, false);
        return;
    }
    if (directory) {
        if (handle_)
            throw error::EInvariant("Had handle to directory");
        handle_ = openDirectoryForTimes(workPath_);
    } else if (!coverage_.covers(meta_->storedSize())) {
        // A gap would be placed as zeros over whatever the target held.
        throw ERestore("Only " + std::to_string(coverage_.written()) + " of " + std::to_string(meta_->storedSize()) +
                       " bytes of the object arrived");
    }
    setTimesAndClose(handle_, workPath_, *meta_);

    const std::string sddl = meta_->securityDescriptor();
    if (!sddl.empty())
        applySecurityDescriptor(workPath_, sddl, context_.systemSecurity);
    setFileAttributes(workPath_, meta_->windowsAttributes());
    if (sddl.empty())
        restoreOwner(workPath_, meta_->ownerName());

    if (!directory)
        waitsForBoot_ = placeWorkFile(workPath_, target_, context_.placement);
    context_.placement.recordHive(target_, workPath_);
}

void RestoreFileWriter::abandon()
{
    handle_.reset();
    if (!meta_->isDirectory() && !waitsForBoot_)
        discardWorkFile(workPath_);
}

RestoreSymlinkWriter::RestoreSymlinkWriter(std::unique_ptr<FileMetaVariant> meta, const std::string& root)
    : meta_(std::move(meta)), linkPath_(mapPath(*meta_, root))
{
    if (logEnabled(2))
        logMessage("Restoring symbolic links on Windows is not currently supported. Link with name '" +
                       meta_->storedName() + "' and target '" + meta_->linkTarget() + "' ignored.",
                   2, false);
}

void RestoreSymlinkWriter::writeChunk(std::string_view bytes, std::uint64_t offset)
{
    if (!bytes.empty() || offset != 0)
        throw io::EInputOutput("Got a non-empty chunk for a symlink");
}

std::unique_ptr<RestoreWriter> createWriter(const std::string& root, const proto::FileMetaData& record,
                                            WriterContext& context)
{
    auto meta = std::make_unique<FileMetaVariant>(record);
    if (logEnabled(3)) {
        const char* kind = meta->isDirectory() ? "(DIR)" : meta->isSymlink() ? "(SYMLINK)" : "(FILE)";
        logMessage("Restoring absolute name '" + mapPath(*meta, root) + "' " + kind, 3, false);
    }
    if (meta->isSymlink())
        return std::make_unique<RestoreSymlinkWriter>(std::move(meta), root);
    return std::make_unique<RestoreFileWriter>(std::move(meta), root, context);
}
