// The fault layers: an SQLite file layer over the system's, and a FileIo, sharing one plan.
#include "FaultInjection.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace faults {
namespace {

// What a write replaced: taken back when a crash comes before the file's next sync.
struct Undo {
    std::string path;
    std::int64_t offset = 0;
    std::vector<char> old; // the bytes that stood at offset (as far as the file reached)
    std::int64_t oldSize = 0;
};

struct Plan {
    std::mutex mutex;
    std::string failWritePart;
    int failWriteError = 0;
    std::string failSyncPart;
    int failSyncError = 0;
    std::uint64_t crashAt = 0;
    std::uint64_t operations = 0;
    bool crashed = false;
    std::vector<Undo> undo; // oldest first
};

Plan& plan()
{
    static Plan p;
    return p;
}

thread_local int t_lastError = 0;

std::mutex g_stallMutex;
std::condition_variable g_stallChanged;
bool g_stalled = false;

void waitWhileStalled()
{
    std::unique_lock lock(g_stallMutex);
    g_stallChanged.wait(lock, [] { return !g_stalled; });
}

std::int64_t sizeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? std::int64_t(st.st_size) : 0;
}

// Under the plan's lock: the bytes a write of `size` at `offset` is about to replace.
void remember(Plan& p, const std::string& path, std::int64_t offset, std::size_t size)
{
    if (p.crashAt == 0)
        return; // no crash to come: nothing to take back
    Undo u;
    u.path = path;
    u.offset = offset;
    u.oldSize = sizeOf(path);
    if (offset < u.oldSize) {
        u.old.resize(std::size_t(std::min<std::int64_t>(std::int64_t(size), u.oldSize - offset)));
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t n = ::pread(fd, u.old.data(), u.old.size(), off_t(offset));
            u.old.resize(n > 0 ? std::size_t(n) : 0);
            ::close(fd);
        }
    }
    p.undo.push_back(std::move(u));
}

void synced(Plan& p, const std::string& path)
{
    std::erase_if(p.undo, [&](const Undo& u) { return u.path == path; });
}

