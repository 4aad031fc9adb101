// makestudy: makes a made-up study of DICOM files to try dcmrelocate on.
//
//   makestudy [-n count] [-p size] directory
//
// Without options it writes a small demonstration study: CT images in the directory and in a
// sub-directory "series2", an MR image and one text file that is no DICOM file. With -n it
// writes `count` CT files of one study into the directory, each with a size x size image of
// 16-bit pixels when -p is given.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <dcmtk/oflog/oflog.h>

#include "SampleFile.h"

namespace {

const std::string kStudyUID = std::string(kSampleUidRoot) + ".1";

SampleSpec image(const char* sopClass, int number, unsigned size) {
    SampleSpec sample;
    sample.studyInstanceUID = kStudyUID;
    sample.sopInstanceUID = kStudyUID + "." + std::to_string(number);
    sample.sopClassUID = sopClass;
    sample.studyDate = "20190412";
    sample.birthDate = "19800101";
    sample.patientName = "Sample^Patient";
    sample.rows = sample.columns = size;
    return sample;
}

bool write(const SampleSpec& sample, const std::string& path) {
    const OFCondition result = writeSampleFile(sample, path);
    if (result.bad()) {
        std::fprintf(stderr, "makestudy: cannot write %s: %s\n", path.c_str(), result.text());
    }
    return result.good();
}

bool writeDemoStudy(const std::string& dir) {
    const std::string series2 = dir + "/series2";
    mkdir(series2.c_str(), 0755);
    bool ok = true;
    for (int i = 1; i <= 3; ++i) {
        ok = write(image(kCtImageStorage, i, 16), dir + "/IMG" + std::to_string(i) + ".dcm") && ok;
    }
    ok = write(image(kCtImageStorage, 4, 16), series2 + "/IMG4.dcm") && ok;
    ok = write(image(kMrImageStorage, 5, 16), series2 + "/IMG5.dcm") && ok;
    FILE* text = std::fopen((dir + "/README.txt").c_str(), "w");
    if (text == nullptr) {
        return false;
    }
    std::fputs("Not a DICOM file: dcmrelocate skips it with a warning.\n", text);
    return std::fclose(text) == 0 && ok;
}

bool writeManyFiles(const std::string& dir, int count, unsigned size) {
    for (int i = 1; i <= count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/CT%06d.dcm", i);
        if (!write(image(kCtImageStorage, i, size), dir + name)) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    int count = 0;
    unsigned size = 0;
    int option;
    while ((option = getopt(argc, argv, "n:p:")) != -1) {
        switch (option) {
        case 'n':
            count = std::atoi(optarg);
            break;
        case 'p':
            size = static_cast<unsigned>(std::atoi(optarg));
            break;
        default:
            return 2;
        }
    }
    if (optind + 1 != argc || count < 0 || size > 65535) {
        std::fprintf(stderr, "Usage: makestudy [-n count] [-p size] directory\n");
        return 2;
    }
    const std::string dir = argv[optind];
    mkdir(dir.c_str(), 0755);
    const bool ok = count > 0 ? writeManyFiles(dir, count, size) : writeDemoStudy(dir);
    return ok ? 0 : 1;
}
