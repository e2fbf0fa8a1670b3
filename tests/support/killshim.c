/* Preloaded into a program (LD_PRELOAD), counts the file operations it makes below one folder and
 * stops the process at the Nth, before that operation is done: a crash at a chosen step, the same
 * step on every run of the same work.
 *   VXKILL_DIR     the folder watched (absolute, without symbolic links)
 *   VXKILL_ARG     only a process with this argument on its command line counts; others (and
 *                  every process when it is unset) pass through untouched
 *   VXKILL_AT      number of the operation to stop at; unset or 0: count only
 *   VXKILL_AT_PATH or stop at the first operation on a path that contains this text
 *   VXKILL_SIGNAL  "STOP" stops the process (SIGSTOP) instead of killing it (SIGKILL)
 *   VXKILL_LOG     file each counted operation is appended to ("N op path"), then "stopped N pid"
 * Operations: opening for writing or creating, rename, link, unlink, mkdir, rmdir, chmod (also
 * through a descriptor opened there for reading), truncate, the second write through a descriptor
 * (the file is then partly written, also through a copy of it) and the closing of a stream opened
 * for writing (its buffer not yet written). Left out as they change
 * nothing a killed process leaves: flushes (fsync keeps data through a power loss, not through
 * a kill, which loses nothing written) and removals of paths that do not exist; dying before
 * them is dying before the next operation.
 * Built without sanitizers: it runs inside sanitized and plain programs alike. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FDS 4096
#define ABSOLUTE_MAX (2 * PATH_MAX + 2)
#define FD_WRITES 1
#define FD_WRITTEN 2
#define FD_COUNTED 4
#define FD_INSIDE 8

static int active;
static long stopAt;
static int stopSignal = SIGKILL;
static long counter;
static int stopped;
static char stopPath[PATH_MAX];
static char watched[PATH_MAX];
static size_t watchedLength;
static char logPath[PATH_MAX];
static unsigned char fdFlags[MAX_FDS];

static void* next(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static int hasArgument(const char* wanted)
{
    char buffer[65536];
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t n = syscall(SYS_read, fd, buffer, sizeof buffer - 1);
    syscall(SYS_close, fd);
    if (n <= 0)
        return 0;
    buffer[n] = 0;
    for (ssize_t at = 0; at < n; at += (ssize_t)strlen(buffer + at) + 1)
        if (strcmp(buffer + at, wanted) == 0)
            return 1;
    return 0;
}

__attribute__((constructor)) static void setUp(void)
{
    const char* dir = getenv("VXKILL_DIR");
    const char* arg = getenv("VXKILL_ARG");
    const char* at = getenv("VXKILL_AT");
    const char* sig = getenv("VXKILL_SIGNAL");
    const char* log = getenv("VXKILL_LOG");
    const char* atPath = getenv("VXKILL_AT_PATH");
    if (!dir || !*dir || !arg || !*arg || strlen(dir) >= PATH_MAX || !hasArgument(arg))
        return;
    strcpy(watched, dir);
    watchedLength = strlen(watched);
    while (watchedLength > 1 && watched[watchedLength - 1] == '/')
        watched[--watchedLength] = 0;
    if (log && strlen(log) < PATH_MAX)
        strcpy(logPath, log);
    stopAt = at ? atol(at) : 0;
    if (atPath && strlen(atPath) < PATH_MAX)
        strcpy(stopPath, atPath);
    if (sig && strcmp(sig, "STOP") == 0)
        stopSignal = SIGSTOP;
    active = 1;
}

static void appendLog(const char* text)
{
    if (!logPath[0])
        return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, logPath,
                                O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    syscall(SYS_write, fd, text, strlen(text));
    syscall(SYS_close, fd);
}

static void countOperation(const char* op, const char* path)
{
    const long n = __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST);
    char line[PATH_MAX + 64];
    snprintf(line, sizeof line, "%ld %s %s\n", n, op, path ? path : "");
    appendLog(line);
    const int pathHit = stopPath[0] && path && strstr(path, stopPath);
    if ((n != stopAt && !pathHit) || __atomic_exchange_n(&stopped, 1, __ATOMIC_SEQ_CST))
        return;
    snprintf(line, sizeof line, "stopped %ld %d\n", n, (int)getpid());
    appendLog(line);
    kill(getpid(), stopSignal);
}

/* The absolute form of `path` seen from `dirfd`, in `out`; empty when it cannot be known. */
static void absolutePath(int dirfd, const char* path, char* out)
{
    out[0] = 0;
    if (!path)
        return;
    if (path[0] == '/') {
        snprintf(out, ABSOLUTE_MAX, "%s", path);
        return;
    }
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            return;
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        const ssize_t n = readlink(link, base, sizeof base - 1);
        if (n <= 0)
            return;
        base[n] = 0;
    }
    snprintf(out, ABSOLUTE_MAX, "%s/%s", base, path);
}

