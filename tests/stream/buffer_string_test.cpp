// JBufferString: the edge cases of each operation, then random operation sequences checked
// against a model of the whole buffer.

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>

#include "stream/JBufferString.h"
#include "test_streams.h"

namespace {

TEST(BufferString, AddNeverAppendsPartly) {
    char buf[5];
    JBufferString s(buf, 4, false);
    EXPECT_TRUE(s.isEmpty());
    s.add("abc", 3);
    EXPECT_EQ(s.size(), 3);
    s.add("de", 2);
    EXPECT_EQ(s.size(), 3);
    EXPECT_STREQ(s.data(), "abc");
    s.add('d');
    EXPECT_EQ(s.size(), 4);
    EXPECT_STREQ(s.data(), "abcd");
    s.add('e');
    s.add("", 0);
    s.add("x", -1);
    EXPECT_STREQ(s.data(), "abcd");
}

TEST(BufferString, AddOfAnotherStringAndOfItself) {
    char a[9], b[9];
    JBufferString left(a, 8, false), right(b, 8, false);
    left.assign("ab", 2);
    right.assign("cd", 2);
    left.add(right);
    EXPECT_STREQ(left.data(), "abcd");
    left.add(left);
    EXPECT_STREQ(left.data(), "abcdabcd");
    left.add(right);  // no room
    EXPECT_STREQ(left.data(), "abcdabcd");
}

TEST(BufferString, AssignRefusesNegativeAndOversizedLengths) {
    char buf[5];
    JBufferString s(buf, 4, false);
    s.assign("ab", 2);
    s.assign("xyz", -1);
    EXPECT_STREQ(s.data(), "ab");
    s.assign("vwxyz", 5);
    EXPECT_STREQ(s.data(), "ab");
    s.assign("wxyz", 4);
    EXPECT_STREQ(s.data(), "wxyz");
    char other[5];
    JBufferString t(other, 4, false);
    t.assign(s);
    EXPECT_TRUE(t.isEqual("wxyz", 4));
}

TEST(BufferString, FullConstructorAndDefault) {
    char buf[6] = "hello";
    JBufferString full(buf, 5, true);
    EXPECT_EQ(full.size(), 4);
    EXPECT_STREQ(full.data(), "hell");
    JBufferString none;
    EXPECT_EQ(none.size(), 0);
    EXPECT_STREQ(none.data(), "");
    none.add('x');
    none.clear();
    EXPECT_EQ(none.size(), 0);
    JBufferString bad(nullptr, 10, true);
    EXPECT_EQ(bad.size(), 0);
    bad.add("abc", 3);
    EXPECT_EQ(bad.size(), 0);
}

TEST(BufferString, TrimLeavesTheTextBetweenWhiteSpace) {
    char buf[16];
    JBufferString s(buf, 15, false);
    s.assign("  ab \r\n", 7);
    s.trim();
    EXPECT_EQ(s.size(), 2);
    EXPECT_STREQ(s.data(), "ab");
    EXPECT_EQ(buf[4], '\0');
    s.reset();
    EXPECT_EQ(s.size(), 4);
}

TEST(BufferString, TrimOfAllWhiteContentLeavesAnEmptyView) {
    char buf[8];
    JBufferString s(buf, 7, false);
    s.assign(" \t\r\n ", 5);
    s.trim();
    EXPECT_EQ(s.size(), 0);
    EXPECT_STREQ(s.data(), "");
    EXPECT_FALSE(s.isEmpty());  // the view ends past the buffer's start
    EXPECT_FALSE(s.endsWith(' '));
    EXPECT_FALSE(s.startsWith(' '));
    EXPECT_EQ(s.indexOf(' ', 0), -1);
    EXPECT_EQ(s.lastIndexOf(' '), -1);
}

TEST(BufferString, VerticalTabIsNotWhiteSpace) {
    EXPECT_FALSE(JBufferString::isWhiteSpace('\v'));
    for (char c : {'\t', '\n', '\f', '\r', ' '}) EXPECT_TRUE(JBufferString::isWhiteSpace(c));
    EXPECT_TRUE(JBufferString::isDigit('0'));
    EXPECT_FALSE(JBufferString::isDigit('a'));
    EXPECT_TRUE(JBufferString::isAlpha('Z'));
    EXPECT_FALSE(JBufferString::isAlpha('\xE9'));
}

TEST(BufferString, Searches) {
    char buf[8];
    JBufferString s(buf, 7, false);
    EXPECT_EQ(s.indexOf("b"), -1);
    s.assign("abcb", 4);
    EXPECT_EQ(s.indexOf("b"), 1);
    EXPECT_EQ(s.indexOf("cb"), 2);
    EXPECT_EQ(s.indexOf("bb"), -1);
    EXPECT_EQ(s.lastIndexOf('b'), 3);
    EXPECT_EQ(s.indexOf('b', 2), 3);
    EXPECT_EQ(s.indexOf('b', 4), -1);
    EXPECT_EQ(s.indexOf('a', -3), 0);
    EXPECT_TRUE(s.startsWith("ab"));
    EXPECT_FALSE(s.startsWith("abcbz"));
    EXPECT_TRUE(s.startsWith('a'));
    EXPECT_TRUE(s.endsWith('b'));
    EXPECT_EQ(s.at(2), 'c');
    EXPECT_EQ(s.at(4), '\0');
    EXPECT_EQ(s.at(-1), '\0');
}

TEST(BufferString, ComparisonsWithAndWithoutCase) {
    char buf[8];
    JBufferString s(buf, 7, false);
    EXPECT_TRUE(s.isEqual("", 0));
    EXPECT_FALSE(s.compareNoCase(""));
    s.assign("abc", 3);
    EXPECT_TRUE(s.compareNoCase("AbC"));
    s.assign("abcd", 4);
    EXPECT_FALSE(s.compareNoCase("AbC"));
    EXPECT_FALSE(s.isEqual("abc", 3));
    EXPECT_TRUE(s.isEqual("abcd", 4));
    s.toLower();
    char other[8];
    JBufferString t(other, 7, false);
    t.assign("ABCD", 4);
    EXPECT_FALSE(s == t);
    t.toLower();
    EXPECT_TRUE(s == t);
    t.assign("abce", 4);
    EXPECT_TRUE(s < t);
    EXPECT_FALSE(t < s);
    t.assign("\xE0", 1);  // bytes compare unsigned
    EXPECT_TRUE(s < t);
}

TEST(BufferString, ClearEmptiesTheContentAndLeavesTheSharedBytesAlone) {
    char buf[8];
    JBufferString s(buf, 7, false);
    s.assign("abc", 3);
    const JBufferString copy = s;
    s.clear();
    EXPECT_EQ(s.size(), 0);
    EXPECT_TRUE(s.isEmpty());
    EXPECT_EQ(s.data(), buf);
    EXPECT_FALSE(s.startsWith('a'));
    EXPECT_FALSE(s.endsWith('c'));
    // The copy's content lies in the same buffer: clear wrote nothing into it.
    EXPECT_STREQ(copy.data(), "abc");
    char other[8];
    JBufferString empty(other, 7, false);
    EXPECT_FALSE(empty < s);
    EXPECT_FALSE(s < empty);
}

TEST(BufferString, RemoveAndMidRefuseRangesOutsideTheContent) {
    char buf[16];
    JBufferString s(buf, 15, false);
    s.assign("0123456789", 10);
    s.remove(8, 3);
    s.remove(-1, 2);
    s.remove(2, -2);
    EXPECT_STREQ(s.data(), "0123456789");
    s.remove(2, 3);
    EXPECT_STREQ(s.data(), "0156789");
    s.mid(5, 3);
    s.mid(-1, 1);
    EXPECT_STREQ(s.data(), "0156789");
    s.mid(2, 3);
    EXPECT_STREQ(s.data(), "567");
    EXPECT_FALSE(s.isEmpty());
    s.setSize(1);  // before data(): would make the size negative
    EXPECT_EQ(s.size(), 3);
    s.setSize(-4);
    s.setSize(16);
    EXPECT_EQ(s.size(), 3);
}

// The whole state of a JBufferString as plain values: the buffer's bytes, where the view
// starts and where it ends.
struct Model {
    std::string buf;
    long start = 0;
    long used = 0;
    long capacity = 0;
    std::string content() const { return buf.substr(start, used - start); }
    void terminate() { buf[used] = '\0'; }
};

bool isWhite(char c) { return c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }

TEST(BufferString, RandomOperationsMatchTheModel) {
    const int rounds = longTests() ? 200 : 20;
    for (int variant = 1; variant <= rounds; ++variant) {
        SCOPED_TRACE(variant);
        std::mt19937 rng(variant);
        auto pick = [&](long lo, long hi) {
            return std::uniform_int_distribution<long>(lo, hi)(rng);
        };
        const long capacity = pick(0, 40);
        std::string storage(static_cast<size_t>(capacity + 1), '\0');
        JBufferString s(storage.data(), capacity, false);
        Model m;
        m.buf = storage;
        m.capacity = capacity;
        const std::string alphabet = "abAB \t\r\n\v0x";
        auto text = [&](long n) {
            std::string t;
            for (long i = 0; i < n; ++i) t += alphabet[pick(0, long(alphabet.size()) - 1)];
            return t;
        };
        for (int step = 0; step < 400; ++step) {
            const std::string c = m.content();
            const long len = static_cast<long>(c.size());
            switch (pick(0, 10)) {
                case 0: {
                    const long n = pick(-2, 12);
                    const std::string t = text(std::max(n, 0L));
                    s.add(t.data(), n);
                    if (n >= 0 && m.used + n <= capacity) {
                        m.buf.replace(m.used, n, t);
                        m.used += n;
                        m.terminate();
                    }
                    break;
                }
                case 1: {
                    const std::string t = text(1);
                    s.add(t[0]);
                    if (m.used < capacity) {
                        m.buf[m.used++] = t[0];
                        m.terminate();
                    }
                    break;
                }
                case 2: {
                    const long n = pick(-2, capacity + 2);
                    const std::string t = text(std::max(n, 0L));
                    s.assign(t.data(), n);
                    if (n >= 0 && n <= capacity) {
                        m.buf.replace(0, n, t);
                        m.start = 0;
                        m.used = n;
                        m.terminate();
                    }
                    break;
                }
                case 3: {
                    const long p = pick(-1, len + 1), n = pick(-1, len + 1);
                    s.remove(p, n);
                    if (p >= 0 && n >= 0 && p + n <= len) {
                        m.buf.replace(m.start + p, len - p - n, c.substr(p + n));
                        m.used -= n;
                        m.terminate();
                    }
                    break;
                }
                case 4: {
                    const long p = pick(-1, len + 1), n = pick(-1, len + 1);
                    s.mid(p, n);
                    if (p >= 0 && n >= 0 && p + n <= len) {
                        m.start += p;
                        m.used = m.start + n;
                        m.terminate();
                    }
                    break;
                }
                case 5: {
                    s.trim();
                    while (m.start < m.used && isWhite(m.buf[m.start])) ++m.start;
                    while (m.used > m.start && isWhite(m.buf[m.used - 1])) --m.used;
                    m.terminate();
                    break;
                }
                case 6:
                    s.toLower();
                    for (long i = m.start; i < m.used; ++i)
                        m.buf[i] =
                            static_cast<char>(std::tolower(static_cast<unsigned char>(m.buf[i])));
                    break;
                case 7:
                    if (pick(0, 3) == 0) {
                        s.clear();  // writes no byte
                        m.start = m.used = 0;
                    } else {
                        s.reset();
                        m.start = 0;
                    }
                    break;
                case 8: {
                    const long n = pick(-1, capacity + 1);
                    s.setSize(n);
                    if (n >= 0 && n <= capacity && n >= m.start) {
                        m.used = n;
                        m.terminate();
                    }
                    break;
                }
                default: {
                    // Queries: compared with the same answers computed from the model.
                    const std::string needle = text(pick(1, 2));
                    const size_t at = c.find(needle);
                    EXPECT_EQ(s.indexOf(needle.c_str()),
                              m.used == 0 || at == std::string::npos ? -1 : long(at));
                    const char ch = needle[0];
                    const size_t last = c.rfind(ch);
                    EXPECT_EQ(s.lastIndexOf(ch), last == std::string::npos ? -1 : long(last));
                    EXPECT_EQ(s.startsWith(needle.c_str()), m.used > 0 && c.rfind(needle, 0) == 0);
                    EXPECT_EQ(s.endsWith(ch), len > 0 && c.back() == ch);
                    EXPECT_EQ(s.isEqual(needle.data(), long(needle.size())), c == needle);
                    std::string lc = c, ln = needle;
                    for (auto& x : lc) x = char(std::tolower((unsigned char)x));
                    for (auto& x : ln) x = char(std::tolower((unsigned char)x));
                    EXPECT_EQ(s.compareNoCase(needle.c_str()), m.used > 0 && lc == ln);
                    break;
                }
            }
            ASSERT_EQ(s.size(), m.used - m.start) << "step " << step;
            ASSERT_EQ(s.data(), storage.data() + m.start);
            ASSERT_EQ(s.isEmpty(), m.used == 0);
            ASSERT_EQ(std::memcmp(storage.data(), m.buf.data(), static_cast<size_t>(m.used + 1)), 0)
                << "step " << step;
        }
    }
}

}  // namespace
