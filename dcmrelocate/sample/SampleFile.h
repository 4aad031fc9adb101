#ifndef DCMRELOCATE_SAMPLEFILE_H
#define DCMRELOCATE_SAMPLEFILE_H

#include <optional>
#include <string>

#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/ofstd/ofcond.h>

// What one made-up DICOM file holds. An attribute left unset is absent from the file; one set
// to the empty text is present with an empty value.
struct SampleSpec {
    std::optional<std::string> studyInstanceUID;
    std::optional<std::string> sopInstanceUID;
    std::optional<std::string> sopClassUID;
    std::optional<std::string> studyDate;
    std::optional<std::string> birthDate;
    std::optional<std::string> patientName;
    unsigned rows = 0; // a square image of rows x columns 16-bit pixels when both are set
    unsigned columns = 0;
    E_TransferSyntax transferSyntax = EXS_LittleEndianExplicit;
    bool metaHeader = true; // false: a bare data set without the file meta header
    // true: the five attributes are stored with the VR UN, as some anonymisers and archives
    // write them (only explicit VR transfer syntaxes show a VR in the file)
    bool attributesAsUnknownVR = false;
};

// UIDs of the sample study; not registered anywhere, only for made-up files.
inline const char* const kCtImageStorage = "1.2.840.10008.5.1.4.1.1.2";
inline const char* const kMrImageStorage = "1.2.840.10008.5.1.4.1.1.4";
inline const char* const kSampleUidRoot = "2.25.31415926535897932384";

// Writes the file; the result tells whether the toolkit could save it.
OFCondition writeSampleFile(const SampleSpec& sample, const std::string& path);

#endif
