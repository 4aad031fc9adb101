// dcmrelocate on well-formed files of any attribute values: the input chooses the encoding and
// which attributes the file has, and gives their values. The file is written by the toolkit and
// read back through the parser, which must accept every file whose three UIDs are plain, never
// accept one that lacks a UID, and find the archive directory of the values as written.
//
// Input: one byte of choices (bits 0-1 transfer syntax, bit 2 without file meta header, bits 3-7
// which of the five attributes are present), then the Study Instance UID, SOP Instance UID, SOP
// Class UID, Study Date and Patient's Birth Date, separated by line feeds.

#include "DicomParser.h"
#include "FuzzSupport.h"
#include "SampleFile.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/oflog/oflog.h>

namespace {

constexpr size_t kFields = 5;

void prepareToolkit() {
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    FUZZ_CHECK(dcmDataDict.isDictionaryLoaded());
}

std::vector<std::optional<std::string>> fieldsOf(uint8_t choices, const std::string& text) {
    std::vector<std::optional<std::string>> fields(kFields);
    size_t start = 0;
    for (size_t i = 0; i < kFields; ++i) {
        size_t end = std::min(text.find('\n', start), text.size());
        const std::string field = start < end ? text.substr(start, end - start) : std::string();
        if (choices & (1u << (3 + i)))
            fields[i] = field.c_str(); // the toolkit takes C strings
        start = end + 1;
    }
    return fields;
}

// A UID any file system takes as a name and the toolkit keeps as it is (the toolkit looks a
// value that starts with "=" up as the name of a UID, and leaves it out when it knows none).
bool isPlainUid(const std::optional<std::string>& uid) {
    return uid && !uid->empty() && *uid != "." && *uid != ".." && uid->front() != '=' &&
           std::all_of(uid->begin(), uid->end(),
                       [](char c) { return c > ' ' && c < 0x7f && c != '/' && c != '\\'; });
}

std::string archiveDirInMemory(const SampleSpec& sample) {
    DcmDataset dataset;
    if (sample.studyDate)
        dataset.putAndInsertString(DCM_StudyDate, sample.studyDate->c_str());
    if (sample.birthDate)
        dataset.putAndInsertString(DCM_PatientBirthDate, sample.birthDate->c_str());
    return DicomParser::archiveDirOf(dataset);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool prepared = (prepareToolkit(), true);
    (void)prepared;
    static MemoryFile file("attributes");
    if (size == 0)
        return 0;
    static const E_TransferSyntax kSyntaxes[] = {EXS_LittleEndianImplicit, EXS_LittleEndianExplicit,
                                                 EXS_BigEndianExplicit, EXS_LittleEndianExplicit};
    const std::vector<std::optional<std::string>> fields =
        fieldsOf(data[0], bytesOf(data + 1, size - 1));
    SampleSpec sample;
    sample.studyInstanceUID = fields[0];
    sample.sopInstanceUID = fields[1];
    sample.sopClassUID = fields[2];
    sample.studyDate = fields[3];
    sample.birthDate = fields[4];
    sample.transferSyntax = kSyntaxes[data[0] & 3];
    sample.metaHeader = (data[0] & 4) == 0;
    const std::string& path = file.hold(nullptr, 0);
    if (writeSampleFile(sample, path).bad())
        return 0;

    DicomParser parser(path);
    const bool plain = isPlainUid(fields[0]) && isPlainUid(fields[1]) && isPlainUid(fields[2]);
    if (plain)
        FUZZ_CHECK(parser.good());
    if (parser.good()) {
        FUZZ_CHECK(fields[0] && fields[1] && fields[2]);
        FUZZ_CHECK(parser.getArchiveDir() == archiveDirInMemory(sample));
    }
    if (plain && parser.good())
        FUZZ_CHECK(parser.getStudyInstanceUID() == *fields[0]);
    return 0;
}