// Under the plan's lock: the power goes. Everything not synced is taken back, newest first.
void crashNow(Plan& p)
{
    p.crashed = true;
    for (auto it = p.undo.rbegin(); it != p.undo.rend(); ++it) {
        const int fd = ::open(it->path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (!it->old.empty())
            (void)!::pwrite(fd, it->old.data(), it->old.size(), off_t(it->offset));
        (void)!::ftruncate(fd, off_t(it->oldSize));
        ::close(fd);
    }
    p.undo.clear();
}

enum class Kind { Write, Sync };

// 0 when the operation may go ahead, else the errno it fails with.
int admit(Kind kind, const std::string& path, std::int64_t offset = 0, std::size_t size = 0)
{
    Plan& p = plan();
    std::lock_guard lock(p.mutex);
    if (p.crashed)
        return EIO;
    ++p.operations;
    if (p.crashAt != 0 && p.operations >= p.crashAt) {
        crashNow(p);
        return EIO;
    }
    const std::string& part = kind == Kind::Write ? p.failWritePart : p.failSyncPart;
    const int error = kind == Kind::Write ? p.failWriteError : p.failSyncError;
    if (error != 0 && path.find(part) != std::string::npos)
        return error;
    if (kind == Kind::Write)
        remember(p, path, offset, size);
    return 0;
}

// --- the SQLite file layer ----------------------------------------------------------------------

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs{};
sqlite3_io_methods g_methods{};

struct FaultFile {
    sqlite3_file base;
    std::string* path;
    sqlite3_file* real;
};
// SQLite gives 8-byte alignment; the real file right behind needs no more.
static_assert(sizeof(FaultFile) % 8 == 0 && alignof(FaultFile) <= 8);

sqlite3_file* realOf(sqlite3_file* f)
{
    return reinterpret_cast<FaultFile*>(f)->real;
}

const std::string& pathOf(sqlite3_file* f)
{
    return *reinterpret_cast<FaultFile*>(f)->path;
}

int ioError(int error, int code)
{
    t_lastError = error;
    return error == ENOSPC ? SQLITE_FULL : code;
}

int xClose(sqlite3_file* f)
{
    auto* ff = reinterpret_cast<FaultFile*>(f);
    const int rc = ff->real->pMethods ? ff->real->pMethods->xClose(ff->real) : SQLITE_OK;
    delete ff->path;
    ff->path = nullptr;
    return rc;
}
int xRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o)
{
    return realOf(f)->pMethods->xRead(realOf(f), b, n, o);
}
int xWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o)
{
    if (const int e = admit(Kind::Write, pathOf(f), o, std::size_t(n)))
        return ioError(e, SQLITE_IOERR_WRITE);
    return realOf(f)->pMethods->xWrite(realOf(f), b, n, o);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size)
{
    const std::int64_t old = sizeOf(pathOf(f));
    if (const int e = admit(Kind::Write, pathOf(f), size, std::size_t(std::max<std::int64_t>(0, old - size))))
        return ioError(e, SQLITE_IOERR_TRUNCATE);
    return realOf(f)->pMethods->xTruncate(realOf(f), size);
}
int xSync(sqlite3_file* f, int flags)
{
    waitWhileStalled();
    if (const int e = admit(Kind::Sync, pathOf(f)))
        return ioError(e, SQLITE_IOERR_FSYNC);
    const int rc = realOf(f)->pMethods->xSync(realOf(f), flags);
    if (rc == SQLITE_OK) {
        std::lock_guard lock(plan().mutex);
        synced(plan(), pathOf(f));
    }
    return rc;
}
int xFileSize(sqlite3_file* f, sqlite3_int64* s)
{
    return realOf(f)->pMethods->xFileSize(realOf(f), s);
}
int xLock(sqlite3_file* f, int l)
{
    return realOf(f)->pMethods->xLock(realOf(f), l);
}
int xUnlock(sqlite3_file* f, int l)
{
    return realOf(f)->pMethods->xUnlock(realOf(f), l);
}
int xCheckReservedLock(sqlite3_file* f, int* r)
{
    return realOf(f)->pMethods->xCheckReservedLock(realOf(f), r);
}
int xFileControl(sqlite3_file* f, int op, void* a)
{
    return realOf(f)->pMethods->xFileControl(realOf(f), op, a);
}
int xSectorSize(sqlite3_file* f)
{
    return realOf(f)->pMethods->xSectorSize(realOf(f));
}
int xDeviceCharacteristics(sqlite3_file* f)
{
    return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f));
}
int xShmMap(sqlite3_file* f, int pg, int sz, int extend, void volatile** p)
{
    return realOf(f)->pMethods->xShmMap(realOf(f), pg, sz, extend, p);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags)
{
    return realOf(f)->pMethods->xShmLock(realOf(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f)
{
    realOf(f)->pMethods->xShmBarrier(realOf(f));
}
int xShmUnmap(sqlite3_file* f, int del)
{
    return realOf(f)->pMethods->xShmUnmap(realOf(f), del);
}
int xFetch(sqlite3_file* f, sqlite3_int64 o, int n, void** p)
{
    // Memory-mapped reads would bypass nothing we count, but keep pages out of our control: refuse.
    (void)f;
    (void)o;
    (void)n;
    *p = nullptr;
    return SQLITE_OK;
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 o, void* p)
{
    (void)f;
    (void)o;
    (void)p;
    return SQLITE_OK;
}

int vfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags)
{
    auto* ff = reinterpret_cast<FaultFile*>(file);
    ff->base.pMethods = nullptr;
    ff->real = reinterpret_cast<sqlite3_file*>(ff + 1);
    const int rc = g_real->xOpen(g_real, name, ff->real, flags, outFlags);
    if (rc != SQLITE_OK)
        return rc;
    ff->path = new std::string(name != nullptr ? name : "");
    ff->base.pMethods = &g_methods;
    return SQLITE_OK;
}
int vfsDelete(sqlite3_vfs*, const char* name, int syncDir)
{
    {
        Plan& p = plan();
        std::lock_guard lock(p.mutex);
        if (p.crashed)
            return ioError(EIO, SQLITE_IOERR_DELETE);
        synced(p, name);
    }
    return g_real->xDelete(g_real, name, syncDir);
}
int vfsAccess(sqlite3_vfs*, const char* name, int flags, int* out)
{
    return g_real->xAccess(g_real, name, flags, out);
}
int vfsFullPathname(sqlite3_vfs*, const char* name, int n, char* out)
{
    return g_real->xFullPathname(g_real, name, n, out);
}
void* vfsDlOpen(sqlite3_vfs*, const char* name)
{
    return g_real->xDlOpen(g_real, name);
}
void vfsDlError(sqlite3_vfs*, int n, char* out)
{
    g_real->xDlError(g_real, n, out);
}
void (*vfsDlSym(sqlite3_vfs*, void* h, const char* s))(void)
{
    return g_real->xDlSym(g_real, h, s);
}
void vfsDlClose(sqlite3_vfs*, void* h)
{
    g_real->xDlClose(g_real, h);
}
int vfsRandomness(sqlite3_vfs*, int n, char* out)
{
    return g_real->xRandomness(g_real, n, out);
}
int vfsSleep(sqlite3_vfs*, int us)
{
    return g_real->xSleep(g_real, us);
}
int vfsCurrentTime(sqlite3_vfs*, double* t)
{
    return g_real->xCurrentTime(g_real, t);
}
int vfsGetLastError(sqlite3_vfs*, int n, char* out)
{
    if (t_lastError != 0) {
        const int e = t_lastError;
        t_lastError = 0;
        return e;
    }
    return g_real->xGetLastError ? g_real->xGetLastError(g_real, n, out) : 0;
}
int vfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* t)
{
    return g_real->xCurrentTimeInt64(g_real, t);
}

} // namespace

