// voxtrail_bench: writes and reads back the same payloads through this project's
// containers, plain files, SQLite and an uncompressed zip archive, and prints one table.
//
// Payloads, built in memory from a fixed pseudo-random sequence:
//   a  300 entries in 10 chapters, a 1 MB WAV sound each
//   b  2,000 entries (20 chapters) with 20 KB sounds
//   c  10,000 stored files of 1 KB (through the volume API for this project)
// and, after the table, vxtool's project commands on payload a's show: time and peak
// memory of each, import and export against a copy of the exported folder, and project
// check against ffmpeg's ebur128 filter over the same audio in one WAV.
// Every writer makes its result durable (fsync; syncfs for the folder of plain files)
// before its clock stops; every read
// starts right after the write, from a warm cache, and its bytes are checked.
//
// Environment:
//   BENCH_RUNS   runs per figure (default 5; the median is shown)
//   BENCH_SCALE  fraction of each payload's entry count, e.g. 0.1 for a quick run
//   BENCH_DIR    working folder (default: bench-work in the current folder); emptied
//   BENCH_ONLY   payload letters to run, e.g. "ab"
//   BENCH_WHO    contenders to run: a comma-separated list of names (default: all)
#include <fcntl.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <QByteArray>
#include <QDir>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "efs/EfsVolume.h"
#include "project/Project.h"
#include "project/ProjectDescription.h"

namespace {

// ---- Payloads --------------------------------------------------------------------------

struct Item {
    QByteArray name;
    QByteArray data;
};

struct Payload {
    char letter = 'a';
    QString title;
    int chapters = 0;   // 0: plain stored files (payload c)
    int entries = 0;    // total entries or files
    int itemBytes = 0;  // bytes of each sound or file
    bool isProject() const { return chapters > 0; }
};

uint64_t g_rng = 0x9e3779b97f4a7c15ull;

uint64_t nextRandom() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 7;
    g_rng ^= g_rng << 17;
    return g_rng;
}

void putLe32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// A 16-bit mono 44.1 kHz WAV of exactly `bytes` bytes with noise as its samples.
QByteArray makeWav(int bytes) {
    QByteArray wav(bytes, Qt::Uninitialized);
    char* p = wav.data();
    std::memcpy(p, "RIFF", 4);
    putLe32(p + 4, static_cast<uint32_t>(bytes - 8));
    std::memcpy(p + 8, "WAVEfmt ", 8);
    putLe32(p + 16, 16);
    putLe32(p + 20, 1 | (1u << 16));  // PCM, one channel
    putLe32(p + 24, 44100);
    putLe32(p + 28, 44100 * 2);
    putLe32(p + 32, 2 | (16u << 16));  // block align 2, 16 bits
    std::memcpy(p + 36, "data", 4);
    putLe32(p + 40, static_cast<uint32_t>(bytes - 44));
    for (int i = 44; i < bytes; i += 8) {
        const uint64_t r = nextRandom();
        std::memcpy(p + i, &r, static_cast<size_t>(std::min(8, bytes - i)));
    }
    return wav;
}

QByteArray makeBytes(int bytes) {
    QByteArray out(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; i += 8) {
        const uint64_t r = nextRandom();
        std::memcpy(out.data() + i, &r, static_cast<size_t>(std::min(8, bytes - i)));
    }
    return out;
}

// The items every contender stores: for a project the sounds under their stored names
// and the description last, for payload c the files.
std::vector<Item> makeItems(const Payload& p) {
    g_rng = 0x9e3779b97f4a7c15ull + static_cast<uint64_t>(p.letter);
    std::vector<Item> items;
    if (!p.isProject()) {
        for (int i = 0; i < p.entries; ++i)
            items.push_back({QByteArray("file") + QByteArray::number(i), makeBytes(p.itemBytes)});
        return items;
    }
    ChapterList chapters;
    const int perChapter = std::max(1, p.entries / p.chapters);
    for (int c = 0; c < p.chapters; ++c) {
        auto chapter = std::make_unique<Chapter>();
        chapter->name = QStringLiteral("Chapter %1").arg(c + 1);
        for (int e = 0; e < perChapter; ++e) {
            Entry* entry = chapter->addEntry();
            entry->name = QStringLiteral("Cue %1.%2").arg(c + 1).arg(e + 1);
            entry->desc = QStringLiteral("Narration");
            entry->sound = makeWav(p.itemBytes);
            items.push_back({ProjectDescription::soundFileName(c, e), entry->sound});
        }
        chapters.push_back(std::move(chapter));
    }
    items.push_back({ProjectDescription::kFileName, ProjectDescription::write(chapters)});
    return items;
}

int64_t totalBytes(const std::vector<Item>& items) {
    int64_t sum = 0;
    for (const Item& i : items) sum += i.data.size();
    return sum;
}

// ---- Measuring -------------------------------------------------------------------------

