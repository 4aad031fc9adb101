#ifndef DCMRELOCATE_DICOMPARSER_H
#define DCMRELOCATE_DICOMPARSER_H

#include <string>

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/ofstd/ofcond.h>

// Loads one DICOM file and reads what the relocation needs from its top-level data set: the three
// UIDs (at construction) and the retention date (getArchiveDir). The UID pointers point into
// fileFormat and live as long as the parser does. The file is parsed once and only up to the
// Study Instance UID; elements stored with the VR UN are read with their dictionary VR.
class DicomParser {
public:
    explicit DicomParser(const std::string& path);
    DicomParser(const DicomParser&) = delete;
    DicomParser& operator=(const DicomParser&) = delete;

    // True when the file loaded and has all three UIDs, each usable as a file name.
    bool good() const { return condition.good(); }

    // The Study Instance UID of a good parser, the empty text otherwise.
    std::string getStudyInstanceUID() const;
    const char* getSOPInstanceUID() const { return sopInstanceUID; }
    const char* getSOPClassUID() const { return sopClassUID; }

    // The archive sub-directory "YYYYMM/DD": the later of study date + 7 years and birth date
    // + 18 years, or the empty text when neither date is usable.
    std::string getArchiveDir();
    // The archive sub-directory for the Study Date and Patient's Birth Date of a data set.
    static std::string archiveDirOf(DcmDataset& dataset);

    // A UID becomes a path component: refuse "/", control characters, "." and "..".
    static bool isSafePathComponent(const char* uid);

private:
    std::string fileName;
    DcmFileFormat fileFormat;
    OFCondition condition;
    const char* studyInstanceUID = nullptr;
    const char* sopInstanceUID = nullptr;
    const char* sopClassUID = nullptr;
};

#endif
