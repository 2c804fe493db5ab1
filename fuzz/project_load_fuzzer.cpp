// Project::load of an arbitrary container, through the program's own archive on a real
// file: the input bytes are written to a file in a private temporary folder (made once per
// process, removed at exit) and loaded into a project that holds a small known project.
//
// Whatever the bytes:
// - the load either succeeds with an empty lastError(), or fails with a lastError() that
//   names the file and says more than its name;
// - a failed load leaves the project in memory as it was: the same chapter and entry
//   objects with the same texts and sound bytes;
// - the file is byte for byte as it was, and the load creates no other file;
// - a project that loaded is saved to a second file (the save succeeds, leaves the project
//   as it was and no temporary file behind) and loads again with the same chapters,
//   entries, texts (as far as XML carries them: ProjectDescription::storableText) and
//   sound bytes.
// A loop or an allocation without bound shows up as a libFuzzer timeout or out-of-memory.

#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzQuietQt.h"
#include "FuzzSupport.h"
#include "MemoryDisk.h"
#include "project/Project.h"
#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"

namespace fs = std::filesystem;

namespace {

// Where the private folder goes: TMPDIR when set, otherwise a folder in memory where the
// system has one (/dev/shm), so that the syncs of a save cost nothing, otherwise /tmp.
std::string baseFolder() {
    const char* base = std::getenv("TMPDIR");
    if (base != nullptr && *base != '\0') return base;
    if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
    return "/tmp";
}

// The private folder of this process: made on first use, removed with everything in it
// when the process exits normally.
class Workspace final {
  public:
    Workspace() {
        std::string pattern = baseFolder() + "/vx-project-load-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) == nullptr) {
            std::perror("project_load: mkdtemp");
            std::abort();
        }
        m_dir = name.data();
    }
    ~Workspace() {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::string& dir() const { return m_dir; }
    std::string path(const char* name) const { return m_dir + "/" + name; }
    // The names of every entry of the folder (hidden ones included), sorted.
    std::set<std::string> names() const {
        std::set<std::string> out;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(m_dir, ec))
            out.insert(entry.path().filename().string());
        return out;
    }
    // Removes every entry of the folder.
    void empty() const {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(m_dir, ec))
            fs::remove_all(entry.path(), ec);
    }

  private:
    std::string m_dir;
};

Workspace& workspace() {
    static Workspace w;
    return w;
}

constexpr char kInputName[] = "input.vx";
constexpr char kSavedName[] = "saved.vx";

QString qpath(const std::string& path) { return QString::fromStdString(path); }

