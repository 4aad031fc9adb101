#ifndef DCMRELOCATE_OBJFILE_H
#define DCMRELOCATE_OBJFILE_H

#include <string>

// One accepted file of the study: where the walk found it and the name it gets in the archive
// (modality + "." + SOP Instance UID, empty when the SOP Class has no modality).
struct ObjFile {
    std::string path;
    std::string objectName;

    ObjFile(std::string path, std::string objectName);

    // Moves the file into the study directory `dir`, or in a dry run (execute false) prints the
    // equivalent "mv" command. Returns 1 for a move made or printed, 0 for a move that failed.
    int moveFile(bool execute, std::string dir) const;
};

#endif
