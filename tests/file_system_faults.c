// Loaded into zevora-cli (LD_PRELOAD) in place of a few file calls of the C
// library, to give it the file systems that are hard to come by in a test:
//   FILE_SYSTEM_FAULTS_NO_TMPFILE=1  the file system cannot create unnamed
//                                   files (O_TMPFILE fails with EOPNOTSUPP,
//                                   as on NFS or FAT);
//   FILE_SYSTEM_FAULTS_LINK=SUFFIX   linking or renaming onto a name ending
//                                   in SUFFIX fails with EIO (a folder
//                                   that went away, a failing disk);
//   FILE_SYSTEM_FAULTS_NO_EXCHANGE=1  renameat2 cannot exchange two names
//                                   (EINVAL, as on NFS or FAT);
//   FILE_SYSTEM_FAULTS_NO_HARD_LINKS=1  a second name for a file cannot be
//                                   made (linkat of a name fails with EPERM,
//                                   as on FAT);
//   FILE_SYSTEM_FAULTS_SLOW_LINK=SUFFIX  linking or renaming onto a name
//                                   ending in SUFFIX takes a second (a slow
//                                   network file system), which leaves time
//                                   to send a signal while outputs are being
//                                   put into place;
//   FILE_SYSTEM_FAULTS_SYNC=1        fsync and fdatasync fail with EIO (a
//                                   disk that fails only when the data
//                                   are flushed to it);
//   FILE_SYSTEM_FAULTS_THREADS=N     only N threads can be started, the
//                                   next pthread_create fails with EAGAIN
//                                   (a limit on processes: ulimit -u, a
//                                   container's).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void* Next(const char* name) { return dlsym(RTLD_NEXT, name); }

static int RefusesUnnamed(int flags) {
  const char* value = getenv("FILE_SYSTEM_FAULTS_NO_TMPFILE");
  return (flags & O_TMPFILE) == O_TMPFILE && value != NULL && *value == '1';
}

static int EndsIn(const char* name, const char* variable) {
  const char* suffix = getenv(variable);
  if (suffix == NULL || *suffix == '\0' || name == NULL) return 0;
  const size_t n = strlen(name), k = strlen(suffix);
  return n >= k && strcmp(name + n - k, suffix) == 0;
}

static int FailsOnto(const char* name) {
  if (EndsIn(name, "FILE_SYSTEM_FAULTS_SLOW_LINK")) {
    const struct timespec second = {1, 0};
    nanosleep(&second, NULL);
  }
  return EndsIn(name, "FILE_SYSTEM_FAULTS_LINK");
}

static mode_t ModeOf(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

typedef int (*OpenFunction)(const char*, int, ...);
typedef int (*OpenAtFunction)(int, const char*, int, ...);

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (RefusesUnnamed(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ((OpenFunction)Next("open"))(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (RefusesUnnamed(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ((OpenFunction)Next("open64"))(path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (RefusesUnnamed(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ((OpenAtFunction)Next("openat"))(folder, path, flags, mode);
}

int openat64(int folder, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (RefusesUnnamed(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ((OpenAtFunction)Next("openat64"))(folder, path, flags, mode);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  const char* noHardLinks = getenv("FILE_SYSTEM_FAULTS_NO_HARD_LINKS");
  if (!(flags & AT_SYMLINK_FOLLOW) && noHardLinks != NULL && *noHardLinks == '1') {
    errno = EPERM;
    return -1;
  }
  if (FailsOnto(to)) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int, const char*, int, const char*, int))Next("linkat"))(fromFolder, from, toFolder, to, flags);
}

int rename(const char* from, const char* to) {
  if (FailsOnto(to)) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(const char*, const char*))Next("rename"))(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
  if (FailsOnto(to)) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int, const char*, int, const char*))Next("renameat"))(fromFolder, from, toFolder, to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  const char* noExchange = getenv("FILE_SYSTEM_FAULTS_NO_EXCHANGE");
  if ((flags & RENAME_EXCHANGE) && noExchange != NULL && *noExchange == '1') {
    errno = EINVAL;
    return -1;
  }
  if (FailsOnto(to)) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int, const char*, int, const char*, unsigned))Next("renameat2"))(fromFolder, from, toFolder, to,
                                                                                    flags);
}

static int SyncFails(void) {
  const char* value = getenv("FILE_SYSTEM_FAULTS_SYNC");
  return value != NULL && *value == '1';
}

int fsync(int fd) {
  if (SyncFails()) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int))Next("fsync"))(fd);
}

int fdatasync(int fd) {
  if (SyncFails()) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int))Next("fdatasync"))(fd);
}

typedef int (*ThreadStartFunction)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  static int started = 0;
  const char* limit = getenv("FILE_SYSTEM_FAULTS_THREADS");
  if (limit != NULL && *limit != '\0' && __atomic_fetch_add(&started, 1, __ATOMIC_RELAXED) >= atoi(limit))
    return EAGAIN;
  return ((ThreadStartFunction)Next("pthread_create"))(thread, attr, start, arg);
}
