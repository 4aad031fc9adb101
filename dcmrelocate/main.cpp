// dcmrelocate: files the DICOM files of one study into an archive tree.
//
//   dcmrelocate [-d] [-h] [-t value] sourceDir [targetDir]
//
// Standard error carries every progress, warning and error line, and a closing line counting
// the files filed, skipped and failed; standard output carries the usage text, the commands of a
// dry run (-d) and one result line, the study directory's path below the target, written only
// when every accepted file was filed. Exit status: 0 all accepted files filed, or none found;
// 1 no source directory, a missing data dictionary, a second study in the tree, or standard
// output that could not be written; 2 some accepted file not filed, or a directory below the
// source not read; 3 the source directory cannot be opened.

#include <csignal>
#include <string>
#include <unistd.h>

#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/oflog/oflog.h>

#include "Output.h"
#include "StudyDirectory.h"

namespace {

void usage() {
    printOutput(" Usage: dcmrelocate [-d] sourceDir [targetDir] \n", "the usage text");
}

// Without the data dictionary the toolkit still loads files written with implicit VR but reads
// every UID as garbage, so nothing may be filed.
bool dictionaryLoaded() {
    if (dcmDataDict.isDictionaryLoaded()) {
        return true;
    }
    printError("Error: The DICOM data dictionary could not be loaded (set DCMDICTPATH to the "
               "dictionary file dicom.dic) -- nothing done\n");
    return false;
}

constexpr int kNotAllFiled = 2;
constexpr int kSourceUnreadable = 3;

// Walks the source, files the study and closes with the count; the result line is written only
// when every accepted file was filed, so that a caller never takes a partial filing for a whole.
int relocate(StudyDirectory& study, bool execute) {
    try {
        if (study.processDir(study.getSourceDir()) > 0) {
            study.moveFiles(execute);
        }
    } catch (const std::string& message) {
        printError("Error: " + message + "\n");
        return 1;
    }
    const Tally& tally = study.getTally();
    printError(tally.closingLine(execute));
    if (!study.sourceOpened()) {
        return kSourceUnreadable;
    }
    if (tally.failed > 0 || tally.unreadDirectories > 0) {
        return kNotAllFiled;
    }
    if (tally.filed > 0) {
        printOutput(study.resultLine() + "\n", "the result line");
    }
    return 0;
}

// The status of a run that otherwise ends with `status`: a lost line on standard output (the
// result line may be the only record of where the study went) makes it a failure.
int withOutputChecked(int status) {
    return outputFailed() ? 1 : status;
}

} // namespace

int main(int argc, char* argv[]) {
    // The toolkit's own logger is silenced: every line on standard error is one of ours.
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    // A reader that went away is a failed write, reported like any other, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);

    bool execute = true;
    int option;
    while ((option = getopt(argc, argv, "dt:h")) != -1) {
        switch (option) {
        case 'd':
            execute = false;
            break;
        case 'h':
            usage();
            return withOutputChecked(0);
        default: // -t and its value are accepted and ignored; getopt reports unknown options.
            break;
        }
    }
    if (optind >= argc) {
        printError("Error: No source directory given\n");
        usage();
        return 1;
    }
    if (!dictionaryLoaded()) {
        return 1;
    }
    StudyDirectory study(argv[optind], optind + 1 < argc ? argv[optind + 1] : "");
    return withOutputChecked(relocate(study, execute));
}
