/* A pass-through file system for tests that fails chosen calls on chosen paths with a chosen
 * error code, as a failing disk or a refused permission would.
 *
 *   FAULTFS_ROOT=<backing directory> FAULTFS_RULES=<rules file> faultfs -f -s \
 *       -o entry_timeout=0,attr_timeout=0,negative_timeout=0 <mount point>
 *
 * The rules file is read anew at every call; each line is "<call> <path prefix> <errno>", for
 * instance "readdir /a/b 5": every readdir of /a/b and below fails with EIO. Calls: getattr,
 * opendir, readdir, open, read, write, mkdir, rename, unlink, rmdir. Paths are those seen in the
 * mount, beginning with "/". */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

static const char* root;
static const char* rules;

/* The error code a rule gives to call on path, or 0. */
static int fault(const char* call, const char* path) {
    FILE* f = fopen(rules, "r");
    char name[32], prefix[PATH_MAX];
    int error = 0, code;
    if (f == NULL)
        return 0;
    while (error == 0 && fscanf(f, "%31s %4095s %d", name, prefix, &code) == 3)
        if (strcmp(name, call) == 0 && strncmp(path, prefix, strlen(prefix)) == 0)
            error = code;
    fclose(f);
    return error;
}

static void real(const char* path, char* out) {
    snprintf(out, PATH_MAX, "%s%s", root, path);
}

#define FAULT(call, path)                                                                          \
    do {                                                                                           \
        int e_ = fault(call, path);                                                                \
        if (e_ != 0)                                                                               \
            return -e_;                                                                            \
    } while (0)
#define REAL(path)                                                                                 \
    char at[PATH_MAX];                                                                             \
    real(path, at)
#define RESULT(expression) return (expression) == 0 ? 0 : -errno

static int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    FAULT("getattr", path);
    REAL(path);
    RESULT(lstat(at, st));
}

static int fs_readlink(const char* path, char* buffer, size_t size) {
    REAL(path);
    ssize_t n = readlink(at, buffer, size - 1);
    if (n < 0)
        return -errno;
    buffer[n] = '\0';
    return 0;
}

static int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)offset, (void)fi, (void)flags;
    FAULT("opendir", path);
    FAULT("readdir", path);
    REAL(path);
    DIR* dir = opendir(at);
    if (dir == NULL)
        return -errno;
    for (struct dirent* e = readdir(dir); e != NULL; e = readdir(dir))
        fill(buffer, e->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static int fs_mkdir(const char* path, mode_t mode) {
    FAULT("mkdir", path);
    REAL(path);
    RESULT(mkdir(at, mode));
}

static int fs_unlink(const char* path) {
    FAULT("unlink", path);
    REAL(path);
    RESULT(unlink(at));
}

static int fs_rmdir(const char* path) {
    FAULT("rmdir", path);
    REAL(path);
    RESULT(rmdir(at));
}

static int fs_symlink(const char* target, const char* path) {
    REAL(path);
    RESULT(symlink(target, at));
}

static int fs_rename(const char* from, const char* to, unsigned int flags) {
    FAULT("rename", from);
    FAULT("rename", to);
    char a[PATH_MAX], b[PATH_MAX];
    real(from, a);
    real(to, b);
    RESULT(syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, flags));
}

static int fs_link(const char* from, const char* to) {
    char a[PATH_MAX], b[PATH_MAX];
    real(from, a);
    real(to, b);
    RESULT(link(a, b));
}

static int fs_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    (void)fi;
    REAL(path);
    RESULT(chmod(at, mode));
}

static int fs_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    (void)fi;
    REAL(path);
    RESULT(lchown(at, uid, gid));
}

static int fs_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    (void)fi;
    REAL(path);
    RESULT(truncate(at, size));
}

static int fs_utimens(const char* path, const struct timespec times[2], struct fuse_file_info* fi) {
    (void)fi;
    REAL(path);
    RESULT(utimensat(AT_FDCWD, at, times, AT_SYMLINK_NOFOLLOW));
}

static int fs_open(const char* path, struct fuse_file_info* fi) {
    FAULT("open", path);
    REAL(path);
    int fd = open(at, fi->flags & ~O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    fi->direct_io = 1; /* every read reaches the rules, none is served from the page cache */
    return 0;
}

static int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
    FAULT("open", path);
    REAL(path);
    int fd = open(at, fi->flags, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    fi->direct_io = 1;
    return 0;
}

static int fs_read(const char* path, char* buffer, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
    FAULT("read", path);
    ssize_t n = pread((int)fi->fh, buffer, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int fs_write(const char* path, const char* buffer, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
    FAULT("write", path);
    ssize_t n = pwrite((int)fi->fh, buffer, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int fs_statfs(const char* path, struct statvfs* st) {
    REAL(path);
    RESULT(statvfs(at, st));
}

static int fs_release(const char* path, struct fuse_file_info* fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int fs_fsync(const char* path, int data, struct fuse_file_info* fi) {
    (void)path;
    RESULT(data ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static const struct fuse_operations operations = {
    .getattr = fs_getattr,
    .readlink = fs_readlink,
    .mkdir = fs_mkdir,
    .unlink = fs_unlink,
    .rmdir = fs_rmdir,
    .symlink = fs_symlink,
    .rename = fs_rename,
    .link = fs_link,
    .chmod = fs_chmod,
    .chown = fs_chown,
    .truncate = fs_truncate,
    .open = fs_open,
    .read = fs_read,
    .write = fs_write,
    .statfs = fs_statfs,
    .release = fs_release,
    .fsync = fs_fsync,
    .readdir = fs_readdir,
    .create = fs_create,
    .utimens = fs_utimens,
};

int main(int argc, char* argv[]) {
    root = getenv("FAULTFS_ROOT");
    rules = getenv("FAULTFS_RULES");
    if (root == NULL || rules == NULL) {
        fprintf(stderr, "FAULTFS_ROOT and FAULTFS_RULES must be set\n");
        return 2;
    }
    umask(0);
    return fuse_main(argc, argv, &operations, NULL);
}
