#ifndef DCMRELOCATE_OBJFILE_H
#define DCMRELOCATE_OBJFILE_H

#include <string>

class DryRunCheck;

// One accepted file of the study: where the walk found it, its SOP Class and the name it gets in
// the archive (modality + "." + SOP Instance UID, empty when the SOP Class has no modality).
struct ObjFile {
    std::string path;
    std::string sopClassUID;
    std::string objectName;

    ObjFile(std::string path, std::string sopClassUID, std::string objectName);

    // Moves the file into the study directory `dir`. Returns true when it was moved; otherwise
    // an error names the cause and the file stays where it is.
    bool moveFile(const std::string& dir) const;

    // The dry run's move: prints the equivalent "mv" command when `check` finds nothing that
    // would make the move fail, a warning with the cause otherwise. Returns true for a command.
    bool printMove(const std::string& dir, DryRunCheck& check) const;

private:
    std::string targetIn(const std::string& dir) const;
    // The rule that refuses the file whatever the archive holds, or the empty text.
    std::string ruleRefusal() const;
};

#endif
