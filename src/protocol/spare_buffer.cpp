#include "protocol/spare_buffer.h"

#include <mutex>

namespace protocol {
namespace {

struct Spare {
    std::mutex lock;
    std::string storage;
};

// Never destroyed: messages may die during the process's own exit.
Spare& spare()
{
    static Spare* kept = new Spare;
    return *kept;
}

} // namespace

void keepSpare(std::string& text) noexcept
{
    text.clear();
    if (text.capacity() < kSpareMinimum || text.capacity() > kSpareMaximum)
        return;
    Spare& s = spare();
    std::lock_guard<std::mutex> guard(s.lock);
    s.storage.swap(text);
}

void takeSpare(std::string& text, std::size_t length)
{
    text.clear();
    if (text.capacity() >= length)
        return;
    Spare& s = spare();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.storage.capacity() >= length) {
        text.swap(s.storage);
        s.storage.clear();
    }
}

} // namespace protocol
