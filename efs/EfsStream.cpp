#include "efs/EfsStream.h"

#include <algorithm>
#include <climits>

#include "efs/EfsVolume.h"

EfsStream::EfsStream() = default;

EfsStream::EfsStream(EfsVolume* volume) : m_volume(volume) {}

EfsStream::~EfsStream() { close(); }

bool EfsStream::openFile(const char* name, int32_t access, int32_t disposition) {
    if (!m_volume || m_handle != 0) return false;
    m_handle = m_volume->openFile(name, access, disposition);
    return m_handle != 0;
}

bool EfsStream::seek(qint64 pos) {
    if (!m_volume) return false;
    m_volume->seekFile(m_handle, pos);
    return m_volume->lastError() == EfsVolume::ErrorNone;
}

qint64 EfsStream::size() { return m_volume ? m_volume->fileSize(m_handle) : 0; }

qint64 EfsStream::read(char* data, qint64 maxSize) {
    if (!m_volume || maxSize <= 0) return 0;
    const auto n = static_cast<int32_t>(std::min<qint64>(maxSize, INT32_MAX));
    return m_volume->readFile(m_handle, data, n);
}

bool EfsStream::atEnd() const { return m_volume ? m_volume->atEndOfFile(m_handle) : false; }

qint64 EfsStream::pos() const { return m_volume ? m_volume->tellFile(m_handle) : 0; }

qint64 EfsStream::write(const char* data, qint64 size) {
    if (!m_volume) return -1;
    if (size == 0) return 0;
    if (size < 0 || size > INT32_MAX) return -1;
    return m_volume->writeFile(m_handle, data, static_cast<int32_t>(size)) ? size : -1;
}

void EfsStream::reset() {}

void EfsStream::close() {
    if (m_handle != 0 && m_volume) m_volume->closeFile(m_handle);
    if (m_handle != 0) m_volume = nullptr;
    m_handle = 0;
}
