#include "JByteStream.h"

#include <cstring>
#include <new>

JByteInputStream::JByteInputStream(const char* data, qint64 size) {
    QByteArray bytes;
    if (data != nullptr && size > 0) bytes = QByteArray(data, static_cast<qsizetype>(size));
    setSource(bytes);
}

JByteInputStream::JByteInputStream(const QByteArray& data) { setSource(data); }

JByteInputStream::~JByteInputStream() = default;

bool JByteInputStream::setSource(const QByteArray& data) {
    m_device.close();
    m_device.setData(data);
    return m_device.open(QIODevice::ReadOnly);
}

bool JByteInputStream::seek(qint64 pos) {
    if (!m_device.isOpen() || pos < 0) return false;
    return m_device.seek(pos);
}

qint64 JByteInputStream::size() { return m_device.size(); }

qint64 JByteInputStream::read(char* data, qint64 maxSize) {
    if (!m_device.isOpen() || maxSize < 0) return -1;
    return m_device.read(data, maxSize);
}

QByteArray JByteInputStream::readLine() {
    if (!m_device.isOpen()) return QByteArray();
    return m_device.readLine();
}

qint64 JByteInputStream::readLine(char* data, qint64 maxSize) {
    // The device needs room for at least one byte and the terminator.
    if (!m_device.isOpen() || data == nullptr || maxSize < 2) return -1;
    return m_device.readLine(data, maxSize);
}

bool JByteInputStream::atEnd() const { return m_device.atEnd(); }

qint64 JByteInputStream::pos() const { return m_device.pos(); }

void JByteInputStream::reset() {
    if (m_device.isOpen()) m_device.reset();
}

void JByteInputStream::close() { m_device.close(); }

JByteOutputStream::JByteOutputStream(QByteArray& array, QIODevice::OpenModeFlag mode) {
    m_device.setBuffer(&array);
    m_device.open(mode);
}

JByteOutputStream::~JByteOutputStream() = default;

bool JByteOutputStream::seek(qint64 pos) {
    if (!m_device.isOpen() || pos < 0) return false;
    return m_device.seek(pos);
}

qint64 JByteOutputStream::size() { return m_device.size(); }

qint64 JByteOutputStream::write(const char* data, qint64 size) {
    if (!m_device.isWritable() || size < 0 || (data == nullptr && size > 0)) return -1;
    // After a shrinking resize the position may lie past the end; the gap reads as zeros
    // rather than as whatever the array's new storage held.
    QByteArray& bytes = m_device.buffer();
    try {
        if (size > 0 && m_device.pos() > bytes.size())
            bytes.append(QByteArray(static_cast<qsizetype>(m_device.pos() - bytes.size()), '\0'));
        return m_device.write(data, size);
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

qint64 JByteOutputStream::pos() const { return m_device.pos(); }

void JByteOutputStream::reset() {
    if (m_device.isOpen()) m_device.reset();
}

void JByteOutputStream::close() { m_device.close(); }

void JByteOutputStream::resize(qint64 size) {
    if (size < 0) return;
    QByteArray& bytes = m_device.buffer();
    const qsizetype old = bytes.size();
    // The toolkit reports an impossible allocation by throwing; the array then stays as it was.
    try {
        bytes.resize(static_cast<qsizetype>(size));
    } catch (const std::bad_alloc&) {
        return;
    }
    if (bytes.size() > old)
        std::memset(bytes.data() + old, 0, static_cast<size_t>(bytes.size() - old));
}
