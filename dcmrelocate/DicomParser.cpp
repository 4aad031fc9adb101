#include "DicomParser.h"

#include <cstdio>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/dcmdata/dcvrda.h>
#include <dcmtk/ofstd/ofdate.h>

namespace {

// A date read from the data set plus a number of years; left not set (invalid) when the
// attribute is missing or is no valid date.
OFDate dateLimit(DcmDataset& dataset, const DcmTagKey& tag, unsigned int years) {
    OFDate limit;
    OFString value;
    if (dataset.findAndGetOFString(tag, value).good() &&
        DcmDate::getOFDateFromString(value, limit, OFTrue /* older form YYYY.MM.DD too */).good()) {
        limit.setYear(limit.getYear() + years);
    }
    return limit;
}

// The value of a UID attribute, or null when it is missing or empty. A value made only of padding
// reads as the empty text and counts as empty: a blank Study Instance UID would otherwise file the
// study straight into the date directory, or join any other study without a conflict.
const char* readUid(DcmDataset& dataset, const DcmTagKey& tag) {
    const char* value = nullptr;
    dataset.findAndGetString(tag, value);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The first tag after the Study Instance UID, the last of the attributes read in tag order.
// Reading stops there: what follows (pixel data, above all) is neither needed nor checked, so a
// file damaged after the attributes is still filed and a large one is not read whole.
const DcmTagKey kFirstTagNotRead(0x0020, 0x000e);

} // namespace

DicomParser::DicomParser(const std::string& path) : fileName(path), condition(EC_Normal) {
    // Some writers store known attributes with the VR UN; the dictionary gives them their real
    // VR, so that a UID stored so reads as a UID and not as bytes.
    dcmEnableUnknownVRConversion.set(OFTrue);
    condition = fileFormat.loadFileUntilTag(fileName.c_str(), EXS_Unknown, EGL_noChange,
                                            DCM_MaxReadLength, ERM_autoDetect, kFirstTagNotRead);
    if (condition.good()) {
        DcmDataset* dataset = fileFormat.getDataset();
        studyInstanceUID = readUid(*dataset, DCM_StudyInstanceUID);
        sopInstanceUID = readUid(*dataset, DCM_SOPInstanceUID);
        sopClassUID = readUid(*dataset, DCM_SOPClassUID);
    }
    if (studyInstanceUID == nullptr || sopInstanceUID == nullptr || sopClassUID == nullptr ||
        !isSafePathComponent(studyInstanceUID) || !isSafePathComponent(sopInstanceUID)) {
        condition = EC_CorruptedData;
    }
}

std::string DicomParser::getStudyInstanceUID() const {
    return good() ? std::string(studyInstanceUID) : std::string();
}

std::string DicomParser::getArchiveDir() {
    return archiveDirOf(*fileFormat.getDataset());
}

std::string DicomParser::archiveDirOf(DcmDataset& dataset) {
    const OFDate studyLimit = dateLimit(dataset, DCM_StudyDate, 7);
    const OFDate birthLimit = dateLimit(dataset, DCM_PatientBirthDate, 18);

    OFDate result;
    if (studyLimit.isValid()) {
        result = studyLimit;
    }
    if (birthLimit > studyLimit && birthLimit.isValid()) {
        result = birthLimit;
    }
    if (!result.isValid()) {
        return std::string();
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u%02u/%02u", result.getYear(), result.getMonth(),
                  result.getDay());
    // The text is nine characters at most: a year above 9999 is cut, never widened.
    return std::string(text).substr(0, 9);
}

bool DicomParser::isSafePathComponent(const char* uid) {
    const std::string text(uid);
    if (text == "." || text == "..") {
        return false;
    }
    for (const unsigned char c : text) {
        if (c == '/' || c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}
