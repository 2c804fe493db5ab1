#pragma once

// Whole files mapped read-only into memory as QByteArrays that share the mapping, for a
// save that passes many large files along without looking at them (vxtool project import).
// The save finds the file behind such bytes and copies it into the container from the
// file itself, inside the kernel, so the mapping's pages are never touched: no page faults,
// no copy through this process.
//
// The bytes stay valid while the FileMappings object that made them lives. Another program
// that shortens a mapped file makes a read of the lost pages raise SIGBUS; a copy from the
// file instead comes up short and the save fails with an error.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <vector>

class FileMappings final {
  public:
    FileMappings() = default;
    // Unmaps every file and closes its descriptor.
    ~FileMappings();
    FileMappings(const FileMappings&) = delete;
    FileMappings& operator=(const FileMappings&) = delete;

    // Maps the regular file at path as *out (empty for an empty file); false with the
    // reason in *error when it cannot.
    bool map(const QString& path, QByteArray* out, QString* error);

    // The open descriptor of a live mapping whose whole file is exactly the bytes
    // [data, data + size); -1 when there is none (bytes of any other origin).
    static int descriptorOf(const char* data, qsizetype size);

  private:
    struct Mapping {
        void* at;
        size_t size;
        int fd;
    };
    std::vector<Mapping> m_maps;
};
