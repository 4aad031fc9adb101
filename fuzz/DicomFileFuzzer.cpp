// Any bytes as one file of a study, through the reading and checking of dcmrelocate: the parser
// and the scan of one file. An accepted file has three UIDs usable as file names, the study takes
// its UID and archive directory, and the same file again joins the same study.

#include "DicomParser.h"
#include "FuzzSupport.h"
#include "StudyDirectory.h"

#include <algorithm>

#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/oflog/oflog.h>

namespace {

void prepareToolkit() {
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    FUZZ_CHECK(dcmDataDict.isDictionaryLoaded());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool prepared = (prepareToolkit(), true);
    (void)prepared;
    static MemoryFile file("study-file");
    const std::string& path = file.hold(data, size);

    DicomParser parser(path);
    std::string archiveDir;
    if (parser.good()) {
        const std::string studyUID = parser.getStudyInstanceUID();
        FUZZ_CHECK(!studyUID.empty() && DicomParser::isSafePathComponent(studyUID.c_str()));
        FUZZ_CHECK(parser.getSOPInstanceUID() != nullptr && *parser.getSOPInstanceUID() != '\0');
        FUZZ_CHECK(DicomParser::isSafePathComponent(parser.getSOPInstanceUID()));
        FUZZ_CHECK(parser.getSOPClassUID() != nullptr && *parser.getSOPClassUID() != '\0');
        archiveDir = parser.getArchiveDir();
        FUZZ_CHECK(archiveDir.size() <= 9);
    } else {
        FUZZ_CHECK(parser.getStudyInstanceUID().empty());
    }

    StudyDirectory study("source", "target");
    FUZZ_CHECK(study.processFile(path) == (parser.good() ? 1 : 0));
    if (parser.good()) {
        FUZZ_CHECK(study.resultLine() == archiveDir + "/" + parser.getStudyInstanceUID());
        FUZZ_CHECK(study.processFile(path) == 1); // the same study: no conflict
    }
    return 0;
}
