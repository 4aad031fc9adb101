#include "ObjFile.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "DryRunCheck.h"
#include "MoveNoReplace.h"
#include "Output.h"

namespace {

std::string cannotMove(const std::string& from, const std::string& to, const std::string& why) {
    return "Can't move " + from + " to " + to + " (" + why + ")\n";
}

} // namespace

ObjFile::ObjFile(std::string path, std::string sopClassUID, std::string objectName)
    : path(std::move(path)), sopClassUID(std::move(sopClassUID)),
      objectName(std::move(objectName)) {}

std::string ObjFile::targetIn(const std::string& dir) const {
    return dir.empty() || dir.back() == '/' ? dir + objectName : dir + "/" + objectName;
}

std::string ObjFile::ruleRefusal() const {
    return objectName.empty() ? "no modality abbreviation for SOP Class " + sopClassUID
                              : std::string();
}

bool ObjFile::moveFile(const std::string& dir) const {
    const std::string target = targetIn(dir);
    printError("Info: Moving " + path + " to " + target + "\n");
    std::string why = ruleRefusal();
    // An existing target is never replaced: two files with one name, or a study filed twice,
    // would otherwise lose data without a word.
    if (why.empty()) {
        if (moveNoReplace(path, target)) {
            return true;
        }
        why = errno == EEXIST ? "target exists" : std::strerror(errno);
    }
    printError("Error: " + cannotMove(path, target, why));
    return false;
}

bool ObjFile::printMove(const std::string& dir, DryRunCheck& check) const {
    const std::string target = targetIn(dir);
    printError("Info: Moving " + path + " to " + target + "\n");
    std::string why = ruleRefusal();
    if (why.empty()) {
        why = check.refusal(path, target);
    }
    if (!why.empty()) {
        printError("Warning: " + cannotMove(path, target, why));
        return false;
    }
    printOutput("mv " + path + " " + target + "\n", "the command");
    return true;
}
