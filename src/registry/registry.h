#pragma once
// The registry as the hive restore uses it: open keys, iterators over subkeys and values,
// typed values that read themselves when built and write themselves back on request, a
// loaded-hive guard and the backup and restore privileges. Texts are UTF-8 here and UTF-16
// towards Windows.
//
// Absence is not an error: a missing key, a missing value and the end of an enumeration show
// in the exists flags. Every other failing registry call throws the system error of its own
// result code; a value of the wrong type or shape throws error::EParseError.
#include "sys/handle.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace winreg {

using Bytes = std::vector<std::uint8_t>;

// How keys are opened: with the caller's own rights, or with REG_OPTION_BACKUP_RESTORE, so
// that the enabled backup and restore privileges grant what the key's ACL does not (keys of
// the SYSTEM hive that administrators may only read).
enum class Access { normal, backupRestore };

template <class Item>
class EnumerationIterator;
class Key;
class GenericValue;
using SubkeyIterator = EnumerationIterator<Key>;
using ValueIterator = EnumerationIterator<GenericValue>;

// The subkeys or the values of one key, from index 0, for range-for.
template <class Item>
class Enumeration {
public:
    Enumeration(HKEY key, Access access) : key_(key), access_(access) {}
    EnumerationIterator<Item> begin() const;
    EnumerationIterator<Item> end() const;

private:
    HKEY key_;
    Access access_;
};

// One key below a parent, opened with KEY_ALL_ACCESS. A Key owns the handle that it opened
// (by path, by index or through create) and closes it when it is destroyed, closed or its
// tree deleted; the parent handle is never closed here. Its subkeys are opened with the
// same access.
class Key {
public:
    // Opens parent\path. Any failure only means that the key does not exist.
    Key(HKEY parent, const std::string& path, Access access = Access::normal);
    // Opens the subkey at `index` of `parent`. Past the last subkey the key does not exist;
    // other failures throw.
    Key(HKEY parent, DWORD index, Access access = Access::normal);
    ~Key() = default;
    Key(Key&& other) noexcept;
    Key& operator=(Key&& other) noexcept;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    // Creates the key, or opens it if it exists already. Throws when neither works.
    void create();
    void close();
    // Removes the key with all its subkeys and values, deepest first, then closes it.
    // Nothing happens when the key is not open.
    void deleteTree();

    bool exists() const { return exists_; }
    const std::string& path() const { return path_; }
    HKEY handle() const { return handle_.get(); }
    HKEY parent() const { return parent_; }

    // Enumerating a key that is not open fails in Windows and throws.
    Enumeration<Key> subkeys() const { return Enumeration<Key>(handle(), access_); }
    Enumeration<GenericValue> values() const;

private:
    HKEY parent_;
    Access access_ = Access::normal;
    std::string path_;
    sys::UniqueKey handle_;
    bool exists_ = false;
};

// One named value: read when built, written back by store. The derived classes decode the
// bytes into their data and encode it again.
class ValueBase {
public:
    // Reads value `valueName` of root\keyPath. A missing key or value leaves the flags false.
    // The key is opened with `access`, here and by store and erase.
    ValueBase(HKEY root, const std::string& keyPath, const std::string& valueName, Access access = Access::normal);
    // Reads the value at `index` of an open key, which becomes the root (key path empty).
    // Past the last value both flags stay false.
    ValueBase(HKEY key, DWORD index);
    virtual ~ValueBase() = default;

    // Encodes the data and writes it under the value's name. The key must exist.
    void store();
    // Deletes the value.
    void erase();

    bool keyExists() const { return keyExists_; }
    bool valueExists() const { return valueExists_; }
    HKEY root() const { return root_; }
    const std::string& keyPath() const { return keyPath_; }
    const std::string& valueName() const { return valueName_; }
    DWORD type() const { return type_; }
    const Bytes& rawData() const { return raw_; }

protected:
    ValueBase() = default;
    ValueBase(const ValueBase&) = default;
    ValueBase& operator=(const ValueBase&) = default;

    // Sets type and raw data from the decoded data; store calls it first.
    virtual void encode() = 0;
    void setEncoded(DWORD type, Bytes raw)
    {
        type_ = type;
        raw_ = std::move(raw);
    }

private:
    HKEY root_ = nullptr;
    Access access_ = Access::normal;
    std::string keyPath_;
    std::string valueName_;
    Bytes raw_;
    DWORD type_ = REG_NONE;
    bool keyExists_ = false;
    bool valueExists_ = false;
};

// The decoded data of a typed value; an absent value holds T's empty default.
template <class T>
class DataContainer {
public:
    T& data() { return data_; }
    const T& data() const { return data_; }

protected:
    T data_{};
};