bool writeBytes(const std::string& path, const char* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool readBytes(const std::string& path, std::string& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out.clear();
    char chunk[1 << 16];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, got);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// Whether the file at path holds exactly the given bytes.
bool holdsExactly(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    static std::vector<char> chunk(1 << 20);
    size_t done = 0;
    bool same = true;
    size_t got;
    while (same && (got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
        same = got <= size - done && std::memcmp(chunk.data(), data + done, got) == 0;
        done += got;
    }
    same = same && std::ferror(f) == 0 && done == size;
    std::fclose(f);
    return same;
}

// What a project holds, with the addresses of its chapter and entry objects.
struct EntryState {
    const Entry* object = nullptr;
    QString name, desc, note;
    QByteArray sound;
};
struct ChapterState {
    const Chapter* object = nullptr;
    QString name;
    std::vector<EntryState> entries;
};
using ProjectState = std::vector<ChapterState>;

ProjectState stateOf(const ChapterList& chapters) {
    ProjectState state;
    for (const auto& chapter : chapters) {
        ChapterState c{chapter.get(), chapter->name, {}};
        for (const auto& entry : chapter->entries())
            c.entries.push_back({entry.get(), entry->name, entry->desc, entry->note, entry->sound});
        state.push_back(std::move(c));
    }
    return state;
}

// The texts as a save stores them.
ProjectState storable(ProjectState state) {
    using ProjectDescription::storableText;
    for (ChapterState& c : state) {
        c.name = storableText(c.name);
        for (EntryState& e : c.entries) {
            e.name = storableText(e.name);
            e.desc = storableText(e.desc);
            e.note = storableText(e.note);
        }
    }
    return state;
}

// Same content; with sameObjects also the same chapter and entry objects.
bool sameState(const ProjectState& a, const ProjectState& b, bool sameObjects) {
    if (a.size() != b.size()) return false;
    for (size_t c = 0; c < a.size(); ++c) {
        const ChapterState& x = a[c];
        const ChapterState& y = b[c];
        if (x.name != y.name || x.entries.size() != y.entries.size()) return false;
        if (sameObjects && x.object != y.object) return false;
        for (size_t e = 0; e < x.entries.size(); ++e) {
            const EntryState& p = x.entries[e];
            const EntryState& q = y.entries[e];
            if (p.name != q.name || p.desc != q.desc || p.note != q.note || p.sound != q.sound)
                return false;
            if (sameObjects && p.object != q.object) return false;
        }
    }
    return true;
}

// A tiny valid WAV file: 8 kHz, mono, 8 bit, `samples` samples of a saw wave.
QByteArray smallWav(int samples, int variant) {
    QByteArray wav;
    auto u32 = [&wav](uint32_t v) {
        for (int i = 0; i < 4; ++i) wav.append(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    auto u16 = [&wav](uint16_t v) {
        wav.append(static_cast<char>(v & 0xff));
        wav.append(static_cast<char>(v >> 8));
    };
    wav.append("RIFF");
    u32(36 + static_cast<uint32_t>(samples));
    wav.append("WAVEfmt ");
    u32(16);
    u16(1);  // PCM
    u16(1);  // mono
    u32(8000);
    u32(8000);
    u16(1);
    u16(8);
    wav.append("data");
    u32(static_cast<uint32_t>(samples));
    for (int i = 0; i < samples; ++i)
        wav.append(static_cast<char>(128 + ((i * (3 + variant)) % 64) - 32));
    return wav;
}

// The project every input is loaded into.
ChapterList referenceProject() {
    ChapterList list;
    auto first = std::make_unique<Chapter>();
    first->name = QStringLiteral("Reference chapter");
    Entry* a = first->addEntry();
    a->name = QStringLiteral("with sound");
    a->desc = QStringLiteral("desc");
    a->note = QStringLiteral("note");
    a->sound = smallWav(64, 0);
    Entry* b = first->addEntry();
    b->name = QStringLiteral("without sound");
    list.push_back(std::move(first));
    list.push_back(std::make_unique<Chapter>());
    return list;
}

std::string text(const QString& s) { return s.toStdString(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzQuietQt();
    const Workspace& ws = workspace();
    const std::string input = ws.path(kInputName);
    const std::string saved = ws.path(kSavedName);
    std::string fuzzContext = "write the input file";
    ws.empty();
    FUZZ_CHECK(writeBytes(input, reinterpret_cast<const char*>(data), size));
    const std::set<std::string> inputOnly{kInputName};

    Project& project = Project::instance();
    project.replaceContent(referenceProject());
    const ProjectState before = stateOf(project.chapters());

    fuzzContext = "load";
    const bool loaded = project.load(qpath(input));
    const QString error = project.lastError();
    fuzzContext = loaded ? "load succeeded" : "load failed: " + text(error);

    FUZZ_CHECK(holdsExactly(input, data, size));
    FUZZ_CHECK(ws.names() == inputOnly);

    if (!loaded) {
        // Names the file, and says more than its name.
        FUZZ_CHECK(!error.isEmpty());
        FUZZ_CHECK(error.contains(qpath(input)));
        FUZZ_CHECK(error.size() > qpath(input).size() + 8);
        FUZZ_CHECK(sameState(stateOf(project.chapters()), before, true));
        return 0;
    }
    FUZZ_CHECK(error.isEmpty());
    const ProjectState loadedState = stateOf(project.chapters());
    for (const ChapterState& c : loadedState) {
        FUZZ_CHECK(c.object != nullptr);
        for (const EntryState& e : c.entries) FUZZ_CHECK(e.object != nullptr);
    }

    fuzzContext = "save the loaded project";
    const bool savedOk = project.save(qpath(saved));
    if (!savedOk) fuzzContext += ": " + text(project.lastError());
    FUZZ_CHECK(savedOk);
    FUZZ_CHECK(project.lastError().isEmpty());
    FUZZ_CHECK(sameState(stateOf(project.chapters()), loadedState, true));
    FUZZ_CHECK(holdsExactly(input, data, size));
    FUZZ_CHECK((ws.names() == std::set<std::string>{kInputName, kSavedName}));

    fuzzContext = "load the saved project";
    project.replaceContent(referenceProject());
    const bool again = project.load(qpath(saved));
    if (!again) fuzzContext += ": " + text(project.lastError());
    FUZZ_CHECK(again);
    FUZZ_CHECK(project.lastError().isEmpty());
    FUZZ_CHECK(sameState(stateOf(project.chapters()), storable(loadedState), false));
    FUZZ_CHECK((ws.names() == std::set<std::string>{kInputName, kSavedName}));
    return 0;
}

namespace {

std::unique_ptr<Chapter> chapter(const QString& name, int entries, int withSound,
                                 const QString& text) {
    auto c = std::make_unique<Chapter>();
    c->name = name;
    for (int i = 0; i < entries; ++i) {
        Entry* e = c->addEntry();
        e->name = text + QString::number(i);
        e->desc = i % 2 ? text : QString();
        e->note = i % 3 ? QString() : QStringLiteral("note ") + text;
        if (i < withSound) e->sound = smallWav(40 + 30 * i, i);
    }
    return c;
}

// The bytes of the container the program saves for chapters; empty when the save failed.
std::string savedProject(ChapterList chapters) {
    Project& project = Project::instance();
    const std::string path = workspace().path(kSavedName);
    std::error_code ec;
    fs::remove(path, ec);
    project.replaceContent(std::move(chapters));
    std::string bytes;
    if (!project.save(qpath(path)) || !readBytes(path, bytes)) bytes.clear();
    project.clear();
    fs::remove(path, ec);
    return bytes;
}

using Files = std::vector<std::pair<std::string, std::string>>;

std::string bytesOf(const QByteArray& a) { return std::string(a.constData(), size_t(a.size())); }

// The stored files a save writes for chapters: the sounds, then the description.
Files projectFiles(const ChapterList& chapters) {
    Files files;
    for (size_t c = 0; c < chapters.size(); ++c)
        for (int e = 0; e < chapters[c]->entryCount(); ++e)
            if (chapters[c]->entry(e)->hasSound())
                files.push_back({bytesOf(ProjectDescription::soundFileName(static_cast<int>(c), e)),
                                 bytesOf(chapters[c]->entry(e)->sound)});
    files.push_back({ProjectDescription::kFileName, bytesOf(ProjectDescription::write(chapters))});
    return files;
}

// A container a few blocks long (growth step `stepBlocks`) holding exactly the given
// stored files; with inTurns the files are written a block at a time in turn, so that
// the larger ones lie in several fragments.
std::string smallContainer(const Files& files, int64_t stepBlocks = 1, bool inTurns = false) {
    VolumeMaker maker(VolumeMaker::step(stepBlocks));
    if (inTurns)
        maker.putInTurns(files);
    else
        for (const auto& [name, bytes] : files) maker.put(name, bytes);
    return maker.close();
}

}  // namespace

int fuzzWriteCorpus(const std::string& dir) {
    fuzzQuietQt();
    int n = 0;
    auto save = [&](const std::string& name, const std::string& bytes) {
        if (!bytes.empty() && fuzzWriteFile(dir, name, bytes)) ++n;
    };
    auto oneChapter = [] {
        ChapterList list;
        list.push_back(chapter(QStringLiteral("One"), 1, 1, QStringLiteral("line")));
        return list;
    };
    auto severalChapters = [] {
        ChapterList list;
        list.push_back(chapter(QStringLiteral("Act one"), 4, 2, QStringLiteral("line")));
        list.push_back(chapter(QString(), 0, 0, QString()));
        list.push_back(
            chapter(QStringLiteral("Act two <&> \"quoted\""), 2, 0, QStringLiteral("x")));
        list.push_back(chapter(QString::fromUtf8("Kapitel \xc3\xa4 \xf0\x9f\x8e\xa4"), 3, 3,
                               QString::fromUtf8("\xd0\xbc\xd0\xb8\xd1\x80\t\n")));
        return list;
    };

    // Small projects: what a save stores, in containers a few blocks long.
    save("small-empty-project", smallContainer(projectFiles(ChapterList())));
    const std::string oneEntry = smallContainer(projectFiles(oneChapter()));
    save("small-one-entry-with-sound", oneEntry);
    const std::string several = smallContainer(projectFiles(severalChapters()));
    save("small-several-chapters", several);
    {
        // Sounds larger than a record holds inline, stored in turn: several fragments each.
        ChapterList list = oneChapter();
        list.front()->entry(0)->sound = smallWav(20000, 5);
        Entry* second = list.front()->addEntry();
        second->name = QStringLiteral("second");
        second->sound = smallWav(30000, 6);
        save("small-fragmented-sounds", smallContainer(projectFiles(list), 1, true));
    }

    // Containers the program does not save itself.
    const QByteArray desc = ProjectDescription::write([] {
        ChapterList list;
        list.push_back(chapter(QStringLiteral("c"), 2, 0, QStringLiteral("e")));
        return list;
    }());
    save("small-no-description", smallContainer({{"ch0_e0.snd", bytesOf(smallWav(50, 1))}}));
    save("small-empty-description", smallContainer({{ProjectDescription::kFileName, ""}}));
    save("small-description-not-xml",
         smallContainer({{ProjectDescription::kFileName, "<chapters><chapter>"}}));
    save("small-sounds-of-missing-entries",
         smallContainer({{ProjectDescription::kFileName, bytesOf(desc)},
                         {"ch0_e1.snd", bytesOf(smallWav(30, 2))},
                         {"ch5_e0.snd", bytesOf(smallWav(30, 3))},
                         {"other", "not a sound"}}));
    save("small-handwritten-description",
         smallContainer({{ProjectDescription::kFileName,
                          "<?xml version=\"1.0\"?>\n<!-- notes -->\n<!DOCTYPE vxt_project>"
                          "<chapters><chapter name='a &amp; b'><entry name=\"&#x41;\" "
                          "desc=\"&lt;\"/><other/>text<entry note=\"n\"></entry></chapter>"
                          "<![CDATA[x]]><chapter/></chapters>"},
                         {"ch0_e1.snd", "RIFF"}}));
    save("not-a-container", "RIFF....WAVEfmt this is not a container");

    // Damaged: cut short, single bytes changed in the header, one byte of the description
    // changed.
    const std::vector<std::pair<std::string, std::string>> valid{{"small-one-entry", oneEntry},
                                                                 {"small-several", several}};
    for (const auto& [label, bytes] : valid) {
        if (bytes.empty()) continue;
        for (size_t cut : {size_t(16), size_t(100), size_t(8192), size_t(16384), bytes.size() - 1})
            if (cut < bytes.size())
                save(label + "-truncated-" + std::to_string(cut), bytes.substr(0, cut));
        for (size_t at : {size_t(0), size_t(8), size_t(12), size_t(16), size_t(24), size_t(40)}) {
            if (at >= bytes.size()) continue;
            std::string damaged = bytes;
            damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
            save(label + "-header-byte-" + std::to_string(at), damaged);
        }
        const size_t root = bytes.find("<chapters");
        if (root != std::string::npos) {
            std::string damaged = bytes;
            damaged[root + 1] = '\0';
            save(label + "-description-byte", damaged);
        }
    }

    // Whole containers as the program saves them, one growth step (8 MiB) long.
    save("whole-empty-project", savedProject(ChapterList()));
    save("whole-several-chapters", savedProject(severalChapters()));
    return n;
}
