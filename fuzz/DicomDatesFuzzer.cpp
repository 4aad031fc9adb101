// The date and UID checks of dcmrelocate on attribute values of any bytes. The input holds up to
// four values separated by line feeds: Study Date, Patient's Birth Date and two UIDs. The archive
// directory is empty or the later of the directories of the two dates taken alone.

#include "DicomParser.h"
#include "FuzzSupport.h"

#include <algorithm>
#include <vector>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/oflog/oflog.h>

namespace {

void prepareToolkit() {
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    FUZZ_CHECK(dcmDataDict.isDictionaryLoaded());
}

std::vector<std::string> fieldsOf(const std::string& text) {
    std::vector<std::string> fields;
    for (size_t start = 0; start <= text.size() && fields.size() < 4;) {
        size_t end = std::min(text.find('\n', start), text.size());
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    fields.resize(4);
    return fields;
}

std::string archiveDir(const std::string* studyDate, const std::string* birthDate) {
    DcmDataset dataset;
    if (studyDate != nullptr)
        dataset.putAndInsertString(DCM_StudyDate, studyDate->c_str());
    if (birthDate != nullptr)
        dataset.putAndInsertString(DCM_PatientBirthDate, birthDate->c_str());
    return DicomParser::archiveDirOf(dataset);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "YYYYMM/DD" of a year below 10000.
bool isFullDir(const std::string& dir) {
    return dir.size() == 9 && dir[6] == '/' && std::all_of(dir.begin(), dir.begin() + 6, isDigit) &&
           isDigit(dir[7]) && isDigit(dir[8]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool prepared = (prepareToolkit(), true);
    (void)prepared;
    const std::vector<std::string> fields = fieldsOf(bytesOf(data, size));

    const std::string both = archiveDir(&fields[0], &fields[1]);
    const std::string studyOnly = archiveDir(&fields[0], nullptr);
    const std::string birthOnly = archiveDir(nullptr, &fields[1]);
    FUZZ_CHECK(archiveDir(nullptr, nullptr).empty());
    FUZZ_CHECK(both.size() <= 9);
    FUZZ_CHECK(both.find_first_not_of("0123456789/") == std::string::npos);
    FUZZ_CHECK(both == studyOnly || both == birthOnly);
    FUZZ_CHECK(both.empty() == (studyOnly.empty() && birthOnly.empty()));
    if (isFullDir(studyOnly) && isFullDir(birthOnly))
        FUZZ_CHECK(both == std::max(studyOnly, birthOnly));

    for (const std::string* uid : {&fields[2], &fields[3]}) {
        if (!DicomParser::isSafePathComponent(uid->c_str()))
            continue;
        const std::string name = uid->c_str();
        FUZZ_CHECK(name != "." && name != ".." && name.find('/') == std::string::npos);
    }
    return 0;
}