// Resets the process's peak resident size to its current one (Linux 4.0 and later).
void resetPeakRss() {
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY);
    if (fd < 0) return;
    if (::write(fd, "5", 1) != 1) { /* peak then covers the whole process life */
    }
    ::close(fd);
}

// VmRSS in bytes.
[[maybe_unused]] int64_t residentSize() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    int64_t kb = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atoll(line + 6);
    }
    std::fclose(f);
    return kb * 1024;
}

// VmHWM in bytes.
int64_t peakRss() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    int64_t kb = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atoll(line + 6);
    }
    std::fclose(f);
    return kb * 1024;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

bool syncPath(const std::string& path, int flags = O_RDONLY) {
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool writeWhole(const std::string& path, const QByteArray& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        p += n;
        left -= n;
    }
    return ::close(fd) == 0;
}

bool readWhole(const std::string& path, QByteArray* out) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    QByteArray data(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd, data.data() + done, static_cast<size_t>(data.size() - done));
        if (n <= 0) break;
        done += n;
    }
    ::close(fd);
    if (done != data.size()) return false;
    *out = std::move(data);
    return true;
}

// ---- Contenders ------------------------------------------------------------------------

// Each contender stores `items` at `path` durably, and reads every item back into `out`
// (in the same order).
struct Contender {
    const char* name;
    std::function<void(const Payload&, const std::vector<Item>&, const std::string&)> write;
    std::function<void(const Payload&, const std::vector<Item>&, const std::string&,
                       std::vector<QByteArray>*)>
        read;
    bool volumeOnly = false;  // a variant of the volume API, run for c only
};

