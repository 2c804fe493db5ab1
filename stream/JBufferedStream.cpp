#include "JBufferedStream.h"

#include <algorithm>
#include <cstring>
#include <new>

JBufferedStream::JBufferedStream(JStream* source, int bufferSize, bool deleteSource)
    : m_source(source),
      m_capacity(std::max(bufferSize, 1)),
      m_buffer(new (std::nothrow) char[static_cast<size_t>(m_capacity)]()),
      m_deleteSource(deleteSource) {
    if (m_buffer == nullptr) {
        // No memory for the buffer asked for: work unbuffered-sized rather than fail.
        m_capacity = 1;
        m_buffer = new char[1]();
    }
}

JBufferedStream::~JBufferedStream() {
    writeBack();
    delete[] m_buffer;
    if (m_deleteSource) delete m_source;
}

void JBufferedStream::setDeleteSource(bool deleteSource) { m_deleteSource = deleteSource; }

qint64 JBufferedStream::pos() const { return m_bufferPos + m_offset; }

qint64 JBufferedStream::size() {
    const qint64 sourceSize = m_source != nullptr ? std::max<qint64>(m_source->size(), 0) : 0;
    return std::max({sourceSize, m_bufferPos + m_filled, pos()});
}

bool JBufferedStream::writeBack() {
    if (!m_dirty) return true;
    if (writeDirtyBytes()) {
        m_dirty = false;
        return true;
    }
    m_writeError = true;
    return false;
}

bool JBufferedStream::writeDirtyBytes() {
    if (m_source == nullptr) return false;
    qint64 sourceSize = m_source->size();
    if (sourceSize < 0) return false;
    if (m_bufferPos > sourceSize) {
        // The bytes between the source's end and the window were never written: zeros.
        if (!m_source->seek(sourceSize)) return false;
        static const char kZeros[4096] = {};
        while (sourceSize < m_bufferPos) {
            const qint64 chunk = std::min<qint64>(m_bufferPos - sourceSize, sizeof kZeros);
            const qint64 written = m_source->write(kZeros, chunk);
            if (written <= 0) return false;
            sourceSize += written;
        }
    }
    if (m_source->pos() != m_bufferPos && !m_source->seek(m_bufferPos)) return false;
    qint64 done = 0;
    while (done < m_filled) {
        const qint64 written = m_source->write(m_buffer + done, m_filled - done);
        if (written <= 0) return false;
        done += written;
    }
    return true;
}

void JBufferedStream::loadUpTo(int upto) {
    if (m_source == nullptr || upto <= m_filled) return;
    const qint64 from = m_bufferPos + m_filled;
    const qint64 end = from + std::min<qint64>(upto - m_filled, m_source->size() - from);
    if (end <= from || !m_source->seek(from)) return;
    while (m_bufferPos + m_filled < end) {
        const qint64 got = m_source->read(m_buffer + m_filled, end - (m_bufferPos + m_filled));
        if (got <= 0) break;
        m_filled += static_cast<int>(got);
    }
}

bool JBufferedStream::refill() {
    if (!writeBack()) return false;
    m_bufferPos += m_offset;
    m_offset = 0;
    m_filled = 0;
    loadUpTo(m_capacity);
    return m_filled > 0;
}

bool JBufferedStream::flushBuffer(bool reload) {
    if (!writeBack()) return false;
    if (reload) refill();
    return true;
}

qint64 JBufferedStream::read(char* data, qint64 n) {
    if (n < 0 || (data == nullptr && n > 0)) return -1;
    qint64 done = 0;
    while (done < n) {
        if (m_offset >= m_filled) {
            // Bytes past `filled` inside the window still lie in the source.
            loadUpTo(m_capacity);
            // Short of a full window, the source ended before the position.
            if (m_offset >= m_filled && (m_offset < m_capacity || !refill())) break;
        }
        const qint64 chunk = std::min<qint64>(m_filled - m_offset, n - done);
        std::memcpy(data + done, m_buffer + m_offset, static_cast<size_t>(chunk));
        m_offset += static_cast<int>(chunk);
        done += chunk;
    }
    return done;
}

qint64 JBufferedStream::write(const char* data, qint64 n) {
    if (n < 0 || (data == nullptr && n > 0)) return -1;
    qint64 done = 0;
    while (done < n) {
        if (m_offset == m_capacity) {
            if (!writeBack()) return done > 0 ? done : -1;
            m_bufferPos += m_capacity;
            m_offset = 0;
            m_filled = 0;
        }
        if (m_offset > m_filled) {
            // Bytes skipped over inside the window: the source's where it has them, else zeros.
            loadUpTo(m_offset);
            std::memset(m_buffer + m_filled, 0, static_cast<size_t>(m_offset - m_filled));
            m_filled = m_offset;
        }
        const qint64 chunk = std::min<qint64>(m_capacity - m_offset, n - done);
        std::memcpy(m_buffer + m_offset, data + done, static_cast<size_t>(chunk));
        m_offset += static_cast<int>(chunk);
        m_filled = std::max(m_filled, m_offset);
        m_dirty = true;
        done += chunk;
    }
    return done;
}

bool JBufferedStream::atEnd() const {
    if (m_source == nullptr) return true;
    // size() of the source is not const in the interface; the end of the data is the
    // larger of the source's end and the buffer's.
    const qint64 sourceSize = const_cast<JStream*>(m_source)->size();
    return pos() >= std::max(sourceSize, m_bufferPos + m_filled);
}

void JBufferedStream::writeByte(char c) { write(&c, 1); }

bool JBufferedStream::seek(qint64 pos) {
    if (pos < 0 || m_source == nullptr) return false;
    if (pos >= m_bufferPos && pos - m_bufferPos <= m_capacity) {
        m_offset = static_cast<int>(pos - m_bufferPos);
        return true;
    }
    if (!writeBack()) return false;
    // A position past the source's end is kept here only: moving the source there could
    // make it grow.
    if (pos <= m_source->size() && !m_source->seek(pos)) return false;
    m_bufferPos = pos;
    m_offset = 0;
    m_filled = 0;
    return true;
}

void JBufferedStream::flush() {
    writeBack();
    if (m_source != nullptr) m_source->flush();
}

void JBufferedStream::close() {
    // Bytes that cannot be written back are dropped here; hasWriteError() tells the caller.
    writeBack();
    m_bufferPos = 0;
    m_offset = 0;
    m_filled = 0;
    m_dirty = false;
    if (m_source != nullptr) m_source->close();
}

void JBufferedStream::reset() { seek(0); }

void JBufferedStream::resize(qint64 n) {
    if (m_source == nullptr) return;
    writeBack();
    m_source->resize(n);
    m_bufferPos = 0;
    m_offset = 0;
    m_filled = 0;
    m_dirty = false;
    m_source->seek(0);
}

bool JBufferedStream::hasWriteError() const { return m_writeError; }

void JBufferedStream::clearWriteError() { m_writeError = false; }