static int isWatched(int dirfd, const char* path)
{
    if (!active)
        return 0;
    char absolute[ABSOLUTE_MAX];
    absolutePath(dirfd, path, absolute);
    return strncmp(absolute, watched, watchedLength) == 0 && absolute[watchedLength] == '/';
}

static void countPath(const char* op, int dirfd, const char* path)
{
    if (isWatched(dirfd, path))
        countOperation(op, path);
}

static void countRemoval(const char* op, int dirfd, const char* path)
{
    struct stat st;
    if (isWatched(dirfd, path) && fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0)
        countOperation(op, path);
}

static int writesOrCreates(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0
           || (flags & O_TMPFILE) == O_TMPFILE;
}

static void trackDescriptor(int fd, int watchedWrite, int inside)
{
    if (fd >= 0 && fd < MAX_FDS)
        fdFlags[fd] = (watchedWrite ? FD_WRITES : 0) | (inside ? FD_INSIDE : 0);
}


static int isTracked(int fd)
{
    return active && fd >= 0 && fd < MAX_FDS && (fdFlags[fd] & FD_WRITES);
}

static int openAt(const char* name, int dirfd, const char* path, int flags, mode_t mode)
{
    const int inside = (flags & O_PATH) == 0 && isWatched(dirfd, path);
    const int watchedWrite = writesOrCreates(flags) && inside;
    if (watchedWrite)
        countOperation("open", path);
    int fd;
    if (dirfd == AT_FDCWD && strcmp(name, "openat") != 0 && strcmp(name, "openat64") != 0) {
        int (*real)(const char*, int, ...) = next(name);
        fd = real(path, flags, mode);
    } else {
        int (*real)(int, const char*, int, ...) = next(name);
        fd = real(dirfd, path, flags, mode);
    }
    if (active)
        trackDescriptor(fd, watchedWrite, inside);
    return fd;
}

