#include "efs/EfsVolume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "efs/FileReplacement.h"

using namespace efs;

namespace {

std::unique_ptr<EfsFile> makePosixFile() { return std::make_unique<EfsPosixFile>(); }

// A growth step below one block would never add a block; a negative reserve would leave
// written positions without blocks.
bool paramsUsable(const VolumeParams& p) {
    return p.growthStep >= kBlockSize && p.reserveBlocks >= 0;
}

}  // namespace

EfsVolume::EfsVolume() : EfsVolume(FileFactory(makePosixFile)) {}

EfsVolume::EfsVolume(FileFactory factory)
    : m_factory(factory ? std::move(factory) : FileFactory(makePosixFile)) {}

EfsVolume::~EfsVolume() { closeVolume(); }

// ---- Opening and closing ---------------------------------------------------------------

bool EfsVolume::openVolume(const QString& path) { return openVolumeImpl(path, false); }

bool EfsVolume::openVolumeReadOnly(const QString& path) { return openVolumeImpl(path, true); }

bool EfsVolume::isOpen() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_store.isOpen();
}

bool EfsVolume::isReadOnly() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_store.isOpen() && m_store.readOnly();
}

QString EfsVolume::path() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_path;
}

void EfsVolume::abandonOpen() {
    m_table.abandon();
    m_allocator.abandon();
    m_store.detach();
}

// The checks an existing header passes before anything is written: every refusal leaves
// the host file as it was.
bool EfsVolume::checkHeader(const std::vector<uint8_t>& header, int64_t hostBlocks) {
    auto refuse = [this](const Status& why) {
        m_lastError = why.code();
        m_store.noteFailure(why);
        return false;
    };
    if (!std::equal(kMagic.begin(), kMagic.end(), header.begin()))
        return refuse(Status::corruption("it does not start with a voxtrail container header"));
    const int32_t version = decodeFixed32(header.data() + kHeaderVersion);
    if (version > kFormatVersion) {
        return refuse(Status::notSupported(
            QStringLiteral("it was written in format %1 by a newer version of the program; this "
                           "one reads formats up to %2")
                .arg(version)
                .arg(kFormatVersion),
            ErrorVersion));
    }
    const VolumeParams stored = VolumeParams::decode(header.data() + kHeaderParams);
    if (stored.blockSize != kBlockSize) {
        return refuse(Status::notSupported(
            QStringLiteral("it uses blocks of %1 bytes; this program reads only blocks of %2")
                .arg(grouped(stored.blockSize), grouped(kBlockSize)),
            ErrorBlockSize));
    }
    if (!paramsUsable(stored)) {
        return refuse(Status::corruption(
            QStringLiteral("its header is damaged: it gives a growth step of %1 bytes and a "
                           "reserve of %2 blocks")
                .arg(grouped(stored.growthStep))
                .arg(stored.reserveBlocks)));
    }
    const int32_t freeRoot = decodeFixed32(header.data() + kHeaderFreeRoot);
    const int32_t fileRoot = decodeFixed32(header.data() + kHeaderFileRoot);
    for (int32_t root : {freeRoot, fileRoot}) {
        if (root < 0) {
            return refuse(Status::corruption(
                QStringLiteral("its header is damaged: it names block %1 as a root").arg(root)));
        }
        if (root >= hostBlocks) {
            // A file cut short: the header still names the blocks it had.
            return refuse(Status::corruption(
                QStringLiteral("the file is %1 bytes long, but its header describes %2")
                    .arg(grouped(m_store.hostSize()),
                         grouped((static_cast<int64_t>(root) + 1) * kBlockSize))));
        }
    }
    if (freeRoot != 0 && freeRoot == fileRoot) {
        return refuse(Status::corruption(
            QStringLiteral("its header is damaged: it names block %1 as the root of both trees")
                .arg(freeRoot)));
    }
    // Both roots are 0 only in a volume whose creation stopped before its trees existed;
    // a file table without free space is damage, and making a free-space tree for it
    // would grow and rewrite a file whose open is then refused.
    if (freeRoot == 0 && fileRoot != 0) {
        return refuse(Status::corruption(
            QStringLiteral("its header is damaged: it names a file table but no free-space tree")));
    }
    clearError();
    return true;
}

