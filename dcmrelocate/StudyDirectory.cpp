#include "StudyDirectory.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <utility>

#include <dcmtk/dcmdata/dcuid.h>

#include "DicomParser.h"
#include "DryRunCheck.h"
#include "OVSyscalls.h"
#include "Output.h"

StudyDirectory::StudyDirectory(std::string source, std::string target)
    : sourceDir(std::move(source)), targetDir(std::move(target)) {
    if (!sourceDir.empty() && sourceDir.back() == '/') {
        sourceDir.pop_back();
    }
    if (!targetDir.empty() && targetDir.back() != '/') {
        targetDir += '/';
    }
}

int StudyDirectory::processDir(std::string dir) {
    printError("Info: Processing directory " + dir + "\n");
    // Closed however the walk ends, also when a second study is thrown out of it.
    const std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), &closedir);
    if (!handle) {
        const std::string reason = std::strerror(errno);
        if (dir == sourceDir) {
            sourceOpen = false;
            printError("Error: Cannot open the source directory " + dir + " (" + reason + ")\n");
        } else {
            // Its files may belong to the study: the run cannot count as a complete filing.
            ++tally.unreadDirectories;
            printError("Error: Cannot open " + dir + " (" + reason + ") -- skipping\n");
        }
        return 0;
    }
    int count = 0;
    while (const struct dirent* entry = readdir(handle.get())) {
        const std::string name = entry->d_name;
        const std::string path = dir + "/" + name;
        // Links are never followed: they could pull in files from outside the tree, or lead
        // back into it and make the walk grow without end. A link is left where it is.
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) {
            continue;
        }
        if (S_ISLNK(status.st_mode)) {
            printError("Warning: Symbolic link " + path + " is not followed -- skipping\n");
            ++tally.symbolicLinks;
        } else if (S_ISDIR(status.st_mode) && name != "." && name != "..") {
            count += processDir(path);
        } else if (S_ISREG(status.st_mode)) {
            count += processFile(path);
        }
    }
    return count;
}

int StudyDirectory::processFile(std::string path) {
    printError("Info: Processing file " + path + "\n");
    DicomParser parser(path);
    if (!parser.good()) {
        printError("Warning: Cannot parse file " + path + " -- skipping \n");
        ++tally.unparsable;
        return 0;
    }
    const std::string fileStudyUID = parser.getStudyInstanceUID();
    if (!studyUID.empty() && studyUID != fileStudyUID) {
        files.clear();
        throw "Non unique Study IUID in the directory! -- " + firstFile + ": " + studyUID + " " +
            path + ": " + fileStudyUID;
    }
    if (studyUID.empty()) {
        studyUID = fileStudyUID;
        firstFile = path;
    }

    const std::string fileArchiveDir = parser.getArchiveDir();
    if (archiveDir.empty() || archiveDir < fileArchiveDir) {
        archiveDir = fileArchiveDir;
    }

    std::string objectName;
    if (const char* modality = dcmSOPClassUIDToModality(parser.getSOPClassUID())) {
        objectName = std::string(modality) + "." + parser.getSOPInstanceUID();
    }
    files.emplace_back(path, parser.getSOPClassUID(), objectName);
    return 1;
}

std::string StudyDirectory::studyDirectoryPath() const {
    // Without a date and without a target the study would land at the root of the file system;
    // it goes below the current directory instead.
    if (targetDir.empty() && archiveDir.empty()) {
        return "./" + studyUID;
    }
    return targetDir + archiveDir + "/" + studyUID;
}

void StudyDirectory::makeStudyDirectory(const std::string& dir, bool execute) const {
    const std::string withSlash = dir + "/";
    printError("Info: Making sure " + withSlash + " exists\n");
    for (std::string::size_type slash = withSlash.find('/'); slash != std::string::npos;
         slash = withSlash.find('/', slash + 1)) {
        if (slash == 0) {
            continue;
        }
        const std::string prefix = withSlash.substr(0, slash);
        printError("Info: Creating " + prefix + "\n");
        struct stat status;
        if (!execute) {
            if (stat(prefix.c_str(), &status) != 0) {
                printOutput("mkdir " + prefix + "\n", "the command");
            }
        } else if (ovsys::table().mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            // The moves into it fail too and each says so; this names the first cause.
            printError("Error: Cannot create " + prefix + " (" + std::strerror(errno) + ")\n");
        }
    }
}

void StudyDirectory::moveFiles(bool execute) {
    const std::string dir = studyDirectoryPath();
    makeStudyDirectory(dir, execute);
    DryRunCheck check(dir);
    for (const ObjFile& file : files) {
        const bool filed = execute ? file.moveFile(dir) : file.printMove(dir, check);
        ++(filed ? tally.filed : tally.failed);
    }
}
