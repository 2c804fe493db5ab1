#pragma once

#include <cstdint>

#include "stream/JStream.h"

class EfsVolume;

// One stored file of a volume as a stream: every operation forwards to the volume's
// handle operations, without buffering. The volume is not owned and must outlive the
// stream. close() also unbinds the stream from its volume, so a closed stream cannot be
// opened again.
class EfsStream final : public JStream {
  public:
    EfsStream();
    explicit EfsStream(EfsVolume* volume);
    ~EfsStream() override;
    EfsStream(const EfsStream&) = delete;
    EfsStream& operator=(const EfsStream&) = delete;

    // Opens the stored file with the volume's access and disposition values; false
    // without a volume or when the volume refuses (its lastError says why).
    bool openFile(const char* name, int32_t access, int32_t disposition);
    int32_t handle() const { return m_handle; }

    bool seek(qint64 pos) override;
    qint64 size() override;
    // Bytes delivered, 0 on failure or at the end. maxSize is taken as 32 bits.
    qint64 read(char* data, qint64 maxSize) override;
    bool atEnd() const override;
    qint64 pos() const override;
    // The number of bytes written (all of them), 0 for an empty write, -1 on failure.
    qint64 write(const char* data, qint64 size) override;
    // Leaves the position where it is.
    void reset() override;
    void close() override;

    using JInputStream::read;
    using JOutputStream::write;

  private:
    EfsVolume* m_volume = nullptr;
    int32_t m_handle = 0;
};