// Any type, kept as read: data is the pair of registry type and bytes, stored unchanged.
class GenericValue : public ValueBase, public DataContainer<std::pair<DWORD, Bytes>> {
public:
    GenericValue() = default;
    GenericValue(HKEY root, const std::string& keyPath, const std::string& valueName, Access access = Access::normal);
    GenericValue(HKEY key, DWORD index);
    GenericValue(const GenericValue&) = default;
    GenericValue& operator=(const GenericValue&) = default;
    // Takes over root, key path, name, type, bytes and both flags of `other`.
    explicit GenericValue(const ValueBase& other);
    GenericValue& operator=(const ValueBase& other);

protected:
    void encode() override;
};

// REG_SZ as UTF-8, without trailing NULs.
class String : public ValueBase, public DataContainer<std::string> {
public:
    String(HKEY root, const std::string& keyPath, const std::string& valueName, Access access = Access::normal);
    String(HKEY key, DWORD index);
    // Decodes a value that was read already, for example through a value iterator.
    explicit String(const ValueBase& read);

protected:
    void encode() override;

private:
    void decode();
};

// REG_MULTI_SZ as a list of UTF-8 strings.
class MultiString : public ValueBase, public DataContainer<std::vector<std::string>> {
public:
    MultiString(HKEY root, const std::string& keyPath, const std::string& valueName, Access access = Access::normal);
    MultiString(HKEY key, DWORD index);
    explicit MultiString(const ValueBase& read);

protected:
    void encode() override;

private:
    void decode();
};

// REG_DWORD of exactly four bytes.
class DoubleWord : public ValueBase, public DataContainer<std::uint32_t> {
public:
    DoubleWord(HKEY root, const std::string& keyPath, const std::string& valueName, Access access = Access::normal);
    DoubleWord(HKEY key, DWORD index);
    explicit DoubleWord(const ValueBase& read);

protected:
    void encode() override;

private:
    void decode();
};

// Walks the subkeys (Item = Key) or values (Item = GenericValue) of one key by index. Copies
// share the current item. Advancing past the end is a programming error and ends the process.
template <class Item>
class EnumerationIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Item;
    using difference_type = std::ptrdiff_t;
    using pointer = Item*;
    using reference = Item&;

    // The end.
    EnumerationIterator() = default;
    // Reads the item at `index` of `key`; subkeys are opened with `access`.
    EnumerationIterator(HKEY key, DWORD index, Access access = Access::normal);

    Item& operator*() const;
    Item* operator->() const { return &**this; }
    EnumerationIterator& operator++();
    EnumerationIterator operator++(int)
    {
        EnumerationIterator before = *this;
        ++*this;
        return before;
    }

    bool atEnd() const;
    DWORD index() const { return index_; }

    friend bool operator==(const EnumerationIterator& a, const EnumerationIterator& b)
    {
        if (a.atEnd() || b.atEnd())
            return a.atEnd() == b.atEnd();
        return a.index_ == b.index_;
    }

private:
    HKEY key_ = nullptr;
    DWORD index_ = 0;
    Access access_ = Access::normal;
    std::shared_ptr<Item> current_;
};

extern template class EnumerationIterator<Key>;
extern template class EnumerationIterator<GenericValue>;

template <class Item>
EnumerationIterator<Item> Enumeration<Item>::begin() const
{
    return EnumerationIterator<Item>(key_, 0, access_);
}

template <class Item>
EnumerationIterator<Item> Enumeration<Item>::end() const
{
    return EnumerationIterator<Item>();
}

inline Enumeration<GenericValue> Key::values() const
{
    return Enumeration<GenericValue>(handle(), access_);
}

// Writes the registry to disk (RegFlushKey on HKEY_LOCAL_MACHINE).
void flushRegistry();

// Enables SeRestorePrivilege and SeBackupPrivilege in the process token.
void enableBackupRestorePrivileges();

// A hive file loaded under root\subkey for the guard's lifetime. A load refused for want of
// privilege is tried once more after enabling the backup and restore privileges. Every key
// opened inside the hive must be closed before the guard unloads it.
class LoadedHive {
public:
    LoadedHive(HKEY root, const std::string& subkey, const std::string& hiveFile);
    ~LoadedHive() { unload(); }
    LoadedHive(const LoadedHive&) = delete;
    LoadedHive& operator=(const LoadedHive&) = delete;

    // Unloads the hive now; later calls do nothing. Windows' answer is not checked.
    void unload();

    HKEY root() const { return root_; }
    const std::string& subkey() const { return subkey_; }

private:
    HKEY root_;
    std::string subkey_;
    std::wstring wideSubkey_;
    bool loaded_ = false;
};

} // namespace winreg
