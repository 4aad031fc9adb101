#include "ObjFile.h"

#include <utility>

#include "MoveNoReplace.h"
#include "Output.h"

ObjFile::ObjFile(std::string path, std::string objectName)
    : path(std::move(path)), objectName(std::move(objectName)) {}

int ObjFile::moveFile(bool execute, std::string dir) const {
    if (!dir.empty() && dir.back() != '/') {
        dir += '/';
    }
    const std::string target = dir + objectName;
    printError("Info: Moving " + path + " to " + target + "\n");
    if (!execute) {
        printOutput("mv " + path + " " + target + "\n", "the command");
        return 1;
    }
    // An existing target is never replaced: two files with one name, or a study filed twice,
    // would otherwise lose data without a word.
    if (moveNoReplace(path, target)) {
        return 1;
    }
    printError("Error: Can't move " + path + " to " + target + "\n");
    return 0;
}