bool EfsVolume::openVolumeImpl(const QString& path, bool readOnly) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    if (m_store.isOpen()) {
        m_lastError = ErrorState;
        return false;
    }
    m_path = path;
    std::unique_ptr<EfsFile> host = m_factory();
    errno = 0;
    if (!host || !(readOnly ? host->openReadOnly(path) : host->open(path))) {
        const int error = host ? errno : 0;
        m_lastError = ErrorHostOpen;
        // The host file layer refuses a folder with EISDIR and a file of another kind (a
        // FIFO, a device, a socket) with EINVAL.
        if (error == EISDIR)
            m_store.noteFailure(Status::notSupported("it is a folder", ErrorHostOpen));
        else if (error == EINVAL)
            m_store.noteFailure(Status::notSupported("it is not a regular file", ErrorHostOpen));
        else
            m_store.noteFailure(Status::ioError(error, QString(), ErrorHostOpen));
        return false;
    }
    m_store.attach(std::move(host), readOnly);
    bool undoOnRefusal = false;
    auto failWith = [this, &undoOnRefusal](int32_t code) {
        if (undoOnRefusal) m_store.restoreEnds();
        abandonOpen();
        m_lastError = code;
        return false;
    };

    errno = 0;
    const int64_t size = m_store.hostSize();
    if (size < 0) {
        m_store.noteFailure(Status::ioError(errno, "while measuring the file"));
        return failWith(ErrorIo);
    }
    const bool isNew = size == 0;
    std::vector<uint8_t> header(kBlockSize, 0);
    bool recovery = false;
    if (isNew) {
        if (readOnly) {
            m_store.noteFailure(Status::corruption("the file is empty"));
            return failWith(ErrorIo);
        }
        std::copy(kMagic.begin(), kMagic.end(), header.begin());
        encodeFixed32(header.data() + kHeaderVersion, kFormatVersion);
        encodeFixed32(header.data() + kHeaderOpenFlag, 1);
        m_params.encode(header.data() + kHeaderParams);
        m_version = kFormatVersion;
        m_openFlagAtOpen = 0;
        // A new volume needs its header before the first growth.
        if (!m_store.writeHeader(header)) return failWith(ErrorIo);
    } else {
        if (!m_store.readHeader(&header)) return failWith(ErrorIo);
        if (!checkHeader(header, size / kBlockSize)) return failWith(m_lastError);
        if (readOnly && (decodeFixed32(header.data() + kHeaderFreeRoot) == 0 ||
                         decodeFixed32(header.data() + kHeaderFileRoot) == 0)) {
            m_store.noteFailure(Status::corruption(
                "its creation was never finished: the header names no file table"));
            return failWith(ErrorIo);
        }
        m_version = decodeFixed32(header.data() + kHeaderVersion);
        VolumeParams stored = VolumeParams::decode(header.data() + kHeaderParams);
        stored.blockSize = m_params.blockSize;
        m_params = stored;
        m_params.encode(header.data() + kHeaderParams);
        m_openFlagAtOpen = decodeFixed32(header.data() + kHeaderOpenFlag);
        if (m_openFlagAtOpen == 1)
            recovery = !readOnly;
        else if (!readOnly)
            encodeFixed32(header.data() + kHeaderOpenFlag, 1);
    }
    if (!m_store.measureHost()) {
        m_store.noteFailure(Status::corruption("the file holds no whole block"));
        return failWith(ErrorIo);
    }
    const bool treesAreNew = decodeFixed32(header.data() + kHeaderFreeRoot) == 0;
    if (!isNew && !readOnly && treesAreNew) {
        // Making the trees of an existing volume grows its host file and writes the root
        // slots before the open can still fail (no room for the nodes, say): a refusal
        // puts the file back as it was.
        if (!m_store.keepEnds()) return failWith(ErrorIo);
        undoOnRefusal = true;
    }
    if (!m_allocator.open(treesAreNew, decodeFixed32(header.data() + kHeaderFileRoot)))
        return failWith(m_lastError == ErrorNoSpace ? ErrorNoSpace : ErrorIo);
    if (!m_table.open()) return failWith(m_lastError == ErrorNoSpace ? ErrorNoSpace : ErrorIo);
    if (!isNew && !readOnly) {
        // An existing volume is written only once its trees have opened, so a damaged
        // container is left as it was; the trees may have just made new roots.
        encodeFixed32(header.data() + kHeaderFreeRoot, m_allocator.treeRoot());
        encodeFixed32(header.data() + kHeaderFileRoot, m_table.rootBlock());
        if (!m_store.writeHeader(header)) return failWith(ErrorIo);
    }
    if (recovery) runRecoveryPass();
    if (!m_store.flush()) return failWith(ErrorIo);
    clearError();
    return true;
}

