#include "project/FileMappings.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>

namespace {

// Every live mapping of every FileMappings object, for descriptorOf.
struct Live {
    const char* at;
    qsizetype size;
    int fd;
};
std::mutex g_lock;
std::vector<Live> g_live;

QString systemError(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

}  // namespace

FileMappings::~FileMappings() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Mapping& m : m_maps) {
        g_live.erase(std::remove_if(g_live.begin(), g_live.end(),
                                    [&](const Live& l) { return l.at == m.at; }),
                     g_live.end());
        ::munmap(m.at, m.size);
        ::close(m.fd);
    }
}

bool FileMappings::map(const QString& path, QByteArray* out, QString* error) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return *error = systemError(errno), false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = S_ISREG(st.st_mode) ? systemError(errno) : QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    if (st.st_size == 0) {
        ::close(fd);
        out->clear();
        return true;
    }
    if (st.st_size > std::numeric_limits<int32_t>::max()) {
        ::close(fd);
        return *error = QStringLiteral("larger than a stored sound can be (2 GiB)"), false;
    }
    const auto size = static_cast<size_t>(st.st_size);
    void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (at == MAP_FAILED) {
        *error = systemError(errno);
        ::close(fd);
        return false;
    }
    m_maps.push_back({at, size, fd});
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_live.push_back({static_cast<const char*>(at), static_cast<qsizetype>(size), fd});
    }
    *out = QByteArray::fromRawData(static_cast<const char*>(at), static_cast<qsizetype>(size));
    return true;
}

int FileMappings::descriptorOf(const char* data, qsizetype size) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Live& l : g_live)
        if (l.at == data && l.size == size) return l.fd;
    return -1;
}
