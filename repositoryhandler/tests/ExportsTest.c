/* Drives the plain-name functions of librepositoryhandler.so from C, through the public header
 * only: a C caller must be able to declare, link and call every one of them. */
#define _DEFAULT_SOURCE
#include "repositoryhandler.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);          \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static void checkText(char* text, const char* expected) {
    CHECK(text != NULL && strcmp(text, expected) == 0);
    if (text != NULL && strcmp(text, expected) != 0)
        fprintf(stderr, "  got '%s', expected '%s'\n", text, expected);
    release(text);
}

static int isDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static void testHashedDirectories(const char* root) {
    char links[256], hash[256], plain[300];
    snprintf(links, sizeof links, "%s/links/", root);
    snprintf(hash, sizeof hash, "%s/hash/", root);
    CHECK(mkdir(links, 0755) == 0 && mkdir(hash, 0755) == 0);

    CHECK(createHashDirectory(links, hash, "study/4711/") == 0);
    snprintf(plain, sizeof plain, "%sstudy/4711", links);
    CHECK(isDirectory(plain));
    CHECK(createHashDirectory(NULL, hash, "4711") == 1);
    CHECK(createHashDirectory(NULL, "hash", "4711/") == 2);
    CHECK(createHashDirectory(links, hash, "../4711/") == 3); /* refused: climbs out */
    CHECK(removeHashDirectory(links, hash, "study/../../") == -1);
    CHECK(convertToHashed("study/./4711/") == NULL);

    CHECK(removeHashDirectory(links, hash, "study/4711/") == 0);
    CHECK(rmdir(links) == 0 && rmdir(hash) == 0); /* both roots are empty again */
}

static void testTextLog(const char* root) {
    char log[256], line[64];
    snprintf(log, sizeof log, "%s/notes.txt", root);
    setenv("LOCK_VAR", root, 1);
    writeToLogGlobal(log, "one line");
    writeToLogGlobal(log, "one line");
    FILE* file = fopen(log, "r");
    CHECK(file != NULL);
    if (file != NULL) {
        CHECK(fgets(line, sizeof line, file) != NULL && strcmp(line, "one line\n") == 0);
        CHECK(fgets(line, sizeof line, file) == NULL);
        fclose(file);
    }
    unlink(log);
}

/* The repository at root is its own single mount. */
static void testResources(const char* root) {
    int status = -1;
    char* made = createDirectory_(root, "res", &status, false);
    CHECK(made != NULL && status == 0 && isDirectory(made));
    char* found = getLocation_(root, "res", &status);
    CHECK(found != NULL && made != NULL && strcmp(found, made) == 0 && status == 0);
    release(found);
    release(made);

    long count = -1;
    char** dirs = listDirs_(root, &count, true);
    CHECK(count == 1 && strcmp(dirs[0], "res") == 0);
    releaseList(dirs, count);
    char** files = listFiles_(root, &count, false);
    CHECK(count == 0);
    releaseList(files, count);

    struct utimbuf times = {1000, 2000}, read = {0, 0};
    CHECK(setTimeProperties_(root, "res", &times) == 1);
    CHECK(getTimeProperties_(root, "res", &read) == 1 && read.modtime == 2000);
    CHECK(countSize(root, false) >= 0);
    CHECK(checkResourceStatus_(root, "res") == 0);
    CHECK(createToLegacy_(root, "res") == NULL); /* no legacy directory */
    CHECK(removeResource_(root, "res") == 0);
    CHECK(checkResourceStatus_(root, "res") == 4);
    release(createLocation_(root, "other", &status, true));
    release(createDirectory_(root, "other", &status, true));
    makeEmpty_(root); /* removes "other" with its hash directories */

    char path[300];
    snprintf(path, sizeof path, "%s/.count", root);
    unlink(path);
}

static void testEntryPoints(const char* root) {
    char missing[256], cfg[300];
    snprintf(missing, sizeof missing, "%s/missing", root);
    CHECK(getRepositoryStatus_(missing) == 256);

    /* The directory as its own single mount, switched off and given back. */
    snprintf(cfg, sizeof cfg, "%s/repositorypart.cfg", root);
    fclose(fopen(cfg, "w"));
    setup_(root);
    CHECK((getRepositoryStatus_(root) & 256) == 0);
    CHECK(MountUnmount_(root, 1, false) == -1);
    CHECK(MountUnmount_(root, 0, false) == 0);
    CHECK(getRepositoryStatus_(root) == 256);
    CHECK((giveBackMounts_(root) & 256) == 0);
    rndMount_(root);
    CHECK(getRepositoryStatus_(root) == 256);
    CHECK(MountUnmount_(root, 0, true) == 0);
    testResources(root);

    /* Balancing: nothing to do on a mount below its limits, and no such mount to empty. */
    checkOverload_(root, false);
    CHECK(getDeletedDirs_(root) != NULL);
    CHECK(freeMount_(root, "nomount") == 1);
    CHECK(unlink(cfg) == 0);
    snprintf(cfg, sizeof cfg, "%s/.dirty", root);
    unlink(cfg); /* written only when a flag changes; removed in case */
}

int main(void) {
    char root[] = "/tmp/repositoryhandler-c-XXXXXX";
    if (mkdtemp(root) == NULL)
        return 2;

    checkText(toResourceID("/data/rep", "1234"), "OVRepositoryHandler-_data_rep-1234");
    checkText(convertToHashed("study/4711/"), "E1/ZL/XM/study/7T/ZU/ET/4711/");
    release(NULL);
    testHashedDirectories(root);
    testTextLog(root);
    testEntryPoints(root);

    CHECK(rmdir(root) == 0);
    if (failures == 0)
        printf("PASS\n");
    return failures == 0 ? 0 : 1;
}
