/* A pass-through file system for tests that fails chosen calls on chosen paths, as a failing disk
 * or a refused permission would:
 *   FAULTFS_ROOT=<backing dir> FAULTFS_RULES=<rules file> faultfs -f -s -o <options> <mount point>
 * The rules file is read at every call; each line is "<call> <path prefix> <errno>", e.g.
 * "readdir /a/b 5". Calls: getattr, readdir, open, read, write, mkdir, rename, unlink, rmdir. */
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
#include <unistd.h>

static const char* root;
static const char* rules;

/* The error code a rule gives to call on path, or 0. */
static int fault(const char* call, const char* path) {
    FILE* f = fopen(rules, "r");
    char name[32], prefix[PATH_MAX];
    int error = 0, code;
    while (f != NULL && error == 0 && fscanf(f, "%31s %4095s %d", name, prefix, &code) == 3)
        if (strcmp(name, call) == 0 && strncmp(path, prefix, strlen(prefix)) == 0)
            error = code;
    if (f != NULL)
        fclose(f);
    return error;
}

/* Fails the call when a rule says so, else sets at to the backing path of path. */
#define ENTER(call, path)                                                                          \
    char at[PATH_MAX];                                                                             \
    int e_ = fault(call, path);                                                                    \
    if (e_ != 0)                                                                                   \
        return -e_;                                                                                \
    snprintf(at, sizeof at, "%s%s", root, path)
#define RESULT(expression) return (expression) < 0 ? -errno : 0

static int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    ENTER("getattr", path);
    RESULT(lstat(at, st));
}

static int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)offset, (void)fi, (void)flags;
    ENTER("readdir", path);
    DIR* dir = opendir(at);
    if (dir == NULL)
        return -errno;
    for (struct dirent* e = readdir(dir); e != NULL; e = readdir(dir))
        fill(buffer, e->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static int fs_mkdir(const char* path, mode_t mode) {
    ENTER("mkdir", path);
    RESULT(mkdir(at, mode));
}

static int fs_unlink(const char* path) {
    ENTER("unlink", path);
    RESULT(unlink(at));
}

static int fs_rmdir(const char* path) {
    ENTER("rmdir", path);
    RESULT(rmdir(at));
}

static int fs_rename(const char* from, const char* to, unsigned int flags) {
    char target[PATH_MAX];
    int e = fault("rename", to);
    ENTER("rename", from);
    snprintf(target, sizeof target, "%s%s", root, to);
    RESULT(e != 0 ? (errno = e, -1)
                  : syscall(SYS_renameat2, AT_FDCWD, at, AT_FDCWD, target, flags));
}

static int fs_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    (void)fi;
    ENTER("chmod", path);
    RESULT(chmod(at, mode));
}

static int fs_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    (void)fi;
    ENTER("chown", path);
    RESULT(lchown(at, uid, gid));
}

static int fs_utimens(const char* path, const struct timespec times[2], struct fuse_file_info* fi) {
    (void)fi;
    ENTER("utimens", path);
    RESULT(utimensat(AT_FDCWD, at, times, AT_SYMLINK_NOFOLLOW));
}

/* Every read and write reaches the rules: none is served from the page cache. */
static int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
    ENTER("open", path);
    int fd = open(at, fi->flags & ~O_NOFOLLOW, mode);
    fi->fh = (uint64_t)fd;
    fi->direct_io = 1;
    RESULT(fd);
}

static int fs_open(const char* path, struct fuse_file_info* fi) {
    return fs_create(path, 0, fi);
}

static int fs_read(const char* path, char* buffer, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
    int e = fault("read", path);
    ssize_t n = e != 0 ? (errno = e, -1) : pread((int)fi->fh, buffer, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int fs_write(const char* path, const char* buffer, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
    int e = fault("write", path);
    ssize_t n = e != 0 ? (errno = e, -1) : pwrite((int)fi->fh, buffer, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int fs_statfs(const char* path, struct statvfs* st) {
    ENTER("statfs", path);
    RESULT(statvfs(at, st));
}

static int fs_release(const char* path, struct fuse_file_info* fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static const struct fuse_operations operations = {
    .getattr = fs_getattr,
    .mkdir = fs_mkdir,
    .unlink = fs_unlink,
    .rmdir = fs_rmdir,
    .rename = fs_rename,
    .chmod = fs_chmod,
    .chown = fs_chown,
    .open = fs_open,
    .read = fs_read,
    .write = fs_write,
    .release = fs_release,
    .readdir = fs_readdir,
    .create = fs_create,
    .utimens = fs_utimens,
    .statfs = fs_statfs,
};

int main(int argc, char* argv[]) {
    root = getenv("FAULTFS_ROOT");
    rules = getenv("FAULTFS_RULES");
    if (root == NULL || rules == NULL)
        return 2;
    umask(0);
    return fuse_main(argc, argv, &operations, NULL);
}