void installLogLayer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_real = sqlite3_vfs_find(nullptr);
        g_methods.iVersion = 3;
        g_methods.xClose = xClose;
        g_methods.xRead = xRead;
        g_methods.xWrite = xWrite;
        g_methods.xTruncate = xTruncate;
        g_methods.xSync = xSync;
        g_methods.xFileSize = xFileSize;
        g_methods.xLock = xLock;
        g_methods.xUnlock = xUnlock;
        g_methods.xCheckReservedLock = xCheckReservedLock;
        g_methods.xFileControl = xFileControl;
        g_methods.xSectorSize = xSectorSize;
        g_methods.xDeviceCharacteristics = xDeviceCharacteristics;
        g_methods.xShmMap = xShmMap;
        g_methods.xShmLock = xShmLock;
        g_methods.xShmBarrier = xShmBarrier;
        g_methods.xShmUnmap = xShmUnmap;
        g_methods.xFetch = xFetch;
        g_methods.xUnfetch = xUnfetch;
        g_vfs.iVersion = 2;
        g_vfs.szOsFile = int(sizeof(FaultFile)) + g_real->szOsFile;
        g_vfs.mxPathname = g_real->mxPathname;
        g_vfs.zName = "ardentel-faults";
        g_vfs.xOpen = vfsOpen;
        g_vfs.xDelete = vfsDelete;
        g_vfs.xAccess = vfsAccess;
        g_vfs.xFullPathname = vfsFullPathname;
        g_vfs.xDlOpen = vfsDlOpen;
        g_vfs.xDlError = vfsDlError;
        g_vfs.xDlSym = vfsDlSym;
        g_vfs.xDlClose = vfsDlClose;
        g_vfs.xRandomness = vfsRandomness;
        g_vfs.xSleep = vfsSleep;
        g_vfs.xCurrentTime = vfsCurrentTime;
        g_vfs.xGetLastError = vfsGetLastError;
        g_vfs.xCurrentTimeInt64 = vfsCurrentTimeInt64;
        sqlite3_vfs_register(&g_vfs, 1);
    });
}

void failWrites(const std::string& part, int error)
{
    std::lock_guard lock(plan().mutex);
    plan().failWritePart = part;
    plan().failWriteError = error;
}

void failSyncs(const std::string& part, int error)
{
    std::lock_guard lock(plan().mutex);
    plan().failSyncPart = part;
    plan().failSyncError = error;
}

void heal()
{
    std::lock_guard lock(plan().mutex);
    plan().failWriteError = 0;
    plan().failSyncError = 0;
}

void stallSyncs(bool on)
{
    {
        std::lock_guard lock(g_stallMutex);
        g_stalled = on;
    }
    g_stallChanged.notify_all();
}

void crashAt(std::uint64_t k)
{
    std::lock_guard lock(plan().mutex);
    plan().crashAt = k == 0 ? 0 : plan().operations + k;
}

bool crashed()
{
    std::lock_guard lock(plan().mutex);
    return plan().crashed;
}

std::uint64_t operations()
{
    std::lock_guard lock(plan().mutex);
    return plan().operations;
}

void reset()
{
    std::lock_guard lock(plan().mutex);
    Plan& p = plan();
    p.crashAt = 0;
    p.operations = 0;
    p.crashed = false;
    p.undo.clear();
    p.failWriteError = 0;
    p.failSyncError = 0;
}

// --- the ring and account files -----------------------------------------------------------------

namespace {
std::mutex g_fdMutex;
std::map<int, std::string> g_fdPaths;

std::string fdPath(int fd)
{
    std::lock_guard lock(g_fdMutex);
    const auto it = g_fdPaths.find(fd);
    return it == g_fdPaths.end() ? std::string() : it->second;
}
} // namespace

IoResult FaultyFileIo::openWrite(const std::string& path, OpenMode mode)
{
    IoResult r = FileIo::openWrite(path, mode);
    if (r.ok()) {
        std::lock_guard lock(g_fdMutex);
        g_fdPaths[r.fd()] = path;
    }
    return r;
}

IoResult FaultyFileIo::write(int fd, const void* data, std::size_t size)
{
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (const int e = admit(Kind::Write, fdPath(fd), at, size))
        return IoResult{-1, e};
    return FileIo::write(fd, data, size);
}

IoResult FaultyFileIo::writeAtOffset(int fd, std::int64_t offset, const void* data, std::size_t size)
{
    if (const int e = admit(Kind::Write, fdPath(fd), offset, size))
        return IoResult{-1, e};
    return FileIo::writeAtOffset(fd, offset, data, size);
}

IoResult FaultyFileIo::sync(int fd)
{
    const std::string path = fdPath(fd);
    if (const int e = admit(Kind::Sync, path))
        return IoResult{-1, e};
    const IoResult r = FileIo::sync(fd);
    if (r.ok()) {
        std::lock_guard lock(plan().mutex);
        synced(plan(), path);
    }
    return r;
}

void FaultyFileIo::close(int fd)
{
    {
        std::lock_guard lock(g_fdMutex);
        g_fdPaths.erase(fd);
    }
    FileIo::close(fd);
}

IoResult FaultyFileIo::syncDirectoryOf(const std::string& path)
{
    if (crashed())
        return IoResult{-1, EIO};
    return FileIo::syncDirectoryOf(path);
}

} // namespace faults
