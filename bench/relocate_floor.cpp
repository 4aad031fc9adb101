// relocate_floor: the least work any relocation built on the DICOM toolkit does per file, as the
// baseline that the benchmark compares dcmrelocate with.
//
//   relocate_floor sourceDir targetDir
//
// For each regular file directly in sourceDir: one loadFile with default arguments (values over
// 4096 bytes, such as pixel data, stay on disk), the three UIDs and the two dates looked up, and
// one rename to targetDir/<modality>.<SOP Instance UID>. No output per file; the exit status is
// 1 when the source cannot be read or a file could not be parsed or moved.

#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/oflog/oflog.h>

namespace {

bool relocateFile(const std::string& path, const std::string& targetDir) {
    DcmFileFormat fileFormat;
    if (fileFormat.loadFile(path.c_str()).bad()) {
        return false;
    }
    DcmDataset* dataset = fileFormat.getDataset();
    const char* studyInstanceUID = nullptr;
    const char* sopInstanceUID = nullptr;
    const char* sopClassUID = nullptr;
    OFString studyDate;
    OFString birthDate;
    dataset->findAndGetString(DCM_StudyInstanceUID, studyInstanceUID);
    dataset->findAndGetString(DCM_SOPInstanceUID, sopInstanceUID);
    dataset->findAndGetString(DCM_SOPClassUID, sopClassUID);
    dataset->findAndGetOFString(DCM_StudyDate, studyDate);
    dataset->findAndGetOFString(DCM_PatientBirthDate, birthDate);
    if (studyInstanceUID == nullptr || sopInstanceUID == nullptr || sopClassUID == nullptr) {
        return false;
    }
    const char* modality = dcmSOPClassUIDToModality(sopClassUID, "XX");
    const std::string target = targetDir + "/" + modality + "." + sopInstanceUID;
    return std::rename(path.c_str(), target.c_str()) == 0;
}

} // namespace

int main(int argc, char* argv[]) {
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    if (argc != 3) {
        std::fprintf(stderr, "Usage: relocate_floor sourceDir targetDir\n");
        return 2;
    }
    const std::string sourceDir = argv[1];
    const std::string targetDir = argv[2];
    DIR* handle = opendir(sourceDir.c_str());
    if (handle == nullptr) {
        std::perror(sourceDir.c_str());
        return 1;
    }
    int failed = 0;
    while (const struct dirent* entry = readdir(handle)) {
        const std::string path = sourceDir + "/" + entry->d_name;
        struct stat status;
        if (entry->d_type == DT_REG ||
            (entry->d_type == DT_UNKNOWN && stat(path.c_str(), &status) == 0 &&
             S_ISREG(status.st_mode))) {
            if (!relocateFile(path, targetDir)) {
                ++failed;
            }
        }
    }
    closedir(handle);
    if (failed != 0) {
        std::fprintf(stderr, "relocate_floor: %d files not moved\n", failed);
        return 1;
    }
    return 0;
}
