/*
 * repodemo: fills a repository with a few resources through the C entry points, for the
 * demonstration of balancing.
 *
 *   repodemo <repository> <id>=<days> ...
 *
 * Each <id>=<days> creates the resource <id> with createDirectory_, writes one small file into it
 * and sets its last use time to <days> days ago (0: now). Afterwards the repository status is
 * printed with the names of its bits. Exit status 0, or 1 when a resource could not be made.
 */
#include "repositoryhandler.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const struct {
    int bit;
    const char* name;
} kStatusBits[] = {{1, "remind"},   {2, "warn"},  {4, "warn2"},        {8, "warn3"},
                   {32, "no room"}, {64, "full"}, {128, "incomplete"}, {256, "missing"}};

static void printStatus(const char* repository) {
    int status = getRepositoryStatus_(repository);
    printf("repository status: %d", status);
    const char* separator = " (";
    for (size_t i = 0; i < sizeof kStatusBits / sizeof kStatusBits[0]; ++i) {
        if (status & kStatusBits[i].bit) {
            printf("%s%s", separator, kStatusBits[i].name);
            separator = ", ";
        }
    }
    printf("%s\n", status == 0 ? " (no bit set)" : ")");
}

/* A small file in the resource, so that the listings show that the whole tree moves. */
static int writeContent(const char* directory, const char* id) {
    size_t size = strlen(directory) + sizeof "/report.txt";
    char* path = malloc(size);
    if (path == NULL)
        return 0;
    snprintf(path, size, "%s/report.txt", directory);
    FILE* file = fopen(path, "w");
    free(path);
    if (file == NULL)
        return 0;
    fprintf(file, "report of %s\n", id);
    return fclose(file) == 0;
}

/* Creates one resource from "<id>=<days>"; 1 on success. */
static int create(const char* repository, const char* item) {
    const char* equals = strchr(item, '=');
    char* end = NULL;
    long days = equals == NULL ? -1 : strtol(equals + 1, &end, 10);
    if (equals == NULL || equals == item || *end != '\0' || end == equals + 1 || days < 0) {
        fprintf(stderr, "repodemo: \"%s\" is not <id>=<days>\n", item);
        return 0;
    }
    size_t length = (size_t)(equals - item);
    char* id = malloc(length + 1);
    if (id == NULL)
        return 0;
    memcpy(id, item, length);
    id[length] = '\0';

    int status = -1;
    char* directory = createDirectory_(repository, id, &status, false);
    int done = directory != NULL && writeContent(directory, id);
    if (done) {
        time_t when = time(NULL) - (time_t)days * 24 * 60 * 60;
        struct utimbuf times = {when, when};
        done = setTimeProperties_(repository, id, &times);
    }
    if (done)
        printf("created %s, last used %ld days ago: %s\n", id, days, directory);
    else
        fprintf(stderr, "repodemo: resource %s could not be made (status %d)\n", id, status);
    release(directory);
    free(id);
    return done;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        printf("Usage: repodemo <repository> <id>=<days> ...\n");
        return 2;
    }
    int failures = 0;
    for (int i = 2; i < argc; ++i)
        failures += !create(argv[1], argv[i]);
    printStatus(argv[1]);
    return failures == 0 ? 0 : 1;
}