// The project: Project::save / Project::load for a and b, the volume API for c, where
// every operation leaves its result on disk when it returns, or (deferred) the blocks
// wait in memory until the volume closes, as a save into a temporary file does.
void volumeWrite(const std::vector<Item>& items, const std::string& path, bool deferred) {
    EfsVolume volume;
    std::filesystem::remove(path);
    if (!volume.openVolume(QString::fromStdString(path))) die("cannot create " + path);
    volume.setDeferredWrites(deferred);
    for (const Item& item : items) {
        const int32_t h =
            volume.openFile(item.name.constData(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
        if (h == 0 ||
            !volume.writeFile(h, item.data.constData(), static_cast<int32_t>(item.data.size())))
            die("cannot store " + item.name.toStdString());
        volume.closeFile(h);
    }
    volume.closeVolume();  // writes back the header and syncs the host file
    if (volume.lastError() != EfsVolume::ErrorNone) die("closing " + path + " failed");
}

void projectWrite(const Payload& p, const std::vector<Item>& items, const std::string& path) {
    if (!p.isProject()) return volumeWrite(items, path, false);
    if (!Project::instance().save(QString::fromStdString(path)))
        die(Project::instance().lastError().toStdString());
}

void deferredWrite(const Payload&, const std::vector<Item>& items, const std::string& path) {
    volumeWrite(items, path, true);
}

void projectRead(const Payload& p, const std::vector<Item>& items, const std::string& path,
                 std::vector<QByteArray>* out) {
    if (p.isProject()) {
        Project& project = Project::instance();
        if (!project.load(QString::fromStdString(path))) die(project.lastError().toStdString());
        for (const auto& chapter : project.chapters())
            for (const auto& entry : chapter->entries()) out->push_back(entry->sound);
        return;
    }
    EfsVolume volume;
    if (!volume.openVolumeReadOnly(QString::fromStdString(path))) die("cannot open " + path);
    for (const Item& item : items) {
        const int32_t h =
            volume.openFile(item.name.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        if (h == 0) die("cannot open stored " + item.name.toStdString());
        QByteArray data(static_cast<qsizetype>(volume.fileSize(h)), Qt::Uninitialized);
        if (volume.readFile(h, data.data(), static_cast<int32_t>(data.size())) != data.size())
            die("cannot read stored " + item.name.toStdString());
        volume.closeFile(h);
        out->push_back(std::move(data));
    }
    volume.closeVolume();
}

void filesWrite(const Payload&, const std::vector<Item>& items, const std::string& path) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    for (const Item& item : items)
        if (!writeWhole(path + "/" + item.name.toStdString(), item.data))
            die("cannot write " + item.name.toStdString());
    // One syncfs for the whole folder: the cheapest way to make thousands of files
    // durable (an fsync per file costs about 7 ms each here), so the reference is fast.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || ::syncfs(fd) != 0) die("cannot sync " + path);
    ::close(fd);
}

void filesRead(const Payload&, const std::vector<Item>& items, const std::string& path,
               std::vector<QByteArray>* out) {
    for (const Item& item : items) {
        QByteArray data;
        if (!readWhole(path + "/" + item.name.toStdString(), &data))
            die("cannot read " + item.name.toStdString());
        out->push_back(std::move(data));
    }
}

void sqlCheck(sqlite3* db, int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        die(std::string(what) + ": " + sqlite3_errmsg(db));
}

void sqliteWrite(const Payload&, const std::vector<Item>& items, const std::string& path) {
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-journal");
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite open " + path);
    sqlCheck(db,
             sqlite3_exec(db, "PRAGMA page_size=8192; PRAGMA synchronous=FULL;", nullptr, nullptr,
                          nullptr),
             "pragma");
    sqlCheck(db,
             sqlite3_exec(db, "CREATE TABLE files(name TEXT PRIMARY KEY, data BLOB); BEGIN;",
                          nullptr, nullptr, nullptr),
             "create");
    sqlite3_stmt* st = nullptr;
    sqlCheck(db, sqlite3_prepare_v2(db, "INSERT INTO files VALUES(?, ?)", -1, &st, nullptr),
             "prepare");
    for (const Item& item : items) {
        sqlite3_bind_text(st, 1, item.name.constData(), static_cast<int>(item.name.size()),
                          SQLITE_STATIC);
        sqlite3_bind_blob(st, 2, item.data.constData(), static_cast<int>(item.data.size()),
                          SQLITE_STATIC);
        sqlCheck(db, sqlite3_step(st), "insert");
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlCheck(db, sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr), "commit");
    sqlite3_close(db);
}

void sqliteRead(const Payload&, const std::vector<Item>& items, const std::string& path,
                std::vector<QByteArray>* out) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        die("sqlite open " + path);
    sqlite3_stmt* st = nullptr;
    sqlCheck(db, sqlite3_prepare_v2(db, "SELECT data FROM files WHERE name = ?", -1, &st, nullptr),
             "prepare");
    for (const Item& item : items) {
        sqlite3_bind_text(st, 1, item.name.constData(), static_cast<int>(item.name.size()),
                          SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_ROW) die("sqlite: missing " + item.name.toStdString());
        const int n = sqlite3_column_bytes(st, 0);
        out->push_back(QByteArray(static_cast<const char*>(sqlite3_column_blob(st, 0)), n));
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}

void zipWrite(const Payload&, const std::vector<Item>& items, const std::string& path) {
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!z) die("zip open " + path);
    for (const Item& item : items) {
        zip_source_t* src = zip_source_buffer(z, item.data.constData(),
                                              static_cast<zip_uint64_t>(item.data.size()), 0);
        const zip_int64_t index = src ? zip_file_add(z, item.name.constData(), src, 0) : -1;
        if (index < 0) die("zip add " + item.name.toStdString());
        zip_set_file_compression(z, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    if (zip_close(z) != 0) die("zip close " + path);
    if (!syncPath(path) ||
        !syncPath(std::filesystem::path(path).parent_path().string(), O_RDONLY | O_DIRECTORY))
        die("cannot sync " + path);
}

void zipRead(const Payload&, const std::vector<Item>& items, const std::string& path,
             std::vector<QByteArray>* out) {
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!z) die("zip open " + path);
    for (const Item& item : items) {
        zip_stat_t st;
        if (zip_stat(z, item.name.constData(), 0, &st) != 0) die("zip stat");
        zip_file_t* f = zip_fopen_index(z, st.index, 0);
        if (!f) die("zip fopen");
        QByteArray data(static_cast<qsizetype>(st.size), Qt::Uninitialized);
        if (zip_fread(f, data.data(), st.size) != static_cast<zip_int64_t>(st.size))
            die("zip read");
        zip_fclose(f);
        out->push_back(std::move(data));
    }
    zip_close(z);
}

// ---- The physical bound ----------------------------------------------------------------

// What the disk allows for a container of `bytes` bytes: the same number of bytes written
// as one file and made durable, in one pass from one buffer.
double boundWrite(const std::string& path, int64_t bytes) {
    const QByteArray source = makeBytes(static_cast<int>(bytes));
    std::filesystem::remove(path);
    const auto t0 = std::chrono::steady_clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) die("cannot create " + path);
    for (int64_t done = 0; done < bytes;) {
        const ssize_t n = ::write(fd, source.constData() + done, static_cast<size_t>(bytes - done));
        if (n <= 0) die("cannot write " + path);
        done += n;
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) die("cannot sync " + path);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// And a load's bound: the container file read front to back with plain reads, one per
// stored item, each into a buffer of its own allocated as the load allocates them, the
// container's bytes shared evenly between the items.
double boundRead(const std::string& path, int64_t bytes, size_t items) {
    const auto share = static_cast<qsizetype>((bytes + static_cast<int64_t>(items) - 1) /
                                              static_cast<int64_t>(items));
    std::vector<QByteArray> buffers;
    buffers.reserve(items);
    const auto t0 = std::chrono::steady_clock::now();
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path);
    for (size_t i = 0; i < items; ++i) {
        QByteArray data(share, Qt::Uninitialized);
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n =
                ::read(fd, data.data() + done, static_cast<size_t>(data.size() - done));
            if (n < 0) die("cannot read " + path);
            if (n == 0) break;
            done += n;
        }
        buffers.push_back(std::move(data));
    }
    ::close(fd);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int64_t fileBytes(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<int64_t>(size);
}

// ---- The table -------------------------------------------------------------------------

struct Figure {
    double seconds = 0;
    int64_t peak = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double envDouble(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atof(v) : fallback;
}

// Gives freed memory back to the system so the next peak starts from the live data.
void releaseFreed() { malloc_trim(0); }

// ---- vxtool on a show ------------------------------------------------------------------

#ifdef VXTOOL_PROGRAM
struct ToolRun {
    double seconds = 0;
    int64_t peak = 0;  // the child's peak resident size in bytes
};

// Runs a program with args, its output to /dev/null and its standard error to errPath;
// exit 0 or 1 (vxtool: a problem found) count as a run, anything else ends the bench.
ToolRun runProgram(std::vector<std::string> all, const std::string& errPath = "/dev/null") {
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(null, 1);
        ::dup2(err, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) die("cannot run " + all[0]);
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        std::string line;
        for (const std::string& a : all) line += " " + a;
        die("failed:" + line);
    }
    return {std::chrono::duration<double>(t1 - t0).count(), int64_t(usage.ru_maxrss) * 1024};
}

ToolRun runVxtool(const std::vector<std::string>& args) {
    std::vector<std::string> all{VXTOOL_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram(std::move(all));
}

// The copy the import and the export are measured against: cp -r of the exported folder,
// then sync of the file system that holds the copy, as one figure.
ToolRun copyAndSync(const std::string& from, const std::string& to) {
    std::filesystem::remove_all(to);
    ToolRun copy = runProgram({"cp", "-r", from, to});
    const ToolRun sync = runProgram({"sync", "-f", to});
    copy.seconds += sync.seconds;
    return copy;
}

// Saves payload p's chapters and entries as a show at path, the sound of the nth entry
// (from 0, in running order) being sound(n); returns the largest sound's size.
int64_t saveShow(const Payload& p, const std::string& path,
                 const std::function<QByteArray(int)>& sound) {
    int64_t largest = 0;
    ChapterList chapters;
    const int perChapter = std::max(1, p.entries / p.chapters);
    for (int ch = 0, n = 0; ch < p.chapters; ++ch) {
        auto chapter = std::make_unique<Chapter>();
        chapter->name = QStringLiteral("Chapter %1").arg(ch + 1);
        for (int e = 0; e < perChapter; ++e, ++n) {
            Entry* entry = chapter->addEntry();
            entry->name = QStringLiteral("Cue %1.%2").arg(ch + 1).arg(e + 1);
            entry->sound = sound(n);
            largest = std::max<int64_t>(largest, entry->sound.size());
        }
        chapters.push_back(std::move(chapter));
    }
    Project::instance().replaceContent(std::move(chapters));
    if (!Project::instance().save(QString::fromStdString(path)))
        die(Project::instance().lastError().toStdString());
    Project::instance().clear();
    return largest;
}

// One 16-bit mono 44.1 kHz WAV at path holding the samples of every sound of the show at
// showPath (payload a's, all of that format) in running order.
void writeShowAudio(const std::string& showPath, const std::string& path) {
    Project& project = Project::instance();
    if (!project.load(QString::fromStdString(showPath))) die(project.lastError().toStdString());
    QByteArray samples;
    for (const auto& chapter : project.chapters())
        for (const auto& entry : chapter->entries()) samples += entry->sound.mid(44);
    project.clear();
    QByteArray wav = makeWav(44);
    putLe32(wav.data() + 4, static_cast<uint32_t>(36 + samples.size()));
    putLe32(wav.data() + 40, static_cast<uint32_t>(samples.size()));
    if (!writeWhole(path, wav + samples)) die("cannot write " + path);
}

// vxtool's project commands on payload a's show: each one's time and peak memory against
// the bound of the largest sound plus 64 MB, import and export against a copy, project
// check against ffmpeg's ebur128 filter (target: at most half its time), and project
// report against project check (target: at most 1.2x its time, a page under 3 MB).
void benchVxtool(const Payload& p, const std::string& dir, int runs) {
    const std::string show = dir + "/vxtool-show.vx";
    int64_t total = 0;
    int64_t largest = 0;
    {
        const std::vector<Item> items = makeItems(p);
        total = totalBytes(items);
        largest = saveShow(p, show, [&](int n) { return items[static_cast<size_t>(n)].data; });
    }
    // The contender of project check: ffmpeg's loudness filter with true peak, over one WAV
    // that holds the whole show's samples back to back, so that starting a process for
    // each sound does not count against it.
    const std::string audio = dir + "/vxtool-show-audio.wav";
    const bool ffmpeg = std::system("command -v ffmpeg > /dev/null 2>&1") == 0;
    if (ffmpeg) writeShowAudio(show, audio);
    // A child's peak counts the pages it shares with this process from the fork until its
    // exec, so the payload goes first; what is left is printed beside the figures.
    releaseFreed();
    const double forkedMb = static_cast<double>(residentSize()) / (1024.0 * 1024.0);
    const double mb = static_cast<double>(total) / (1024.0 * 1024.0);
    const double bound = static_cast<double>(largest + (int64_t(64) << 20)) / (1024.0 * 1024.0);
    const std::string exported = dir + "/vxtool-export";
    const std::string copied = dir + "/vxtool-copy";
    const std::string imported = dir + "/vxtool-imported.vx";
    const std::string report = dir + "/vxtool-report.html";
    // The rows after export need its folder, so export comes first in each run. Import
    // holds the whole show, so its bound on peak memory is the data plus 64 MB.
    const char* commands[] = {"export", "import", "check", "show", "script", "report"};
    constexpr size_t kCommands = sizeof commands / sizeof commands[0];
    // The commands take turns within each run, so that a busy moment of the machine falls
    // on all of them alike and the ratios hold.
    std::vector<std::vector<double>> times(kCommands);
    std::vector<double> copyTimes;
    std::vector<double> ffmpegTimes;
    std::vector<int64_t> peaks(kCommands, 0);
    for (int r = 0; r < runs; ++r) {
        std::filesystem::remove_all(exported);
        for (size_t i = 0; i < kCommands; ++i) {
            std::vector<std::string> args{"project", commands[i], show};
            if (i == 0) args.push_back(exported);
            if (i == 1) {
                std::filesystem::remove(imported);
                args = {"project", "import", exported, imported};
            }
            if (i == 5) args.insert(args.end(), {"-o", report});
            const ToolRun run = runVxtool(args);
            times[i].push_back(run.seconds);
            peaks[i] = std::max(peaks[i], run.peak);
        }
        copyTimes.push_back(copyAndSync(exported, copied).seconds);
        if (ffmpeg)
            ffmpegTimes.push_back(runProgram({"ffmpeg", "-nostats", "-i", audio, "-af",
                                              "ebur128=peak=true", "-f", "null", "-"})
                                      .seconds);
    }
    std::vector<double> seconds;
    for (const std::vector<double>& t : times) seconds.push_back(median(t));
    const double copySeconds = median(copyTimes);
    const double reportMb =
        static_cast<double>(std::filesystem::file_size(report)) / (1024.0 * 1024.0);
    std::filesystem::remove(report);
    std::filesystem::remove_all(exported);
    std::filesystem::remove_all(copied);
    std::filesystem::remove(imported);
    std::filesystem::remove(show);
    std::filesystem::remove(audio);
    std::printf(
        "--- vxtool project commands on a (%.1f MB show; bound on peak memory: largest "
        "sound + 64 MB = %.1f MB; peaks include up to %.1f MB of the bench at fork)\n",
        mb, bound, forkedMb);
    std::printf("%-16s %10s %10s %10s %10s %8s\n", "command", "seconds", "x export", "x copy",
                "peak MB", "bound");
    for (size_t i = 0; i < seconds.size(); ++i) {
        const double peakMb = static_cast<double>(peaks[i]) / (1024.0 * 1024.0);
        std::printf("project %-8s %10.3f %10.2f %10.2f %10.1f %8s\n", commands[i], seconds[i],
                    seconds[0] > 0 ? seconds[i] / seconds[0] : 0.0,
                    copySeconds > 0 ? seconds[i] / copySeconds : 0.0, peakMb,
                    peakMb <= (i == 1 ? mb + 64 : bound) ? "within" : "OVER");
    }
    std::printf("%-16s %10.3f %10.2f %10.2f (cp -r of the exported folder, then sync)\n",
                "copy + sync", copySeconds, seconds[0] > 0 ? copySeconds / seconds[0] : 0.0, 1.0);
    if (ffmpeg) {
        const double ffmpegSeconds = median(ffmpegTimes);
        std::printf(
            "%-16s %10.3f %10.2f %10.2f (ffmpeg -af ebur128=peak=true over one WAV of "
            "the show's audio)\n",
            "ffmpeg ebur128", ffmpegSeconds, seconds[0] > 0 ? ffmpegSeconds / seconds[0] : 0.0,
            copySeconds > 0 ? ffmpegSeconds / copySeconds : 0.0);
        std::printf(
            "project check takes %.2fx the time of ffmpeg's ebur128 filter with true peak "
            "(target: at most 0.5x)\n",
            ffmpegSeconds > 0 ? seconds[2] / ffmpegSeconds : 0.0);
    } else {
        std::printf("ffmpeg not found: project check has no contender\n");
    }
    std::printf(
        "project report takes %.2fx the time of project check (target: at most 1.2x); its "
        "page is %.2f MB (target: under 3 MB)\n",
        seconds[2] > 0 ? seconds[5] / seconds[2] : 0.0, reportMb);
    std::printf(
        "project import and export take %.2fx and %.2fx the time of the copy (target: "
        "at most 1.1x each)\n",
        copySeconds > 0 ? seconds[1] / copySeconds : 0.0,
        copySeconds > 0 ? seconds[0] / copySeconds : 0.0);
    std::fflush(stdout);
}

// The integrated loudness in the summary ffmpeg's ebur128 filter printed into path.
double ffmpegLoudness(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) die("cannot read " + path);
    double lufs = 0;
    bool found = false;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        double v = 0;
        if (std::sscanf(line, " I: %lf LUFS", &v) == 1) {
            lufs = v;
            found = true;
        }
    }
    std::fclose(f);
    if (!found) die("no loudness in " + path);
    return lufs;
}