// Opens and closes every stored file once: the last close gives back data blocks beyond
// a file's need, which repairs files whose reserve was never trimmed.
void EfsVolume::runRecoveryPass() {
    std::vector<FileNameKey> keys;
    m_table.collectKeys(&keys);
    for (const FileNameKey& key : keys) {
        const std::string name = key.text();
        const int32_t h = openFile(name.c_str(), AccessRead, OpenExisting);
        if (h != 0) closeFile(h);
    }
}

void EfsVolume::closeVolume() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_store.isOpen()) return;
    m_store.clearFailure();
    bool ok = true;
    while (!m_table.handles().empty()) {
        closeFileImpl(m_table.handles().begin()->first);
        if (m_lastError != ErrorNone) ok = false;
    }
    ok = m_table.close() && ok;
    ok = m_allocator.close() && ok;
    if (!m_store.readOnly()) {
        // Data first, then the clean flag: a crash in between leaves the flag set and
        // the next open runs the recovery pass.
        ok = m_store.flush() && ok;
        ok = m_store.sync() && ok;
        std::vector<uint8_t> header;
        if (m_store.readHeader(&header)) {
            encodeFixed32(header.data() + kHeaderOpenFlag, 0);
            ok = m_store.writeHeader(header) && ok;
        } else {
            ok = false;
        }
        ok = m_store.sync() && ok;
    }
    m_store.detach();
    m_lastError = ok ? ErrorNone : ErrorIo;
}

// ---- Compact and reformat --------------------------------------------------------------