static mode_t modeArgument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAt("open", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAt("open64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAt("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAt("openat64", dirfd, path, flags, mode);
}

int creat(const char* path, mode_t mode)
{
    return openAt("open", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

int creat64(const char* path, mode_t mode)
{
    return openAt("open64", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

static int streamWrites(const char* mode)
{
    return strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+');
}

static FILE* openStream(const char* name, const char* path, const char* mode)
{
    const int watchedWrite = streamWrites(mode) && isWatched(AT_FDCWD, path);
    if (watchedWrite)
        countOperation("fopen", path);
    FILE* (*real)(const char*, const char*) = next(name);
    FILE* stream = real(path, mode);
    if (active && stream)
        trackDescriptor(fileno(stream), watchedWrite, watchedWrite);
    return stream;
}

FILE* fopen(const char* path, const char* mode) { return openStream("fopen", path, mode); }

FILE* fopen64(const char* path, const char* mode) { return openStream("fopen64", path, mode); }

int fclose(FILE* stream)
{
    int (*real)(FILE*) = next("fclose");
    if (stream) {
        const int fd = fileno(stream);
        if (isTracked(fd))
            countOperation("fclose", "");
        if (active && fd >= 0 && fd < MAX_FDS)
            fdFlags[fd] = 0;
    }
    return real(stream);
}

/* A copy of a descriptor writes to the same file. */
static int copyDescriptor(int from, int to)
{
    if (active && from >= 0 && from < MAX_FDS && to >= 0 && to < MAX_FDS)
        fdFlags[to] = fdFlags[from] & (FD_WRITES | FD_INSIDE);
    return to;
}

int dup(int fd)
{
    int (*real)(int) = next("dup");
    return copyDescriptor(fd, real(fd));
}

static int control(const char* name, int fd, int cmd, va_list args)
{
    void* arg = va_arg(args, void*);
    int (*real)(int, int, ...) = next(name);
    const int result = real(fd, cmd, arg);
    return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC ? copyDescriptor(fd, result) : result;
}

int fcntl(int fd, int cmd, ...)
{
    va_list args;
    va_start(args, cmd);
    const int result = control("fcntl", fd, cmd, args);
    va_end(args);
    return result;
}

int fcntl64(int fd, int cmd, ...)
{
    va_list args;
    va_start(args, cmd);
    const int result = control("fcntl64", fd, cmd, args);
    va_end(args);
    return result;
}

int close(int fd)
{
    int (*real)(int) = next("close");
    if (active && fd >= 0 && fd < MAX_FDS)
        fdFlags[fd] = 0;
    return real(fd);
}

/* The second write through a descriptor leaves a partly written file behind when it is the last. */
static void countWrite(int fd)
{
    if (!isTracked(fd) || (fdFlags[fd] & FD_COUNTED))
        return;
    if (fdFlags[fd] & FD_WRITTEN) {
        fdFlags[fd] |= FD_COUNTED;
        countOperation("write", "");
        return;
    }
    fdFlags[fd] |= FD_WRITTEN;
}

ssize_t write(int fd, const void* data, size_t size)
{
    ssize_t (*real)(int, const void*, size_t) = next("write");
    countWrite(fd);
    return real(fd, data, size);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset)
{
    ssize_t (*real)(int, const void*, size_t, off_t) = next("pwrite64");
    countWrite(fd);
    return real(fd, data, size, offset);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
{
    ssize_t (*real)(int, const void*, size_t, off_t) = next("pwrite");
    countWrite(fd);
    return real(fd, data, size, offset);
}

int rename(const char* from, const char* to)
{
    if (isWatched(AT_FDCWD, from) || isWatched(AT_FDCWD, to))
        countOperation("rename", to);
    int (*real)(const char*, const char*) = next("rename");
    return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    if (isWatched(fromDir, from) || isWatched(toDir, to))
        countOperation("renameat", to);
    int (*real)(int, const char*, int, const char*) = next("renameat");
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags)
{
    if (isWatched(fromDir, from) || isWatched(toDir, to))
        countOperation("renameat2", to);
    int (*real)(int, const char*, int, const char*, unsigned int) = next("renameat2");
    return real(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to)
{
    countPath("link", AT_FDCWD, to);
    int (*real)(const char*, const char*) = next("link");
    return real(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags)
{
    countPath("linkat", toDir, to);
    int (*real)(int, const char*, int, const char*, int) = next("linkat");
    return real(fromDir, from, toDir, to, flags);
}

int unlink(const char* path)
{
    countRemoval("unlink", AT_FDCWD, path);
    int (*real)(const char*) = next("unlink");
    return real(path);
}

int unlinkat(int dirfd, const char* path, int flags)
{
    countRemoval("unlinkat", dirfd, path);
    int (*real)(int, const char*, int) = next("unlinkat");
    return real(dirfd, path, flags);
}

int remove(const char* path)
{
    countRemoval("remove", AT_FDCWD, path);
    int (*real)(const char*) = next("remove");
    return real(path);
}

int rmdir(const char* path)
{
    countRemoval("rmdir", AT_FDCWD, path);
    int (*real)(const char*) = next("rmdir");
    return real(path);
}

int mkdir(const char* path, mode_t mode)
{
    countPath("mkdir", AT_FDCWD, path);
    int (*real)(const char*, mode_t) = next("mkdir");
    return real(path, mode);
}

int mkdirat(int dirfd, const char* path, mode_t mode)
{
    countPath("mkdirat", dirfd, path);
    int (*real)(int, const char*, mode_t) = next("mkdirat");
    return real(dirfd, path, mode);
}

int chmod(const char* path, mode_t mode)
{
    countPath("chmod", AT_FDCWD, path);
    int (*real)(const char*, mode_t) = next("chmod");
    return real(path, mode);
}

int fchmodat(int dirfd, const char* path, mode_t mode, int flags)
{
    countPath("fchmodat", dirfd, path);
    int (*real)(int, const char*, mode_t, int) = next("fchmodat");
    return real(dirfd, path, mode, flags);
}

int fchmod(int fd, mode_t mode)
{
    if (active && fd >= 0 && fd < MAX_FDS && (fdFlags[fd] & (FD_WRITES | FD_INSIDE)))
        countOperation("fchmod", "");
    int (*real)(int, mode_t) = next("fchmod");
    return real(fd, mode);
}

int truncate(const char* path, off_t length)
{
    countPath("truncate", AT_FDCWD, path);
    int (*real)(const char*, off_t) = next("truncate");
    return real(path, length);
}

int ftruncate(int fd, off_t length)
{
    if (isTracked(fd))
        countOperation("ftruncate", "");
    int (*real)(int, off_t) = next("ftruncate");
    return real(fd, length);
}

int ftruncate64(int fd, off_t length)
{
    if (isTracked(fd))
        countOperation("ftruncate", "");
    int (*real)(int, off_t) = next("ftruncate64");
    return real(fd, length);
}