// What a user without project level does: every WAV of the exported show measured with
// ffmpeg's ebur128 filter, every one written again by ffmpeg's volume filter at the gain
// that brings it to the median, and the folder imported as a new show.
double levelByHand(const std::string& exported, const std::string& work, const std::string& show) {
    std::vector<std::filesystem::path> wavs;
    for (const auto& e : std::filesystem::recursive_directory_iterator(exported))
        if (e.path().extension() == ".wav") wavs.push_back(e.path());
    std::sort(wavs.begin(), wavs.end());
    std::filesystem::remove_all(work);
    std::filesystem::copy(
        exported, work,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::directories_only);
    std::filesystem::copy_file(exported + "/project.json", work + "/project.json");
    const std::string log = work + ".log";
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<double> loudness;
    for (const auto& wav : wavs) {
        runProgram({"ffmpeg", "-nostats", "-i", wav.string(), "-af", "ebur128", "-f", "null", "-"},
                   log);
        loudness.push_back(ffmpegLoudness(log));
    }
    const double target = median(loudness);
    for (size_t i = 0; i < wavs.size(); ++i) {
        const std::string out = work + "/" + std::filesystem::relative(wavs[i], exported).string();
        runProgram({"ffmpeg", "-nostats", "-loglevel", "error", "-y", "-i", wavs[i].string(), "-af",
                    "volume=" + std::to_string(target - loudness[i]) + "dB", "-c:a", "pcm_s16le",
                    out});
    }
    std::filesystem::remove(show);
    runVxtool({"project", "import", work, show});
    const auto t1 = std::chrono::steady_clock::now();
    std::filesystem::remove(log);
    return std::chrono::duration<double>(t1 - t0).count();
}