bool EfsVolume::compact() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    if (!m_store.isOpen() || m_store.readOnly()) {
        m_lastError = ErrorState;
        return false;
    }
    // The copy goes into a private file beside the original and replaces it in one rename,
    // only once it is whole, closed and durable (efs/FileReplacement.h).
    FileReplacement replacement(FileReplacement::Naming::Numbered, m_factory);
    auto failWith = [this](int32_t code, const Status& why) {
        m_lastError = code;
        m_store.clearFailure();
        m_store.noteFailure(why.isOk() ? Status::fromCode(code) : why.withCode(code));
        return false;
    };
    const Status begun = replacement.begin(m_path);
    if (!begun) return failWith(ErrorTempVolume, begun);
    const QString tempPath = replacement.temporaryPath();
    EfsVolume temp(m_factory);
    temp.setEncryptor(m_store.encryptor());
    // The copy replaces the original only once it is whole and closed.
    temp.setDeferredWrites(true);
    if (!temp.openVolume(tempPath)) return failWith(ErrorTempVolume, temp.status());
    VolumeParams tempParams = m_params;
    tempParams.allocMode = AllocFromStart;
    // The first failure of the copy, from whichever volume met it.
    Status failure;
    bool copied = true;
    auto copyFailed = [&](const Status& why) {
        if (copied) failure = why;
        copied = false;
    };
    if (!temp.loadParameters(tempParams)) copyFailed(temp.status());
    std::vector<FileNameKey> keys;
    if (copied && !m_table.collectKeys(&keys)) copyFailed(status());
    std::vector<char> buffer(kBlockSize);
    for (size_t i = 0; copied && i < keys.size(); ++i) {
        const std::string name = keys[i].text();
        const int32_t to = temp.openFile(name.c_str(), AccessWrite, CreateAlways);
        if (to == 0) copyFailed(temp.status());
        const int32_t from = openFile(name.c_str(), AccessRead, OpenExisting);
        if (from == 0) copyFailed(status());
        int64_t done = 0;
        while (copied && !atEndOfFile(from)) {
            const int32_t n = readFile(from, buffer.data(), kBlockSize);
            if (n <= 0) {
                if (m_lastError != ErrorNone) copyFailed(status());
                break;
            }
            if (!temp.writeFile(to, buffer.data(), n)) copyFailed(temp.status());
            done += n;
        }
        if (copied && done != fileSize(from)) {
            copyFailed(Status::corruption(
                QStringLiteral("%1 could not be read whole").arg(QString::fromStdString(name))));
        }
        if (copied && !temp.setFileAttributes(to, fileAttributes(from))) copyFailed(temp.status());
        if (from) {
            // Closing stores the original's access time: a write that fails is reported.
            closeFile(from);
            if (m_lastError != ErrorNone) copyFailed(status());
        }
        if (to) temp.closeFile(to);
        if (temp.lastError() != ErrorNone) copyFailed(temp.status());
    }
    if (copied) {
        temp.closeVolume();
        if (temp.lastError() != ErrorNone) copyFailed(temp.status());
    }
    if (!copied) {
        // A half-copied volume must never replace the whole one.
        temp.closeVolume();
        replacement.abandon();
        return failWith(ErrorIo, failure);
    }

    const std::map<int32_t, OpenFile> savedHandles = m_table.handles();
    // Handle numbers given out before the compact are never given out again.
    const int32_t lastHandle = m_table.lastHandle();
    std::map<int32_t, std::string> savedNames;
    for (const auto& [handle, file] : savedHandles)
        savedNames[file.recordBlock] = m_table.openName(file.recordBlock);
    const VolumeParams savedParams = m_params;
    const QString path = m_path;
    // Gives every handle that was open its number and position again.
    auto restoreHandles = [&] {
        bool ok = true;
        for (const auto& [handle, file] : savedHandles) {
            auto it = savedNames.find(file.recordBlock);
            if (it == savedNames.end() || it->second.empty()) continue;
            m_table.setLastHandle(handle - 1);
            const int32_t h = openFile(it->second.c_str(), file.access, OpenAlways);
            if (h == 0 || seekFile(h, file.position) != file.position) ok = false;
        }
        m_table.setLastHandle(std::max(m_table.lastHandle(), lastHandle));
        return ok;
    };
    closeVolume();
    if (m_lastError != ErrorNone) {
        // The original did not close cleanly, so nothing replaces it: it is opened again
        // (its recovery pass runs if its clean flag was not written) and the copy goes.
        const Status why = status();
        replacement.abandon();
        if (openVolume(path)) restoreHandles();
        return failWith(ErrorIo, why);
    }

    const Status swapped = replacement.commit();
    if (!replacement.replaced()) {
        // The rename did not happen: the original is still there, whole, and is opened
        // again with its handles; the copy is gone.
        if (openVolume(path)) restoreHandles();
        return failWith(ErrorIo, swapped.withContext(QStringLiteral("the compacted copy did not "
                                                                    "replace the file: ")));
    }
    std::unique_ptr<EfsFile> shell = m_factory();
    if (shell) {
        // Companion files of the old layout go with the host file they belonged to.
        shell->remove(path + ".fits");
        shell->remove(path + ".ptrs");
        shell->move(tempPath + ".fits", path + ".fits");
        shell->move(tempPath + ".ptrs", path + ".ptrs");
    }
    if (!openVolume(path)) return false;
    // The volume is compacted now; parameters or handles that could not be restored, or a
    // rename that may not survive a power loss, still fail the call.
    bool ok = loadParameters(savedParams);
    ok = restoreHandles() && ok;
    if (!swapped) return failWith(ErrorIo, swapped);
    if (!ok) return failWith(ErrorIo, Status());
    clearError();
    return true;
}

bool EfsVolume::reformat() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_store.isOpen() && m_store.readOnly()) {
        m_lastError = ErrorState;
        return false;
    }
    const QString path = m_path;
    closeVolume();
    if (path.isEmpty()) {
        m_lastError = ErrorHostOpen;
        return false;
    }
    std::unique_ptr<EfsFile> shell = m_factory();
    if (shell) {
        shell->remove(path + ".fits");
        shell->remove(path + ".ptrs");
        shell->remove(path);
    }
    return openVolume(path);
}

// ---- Parameters, encryptor, statistics -------------------------------------------------

int32_t EfsVolume::lastError() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_lastError;
}

void EfsVolume::clearError() {
    m_lastError = ErrorNone;
    m_store.clearFailure();
}

Status EfsVolume::status() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_lastError == ErrorNone) return Status::ok();
    const Status& note = m_store.failure();
    // A host-file failure explains every code that means the file failed the operation;
    // any other note only the code it was made for.
    const bool hostFailure =
        note.code() == ErrorIo && (m_lastError == ErrorIo || m_lastError == ErrorNoSpace ||
                                   m_lastError == ErrorHostOpen || m_lastError == ErrorTempVolume);
    if (!note.isOk() && (note.code() == m_lastError || hostFailure))
        return note.withCode(m_lastError);
    return Status::fromCode(m_lastError);
}

