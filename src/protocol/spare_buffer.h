#pragma once
// One kept buffer for the large strings of a message stream. Without it every chunk message
// would get a fresh buffer of a chunk's size, and a large block comes straight from the
// system: mapped, faulted in page by page, cleared and unmapped again for every message. With
// it, the storage of a message that is done with serves the next one.
#include <cstddef>
#include <string>

namespace protocol {

// Storage smaller than this is not worth keeping.
constexpr std::size_t kSpareMinimum = 64 * 1024;
// Nor is storage larger than this: what one oversized message grew is given back at once.
constexpr std::size_t kSpareMaximum = 4 * 1024 * 1024;

// Empties `text`; when its storage holds kSpareMinimum to kSpareMaximum bytes, keeps that
// storage in place of the one kept before. Safe from any thread.
void keepSpare(std::string& text) noexcept;

// Empties `text` and, when its own storage holds fewer than `length` bytes and the kept one
// holds at least `length`, gives it the kept storage. Safe from any thread.
void takeSpare(std::string& text, std::size_t length);

} // namespace protocol
