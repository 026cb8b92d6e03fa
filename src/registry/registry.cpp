#include "registry/registry.h"

#include "common/assertion.h"
#include "common/error.h"
#include "common/text.h"
#include "registry/privileges.h"
#include "sys/syscalls.h"

#include <algorithm>
#include <cstring>

namespace winreg {

namespace {

const DWORD subkeyNameCapacity = 256;      // characters, with the terminator
const DWORD valueNameCapacity = 16384;     // characters, with the terminator
const std::size_t firstDataCapacity = 128; // bytes

// Doubles a data buffer that Windows found too small; a buffer that cannot double within a
// DWORD ends the read with the error Windows gave.
void growBuffer(Bytes& buffer, LONG result, const std::string& text)
{
    if (buffer.size() > MAXDWORD / 2)
        error::throwSystemError(static_cast<unsigned long>(result), text);
    buffer.resize(buffer.size() * 2);
}

[[noreturn]] void fail(LONG result, const std::string& text)
{
    error::throwSystemError(static_cast<unsigned long>(result), text);
}

DWORD optionsOf(Access access)
{
    return access == Access::backupRestore ? REG_OPTION_BACKUP_RESTORE : 0;
}

// RegOpenKeyExW with KEY_ALL_ACCESS; `key` takes the handle only on success.
LONG openKey(HKEY parent, const std::wstring& path, Access access, sys::UniqueKey& key)
{
    HKEY opened = nullptr;
    LONG result = sys::calls.RegOpenKeyExW(parent, path.c_str(), optionsOf(access), KEY_ALL_ACCESS, &opened);
    if (result == ERROR_SUCCESS)
        key.reset(opened);
    return result;
}

std::wstring wideOf(const Bytes& raw)
{
    std::wstring text(raw.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        std::memcpy(text.data(), raw.data(), text.size() * sizeof(wchar_t));
    return text;
}

void appendWide(Bytes& raw, const std::wstring& text)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.c_str());
    // With the terminating NUL.
    raw.insert(raw.end(), bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

} // namespace

// ---------------------------------------------------------------- Key

Key::Key(HKEY parent, const std::string& path, Access access) : parent_(parent), access_(access), path_(path)
{
    exists_ = openKey(parent_, toWide(path_), access_, handle_) == ERROR_SUCCESS;
}

Key::Key(HKEY parent, DWORD index, Access access) : parent_(parent), access_(access)
{
    wchar_t name[subkeyNameCapacity];
    DWORD length = subkeyNameCapacity;
    LONG result = sys::calls.RegEnumKeyExW(parent_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS)
        return;
    if (result != ERROR_SUCCESS)
        fail(result, "Cannot read subkey under key");
    std::wstring wideName(name, length);
    path_ = toUtf8(wideName);
    result = openKey(parent_, wideName, access_, handle_);
    if (result != ERROR_SUCCESS)
        fail(result, "Cannot open enumerated key");
    exists_ = true;
}

Key::Key(Key&& other) noexcept
    : parent_(other.parent_),
      access_(other.access_),
      path_(std::move(other.path_)),
      handle_(std::move(other.handle_)),
      exists_(std::exchange(other.exists_, false))
{
}

Key& Key::operator=(Key&& other) noexcept
{
    if (this != &other) {
        parent_ = other.parent_;
        access_ = other.access_;
        path_ = std::move(other.path_);
        handle_ = std::move(other.handle_);
        exists_ = std::exchange(other.exists_, false);
    }
    return *this;
}

void Key::create()
{
    HKEY created = nullptr;
    LONG result = sys::calls.RegCreateKeyExW(parent_, toWide(path_).c_str(), 0, nullptr,
                                             REG_OPTION_NON_VOLATILE | optionsOf(access_), KEY_ALL_ACCESS, nullptr,
                                             &created, nullptr);
    if (result != ERROR_SUCCESS)
        fail(result, "Unable to create key \"" + path_ + "\"");
    handle_.reset(created);
    exists_ = true;
}

void Key::close()
{
    handle_.reset();
    exists_ = false;
}

void Key::deleteTree()
{
    if (!handle_)
        return;
    for (;;) {
        Key subkey(handle_.get(), DWORD{0}, access_);
        if (!subkey.exists())
            break;
        subkey.deleteTree();
    }
    for (;;) {
        GenericValue value(handle_.get(), DWORD{0});
        if (!value.valueExists())
            break;
        value.erase();
    }
    LONG result = sys::calls.RegDeleteKeyW(parent_, toWide(path_).c_str());
    if (result != ERROR_SUCCESS)
        fail(result, "Unable to delete key");
    close();
}

// ---------------------------------------------------------------- ValueBase

ValueBase::ValueBase(HKEY root, const std::string& keyPath, const std::string& valueName, Access access)
    : root_(root), access_(access), keyPath_(keyPath), valueName_(valueName)
{
    sys::UniqueKey key;
    LONG result = openKey(root_, toWide(keyPath_), access_, key);
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    if (result != ERROR_SUCCESS)
        fail(result, "Cannot open subkey " + keyPath_);
    keyExists_ = true;

    std::wstring name = toWide(valueName_);
    Bytes buffer(firstDataCapacity);
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD type = REG_NONE;
        result = sys::calls.RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, buffer.data(), &size);
        if (result == ERROR_MORE_DATA) {
            growBuffer(buffer, result, "Cannot read value data");
            continue;
        }
        if (result == ERROR_FILE_NOT_FOUND)
            return;
        if (result != ERROR_SUCCESS)
            fail(result, "Cannot read value data");
        buffer.resize(std::min<std::size_t>(size, buffer.size()));
        raw_ = std::move(buffer);
        type_ = type;
        valueExists_ = true;
        return;
    }
}

