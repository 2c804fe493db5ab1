// JBufferString operations decoded from the input, checked after every step against a
// model of the caller's buffer.
//
// Input: capacity (1 byte), then the buffer's initial bytes, then operations. Two views
// share the one buffer (as copies of a JBufferString do); each operation names the view it
// works on. The buffer is allocated with exactly capacity + 1 bytes, so a write or read
// outside it is an AddressSanitizer report.
//
// The model knows every byte of the buffer that the contract fixes: the content, the zero
// byte after it (clear() writes none) and everything before data(). Bytes a removal leaves
// behind past the new end are not fixed by the contract; they are taken from the real buffer
// when next seen.

#include <algorithm>
#include <cctype>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "stream/JBufferString.h"

namespace {

enum Op : uint8_t {
    kConstruct,
    kMakeDefault,
    kCopyOther,
    kSetSize,
    kReset,
    kClear,
    kAddBytes,
    kAddChar,
    kAddOther,
    kAssignBytes,
    kAssignOther,
    kRemove,
    kMid,
    kToLower,
    kTrim,
    kQueryAt,
    kQueryIndexOfText,
    kQueryIndexOfChar,
    kQueryStartsWithText,
    kQueryStartsWithChar,
    kQueryEndsWith,
    kQueryCompareNoCase,
    kQueryIsEqual,
    kQueryLess,
    kQueryClasses,
    kOpCount
};

struct ViewModel {
    bool onBuffer = false;  // false: a default-constructed string (capacity 0)
    long dataOff = 0;
    long used = 0;
};

char lowered(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// A heap copy of exactly t.size() bytes (never null), so reading past them is reported.
std::unique_ptr<char[]> exactCopy(const std::string& t) {
    std::unique_ptr<char[]> copy(new char[t.size()]);
    std::copy(t.begin(), t.end(), copy.get());
    return copy;
}

bool whiteSpace(char c) { return c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }

class Harness {
  public:
    explicit Harness(long capacity)
        : m_capacity(capacity),
          m_buf(new char[static_cast<size_t>(capacity) + 1]),
          m_model(static_cast<size_t>(capacity) + 1, '\0'),
          m_known(static_cast<size_t>(capacity) + 1, true) {}

    void fillBuffer(const std::vector<char>& bytes) {
        for (long i = 0; i <= m_capacity; ++i) {
            const char c = i < static_cast<long>(bytes.size()) ? bytes[static_cast<size_t>(i)]
                                                               : static_cast<char>(i * 7);
            m_buf[i] = c;
            m_model[static_cast<size_t>(i)] = c;
        }
    }

    void run(FuzzInput& in) {
        for (int step = 0; !in.empty() && step < 1500; ++step) {
            const int op = in.u8() % kOpCount;
            const int v = in.u8() & 1;
            fuzzContext = "step " + std::to_string(step) + " op " + std::to_string(op) + " view " +
                          std::to_string(v);
            apply(in, static_cast<Op>(op), v);
            checkAll();
        }
    }

  private:
    std::string content(int v) const {
        const ViewModel& m = m_views[v];
        if (!m.onBuffer) return std::string();
        return std::string(m_model.begin() + m.dataOff, m_model.begin() + m.used);
    }

    void terminate(const ViewModel& m) {
        if (!m.onBuffer) return;
        m_model[static_cast<size_t>(m.used)] = '\0';
        m_known[static_cast<size_t>(m.used)] = true;
    }

    void modelAdd(ViewModel& m, const std::string& s) {
        const long n = static_cast<long>(s.size());
        const long capacity = m.onBuffer ? m_capacity : 0;
        if (n > capacity - m.used) return;
        if (!m.onBuffer) return;  // n == 0 on a default string: nothing changes
        std::copy(s.begin(), s.end(), m_model.begin() + m.used);
        std::fill(m_known.begin() + m.used, m_known.begin() + m.used + n, true);
        m.used += n;
        terminate(m);
    }

    void modelAssign(ViewModel& m, const std::string& s) {
        const long n = static_cast<long>(s.size());
        if (!m.onBuffer) return;
        if (n > m_capacity) return;
        std::copy(s.begin(), s.end(), m_model.begin());
        std::fill(m_known.begin(), m_known.begin() + n, true);
        m.used = n;
        m.dataOff = 0;
        terminate(m);
    }

    std::string text(FuzzInput& in) {
        const std::vector<char> raw = in.bytes(in.u8() % 12);
        std::string s(raw.begin(), raw.end());
        return s.substr(0, s.find('\0'));
    }

    void apply(FuzzInput& in, Op op, int v) {
        JBufferString& s = *m_strings[v];
        JBufferString& other = *m_strings[1 - v];
        ViewModel& m = m_views[v];
        const ViewModel& om = m_views[1 - v];
        const std::string c = content(v);
        const long size = static_cast<long>(c.size());
        switch (op) {
            case kConstruct: {
                const bool full = in.flag();
                s = JBufferString(m_buf.get(), m_capacity, full);
                m = ViewModel{true, 0, full && m_capacity > 0 ? m_capacity - 1 : 0};
                terminate(m);
                break;
            }
            case kMakeDefault:
                s = JBufferString();
                m = ViewModel{};
                break;
            case kCopyOther:
                s = other;
                m = om;
                break;
            case kSetSize: {
                const long n = in.range(-2, m_capacity + 2);
                s.setSize(n);
                if (m.onBuffer && n >= 0 && n <= m_capacity && n >= m.dataOff) {
                    m.used = n;
                    terminate(m);
                } else if (!m.onBuffer && n == 0) {
                    m.used = 0;
                }
                break;
            }
            case kReset:
                s.reset();
                m.dataOff = 0;
                break;
            case kClear:
                s.clear();  // writes no byte into the shared buffer
                m.used = 0;
                m.dataOff = 0;
                break;
            case kAddBytes: {
                const std::vector<char> raw = in.bytes(in.u8() % 40);
                const std::string bytes(raw.begin(), raw.end());
                s.add(raw.data(), static_cast<long>(raw.size()));
                modelAdd(m, bytes);
                break;
            }
            case kAddChar: {
                const char ch = static_cast<char>(in.u8());
                s.add(ch);
                modelAdd(m, std::string(1, ch));
                break;
            }
            case kAddOther: {
                const std::string oc = content(1 - v);
                s.add(other);
                modelAdd(m, oc);
                break;
            }
            case kAssignBytes: {
                const bool negative = (in.u8() & 7) == 0;
                const std::vector<char> raw = in.bytes(in.u8() % 40);
                if (negative) {
                    s.assign(raw.data(), -1 - static_cast<long>(raw.size()));
                } else {
                    s.assign(raw.data(), static_cast<long>(raw.size()));
                    modelAssign(m, std::string(raw.begin(), raw.end()));
                }
                break;
            }
            case kAssignOther: {
                const std::string oc = content(1 - v);
                s.assign(other);
                modelAssign(m, oc);
                break;
            }
            case kRemove: {
                const long pos = in.range(-1, size + 1);
                const long n = in.range(-1, size + 1);
                s.remove(pos, n);
                if (m.onBuffer && pos >= 0 && n >= 0 && pos <= size && n <= size - pos) {
                    const long at = m.dataOff + pos;
                    std::copy(m_model.begin() + at + n, m_model.begin() + m.used,
                              m_model.begin() + at);
                    // What is left past the new end is not fixed by the contract.
                    std::fill(m_known.begin() + m.used - n, m_known.begin() + m.used + 1, false);
                    m.used -= n;
                    terminate(m);
                }
                break;
            }
            case kMid: {
                const long pos = in.range(-1, size + 1);
                const long n = in.range(-1, size + 1);
                s.mid(pos, n);
                if (m.onBuffer && pos >= 0 && n >= 0 && pos <= size && n <= size - pos) {
                    m.dataOff += pos;
                    m.used = m.dataOff + n;
                    terminate(m);
                }
                break;
            }
            case kToLower:
                s.toLower();
                if (m.onBuffer)
                    for (long i = m.dataOff; i < m.used; ++i)
                        m_model[static_cast<size_t>(i)] = lowered(m_model[static_cast<size_t>(i)]);
                break;
            case kTrim:
                s.trim();
                if (m.onBuffer) {
                    while (m.dataOff < m.used &&
                           whiteSpace(m_model[static_cast<size_t>(m.dataOff)]))
                        ++m.dataOff;
                    while (m.used > m.dataOff &&
                           whiteSpace(m_model[static_cast<size_t>(m.used - 1)]))
                        --m.used;
                    terminate(m);
                }
                break;
            case kQueryAt: {
                const long i = in.range(-2, size + 2);
                const char expected = i >= 0 && i < size ? c[static_cast<size_t>(i)] : '\0';
                FUZZ_CHECK(s.at(i) == expected);
                break;
            }
            case kQueryIndexOfText: {
                const std::string t = text(in);
                long expected = -1;
                if (m.used != 0) {
                    const size_t found = c.find(t);
                    expected = found == std::string::npos ? -1 : static_cast<long>(found);
                }
                FUZZ_CHECK(s.indexOf(t.c_str()) == expected);
                break;
            }
            case kQueryIndexOfChar: {
                const char ch = static_cast<char>(in.u8());
                const int from = static_cast<int>(in.range(-3, size + 3));
                long expected = -1;
                if (m.used != 0 && from < size) {
                    const size_t found = c.find(ch, static_cast<size_t>(std::max(from, 0)));
                    expected = found == std::string::npos ? -1 : static_cast<long>(found);
                }
                FUZZ_CHECK(s.indexOf(ch, from) == expected);
                const size_t last = c.rfind(ch);
                FUZZ_CHECK(
                    s.lastIndexOf(ch) ==
                    (m.used == 0 || last == std::string::npos ? -1 : static_cast<long>(last)));
                break;
            }
            case kQueryStartsWithText: {
                const std::string t = text(in);
                const bool expected =
                    m.used != 0 && t.size() <= c.size() && c.compare(0, t.size(), t) == 0;
                FUZZ_CHECK(s.startsWith(t.c_str()) == expected);
                break;
            }
            case kQueryStartsWithChar: {
                const char ch = static_cast<char>(in.u8());
                // On an empty content the byte at data() is a terminator or, after clear(),
                // an old byte; only a non-zero byte has one answer there.
                if (size > 0 || ch != '\0')
                    FUZZ_CHECK(s.startsWith(ch) == (size > 0 && c[0] == ch));
                break;
            }
            case kQueryEndsWith: {
                const char ch = static_cast<char>(in.u8());
                if (size > 0) FUZZ_CHECK(s.endsWith(ch) == (c.back() == ch));
                if (m.used == 0) FUZZ_CHECK(!s.endsWith(ch));
                break;
            }
            case kQueryCompareNoCase: {
                std::string t = text(in);
                if (in.flag()) {
                    // Mostly the content with some letters' case changed, to reach `true`.
                    t = c;
                    for (char& ch : t)
                        if ((in.u8() & 3) == 0)
                            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                }
                bool expected = m.used > 0 && t.size() == c.size();
                for (size_t i = 0; expected && i < t.size(); ++i)
                    expected = lowered(t[i]) == lowered(c[i]);
                const auto exact = exactCopy(t);
                FUZZ_CHECK(s.compareNoCase(exact.get(), static_cast<long>(t.size())) == expected);
                if (t.find('\0') == std::string::npos)
                    FUZZ_CHECK(s.compareNoCase(t.c_str()) == expected);
                FUZZ_CHECK(!s.compareNoCase(exact.get(), -1 - static_cast<long>(in.u8())));
                break;
            }
            case kQueryIsEqual: {
                std::string t = in.flag() ? c : text(in);
                if (!t.empty() && in.flag()) t.back() = static_cast<char>(in.u8());
                const auto exact = exactCopy(t);
                FUZZ_CHECK(s.isEqual(exact.get(), static_cast<long>(t.size())) == (t == c));
                const std::string oc = content(1 - v);
                FUZZ_CHECK(s.isEqual(other) == (oc == c));
                FUZZ_CHECK(s.operator==(other) == (oc == c));
                break;
            }
            case kQueryLess: {
                // Compared as zero-terminated texts: the content up to its first zero byte.
                const std::string a = c.substr(0, c.find('\0'));
                const std::string oc = content(1 - v);
                const std::string b = oc.substr(0, oc.find('\0'));
                const bool less = std::lexicographical_compare(
                    a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
                    });
                FUZZ_CHECK((s < other) == less);
                break;
            }
            case kQueryClasses: {
                const char ch = static_cast<char>(in.u8());
                FUZZ_CHECK(JBufferString::isWhiteSpace(ch) == whiteSpace(ch));
                FUZZ_CHECK(JBufferString::isDigit(ch) == (ch >= '0' && ch <= '9'));
                FUZZ_CHECK(JBufferString::isAlpha(ch) ==
                           ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z')));
                FUZZ_CHECK(s.isEmpty() == (m.used == 0));
                break;
            }
            case kOpCount:
                break;
        }
    }

    void checkAll() {
        for (long i = 0; i <= m_capacity; ++i) {
            const size_t k = static_cast<size_t>(i);
            if (m_known[k]) {
                FUZZ_CHECK(m_buf[i] == m_model[k]);
            } else {
                m_model[k] = m_buf[i];
                m_known[k] = true;
            }
        }
        for (int v = 0; v < 2; ++v) {
            const JBufferString& s = *m_strings[v];
            const ViewModel& m = m_views[v];
            FUZZ_CHECK(s.size() == m.used - m.dataOff);
            if (m.onBuffer) {
                FUZZ_CHECK(m_strings[v]->buffer() == m_buf.get());
                FUZZ_CHECK(s.data() == m_buf.get() + m.dataOff);
            } else {
                FUZZ_CHECK(s.data() != nullptr && s.data()[0] == '\0');
            }
        }
    }

    std::string fuzzContext;
    const long m_capacity;
    std::unique_ptr<char[]> m_buf;
    std::vector<char> m_model;
    std::vector<bool> m_known;
    std::unique_ptr<JBufferString> m_strings[2] = {std::make_unique<JBufferString>(),
                                                   std::make_unique<JBufferString>()};
    ViewModel m_views[2];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const long capacity = in.u8();
    Harness harness(capacity);
    harness.fillBuffer(in.bytes(static_cast<size_t>(in.u8() % (capacity + 2))));
    harness.run(in);
    return 0;
}

int fuzzWriteCorpus(const std::string& dir) {
    // Programs that build texts with white space, letters of both cases and repeated
    // bytes, then run every kind of operation on both views.
    std::mt19937 rng(20240611u);
    int written = 0;
    const long capacities[] = {0, 1, 2, 4, 8, 16, 40, 100, 255};
    for (long capacity : capacities) {
        for (int variant = 0; variant < 6; ++variant) {
            FuzzOutput out;
            out.u8(static_cast<unsigned>(capacity));
            out.u8(0);  // keep the generated initial bytes
            out.u8(kConstruct);
            out.u8(0);
            out.u8(variant & 1);
            out.u8(kCopyOther);
            out.u8(1);
            const int steps = 20 + variant * 30;
            for (int i = 0; i < steps; ++i) {
                const unsigned op = rng() % kOpCount;
                out.u8(op);
                out.u8(rng() & 1);
                if (op == kAddBytes || op == kAssignBytes) {
                    if (op == kAssignBytes) out.u8(1 + rng() % 7);
                    static const char* texts[] = {"  ab \r\n", "AbC", "abcb", "\t x\fY ", "b"};
                    const std::string t = texts[rng() % 5];
                    out.u8(static_cast<unsigned>(t.size()));
                    out.bytes(t);
                } else {
                    // Operands: a few bytes that read as positions, lengths and letters.
                    for (int k = 0; k < 3; ++k) out.u8(rng() % 2 ? rng() % 8 : 'a' + rng() % 4);
                }
            }
            if (fuzzWriteFile(dir,
                              "program-" + std::to_string(capacity) + "-" + std::to_string(variant),
                              out.str()))
                ++written;
        }
    }
    return written;
}
