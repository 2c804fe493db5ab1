#ifndef JSTREAM_JBUFFEREDSTREAM_H
#define JSTREAM_JBUFFEREDSTREAM_H

// A write-back buffer in front of a read/write stream.
//
// Reads, writes and seeks may be mixed freely; pos() always names the next byte to be read
// or written. The buffer holds one window of the stream, [bufferPos, bufferPos + capacity);
// its first `filled` bytes are the stream's current bytes there (written ones included).
// Bytes written but not yet in the source are written back by flush, close, resize, a seek
// out of the window, a full buffer, and the destructor. A write past the end of the data
// fills the gap with zero bytes.
//
// flush, close and resize return nothing, so a write-back that fails is recorded instead:
// hasWriteError() turns true and stays true, whatever succeeds later, until
// clearWriteError(). flush and a full buffer keep the bytes they could not write back, for
// a later attempt; close and resize drop them. A caller that writes through the stream
// checks hasWriteError() after its last flush or close: the destructor's own write-back
// cannot report anything.
//
// The source must outlive the stream unless the stream owns it (deleteSource), and must
// not be used directly while the stream is in use. Not copyable: the buffer is owned.
// Programs may derive from it; refill and flushBuffer are there for them.

#include "JStream.h"
#include "JStreamGlobal.h"

class JSTREAM_EXPORT JBufferedStream : public JStream {
  public:
    // A bufferSize below 1 is taken as 1, and so is one that cannot be allocated.
    JBufferedStream(JStream* source, int bufferSize, bool deleteSource);
    // Writes back what is not yet written, frees the buffer and, with deleteSource, deletes
    // the source.
    ~JBufferedStream() override;

    JBufferedStream(const JBufferedStream&) = delete;
    JBufferedStream& operator=(const JBufferedStream&) = delete;

    void setDeleteSource(bool deleteSource);

    qint64 pos() const override;
    // The larger of the end of the data (written bytes included) and pos().
    qint64 size() override;
    using JInputStream::read;
    // Bytes delivered; 0 at the end of the data, -1 for a negative count.
    qint64 read(char* data, qint64 n) override;
    using JOutputStream::write;
    // Returns n, or fewer (-1 for none) when writing back to the source failed; bytes not
    // accepted are not in the stream. -1 for a negative count.
    qint64 write(const char* data, qint64 n) override;
    void writeByte(char c);
    // True when pos() is at or past the end of the data.
    bool atEnd() const override;
    // False for a negative position, when the source refuses the position, or when bytes
    // that had to be written back first could not be.
    bool seek(qint64 pos) override;
    void flush() override;
    void close() override;
    void reset() override;
    // Writes back, resizes the source, then moves to position 0.
    void resize(qint64 n) override;

    // True once any write-back to the source has failed, until clearWriteError().
    bool hasWriteError() const;
    void clearWriteError();

  protected:
    // Writes back, moves the window to start at pos() and loads it from the source.
    // True when the buffer then holds bytes at the position.
    bool refill();
    // Writes back; with reload, then moves the window to pos() and loads it.
    bool flushBuffer(bool reload);

  private:
    // Writes dirty bytes to the source, with zero bytes before them when the window starts
    // past the source's end. The window is kept as it is; on failure the bytes stay dirty
    // and the write error is recorded.
    bool writeBack();
    bool writeDirtyBytes();
    // Loads source bytes into the buffer from `filled` up to `upto` (as far as the source
    // has them).
    void loadUpTo(int upto);

    JStream* m_source;
    qint64 m_bufferPos = 0;
    int m_filled = 0;
    int m_capacity;
    char* m_buffer;
    int m_offset = 0;  // 0 <= m_offset <= m_capacity
    bool m_dirty = false;
    bool m_deleteSource;
    bool m_writeError = false;
};

#endif  // JSTREAM_JBUFFEREDSTREAM_H