ValueBase::ValueBase(HKEY key, DWORD index) : root_(key)
{
    std::vector<wchar_t> name(valueNameCapacity);
    Bytes buffer(firstDataCapacity);
    for (;;) {
        DWORD nameLength = valueNameCapacity;
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD type = REG_NONE;
        LONG result =
            sys::calls.RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, buffer.data(), &size);
        if (result == ERROR_MORE_DATA) {
            growBuffer(buffer, result, "Cannot enumerate value data");
            continue;
        }
        if (result == ERROR_FILE_NOT_FOUND || result == ERROR_NO_MORE_ITEMS)
            return;
        if (result != ERROR_SUCCESS)
            fail(result, "Cannot enumerate value data");
        valueName_ = toUtf8(std::wstring(name.data(), std::min<DWORD>(nameLength, valueNameCapacity)));
        buffer.resize(std::min<std::size_t>(size, buffer.size()));
        raw_ = std::move(buffer);
        type_ = type;
        keyExists_ = true;
        valueExists_ = true;
        return;
    }
}

void ValueBase::store()
{
    encode();
    sys::UniqueKey key;
    LONG result = openKey(root_, toWide(keyPath_), access_, key);
    if (result != ERROR_SUCCESS)
        fail(result, "Cannot write-open subkey " + keyPath_);
    result = sys::calls.RegSetValueExW(key.get(), toWide(valueName_).c_str(), 0, type_,
                                       raw_.empty() ? nullptr : raw_.data(), static_cast<DWORD>(raw_.size()));
    if (result != ERROR_SUCCESS)
        fail(result, "Unable to store registry data");
    keyExists_ = true;
    valueExists_ = true;
}

void ValueBase::erase()
{
    std::wstring name = toWide(valueName_);
    LONG result;
    if (keyPath_.empty()) {
        // An enumerated value: the root is the key that holds it.
        result = sys::calls.RegDeleteValueW(root_, name.c_str());
    } else {
        // A value read by name lives in root\keyPath, not in the root itself.
        sys::UniqueKey key;
        result = openKey(root_, toWide(keyPath_), access_, key);
        if (result == ERROR_SUCCESS)
            result = sys::calls.RegDeleteValueW(key.get(), name.c_str());
    }
    if (result != ERROR_SUCCESS)
        fail(result, "Cannot erase value");
    valueExists_ = false;
}

// ---------------------------------------------------------------- typed values

GenericValue::GenericValue(HKEY root, const std::string& keyPath, const std::string& valueName, Access access)
    : ValueBase(root, keyPath, valueName, access)
{
    data_ = {type(), rawData()};
}

GenericValue::GenericValue(HKEY key, DWORD index) : ValueBase(key, index)
{
    data_ = {type(), rawData()};
}

GenericValue::GenericValue(const ValueBase& other) : ValueBase(other)
{
    data_ = {type(), rawData()};
}

GenericValue& GenericValue::operator=(const ValueBase& other)
{
    ValueBase::operator=(other);
    data_ = {type(), rawData()};
    return *this;
}

void GenericValue::encode()
{
    setEncoded(data_.first, data_.second);
}

String::String(HKEY root, const std::string& keyPath, const std::string& valueName, Access access)
    : ValueBase(root, keyPath, valueName, access)
{
    decode();
}

String::String(HKEY key, DWORD index) : ValueBase(key, index)
{
    decode();
}

String::String(const ValueBase& read) : ValueBase(read)
{
    decode();
}

void String::decode()
{
    if (!valueExists())
        return;
    if (type() != REG_SZ)
        throw error::EParseError("Expected value of type REG_SZ");
    data_ = toUtf8(wideOf(rawData()));
    while (!data_.empty() && data_.back() == '\0')
        data_.pop_back();
}

void String::encode()
{
    Bytes raw;
    appendWide(raw, toWide(data_));
    setEncoded(REG_SZ, std::move(raw));
}

MultiString::MultiString(HKEY root, const std::string& keyPath, const std::string& valueName, Access access)
    : ValueBase(root, keyPath, valueName, access)
{
    decode();
}

MultiString::MultiString(HKEY key, DWORD index) : ValueBase(key, index)
{
    decode();
}

MultiString::MultiString(const ValueBase& read) : ValueBase(read)
{
    decode();
}

