#ifndef DCMRELOCATE_STUDYDIRECTORY_H
#define DCMRELOCATE_STUDYDIRECTORY_H

#include <string>
#include <vector>

#include "ObjFile.h"
#include "Tally.h"

// One run's study: the scan of the source tree records every accepted file and the latest
// archive date of them all; the placement then creates the study directory in the archive and
// moves the files into it.
class StudyDirectory {
public:
    // The source loses one trailing "/"; a non-empty target gets one.
    StudyDirectory(std::string sourceDir, std::string targetDir);

    // Walks the tree below `dir` depth first, in directory-listing order, and returns the number
    // of files accepted. Symbolic links below `dir` are reported and passed over, never followed;
    // they and the files that cannot be parsed are counted in the tally.
    // Throws the conflict message (a std::string) when a file of a second study turns up; the scan
    // stops there and no file is recorded.
    int processDir(std::string dir);

    // Parses one file; returns 1 when it was accepted and recorded, 0 when it was skipped.
    int processFile(std::string path);

    // Creates the study directory level by level and moves every recorded file into it, or
    // prints the equivalent commands in a dry run (a "mkdir" only for a missing level, a warning
    // instead of the "mv" for a file the real run would refuse). Counts each file in the tally
    // as filed or failed.
    void moveFiles(bool execute);

    // The study directory's path below the target: archive date + "/" + Study Instance UID.
    std::string resultLine() const { return archiveDir + "/" + studyUID; }

    const std::string& getSourceDir() const { return sourceDir; }
    // False when the walk could not open the source directory itself.
    bool sourceOpened() const { return sourceOpen; }
    const Tally& getTally() const { return tally; }

private:
    std::string studyDirectoryPath() const;
    void makeStudyDirectory(const std::string& dir, bool execute) const;

    std::string sourceDir;
    std::string targetDir;
    std::vector<ObjFile> files;
    std::string archiveDir;
    std::string studyUID;
    std::string firstFile;
    bool sourceOpen = true;
    Tally tally;
};

#endif
