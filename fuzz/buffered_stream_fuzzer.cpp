// JBufferedStream over a stream in memory, checked against a byte vector that holds what
// the stream's data must be.
//
// Input: buffer size (2 bytes), whether the source refuses positions past its end (1 byte),
// initial length of the source (2 bytes) and its bytes, then operations (seek, read,
// write, skip, flush, resize, size, atEnd, reset, close), each with its operands.
//
// After every operation the position, size and end state must match the model; after a
// flush, close or the destructor the source must hold exactly the model's bytes, and at no
// time may the source hold more bytes than the data has.

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "stream/JBufferedStream.h"
#include "stream/JStream.h"

namespace {

// A read/write stream over a byte vector. Seeks past the end are accepted (unless `strict`)
// and do not grow the data; a write there fills the gap with zero bytes.
class MemoryStream final : public JStream {
  public:
    std::vector<char> bytes;
    qint64 position = 0;
    bool open = true;
    bool strict = false;
    int flushes = 0;

    bool seek(qint64 pos) override {
        if (!open || pos < 0) return false;
        if (strict && pos > static_cast<qint64>(bytes.size())) return false;
        position = pos;
        return true;
    }
    qint64 size() override { return open ? static_cast<qint64>(bytes.size()) : -1; }
    using JInputStream::read;
    qint64 read(char* data, qint64 maxSize) override {
        if (!open || maxSize < 0) return -1;
        const qint64 left = static_cast<qint64>(bytes.size()) - position;
        const qint64 n = std::max<qint64>(0, std::min(left, maxSize));
        if (n > 0) std::memcpy(data, bytes.data() + position, static_cast<size_t>(n));
        position += n;
        return n;
    }
    bool atEnd() const override { return position >= static_cast<qint64>(bytes.size()); }
    qint64 pos() const override { return position; }
    void reset() override { seek(0); }
    void close() override { open = false; }
    using JOutputStream::write;
    qint64 write(const char* data, qint64 n) override {
        if (!open || n < 0) return -1;
        if (position + n > static_cast<qint64>(bytes.size()))
            bytes.resize(static_cast<size_t>(position + n), '\0');
        if (n > 0) std::memcpy(bytes.data() + position, data, static_cast<size_t>(n));
        position += n;
        return n;
    }
    void flush() override { ++flushes; }
    void resize(qint64 n) override {
        if (open && n >= 0) bytes.resize(static_cast<size_t>(n), '\0');
    }
};

enum Op : uint8_t {
    kSeek,
    kSeekNear,
    kRead,
    kReadByte,
    kSkip,
    kWrite,
    kWriteByte,
    kWriteText,
    kFlush,
    kResize,
    kQuery,
    kReset,
    kNegative,
    kClose,
    kOpCount
};

struct Model {
    std::vector<char> data;
    qint64 pos = 0;
    qint64 end() const { return static_cast<qint64>(data.size()); }
};

std::string describe(int step, int op) {
    return "step " + std::to_string(step) + " op " + std::to_string(op);
}

void checkState(JBufferedStream& stream, const MemoryStream& source, const Model& model,
                const std::string& fuzzContext) {
    FUZZ_CHECK(stream.pos() == model.pos);
    FUZZ_CHECK(stream.size() == std::max(model.end(), model.pos));
    FUZZ_CHECK(stream.atEnd() == (model.pos >= model.end()));
    FUZZ_CHECK(static_cast<qint64>(source.bytes.size()) <= model.end());
    // The source accepts every write while it is open.
    FUZZ_CHECK(!stream.hasWriteError());
}

void checkSourceHoldsModel(const MemoryStream& source, const Model& model,
                           const std::string& fuzzContext) {
    FUZZ_CHECK(source.bytes.size() == model.data.size());
    FUZZ_CHECK(std::equal(source.bytes.begin(), source.bytes.end(), model.data.begin()));
}

void modelWrite(Model& model, const std::vector<char>& bytes) {
    if (bytes.empty()) return;
    const size_t at = static_cast<size_t>(model.pos);
    if (at + bytes.size() > model.data.size()) model.data.resize(at + bytes.size(), '\0');
    std::copy(bytes.begin(), bytes.end(), model.data.begin() + static_cast<long>(at));
    model.pos += static_cast<qint64>(bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    // Mostly small buffers, so that windows move often.
    const uint16_t rawCapacity = in.u16();
    const int capacity = (rawCapacity & 0x8000) ? rawCapacity % 4097 : rawCapacity % 33;
    auto* source = new MemoryStream;
    source->strict = in.flag();
    const std::vector<char> initial = in.bytes(in.u16() % 4096);
    source->bytes = initial;
    Model model;
    model.data = initial;
    // Not owned by the stream, so the checks can still look at it after the destructor.
    auto stream = std::make_unique<JBufferedStream>(source, capacity, false);
    const qint64 window = std::max(capacity, 1);
    bool closed = false;
    std::string fuzzContext = "start";

    for (int step = 0; !in.empty() && !closed && step < 3000; ++step) {
        const int op = in.u8() % kOpCount;
        fuzzContext = describe(step, op);
        switch (op) {
            case kSeek: {
                const qint64 to = in.range(0, static_cast<long>(model.end() + 3 * window));
                FUZZ_CHECK(stream->seek(to));
                model.pos = to;
                break;
            }
            case kSeekNear: {
                // Around the current position: inside, at the edge of and just past the window.
                const qint64 to = model.pos + in.range(-window - 2, window + 2);
                const bool ok = stream->seek(to);
                FUZZ_CHECK(ok == (to >= 0));
                if (ok) model.pos = to;
                break;
            }
            case kRead: {
                const qint64 n = in.range(0, static_cast<long>(3 * window + 3));
                std::vector<char> got(static_cast<size_t>(n) + 1, '\x5a');
                const qint64 r = stream->read(got.data(), n);
                const qint64 expected =
                    std::max<qint64>(0, std::min<qint64>(n, model.end() - model.pos));
                FUZZ_CHECK(r == expected);
                if (r > 0)
                    FUZZ_CHECK(
                        std::equal(got.begin(), got.begin() + r, model.data.begin() + model.pos));
                FUZZ_CHECK(got[static_cast<size_t>(n)] == '\x5a');
                model.pos += std::max<qint64>(r, 0);
                break;
            }
            case kReadByte: {
                const int b = stream->read();
                if (model.pos < model.end()) {
                    FUZZ_CHECK(b == static_cast<unsigned char>(
                                        model.data[static_cast<size_t>(model.pos)]));
                    ++model.pos;
                } else {
                    FUZZ_CHECK(b == -1);
                }
                break;
            }
            case kSkip: {
                const qint64 n = in.range(-2, static_cast<long>(2 * window));
                const qint64 expected =
                    n <= 0 ? 0 : std::max<qint64>(0, std::min<qint64>(n, model.end() - model.pos));
                FUZZ_CHECK(stream->skip(n) == expected);
                model.pos += expected;
                break;
            }
            case kWrite: {
                const std::vector<char> bytes = in.bytes(in.u16() % (3 * window + 3));
                FUZZ_CHECK(stream->write(bytes.data(), static_cast<qint64>(bytes.size())) ==
                           static_cast<qint64>(bytes.size()));
                modelWrite(model, bytes);
                break;
            }
            case kWriteByte: {
                const char c = static_cast<char>(in.u8());
                if (in.flag())
                    stream->writeByte(c);
                else
                    FUZZ_CHECK(stream->write(c) == 1);
                modelWrite(model, std::vector<char>(1, c));
                break;
            }
            case kWriteText: {
                std::vector<char> text = in.bytes(in.u8() % 16);
                text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
                text.push_back('\0');
                FUZZ_CHECK(stream->write(text.data()) == static_cast<qint64>(text.size()) - 1);
                text.pop_back();
                modelWrite(model, text);
                break;
            }
            case kFlush: {
                const int before = source->flushes;
                stream->flush();
                FUZZ_CHECK(source->flushes == before + 1);
                checkSourceHoldsModel(*source, model, fuzzContext);
                break;
            }
            case kResize: {
                const qint64 n = in.range(-1, static_cast<long>(model.end() + 2 * window));
                stream->resize(n);
                if (n >= 0) model.data.resize(static_cast<size_t>(n), '\0');
                model.pos = 0;
                checkSourceHoldsModel(*source, model, fuzzContext);
                break;
            }
            case kQuery:
                // Changes nothing: checkState below compares pos, size and atEnd.
                break;
            case kReset:
                stream->reset();
                model.pos = 0;
                break;
            case kNegative: {
                char dummy[4] = {};
                FUZZ_CHECK(stream->read(dummy, -1 - in.u8()) == -1);
                FUZZ_CHECK(stream->write(dummy, -1 - in.u8()) == -1);
                FUZZ_CHECK(!stream->seek(-1 - static_cast<qint64>(in.u8())));
                break;
            }
            case kClose:
                stream->close();
                FUZZ_CHECK(!source->open);
                checkSourceHoldsModel(*source, model, fuzzContext);
                closed = true;
                break;
        }
        if (!closed) checkState(*stream, *source, model, fuzzContext);
    }

    fuzzContext = "destructor";
    const bool wasClosed = closed;
    stream.reset();
    if (!wasClosed) checkSourceHoldsModel(*source, model, fuzzContext);
    delete source;
    return 0;
}

int fuzzWriteCorpus(const std::string& dir) {
    std::mt19937 rng(77031u);
    int written = 0;
    const unsigned capacities[] = {0, 1, 2, 3, 8, 16, 32, 0x8000 | 64, 0x8000 | 512, 0x8000 | 4096};
    const unsigned lengths[] = {0, 5, 100, 1000};
    int n = 0;
    for (unsigned capacity : capacities) {
        for (unsigned length : lengths) {
            FuzzOutput out;
            out.u16(capacity);
            out.u8(n & 1);
            out.u16(length);
            for (unsigned i = 0; i < length; ++i) out.u8('a' + i % 26);
            const int steps = 30 + static_cast<int>(rng() % 120);
            for (int i = 0; i < steps; ++i) {
                // Writes and seeks more often than the rest, and a close only at the end.
                static const uint8_t weighted[] = {
                    kSeek,  kSeekNear,  kSeekNear,  kRead,  kRead,   kReadByte, kSkip,  kWrite,
                    kWrite, kWriteByte, kWriteText, kFlush, kResize, kQuery,    kReset, kNegative};
                const uint8_t op = weighted[rng() % sizeof weighted];
                out.u8(op);
                switch (op) {
                    case kWrite: {
                        const unsigned len = rng() % 40;
                        out.u16(len);
                        for (unsigned k = 0; k < len; ++k) out.u8('A' + rng() % 26);
                        break;
                    }
                    case kWriteText:
                        out.u8(4);
                        out.bytes("text");
                        break;
                    default:
                        out.u16(rng());
                        break;
                }
            }
            if (n % 3 == 0) out.u8(kClose);
            if (fuzzWriteFile(dir, "ops-" + std::to_string(n), out.str())) ++written;
            ++n;
        }
    }
    // Writes that start at, or a few bytes past, the end of the source (the gap must read
    // as zeros), with sources that accept or refuse positions past their end. Buffer of 4
    // and 10 bytes of data: a seek operand is one byte, the position itself.
    for (unsigned strict = 0; strict < 2; ++strict) {
        for (unsigned past = 0; past < 7; ++past) {
            FuzzOutput out;
            out.u16(4);
            out.u8(strict);
            out.u16(10);
            out.bytes("0123456789");
            out.u8(kSeek);
            out.u8(10 + past);
            out.u8(kWrite);
            out.u16(3);
            out.bytes("XYZ");
            out.u8(kFlush);
            out.u8(kSeek);
            out.u8(8);
            out.u8(kRead);
            out.u8(14);
            out.u8(kClose);
            if (fuzzWriteFile(dir,
                              "past-end-" + std::to_string(strict) + "-" + std::to_string(past),
                              out.str()))
                ++written;
        }
    }
    return written;
}
