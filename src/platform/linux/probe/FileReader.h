#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Reads small system files whole with open/read/close into a buffer that is reused from one
// sample to the next, so steady-state sampling does not allocate.
class FileReader final {
public:
    explicit FileReader(size_t initialCapacity = 4096) : m_buffer(initialCapacity) {}

    // The file's content, or nullopt-like empty view with ok=false when it cannot be read.
    // The view stays valid until the next read.
    bool read(const char* path, std::string_view& content);

private:
    std::vector<char> m_buffer;
};

// Field helpers over a text view; none allocate.
namespace TextScan {

// The line starting at pos (without its line feed); pos moves past it.
bool nextLine(std::string_view text, size_t& pos, std::string_view& line);
// Parses the next unsigned decimal number in s from pos, skipping spaces; false at the end.
bool nextNumber(std::string_view s, size_t& pos, unsigned long long& value);
// The next field separated by spaces or tabs from pos; false at the end.
bool nextField(std::string_view s, size_t& pos, std::string_view& field);
// A field's unsigned number in the given base, 0 when it holds none (as strtoull).
unsigned long long numberOf(std::string_view field, int base = 10);
// The line's first count fields into fields; true when it has that many.
bool firstFields(std::string_view line, std::string_view* fields, int count);
// The content with surrounding white space removed.
std::string_view trimmed(std::string_view s);

} // namespace TextScan
