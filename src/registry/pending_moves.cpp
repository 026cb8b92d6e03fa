#include "registry/pending_moves.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "io/fs.h"
#include "registry/registry.h"
#include "sys/syscalls.h"

#include <algorithm>

std::wstring upperCasedPath(const std::wstring& text)
{
    if (text.empty())
        return text;
    std::wstring upper(text.size(), L'\0');
    int length = sys::calls.LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                                         upper.data(), static_cast<int>(upper.size()));
    if (length == 0)
        error::throwSystemError(GetLastError(), "Cannot upper-case path " + toUtf8(text));
    upper.resize(static_cast<std::size_t>(length));
    return upper;
}

std::optional<std::vector<PendingMove>> parsePendingMoves(const std::uint8_t* data, std::size_t size)
{
    std::vector<PendingMove> moves;
    if (size == 0)
        return moves;
    if (size % sizeof(wchar_t) != 0)
        return std::nullopt;
    std::wstring text(size / sizeof(wchar_t), L'\0');
    std::copy_n(data, size, reinterpret_cast<std::uint8_t*>(text.data()));
    // A lone terminator is an empty list.
    if (text == std::wstring(1, L'\0'))
        return moves;
    // Pairs of NUL-terminated strings, then one more NUL.
    std::vector<std::wstring> strings;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\0')
            continue;
        strings.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    if (start != text.size() || strings.size() < 2 || !strings.back().empty())
        return std::nullopt;
    // Extra NULs at the end are no pairs; a last deletion keeps its empty target.
    while (!strings.empty() && strings.back().empty())
        strings.pop_back();
    if (strings.size() % 2 != 0)
        strings.emplace_back();
    for (std::size_t i = 0; i < strings.size(); i += 2) {
        if (strings[i].empty())
            return std::nullopt; // a move from nowhere
        moves.push_back({strings[i], strings[i + 1]});
    }
    return moves;
}

std::vector<std::uint8_t> encodePendingMoves(const std::vector<PendingMove>& moves)
{
    std::wstring text;
    for (const PendingMove& move : moves) {
        text += move.source;
        text += L'\0';
        text += move.target;
        text += L'\0';
    }
    text += L'\0';
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    return std::vector<std::uint8_t>(bytes, bytes + text.size() * sizeof(wchar_t));
}

std::wstring comparablePath(const std::wstring& path)
{
    std::wstring text = path;
    if (!text.empty() && text.front() == L'!')
        text.erase(0, 1);
    for (const wchar_t* prefix : {L"\\??\\", L"\\\\?\\"}) {
        const std::wstring p = prefix;
        if (text.compare(0, p.size(), p) == 0) {
            text.erase(0, p.size());
            if (text.compare(0, 4, L"UNC\\") == 0)
                text.replace(0, 4, L"\\\\");
            break;
        }
    }
    return upperCasedPath(text);
}

namespace {

std::wstring comparable(const std::string& path)
{
    return comparablePath(longPathW(path));
}

// Only the worker's own work files are deleted when their move is superseded.
bool isWorkFileName(const std::wstring& comparableSource)
{
    const std::size_t slash = comparableSource.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? comparableSource : comparableSource.substr(slash + 1);
    const std::wstring restored = L".RESTORED";
    return name.rfind(L"HRDELAYED.", 0) == 0 ||
           (name.size() > restored.size() && name.find(restored) != std::wstring::npos);
}

void deleteSupersededWorkFile(const std::wstring& source)
{
    std::wstring path = source;
    if (path.rfind(L"\\??\\", 0) == 0)
        path.replace(0, 4, L"\\\\?\\");
    if (sys::calls.DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
        GetLastError() == ERROR_PATH_NOT_FOUND)
        return;
    if (!sys::calls.MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        logAt(1, "Cannot delete superseded work file " + toUtf8(path) + ": " + error::lastErrorText());
}

} // namespace

std::vector<PendingMove> PendingMoves::readRunning()
{
    try {
        winreg::GenericValue value(HKEY_LOCAL_MACHINE, sessionManagerKey, valueName);
        if (!value.valueExists())
            return {};
        const winreg::Bytes& raw = value.rawData();
        std::optional<std::vector<PendingMove>> moves;
        if (value.type() == REG_MULTI_SZ)
            moves = parsePendingMoves(raw.data(), raw.size());
        if (moves)
            return *moves;
        if (!warned_)
            logAt(1, "Ignoring malformed " + std::string(valueName) + " value (" + std::to_string(raw.size()) +
                         " bytes of type " + std::to_string(value.type()) + ")");
    } catch (const error::Exception& e) {
        if (!warned_)
            logAt(1, "Cannot read " + std::string(valueName) + ": " + e.fullText());
    }
    warned_ = true;
    return {};
}

void PendingMoves::load()
{
    if (loaded_)
        return;
    loaded_ = true;
    for (const PendingMove& move : readRunning()) {
        sources_.insert(comparablePath(move.source));
        if (!move.target.empty())
            targets_.insert(comparablePath(move.target));
    }
}

bool PendingMoves::isSource(const std::string& path)
{
    load();
    return sources_.count(comparable(path)) != 0;
}

void PendingMoves::added(const std::string& source, const std::string& target)
{
    load();
    sources_.insert(comparable(source));
    targets_.insert(comparable(target));
}

void PendingMoves::supersede(const std::string& target, bool keepLast)
{
    load();
    const std::wstring wanted = comparable(target);
    if (targets_.count(wanted) <= (keepLast ? 1u : 0u))
        return;

    std::vector<PendingMove> running = readRunning();
    std::size_t last = running.size();
    for (std::size_t i = 0; i < running.size(); ++i)
        if (!running[i].target.empty() && comparablePath(running[i].target) == wanted)
            last = i;
    std::vector<PendingMove> kept;
    std::vector<std::wstring> superseded;
    for (std::size_t i = 0; i < running.size(); ++i) {
        const PendingMove& move = running[i];
        const bool same = !move.target.empty() && comparablePath(move.target) == wanted;
        if (same && !(keepLast && i == last))
            superseded.push_back(move.source);
        else
            kept.push_back(move);
    }
    if (superseded.empty())
        return;
    try {
        winreg::GenericValue value(HKEY_LOCAL_MACHINE, sessionManagerKey, valueName);
        value.data() = {REG_MULTI_SZ, encodePendingMoves(kept)};
        value.store();
    } catch (const error::Exception& e) {
        logAt(1, "Cannot remove earlier moves at boot to " + target + ": " + e.fullText());
        return;
    }
    targets_.erase(wanted);
    if (keepLast)
        targets_.insert(wanted);
    for (const std::wstring& source : superseded) {
        const std::wstring key = comparablePath(source);
        sources_.erase(key);
        logAt(2, "Removed earlier move at boot of " + toUtf8(source) + " to " + target);
        if (isWorkFileName(key))
            deleteSupersededWorkFile(source);
    }
}
