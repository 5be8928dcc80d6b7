#!/usr/bin/python3
"""The conversion a user would script with pydicom and Pillow, picture by picture.

    pydicom_convert.py JOBS.tsv OUTDIR

Each line of JOBS.tsv (tab-separated, with a header) names a picture and its patient, study and
series. The picture is loaded with Pillow, made grey when its category says so (grey==1),
wrapped into a Secondary Capture object and written as Deflated Explicit VR Little Endian
(pydicom deflates with zlib at its default level 6) to OUTDIR/<name>.dcm.
"""

import csv
import os
import sys

from PIL import Image
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import DeflatedExplicitVRLittleEndian, PYDICOM_IMPLEMENTATION_UID

SECONDARY_CAPTURE = "1.2.840.10008.5.1.4.1.1.7"


def convert(job, out_folder):
    image = Image.open(job["file"])
    image = image.convert("L" if job["grey"] == "1" else "RGB")

    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = SECONDARY_CAPTURE
    meta.MediaStorageSOPInstanceUID = job["sop_uid"]
    meta.TransferSyntaxUID = DeflatedExplicitVRLittleEndian
    meta.ImplementationClassUID = PYDICOM_IMPLEMENTATION_UID

    path = os.path.join(out_folder, os.path.splitext(os.path.basename(job["file"]))[0] + ".dcm")
    ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = SECONDARY_CAPTURE
    ds.SOPInstanceUID = job["sop_uid"]
    ds.PatientName = job["patient_name"]
    ds.PatientID = job["patient_id"]
    ds.PatientBirthDate = job["birth_date"]
    ds.PatientSex = job["sex"]
    ds.StudyInstanceUID = job["study_uid"]
    ds.SeriesInstanceUID = job["series_uid"]
    ds.StudyDate = ds.SeriesDate = ds.ContentDate = job["date"]
    ds.StudyTime = ds.ContentTime = "000000"
    ds.StudyDescription = job["description"]
    ds.Modality = "OT"
    ds.ConversionType = "WSD"
    ds.ImageType = ["DERIVED", "SECONDARY"]
    ds.InstanceNumber = job["instance"]
    ds.Rows = image.height
    ds.Columns = image.width
    ds.BitsAllocated = 8
    ds.BitsStored = 8
    ds.HighBit = 7
    ds.PixelRepresentation = 0
    if image.mode == "L":
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = "MONOCHROME2"
    else:
        ds.SamplesPerPixel = 3
        ds.PhotometricInterpretation = "RGB"
        ds.PlanarConfiguration = 0
    ds.PixelData = image.tobytes()
    ds.save_as(path, write_like_original=False)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: pydicom_convert.py JOBS.tsv OUTDIR")
    os.makedirs(sys.argv[2], exist_ok=True)
    with open(sys.argv[1], newline="") as f:
        for job in csv.DictReader(f, delimiter="\t"):
            convert(job, sys.argv[2])


if __name__ == "__main__":
    main()
