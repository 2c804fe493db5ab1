// Built by install_check.cmake against an installed copy of the library only (the headers
// under <prefix>/include/jstream and libjstream.so), once with the flags pkg-config gives
// for jstream and once through find_package(jstream). Exits 0 when the library works.

#include <jstream/JBufferedStream.h>
#include <jstream/JByteStream.h>
#include <jstream/JMappedStream.h>

#include <cstdio>

namespace {

// An endless run of zero bytes.
class Zeros final : public JInputStream {
  public:
    bool seek(qint64 pos) override {
        m_pos = pos;
        return pos >= 0;
    }
    qint64 size() override { return 1 << 20; }
    using JInputStream::read;
    qint64 read(char* data, qint64 n) override {
        for (qint64 i = 0; i < n; ++i) data[i] = 0;
        m_pos += n;
        return n;
    }
    qint64 pos() const override { return m_pos; }

  private:
    qint64 m_pos = 0;
};

}  // namespace

int main() {
    Zeros zeros;
    if (zeros.skip(3) != 3) {
        std::puts("skip over a derived stream failed");
        return 1;
    }
    JMappedInputStream window(&zeros, 4, 100);
    char buf[8];
    if (window.read(buf, 8) != 4 || window.read(buf, 8) != -1) {
        std::puts("window over a derived stream failed");
        return 1;
    }
    JByteInputStream bytes(QByteArray("\xFF"));
    if (bytes.read() != 255) {
        std::puts("single-byte read failed");
        return 1;
    }
    std::puts("installed library works");
    return 0;
}