int32_t EfsVolume::openFlagAtOpen() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_openFlagAtOpen;
}

int32_t EfsVolume::formatVersion() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_version;
}

void EfsVolume::setEncryptor(EfsEncryptor* encryptor) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_store.clearFailure();
    m_lastError = m_store.setEncryptor(encryptor) ? ErrorNone : ErrorIo;
}

EfsEncryptor* EfsVolume::encryptor() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_store.encryptor();
}

VolumeParams EfsVolume::parameters() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_params;
}

// Parameter load: the header is read first, and nothing changes if that fails.
bool EfsVolume::loadParameters(const VolumeParams& params) {
    std::vector<uint8_t> header;
    if (!m_store.isOpen() || m_store.readOnly() || !m_store.readHeader(&header)) return false;
    VolumeParams p = params;
    p.blockSize = m_params.blockSize;
    m_params = p;
    m_params.encode(header.data() + kHeaderParams);
    return m_store.writeHeader(header);
}

bool EfsVolume::setParameters(const VolumeParams& params) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    if (!m_store.isOpen() || m_store.readOnly()) {
        m_lastError = ErrorState;
        return false;
    }
    VolumeParams p = params;
    p.blockSize = kBlockSize;
    if (!paramsUsable(p)) {
        m_lastError = ErrorArgument;
        return false;
    }
    if (!loadParameters(p)) {
        m_lastError = ErrorIo;
        return false;
    }
    return true;
}

void EfsVolume::setGrowthStep(int64_t bytes) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    if (bytes < kBlockSize) return;
    if (!m_store.isOpen() || m_store.readOnly()) {
        m_lastError = ErrorState;
        return;
    }
    std::vector<uint8_t> header;
    if (!m_store.readHeader(&header)) {
        m_lastError = ErrorIo;
        return;
    }
    m_params.growthStep = bytes;
    m_params.encode(header.data() + kHeaderParams);
    if (!m_store.writeHeader(header)) m_lastError = ErrorIo;
}

void EfsVolume::volumeStatistics(VolumeStatistics* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_store.isOpen() || !out) return;
    out->hostSize = m_store.hostSize();
    out->freeBytes = m_allocator.freeTotal() * m_params.blockSize;
    out->freePercent = out->hostSize > 0
                           ? static_cast<float>(static_cast<double>(out->freeBytes) * 100.0 /
                                                static_cast<double>(out->hostSize))
                           : 0.0f;
    out->params = m_params;
}

// ---- Writing to the disk ---------------------------------------------------------------

bool EfsVolume::flush() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_store.clearFailure();
    m_lastError = m_store.flush() ? ErrorNone : ErrorIo;
    return m_lastError == ErrorNone;
}

void EfsVolume::setDeferredWrites(bool on) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    m_deferWrites = on;
    if (!on && !m_store.flush()) m_lastError = ErrorIo;
}

bool EfsVolume::deferredWrites() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_deferWrites;
}

bool EfsVolume::endOperation(bool ok) {
    if (m_deferWrites || m_store.flush()) return ok;
    // A flush that fails fails the operation; an operation that failed keeps its code.
    if (ok || m_lastError == ErrorNone) m_lastError = ErrorIo;
    return false;
}

// ---- Stored files ----------------------------------------------------------------------

std::string EfsFileInfo::fileName() const {
    const char* p = reinterpret_cast<const char*>(bytes.data());
    return std::string(p, strnlen(p, kMaxNameLength));
}
int32_t EfsFileInfo::attributes() const { return decodeFixed32(bytes.data() + 30); }
int64_t EfsFileInfo::fileSize() const { return decodeFixed64(bytes.data() + 34); }
int32_t EfsFileInfo::crc() const { return decodeFixed32(bytes.data() + 42); }
int32_t EfsFileInfo::creationTime() const { return decodeFixed32(bytes.data() + 102); }
int32_t EfsFileInfo::lastChangeTime() const { return decodeFixed32(bytes.data() + 106); }
int32_t EfsFileInfo::lastAccessTime() const { return decodeFixed32(bytes.data() + 110); }

