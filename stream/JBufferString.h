#ifndef JSTREAM_JBUFFERSTRING_H
#define JSTREAM_JBUFFERSTRING_H

// A string view with editing operations over a character buffer the caller owns.
//
// The content is the bytes from data() up to buffer() + used. The caller's buffer must hold
// capacity + 1 bytes: every change of the content's end except clear() writes a
// terminating zero byte after it. clear() writes nothing into the buffer, so after it data()
// is no zero-terminated text; size() says where the content ends. Operations whose size
// rule is not met (no room, a negative length, a range outside the content) leave the
// string unchanged; nothing is ever partly applied.
//
// Copies refer to the same buffer: they see each other's bytes but not each other's fields.

#include "JStreamGlobal.h"

class JSTREAM_EXPORT JBufferString {
  public:
    // An empty string with no room (capacity 0).
    JBufferString();
    // A view over `buf`, which holds capacity + 1 bytes. With `full` the content is the
    // first capacity - 1 bytes, otherwise it is empty. A null buffer or a negative capacity
    // gives the empty string of the default constructor.
    JBufferString(char* buf, long capacity, bool full);

    long size() const;
    char* buffer();
    const char* data() const;
    // Sets the content's end to `n` bytes from the buffer's start; refused when `n` is
    // negative, above the capacity or before data().
    void setSize(long n);
    // Moves data() back to the buffer's start.
    void reset();
    // Empties the content (used = 0, data() back at the buffer's start); writes no byte.
    void clear();

    void add(const char* s, long n);
    void add(char c);
    void add(const JBufferString& other);
    void assign(const char* s, long n);
    void assign(JBufferString& other);
    // Removes n bytes at pos (from data()); refused unless the range lies in the content.
    void remove(long pos, long n);
    // Narrows the content to n bytes at pos; refused unless the range lies in the content.
    void mid(long pos, long n);

    // The byte at data() + i; 0 when i is outside the content.
    char at(long i) const;
    long indexOf(const char* s) const;
    long indexOf(char c, int from) const;
    long lastIndexOf(char c) const;
    bool startsWith(const char* s);
    bool startsWith(char c);
    bool endsWith(char c);
    bool compareNoCase(const char* s, long n) const;
    bool compareNoCase(const char* s) const;
    bool isEqual(const char* s, long n);
    bool isEqual(const JBufferString& other);
    bool operator==(const JBufferString& other);
    bool operator<(const JBufferString& other) const;
    void toLower();
    void trim();
    // True when the content's end is at the buffer's start (a view narrowed to nothing by
    // trim or mid is empty by size() but not by this test).
    bool isEmpty();

    static bool isWhiteSpace(char c);
    static bool isDigit(char c);
    static bool isAlpha(char c);

  private:
    void terminate();

    char* m_buffer;  // not owned
    char* m_data;    // within [m_buffer, m_buffer + m_used]
    long m_used;     // 0 <= m_used <= m_capacity
    long m_capacity;
};

#endif  // JSTREAM_JBUFFERSTRING_H