void MultiString::decode()
{
    if (!valueExists())
        return;
    if (type() != REG_MULTI_SZ)
        throw error::EParseError("Expected value of type REG_MULTI_SZ");
    std::wstring wide = wideOf(rawData());
    std::vector<std::string> strings;
    std::size_t start = 0;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        if (wide[i] == L'\0') {
            strings.push_back(toUtf8(wide.substr(start, i - start)));
            start = i + 1;
        }
    }
    // Text after the last NUL, or a list whose last string is not the empty one that the
    // second NUL closes, is not a complete multi-string.
    if (start != wide.size() || strings.empty() || !strings.back().empty())
        throw error::EParseError("Multistring not double-zero terminated");
    strings.pop_back();
    data_ = std::move(strings);
}

void MultiString::encode()
{
    Bytes raw;
    for (const std::string& text : data_)
        appendWide(raw, toWide(text));
    appendWide(raw, std::wstring());
    setEncoded(REG_MULTI_SZ, std::move(raw));
}

DoubleWord::DoubleWord(HKEY root, const std::string& keyPath, const std::string& valueName, Access access)
    : ValueBase(root, keyPath, valueName, access)
{
    decode();
}

DoubleWord::DoubleWord(HKEY key, DWORD index) : ValueBase(key, index)
{
    decode();
}

DoubleWord::DoubleWord(const ValueBase& read) : ValueBase(read)
{
    decode();
}

void DoubleWord::decode()
{
    if (!valueExists())
        return;
    if (type() != REG_DWORD)
        throw error::EParseError("Expected value of type REG_DWORD");
    const Bytes& raw = rawData();
    if (raw.size() != 4)
        throw error::EParseError("Got " + std::to_string(raw.size()) + " bytes for REG_DWORD");
    data_ =
        std::uint32_t(raw[0]) | std::uint32_t(raw[1]) << 8 | std::uint32_t(raw[2]) << 16 | std::uint32_t(raw[3]) << 24;
}

void DoubleWord::encode()
{
    setEncoded(REG_DWORD, Bytes{std::uint8_t(data_), std::uint8_t(data_ >> 8), std::uint8_t(data_ >> 16),
                                std::uint8_t(data_ >> 24)});
}

// ---------------------------------------------------------------- iterators

namespace {
bool present(const Key& key)
{
    return key.exists();
}
bool present(const GenericValue& value)
{
    return value.valueExists();
}

// An enumerated subkey is opened; an enumerated value is read from the open key.
std::shared_ptr<Key> itemAt(HKEY key, DWORD index, Access access, const Key*)
{
    return std::make_shared<Key>(key, index, access);
}
std::shared_ptr<GenericValue> itemAt(HKEY key, DWORD index, Access, const GenericValue*)
{
    return std::make_shared<GenericValue>(key, index);
}
} // namespace

template <class Item>
EnumerationIterator<Item>::EnumerationIterator(HKEY key, DWORD index, Access access)
    : key_(key), index_(index), access_(access), current_(itemAt(key, index, access, static_cast<Item*>(nullptr)))
{
}

template <class Item>
Item& EnumerationIterator<Item>::operator*() const
{
    if (!current_)
        assertion("Dereference of end iterator");
    return *current_;
}

template <class Item>
EnumerationIterator<Item>& EnumerationIterator<Item>::operator++()
{
    if (atEnd())
        assertion("Increment on end iterator");
    ++index_;
    current_ = itemAt(key_, index_, access_, static_cast<Item*>(nullptr));
    return *this;
}

template <class Item>
bool EnumerationIterator<Item>::atEnd() const
{
    return !current_ || !present(*current_);
}

template class EnumerationIterator<Key>;
template class EnumerationIterator<GenericValue>;

// ---------------------------------------------------------------- free operations

void flushRegistry()
{
    LONG result = sys::calls.RegFlushKey(HKEY_LOCAL_MACHINE);
    if (result != ERROR_SUCCESS)
        fail(result, "Cannot flush registry");
}

void enableBackupRestorePrivileges()
{
    enablePrivileges(
        {{SE_RESTORE_NAME, "Cannot look up SE_RESTORE_NAME privilege value", "Cannot add restore privilege to process"},
         {SE_BACKUP_NAME, "Cannot look up SE_BACKUP_NAME privilege value", "Cannot add backup privilege to process"}});
}

LoadedHive::LoadedHive(HKEY root, const std::string& subkey, const std::string& hiveFile)
    : root_(root), subkey_(subkey), wideSubkey_(toWide(subkey))
{
    std::wstring file = toWide(hiveFile);
    LONG result = sys::calls.RegLoadKeyW(root_, wideSubkey_.c_str(), file.c_str());
    if (result == ERROR_PRIVILEGE_NOT_HELD) {
        enableBackupRestorePrivileges();
        result = sys::calls.RegLoadKeyW(root_, wideSubkey_.c_str(), file.c_str());
    }
    if (result != ERROR_SUCCESS)
        fail(result, "Unable to load hive " + hiveFile + " into active registry");
    loaded_ = true;
}

void LoadedHive::unload()
{
    if (!loaded_)
        return;
    loaded_ = false;
    sys::calls.RegUnLoadKeyW(root_, wideSubkey_.c_str());
}

} // namespace winreg