int32_t EfsVolume::openFile(const char* name, int32_t access, int32_t disposition) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_store.isOpen()) return 0;
    clearError();
    bool created = false;
    int32_t handle = m_table.openFile(name, access, disposition, m_store.readOnly(), &created);
    // A file made just now is empty already.
    if (handle != 0 && !created &&
        (disposition == CreateAlways || disposition == TruncateExisting) &&
        !m_data.setSize(handle, 0)) {
        // A file that could not be emptied must not be handed out as empty.
        const int32_t error = m_lastError;
        closeFileImpl(handle);
        m_lastError = error ? error : ErrorIo;
        handle = 0;
    }
    if (endOperation(handle != 0)) return handle;
    if (handle != 0) {
        // The new file's blocks did not reach the disk: it is not handed out.
        closeFileImpl(handle);
        m_lastError = ErrorIo;
    }
    return 0;
}

void EfsVolume::closeFileImpl(int32_t handle) { m_table.closeFile(handle, m_store.readOnly()); }

void EfsVolume::closeFile(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    closeFileImpl(handle);
    endOperation(m_lastError == ErrorNone);
}

bool EfsVolume::fileExists(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    int32_t block = 0;
    return m_store.isOpen() && name && m_table.find(name, &block);
}

bool EfsVolume::removeFile(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    if (!m_store.isOpen() || m_store.readOnly() || !name) {
        m_lastError = !name ? ErrorArgument : ErrorState;
        return false;
    }
    return endOperation(m_table.removeFile(name));
}

bool EfsVolume::renameFile(const char* oldName, const char* newName) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    if (!m_store.isOpen() || m_store.readOnly() || !oldName || !newName) {
        m_lastError = (!oldName || !newName) ? ErrorArgument : ErrorState;
        return false;
    }
    return endOperation(m_table.renameFile(oldName, newName));
}

void EfsVolume::listFiles(QList<QByteArray>* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    out->clear();
    if (!m_store.isOpen()) return;
    std::vector<FileNameKey> keys;
    if (!m_table.collectKeys(&keys)) {
        m_lastError = ErrorIo;
        return;
    }
    for (const FileNameKey& k : keys) out->append(QByteArray::fromStdString(k.text()));
}

OpenRecord* EfsVolume::recordOf(int32_t handle, OpenFile** file) {
    clearError();
    return m_table.recordOf(handle, file);
}

int32_t EfsVolume::fileAttributes(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    OpenRecord* open = recordOf(handle);
    return open ? open->record.attributes() : 0;
}

bool EfsVolume::setFileAttributes(int32_t handle, int32_t value) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    return endOperation(m_table.setAttributes(handle, value, m_store.readOnly()));
}

bool EfsVolume::fileInfo(int32_t handle, EfsFileInfo* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    OpenRecord* open = recordOf(handle);
    if (!open || !out) return false;
    std::memcpy(out->bytes.data(), open->record.data() + kFileInfoOffset, kFileInfoSize);
    return true;
}

int64_t EfsVolume::tellFile(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    OpenFile* file = m_table.fileOf(handle);
    m_lastError = file ? ErrorNone : ErrorNotFound;
    return file ? file->position : -1;
}

int64_t EfsVolume::seekFile(int32_t handle, int64_t position) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    OpenFile* file = m_table.fileOf(handle);
    m_lastError = file ? ErrorNone : ErrorNotFound;
    if (!file) return -1;
    file->position = position;
    return position;
}

int64_t EfsVolume::fileSize(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    OpenRecord* open = recordOf(handle);
    return open ? open->record.fileSize() : 0;
}

bool EfsVolume::atEndOfFile(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    OpenFile* file = nullptr;
    OpenRecord* open = recordOf(handle, &file);
    if (!open) {
        if (m_lastError == ErrorNotFound) {
            m_lastError = ErrorArgument;
            return true;
        }
        return false;
    }
    return file->position == open->record.fileSize();
}

int32_t EfsVolume::readFile(int32_t handle, char* data, int32_t length) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    return m_data.read(handle, data, length);
}

bool EfsVolume::writeFile(int32_t handle, const char* data, int32_t length) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    return endOperation(m_data.write(handle, data, length));
}

int32_t EfsVolume::readFileTo(int32_t handle, int fd, int64_t offset, int32_t length) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    return m_data.copyOut(handle, fd, offset, length);
}

bool EfsVolume::writeFileFrom(int32_t handle, int fd, int64_t offset, int32_t length) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    return endOperation(m_data.copyIn(handle, fd, offset, length));
}

bool EfsVolume::setFileSize(int32_t handle, int64_t size) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    clearError();
    return endOperation(m_data.setSize(handle, size));
}
