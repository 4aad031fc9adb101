#include "SampleFile.h"

#include <vector>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcvrobow.h>

namespace {

// The value as the bytes of an element of VR UN, padded to even length as a UID or date would be.
void putAsUnknownVR(DcmDataset& dataset, const DcmTagKey& tag, std::string value) {
    if (value.size() % 2 != 0) {
        value += '\0';
    }
    auto* element = new DcmOtherByteOtherWord(DcmTag(tag, EVR_UN));
    element->putUint8Array(reinterpret_cast<const Uint8*>(value.data()),
                           static_cast<unsigned long>(value.size()));
    dataset.insert(element, OFTrue);
}

void putIfSet(DcmDataset& dataset, const DcmTagKey& tag, const std::optional<std::string>& value,
              bool unknownVR = false) {
    if (value && unknownVR) {
        putAsUnknownVR(dataset, tag, *value);
    } else if (value) {
        dataset.putAndInsertString(tag, value->c_str());
    }
}

// A 16-bit monochrome image with a gradient, so that the pixel data is not all zeros.
void putPixels(DcmDataset& dataset, unsigned rows, unsigned columns) {
    std::vector<Uint16> pixels(static_cast<size_t>(rows) * columns);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<Uint16>((i % columns + i / columns) & 0x0fff);
    }
    dataset.putAndInsertUint16(DCM_SamplesPerPixel, 1);
    dataset.putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    dataset.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(rows));
    dataset.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(columns));
    dataset.putAndInsertUint16(DCM_BitsAllocated, 16);
    dataset.putAndInsertUint16(DCM_BitsStored, 12);
    dataset.putAndInsertUint16(DCM_HighBit, 11);
    dataset.putAndInsertUint16(DCM_PixelRepresentation, 0);
    dataset.putAndInsertUint16Array(DCM_PixelData, pixels.data(),
                                    static_cast<unsigned long>(pixels.size()));
}

} // namespace

OFCondition writeSampleFile(const SampleSpec& sample, const std::string& path) {
    DcmFileFormat fileFormat;
    DcmDataset& dataset = *fileFormat.getDataset();
    const bool un = sample.attributesAsUnknownVR;
    putIfSet(dataset, DCM_SOPClassUID, sample.sopClassUID, un);
    putIfSet(dataset, DCM_SOPInstanceUID, sample.sopInstanceUID, un);
    putIfSet(dataset, DCM_StudyDate, sample.studyDate, un);
    putIfSet(dataset, DCM_PatientName, sample.patientName);
    putIfSet(dataset, DCM_PatientBirthDate, sample.birthDate, un);
    putIfSet(dataset, DCM_StudyInstanceUID, sample.studyInstanceUID, un);
    if (sample.rows != 0 && sample.columns != 0) {
        putPixels(dataset, sample.rows, sample.columns);
    }
    if (sample.metaHeader) {
        return fileFormat.saveFile(path.c_str(), sample.transferSyntax);
    }
    return dataset.saveFile(path.c_str(), sample.transferSyntax);
}
