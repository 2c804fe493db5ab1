#include "JMappedStream.h"

#include <algorithm>

// ---------------------------------------------------------------------------------------------
// JMappedInputStream

JMappedInputStream::JMappedInputStream(JInputStream* source, qint64 size, qint64 start)
    : m_source(source), m_start(std::max<qint64>(start, 0)), m_size(std::max<qint64>(size, 0)) {
    if (m_source != nullptr) m_source->seek(m_start);
}

JMappedInputStream::JMappedInputStream(const JMappedInputStream& other)
    : JInputStream(other),
      m_source(other.m_source),
      m_start(other.m_start),
      m_size(other.m_size),
      m_deleteStream(false) {}

JMappedInputStream& JMappedInputStream::operator=(const JMappedInputStream& other) {
    if (this == &other) return *this;
    if (m_deleteStream && m_source != other.m_source && m_source != nullptr) {
        m_source->close();
        delete m_source;
    }
    m_source = other.m_source;
    m_start = other.m_start;
    m_size = other.m_size;
    m_deleteStream = false;
    return *this;
}

JMappedInputStream::~JMappedInputStream() {
    if (m_deleteStream && m_source != nullptr) {
        m_source->close();
        delete m_source;
    }
}

bool JMappedInputStream::enterWindow() {
    if (m_source == nullptr) return false;
    if (m_source->pos() < m_start && !m_source->seek(m_start)) return false;
    // A source without positions (pos() of -1) cannot be kept inside the window.
    return m_source->pos() >= m_start;
}

qint64 JMappedInputStream::remaining() const {
    if (m_source == nullptr) return 0;
    return m_start + m_size - m_source->pos();
}

bool JMappedInputStream::seek(qint64 pos) {
    if (m_source == nullptr || pos < 0 || pos > m_size) return false;
    return m_source->seek(m_start + pos);
}

qint64 JMappedInputStream::skip(qint64 n) {
    if (n <= 0 || !enterWindow()) return 0;
    const qint64 left = remaining();
    if (left <= 0) return 0;
    return m_source->skip(std::min(n, left));
}

qint64 JMappedInputStream::size() { return m_size; }

qint64 JMappedInputStream::read(char* data, qint64 n) {
    if (n < 0 || m_source == nullptr) return -1;
    if (remaining() <= 0) return -1;
    if (!enterWindow()) return -1;
    if (n == 0) return 0;
    return m_source->read(data, std::min(n, remaining()));
}

qint64 JMappedInputStream::readLine(char* data, qint64 n) {
    if (m_source == nullptr || remaining() <= 0 || !enterWindow()) return -1;
    // A line read stores at most maxSize - 1 bytes, so this keeps it inside the window.
    const qint64 left = remaining();
    const qint64 limit = left < n - 1 ? left + 1 : n;
    return m_source->readLine(data, limit);
}

QByteArray JMappedInputStream::readLine() {
    if (m_source == nullptr || remaining() <= 0 || !enterWindow()) return QByteArray();
    const qint64 left = remaining();
    QByteArray line = m_source->readLine();
    if (line.size() > left) {
        // The line ran past the window: keep its part inside and stop at the window's end.
        line.truncate(static_cast<qsizetype>(left));
        m_source->seek(m_start + m_size);
    }
    return line;
}

bool JMappedInputStream::atEnd() const {
    if (m_source == nullptr) return true;
    return m_source->atEnd() || m_source->pos() >= m_start + m_size;
}

qint64 JMappedInputStream::pos() const {
    if (m_source == nullptr) return -1;
    const qint64 at = m_source->pos();
    return at < 0 ? -1 : at - m_start;
}

void JMappedInputStream::reset() {
    if (m_source != nullptr) m_source->seek(m_start);
}

void JMappedInputStream::close() {
    if (m_source != nullptr) m_source->close();
}

void JMappedInputStream::setDeleteStream(bool deleteStream) { m_deleteStream = deleteStream; }

void JMappedInputStream::setStart(qint64 start) {
    m_start = std::max<qint64>(start, 0);
    reset();
}

void JMappedInputStream::setSize(qint64 size) {
    m_size = std::max<qint64>(size, 0);
    reset();
}

// ---------------------------------------------------------------------------------------------
// JMappedOutputStream

JMappedOutputStream::JMappedOutputStream(JOutputStream* target, qint64 size, qint64 start)
    : m_target(target), m_start(std::max<qint64>(start, 0)), m_size(std::max<qint64>(size, 0)) {
    if (m_target != nullptr) m_target->seek(m_start);
}

JMappedOutputStream::JMappedOutputStream(const JMappedOutputStream& other)
    : JOutputStream(other),
      m_target(other.m_target),
      m_start(other.m_start),
      m_size(other.m_size),
      m_deleteStream(false),
      m_resizable(other.m_resizable),
      m_ok(other.m_ok) {}

JMappedOutputStream& JMappedOutputStream::operator=(const JMappedOutputStream& other) {
    if (this == &other) return *this;
    if (m_deleteStream && m_target != other.m_target && m_target != nullptr) {
        m_target->flush();
        m_target->close();
        delete m_target;
    }
    m_target = other.m_target;
    m_start = other.m_start;
    m_size = other.m_size;
    m_deleteStream = false;
    m_resizable = other.m_resizable;
    m_ok = other.m_ok;
    return *this;
}

JMappedOutputStream::~JMappedOutputStream() {
    if (m_target == nullptr) return;
    m_target->flush();
    if (m_deleteStream) {
        m_target->close();
        delete m_target;
    }
}

bool JMappedOutputStream::seek(qint64 pos) {
    if (m_target == nullptr || pos < 0 || pos >= m_size) return false;
    return m_target->seek(m_start + pos);
}

qint64 JMappedOutputStream::size() { return m_size; }

qint64 JMappedOutputStream::pos() const {
    if (m_target == nullptr) return -1;
    const qint64 at = m_target->pos();
    return at < 0 ? -1 : at - m_start;
}

void JMappedOutputStream::reset() {
    if (m_target != nullptr) m_target->seek(m_start);
}

qint64 JMappedOutputStream::write(const char* data, qint64 n) {
    if (m_target == nullptr || n < 0) return -1;
    qint64 rel = m_target->pos() - m_start;
    if (rel < 0) {
        // Never write in front of the window.
        if (!m_target->seek(m_start)) return -1;
        rel = 0;
    }
    if (!m_resizable) {
        if (rel > m_size || n > m_size - rel) return -1;
        return n == 0 ? 0 : m_target->write(data, n);
    }
    const qint64 written = m_target->write(data, n);
    if (written < n) m_ok = false;
    if (written > 0 && rel + written > m_size) m_size = rel + written;
    return written;
}

void JMappedOutputStream::flush() {
    if (m_target != nullptr) m_target->flush();
}

void JMappedOutputStream::close() {
    if (m_target == nullptr) return;
    m_target->flush();
    m_target->close();
}

bool JMappedOutputStream::isOk() const { return m_ok; }

bool JMappedOutputStream::getDeleteStream() const { return m_deleteStream; }

bool JMappedOutputStream::getResizable() const { return m_resizable; }

qint64 JMappedOutputStream::getStart() const { return m_start; }

void JMappedOutputStream::setDeleteStream(bool deleteStream) { m_deleteStream = deleteStream; }

void JMappedOutputStream::setResizable(bool resizable) { m_resizable = resizable; }

void JMappedOutputStream::setStart(qint64 start) {
    m_start = std::max<qint64>(start, 0);
    reset();
}

void JMappedOutputStream::setSize(qint64 size) {
    m_size = std::max<qint64>(size, 0);
    reset();
}
