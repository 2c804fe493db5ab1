#include "JBufferString.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The content of default-constructed strings. Only ever holds its zero byte, which
// terminate() never rewrites.
char g_emptyText[1] = {'\0'};

char lowered(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

JBufferString::JBufferString()
    : m_buffer(g_emptyText), m_data(g_emptyText), m_used(0), m_capacity(0) {}

JBufferString::JBufferString(char* buf, long capacity, bool full) : JBufferString() {
    if (buf == nullptr || capacity < 0) return;
    m_buffer = m_data = buf;
    m_capacity = capacity;
    m_used = full && capacity > 0 ? capacity - 1 : 0;
    terminate();
}

void JBufferString::terminate() {
    if (m_buffer != g_emptyText) m_buffer[m_used] = '\0';
}

long JBufferString::size() const { return static_cast<long>(m_buffer + m_used - m_data); }

char* JBufferString::buffer() { return m_buffer; }

const char* JBufferString::data() const { return m_data; }

void JBufferString::setSize(long n) {
    if (n < 0 || n > m_capacity || n < m_data - m_buffer) return;
    m_used = n;
    terminate();
}

void JBufferString::reset() { m_data = m_buffer; }

void JBufferString::clear() {
    // Writes nothing: copies sharing the buffer keep their bytes.
    m_used = 0;
    m_data = m_buffer;
}

void JBufferString::add(const char* s, long n) {
    if (n < 0 || n > m_capacity - m_used || (s == nullptr && n > 0)) return;
    if (n > 0) std::memmove(m_buffer + m_used, s, static_cast<size_t>(n));
    m_used += n;
    terminate();
}

void JBufferString::add(char c) { add(&c, 1); }

void JBufferString::add(const JBufferString& other) { add(other.m_data, other.size()); }

void JBufferString::assign(const char* s, long n) {
    if (n < 0 || n > m_capacity || (s == nullptr && n > 0)) return;
    if (n > 0) std::memmove(m_buffer, s, static_cast<size_t>(n));
    m_used = n;
    m_data = m_buffer;
    terminate();
}

void JBufferString::assign(JBufferString& other) { assign(other.m_data, other.size()); }

void JBufferString::remove(long pos, long n) {
    const long length = size();
    if (pos < 0 || n < 0 || pos > length || n > length - pos) return;
    char* at = m_data + pos;
    std::memmove(at, at + n, static_cast<size_t>(length - pos - n));
    m_used -= n;
    terminate();
}

void JBufferString::mid(long pos, long n) {
    const long length = size();
    if (pos < 0 || n < 0 || pos > length || n > length - pos) return;
    m_data += pos;
    m_used = static_cast<long>(m_data - m_buffer) + n;
    terminate();
}

char JBufferString::at(long i) const {
    if (i < 0 || i >= size()) return '\0';
    return m_data[i];
}

long JBufferString::indexOf(const char* s) const {
    if (s == nullptr || m_used == 0) return -1;
    const char* end = m_data + size();
    const char* begin = m_data;
    const char* found = std::search(begin, end, s, s + std::strlen(s));
    if (found == end && *s != '\0') return -1;
    return static_cast<long>(found - begin);
}

long JBufferString::indexOf(char c, int from) const {
    const long length = size();
    if (m_used == 0 || from >= length) return -1;
    for (long i = std::max(0, from); i < length; ++i)
        if (m_data[i] == c) return i;
    return -1;
}

long JBufferString::lastIndexOf(char c) const {
    if (m_used == 0) return -1;
    for (long i = size() - 1; i >= 0; --i)
        if (m_data[i] == c) return i;
    return -1;
}

bool JBufferString::startsWith(const char* s) {
    if (s == nullptr || m_used == 0) return false;
    const long n = static_cast<long>(std::strlen(s));
    return n <= size() && std::memcmp(m_data, s, static_cast<size_t>(n)) == 0;
}

bool JBufferString::startsWith(char c) { return size() > 0 && m_data[0] == c; }

bool JBufferString::endsWith(char c) { return size() > 0 && m_buffer[m_used - 1] == c; }

bool JBufferString::compareNoCase(const char* s, long n) const {
    if (m_used <= 0 || s == nullptr || size() != n) return false;
    for (long i = 0; i < n; ++i)
        if (lowered(m_data[i]) != lowered(s[i])) return false;
    return true;
}

bool JBufferString::compareNoCase(const char* s) const {
    if (s == nullptr) return false;
    return compareNoCase(s, static_cast<long>(std::strlen(s)));
}

bool JBufferString::isEqual(const char* s, long n) {
    if (size() != n) return false;
    if (n == 0) return true;
    return s != nullptr && std::memcmp(m_data, s, static_cast<size_t>(n)) == 0;
}

bool JBufferString::isEqual(const JBufferString& other) {
    return isEqual(other.m_data, other.size());
}

bool JBufferString::operator==(const JBufferString& other) { return isEqual(other); }

bool JBufferString::operator<(const JBufferString& other) const {
    // Compares as zero-terminated texts, with the content's end acting as the terminator.
    const long a = size();
    const long b = other.size();
    for (long i = 0;; ++i) {
        const unsigned char x = i < a ? static_cast<unsigned char>(m_data[i]) : 0;
        const unsigned char y = i < b ? static_cast<unsigned char>(other.m_data[i]) : 0;
        if (x != y) return x < y;
        if (x == 0) return false;
    }
}

void JBufferString::toLower() {
    const long length = size();
    for (long i = 0; i < length; ++i) m_data[i] = lowered(m_data[i]);
}

void JBufferString::trim() {
    char* end = m_buffer + m_used;
    while (m_data < end && isWhiteSpace(*m_data)) ++m_data;
    // Never moves the end before the start: all-white content becomes an empty view.
    while (end > m_data && isWhiteSpace(end[-1])) --end;
    m_used = static_cast<long>(end - m_buffer);
    terminate();
}

bool JBufferString::isEmpty() { return m_used == 0; }

bool JBufferString::isWhiteSpace(char c) {
    return c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

bool JBufferString::isDigit(char c) { return c >= '0' && c <= '9'; }

bool JBufferString::isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