// A 16-bit mono 44.1 kHz WAV of exactly `bytes` bytes of noise gainDb below full scale.
QByteArray makeQuieterWav(int bytes, double gainDb) {
    QByteArray wav = makeWav(bytes);
    const double gain = std::pow(10.0, gainDb / 20.0);
    for (int i = 44; i + 1 < bytes; i += 2) {
        const auto v = static_cast<int16_t>(static_cast<uint8_t>(wav[i]) |
                                            (static_cast<uint8_t>(wav[i + 1]) << 8));
        const auto scaled = static_cast<int16_t>(std::lround(v * gain));
        wav[i] = static_cast<char>(scaled & 0xff);
        wav[i + 1] = static_cast<char>((scaled >> 8) & 0xff);
    }
    return wav;
}

// project level on a show of payload a's size whose takes lie 6 to 30 dB below full scale,
// against project check of the same show (target: at most 1.5x) and against the same
// levelling done by hand with ffmpeg (target: at most a third of its time).
void benchLevel(const Payload& p, const std::string& dir, int runs) {
    const std::string show = dir + "/level-show.vx";
    g_rng = 0x1e7e1ull;  // its own noise, apart from payload a's
    const int64_t largest = saveShow(
        p, show, [&](int n) { return makeQuieterWav(p.itemBytes, -6.0 - (n * 7919 % 25)); });
    releaseFreed();
    const std::string levelled = dir + "/level-out.vx";
    const std::string exported = dir + "/level-export";
    const std::string work = dir + "/level-by-hand";
    const std::string byHand = dir + "/level-by-hand.vx";
    const bool ffmpeg = std::system("command -v ffmpeg > /dev/null 2>&1") == 0;
    std::filesystem::remove_all(exported);
    runVxtool({"project", "export", show, exported});
    std::vector<double> check, level, hand;
    int64_t checkPeak = 0, levelPeak = 0;
    for (int r = 0; r < runs; ++r) {
        const ToolRun c = runVxtool({"project", "check", show});
        std::filesystem::remove(levelled);
        const ToolRun l = runVxtool({"project", "level", show, "-o", levelled});
        check.push_back(c.seconds);
        level.push_back(l.seconds);
        checkPeak = std::max(checkPeak, c.peak);
        levelPeak = std::max(levelPeak, l.peak);
        // The workflow by hand starts 600 programs: twice is enough for its median.
        if (ffmpeg && r < 2) hand.push_back(levelByHand(exported, work, byHand));
    }
    const double checkSeconds = median(check), levelSeconds = median(level);
    const double bound = static_cast<double>(largest + (int64_t(64) << 20)) / (1024.0 * 1024.0);
    std::printf("--- vxtool project level on a show of %d takes 6 to 30 dB below full scale\n",
                p.entries);
    std::printf("%-16s %10s %10s %10s %8s\n", "command", "seconds", "x check", "peak MB", "bound");
    auto row = [&](const char* name, double seconds, int64_t peak) {
        const double mb = static_cast<double>(peak) / (1024.0 * 1024.0);
        std::printf("%-16s %10.3f %10.2f %10.1f %8s\n", name, seconds, seconds / checkSeconds, mb,
                    mb <= bound ? "within" : "OVER");
    };
    row("project check", checkSeconds, checkPeak);
    row("project level", levelSeconds, levelPeak);
    if (ffmpeg) {
        const double handSeconds = median(hand);
        std::printf(
            "%-16s %10.3f %10.2f (per WAV ffmpeg ebur128, then ffmpeg volume; then "
            "project import)\n",
            "by hand", handSeconds, handSeconds / checkSeconds);
        std::printf(
            "project level takes %.2fx the time of project check (target: at most "
            "1.5x) and %.2fx the time of levelling by hand (target: at most 0.33x)\n",
            levelSeconds / checkSeconds, levelSeconds / handSeconds);
    } else {
        std::printf(
            "project level takes %.2fx the time of project check (target: at most "
            "1.5x); ffmpeg not found: no levelling by hand\n",
            levelSeconds / checkSeconds);
    }
    std::filesystem::remove_all(exported);
    std::filesystem::remove_all(work);
    std::filesystem::remove(byHand);
    std::filesystem::remove(levelled);
    std::filesystem::remove(show);
    std::fflush(stdout);
}
#endif

}  // namespace

