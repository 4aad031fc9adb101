/* A caller of the installed library: built only from the installed header and the flags that
 * pkg-config gives, once against the shared and once against the static library. It makes a
 * repository of one mount in the directory given and creates and finds one resource there. */
#include <repositoryhandler.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <empty directory>\n", argv[0]);
        return 2;
    }
    const char* repository = argv[1];
    char cfg[4096];
    snprintf(cfg, sizeof cfg, "%s/repositorypart.cfg", repository);
    FILE* file = fopen(cfg, "w");
    if (file == NULL || fclose(file) != 0) {
        perror(cfg);
        return 2;
    }

    int created = -1, found = -1;
    char* made = createDirectory_(repository, "4711", &created, false);
    char* location = getLocation_(repository, "4711", &found);
    struct stat st;
    int ok = made != NULL && location != NULL && strcmp(made, location) == 0 && created == 0 &&
             found == 0 && stat(location, &st) == 0 && S_ISDIR(st.st_mode) &&
             strncmp(location, repository, strlen(repository)) == 0;
    printf("%s %s (status %d, %d)\n", ok ? "PASS" : "FAIL", location ? location : "(null)", created,
           found);
    release(made);
    release(location);
    return ok ? 0 : 1;
}
