#include "JStream.h"

#include <cstring>

JInputStream::JInputStream() = default;
JInputStream::JInputStream(const JInputStream&) {}
JInputStream& JInputStream::operator=(const JInputStream&) { return *this; }
JInputStream::~JInputStream() = default;

qint64 JInputStream::skip(qint64 count) {
    qint64 skipped = 0;
    while (skipped < count && read() != -1) ++skipped;
    return skipped;
}

int JInputStream::read() {
    char b = 0;
    if (read(&b, 1) != 1) return -1;
    // Widened unsigned: a byte 0xFF must not read as the end of the stream.
    return static_cast<unsigned char>(b);
}

QByteArray JInputStream::readLine() { return QByteArray(); }

qint64 JInputStream::readLine(char*, qint64) { return 0; }

bool JInputStream::atEnd() const { return true; }

qint64 JInputStream::pos() const { return -1; }

void JInputStream::reset() { seek(0); }

void JInputStream::close() {}

JOutputStream::JOutputStream() = default;
JOutputStream::JOutputStream(const JOutputStream&) {}
JOutputStream& JOutputStream::operator=(const JOutputStream&) { return *this; }
JOutputStream::~JOutputStream() = default;

qint64 JOutputStream::write(const char* text) {
    if (text == nullptr) return 0;
    return write(text, static_cast<qint64>(std::strlen(text)));
}

int JOutputStream::write(char c) { return static_cast<int>(write(&c, 1)); }

qint64 JOutputStream::pos() const { return -1; }

void JOutputStream::reset() { seek(0); }

void JOutputStream::close() {}

void JOutputStream::flush() {}

void JOutputStream::resize(qint64) {}

JStream::JStream() = default;
JStream::JStream(const JStream& other) : JInputStream(other), JOutputStream(other) {}
JStream& JStream::operator=(const JStream&) { return *this; }
JStream::~JStream() = default;