int main() {
    // Large blocks come from and go back to the system directly, so peaks are comparable.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const int runs = std::max(1, static_cast<int>(envDouble("BENCH_RUNS", 5)));
    const double scale = std::clamp(envDouble("BENCH_SCALE", 1.0), 0.001, 1.0);
    const char* onlyEnv = std::getenv("BENCH_ONLY");
    const std::string only = onlyEnv && *onlyEnv ? onlyEnv : "abc";
    const char* whoEnv = std::getenv("BENCH_WHO");
    // Built piece by piece: GCC 12 warns falsely (-Wrestrict) on "," + s + ",".
    std::string who;
    if (whoEnv && *whoEnv) who.append(",").append(whoEnv).append(",");
    auto chosen = [&](const char* name) {
        std::string key(",");
        key.append(name).append(",");
        return who.empty() || who.find(key) != std::string::npos;
    };
    const char* dirEnv = std::getenv("BENCH_DIR");
    const std::string dir = std::filesystem::absolute(dirEnv && *dirEnv ? dirEnv : "bench-work");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);

    auto scaled = [&](int n, int atLeast) {
        return std::max(atLeast, static_cast<int>(n * scale + 0.5));
    };
    std::vector<Payload> payloads = {
        {'a', "%1 entries x 1 MB WAV", 10, scaled(300, 10), 1 << 20},
        {'b', "%1 entries x 20 KB WAV", 20, scaled(2000, 20), 20 * 1024},
        {'c', "%1 files x 1 KB", 0, scaled(10000, 10), 1024},
    };
    std::vector<Contender> contenders = {
        {"voxtrail", projectWrite, projectRead},
        {"plain files", filesWrite, filesRead},
        {"SQLite", sqliteWrite, sqliteRead},
        {"zip (stored)", zipWrite, zipRead},
        {"voxtrail, deferred", deferredWrite, projectRead, true},
    };
    const char* extension[] = {".vx", ".dir", ".sqlite", ".zip", ".deferred.vx"};

    std::printf("voxtrail_bench: %d run(s) per figure (median), scale %.3g, folder %s\n", runs,
                scale, dir.c_str());
    std::printf(
        "Every write ends durable (fsync; plain files: one syncfs); every read follows its "
        "write (warm cache).\n\n");
    std::printf("%-3s %-6s %-18s %10s %9s %9s %9s %10s %10s\n", "pay", "op", "contender", "seconds",
                "MB/s", "x files", "x bound", "peak MB", "data MB");

    for (const Payload& p : payloads) {
        if (only.find(p.letter) == std::string::npos) continue;
        std::vector<Figure> saveFig(contenders.size()), loadFig(contenders.size());
        std::vector<double> boundSave, boundLoad;
        int64_t bytes = 0;
        for (size_t ci = 0; ci < contenders.size(); ++ci) {
            const Contender& c = contenders[ci];
            if (c.volumeOnly && p.isProject()) continue;
            if (!chosen(c.name) && ci != 1) continue;  // plain files are every ratio's base
            const std::string path = dir + "/" + p.letter + extension[ci];
            std::vector<double> saveTimes, loadTimes;
            int64_t savePeak = 0, loadPeak = 0;
            for (int r = 0; r < runs; ++r) {
                // The data to store lives in memory first, as it does in the program.
                std::vector<Item> items = makeItems(p);
                bytes = totalBytes(items);
                if (p.isProject()) {
                    // The project holds the same sounds (shared, not copied).
                    ChapterList chapters;
                    const int perChapter = std::max(1, p.entries / p.chapters);
                    size_t at = 0;
                    for (int ch = 0; ch < p.chapters; ++ch) {
                        auto chapter = std::make_unique<Chapter>();
                        chapter->name = QStringLiteral("Chapter %1").arg(ch + 1);
                        for (int e = 0; e < perChapter; ++e) {
                            Entry* entry = chapter->addEntry();
                            entry->name = QStringLiteral("Cue %1.%2").arg(ch + 1).arg(e + 1);
                            entry->desc = QStringLiteral("Narration");
                            entry->sound = items[at++].data;
                        }
                        chapters.push_back(std::move(chapter));
                    }
                    Project::instance().replaceContent(std::move(chapters));
                }
                releaseFreed();
                resetPeakRss();
                auto t0 = std::chrono::steady_clock::now();
                c.write(p, items, path);
                auto t1 = std::chrono::steady_clock::now();
                saveTimes.push_back(std::chrono::duration<double>(t1 - t0).count());
                savePeak = std::max(savePeak, peakRss());

                // Reading starts with nothing of the payload in memory but what is
                // needed to check the result: names and a digest of each item.
                std::vector<Item> names;
                std::vector<size_t> digests;
                for (Item& item : items) {
                    digests.push_back(qHash(item.data));
                    names.push_back({item.name, QByteArray()});
                }
                items.clear();
                Project::instance().clear();
                releaseFreed();
                std::vector<QByteArray> back;
                back.reserve(names.size());
                resetPeakRss();
                t0 = std::chrono::steady_clock::now();
                c.read(p, names, path, &back);
                t1 = std::chrono::steady_clock::now();
                loadTimes.push_back(std::chrono::duration<double>(t1 - t0).count());
                loadPeak = std::max(loadPeak, peakRss());
                // The loaded description is compared as the bytes it writes, made outside
                // the clock (the other contenders read those bytes as they are).
                if (ci == 0 && p.isProject())
                    back.push_back(ProjectDescription::write(Project::instance().chapters()));
                // The bound, in the same run and beside the container just measured.
                if (ci == 0 || ci == 4) {
                    const std::string raw = dir + "/bound.raw";
                    const int64_t containerBytes = fileBytes(path);
                    boundSave.push_back(boundWrite(raw, containerBytes));
                    releaseFreed();
                    boundLoad.push_back(boundRead(raw, containerBytes, digests.size()));
                    std::filesystem::remove(raw);
                }
                if (back.size() != digests.size()) die(std::string(c.name) + ": item count");
                for (size_t i = 0; i < back.size(); ++i)
                    if (qHash(back[i]) != digests[i])
                        die(std::string(c.name) + ": bytes differ in " +
                            names[i].name.toStdString());
                back.clear();
                Project::instance().clear();
                releaseFreed();
            }
            saveFig[ci] = {median(saveTimes), savePeak};
            loadFig[ci] = {median(loadTimes), loadPeak};
            std::fflush(stdout);
        }
        const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
        std::printf("--- %c: %s (%.1f MB)\n", p.letter,
                    p.title.arg(p.isProject() ? p.entries / p.chapters * p.chapters : p.entries)
                        .toUtf8()
                        .constData(),
                    mb);
        for (int op = 0; op < 2; ++op) {
            const std::vector<Figure>& fig = op == 0 ? saveFig : loadFig;
            const std::vector<double>& boundTimes = op == 0 ? boundSave : boundLoad;
            const double bound = boundTimes.empty() ? 0 : median(boundTimes);
            for (size_t ci = 0; ci < contenders.size(); ++ci) {
                if (contenders[ci].volumeOnly && p.isProject()) continue;
                if (!chosen(contenders[ci].name) && ci != 1) continue;
                // Ratio of throughputs: above 1 is faster than plain files. Ratio to the
                // bound: the time over the disk's time for the container's bytes.
                const double ratio = fig[ci].seconds > 0 ? fig[1].seconds / fig[ci].seconds : 0;
                std::printf("%-3c %-6s %-18s %10.3f %9.1f %9.2f %9.2f %10.1f %10.1f\n", p.letter,
                            op == 0 ? "write" : "read", contenders[ci].name, fig[ci].seconds,
                            fig[ci].seconds > 0 ? mb / fig[ci].seconds : 0.0, ratio,
                            bound > 0 ? fig[ci].seconds / bound : 0.0,
                            static_cast<double>(fig[ci].peak) / (1024.0 * 1024.0), mb);
            }
            if (bound > 0)
                std::printf("%-3c %-6s %-18s %10.3f %9.1f %9.2f %9.2f %10s %10.1f\n", p.letter,
                            op == 0 ? "write" : "read", "bound (raw file)", bound, mb / bound,
                            fig[1].seconds / bound, 1.0, "", mb);
        }
        std::fflush(stdout);
    }
#ifdef VXTOOL_PROGRAM
    if (only.find('a') != std::string::npos) {
        benchVxtool(payloads[0], dir, runs);
        benchLevel(payloads[0], dir, runs);
    }
#endif
    std::filesystem::remove_all(dir);
    return 0;
}
