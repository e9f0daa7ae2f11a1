#include "FileReader.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

bool FileReader::read(const char* path, std::string_view& content)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t size = 0;
    for (;;) {
        if (size == m_buffer.size())
            m_buffer.resize(m_buffer.size() * 2); // grows once for large files, then reused
        const ssize_t n = ::read(fd, m_buffer.data() + size, m_buffer.size() - size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        size += size_t(n);
    }
    ::close(fd);
    content = std::string_view(m_buffer.data(), size);
    return true;
}

namespace TextScan {

bool nextLine(std::string_view text, size_t& pos, std::string_view& line)
{
    if (pos >= text.size())
        return false;
    const size_t end = text.find('\n', pos);
    const size_t stop = end == std::string_view::npos ? text.size() : end;
    line = text.substr(pos, stop - pos);
    pos = stop + 1;
    return true;
}

bool nextNumber(std::string_view s, size_t& pos, unsigned long long& value)
{
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
        ++pos;
    if (pos >= s.size() || s[pos] < '0' || s[pos] > '9')
        return false;
    unsigned long long v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        v = v * 10 + unsigned(s[pos] - '0');
        ++pos;
    }
    value = v;
    return true;
}

bool nextField(std::string_view s, size_t& pos, std::string_view& field)
{
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
        ++pos;
    const size_t start = pos;
    while (pos < s.size() && s[pos] != ' ' && s[pos] != '\t')
        ++pos;
    field = s.substr(start, pos - start);
    return pos > start;
}

unsigned long long numberOf(std::string_view field, int base)
{
    unsigned long long value = 0;
    std::from_chars(field.data(), field.data() + field.size(), value, base);
    return value;
}

bool firstFields(std::string_view line, std::string_view* fields, int count)
{
    size_t at = 0;
    int n = 0;
    while (n < count && nextField(line, at, fields[n]))
        ++n;
    return n == count;
}

std::string_view trimmed(std::string_view s)
{
    const char* ws = " \t\r\n";
    const size_t first = s.find_first_not_of(ws);
    if (first == std::string_view::npos)
        return {};
    const size_t last = s.find_last_not_of(ws);
    return s.substr(first, last - first + 1);
}

} // namespace TextScan
