#!/usr/bin/env bash
# DCMTK's command chain, picture by picture, as a user would run it without a converter of
# their own:
#   JPEG: img2dcm (JPEG kept encapsulated) -> dcmdjpeg (decoded to explicit VR little endian)
#         -> dcmconv +td (deflated, zlib level 6)
#   BMP:  img2dcm (8-bit grey BMP -> MONOCHROME2) -> dcmconv +td
#   TIFF: img2dcm reads no TIFF, so ImageMagick's convert first writes it as an uncompressed
#         8-bit grey-palette BMP (+dither -treedepth 8 keeps every grey level exact), then as BMP.
#
#   dcmtk_chain.sh JOBS.tsv OUTDIR TMPDIR
#
# JOBS.tsv is the same list pydicom_convert.py takes (no field may be empty: read would merge
# two tabs); objects go to OUTDIR/<name>.dcm.
set -euo pipefail

jobs=$1 out=$2 tmp=$3
mkdir -p "$out" "$tmp"

# The columns are looked up by name, so the list may gain columns.
header=$(head -n 1 "$jobs")
column() {
  local i=1 name
  for name in $header; do
    [ "$name" = "$1" ] && { echo "$i"; return; }
    i=$((i + 1))
  done
  echo "dcmtk_chain: no column $1 in $jobs" >&2
  exit 2
}
c_file=$(column file)
c_pid=$(column patient_id)
c_pname=$(column patient_name)
c_birth=$(column birth_date)
c_sex=$(column sex)
c_study=$(column study_uid)
c_series=$(column series_uid)
c_sop=$(column sop_uid)
c_date=$(column date)
c_instance=$(column instance)
c_description=$(column description)

tail -n +2 "$jobs" | while IFS=$'\t' read -r -a f; do
  file=${f[c_file - 1]}
  base=$(basename "${file%.*}")
  keys=(-k "PatientName=${f[c_pname - 1]}" -k "PatientID=${f[c_pid - 1]}" -k "PatientBirthDate=${f[c_birth - 1]}"
        -k "PatientSex=${f[c_sex - 1]}" -k "StudyInstanceUID=${f[c_study - 1]}"
        -k "SeriesInstanceUID=${f[c_series - 1]}" -k "SOPInstanceUID=${f[c_sop - 1]}"
        -k "StudyDate=${f[c_date - 1]}" -k "StudyTime=000000" -k "InstanceNumber=${f[c_instance - 1]}"
        -k "StudyDescription=${f[c_description - 1]}" -k "Modality=OT")
  case "${file,,}" in
    *.jpg | *.jpeg)
      img2dcm -q -i JPEG "${keys[@]}" "$file" "$tmp/$base.jpeg.dcm"
      dcmdjpeg -q "$tmp/$base.jpeg.dcm" "$tmp/$base.dcm"
      rm -f "$tmp/$base.jpeg.dcm"
      ;;
    *.tif | *.tiff)
      convert "$file" +dither -treedepth 8 -type Palette -compress None "BMP3:$tmp/$base.bmp"
      img2dcm -q -i BMP "${keys[@]}" "$tmp/$base.bmp" "$tmp/$base.dcm"
      rm -f "$tmp/$base.bmp"
      ;;
    *.bmp)
      img2dcm -q -i BMP "${keys[@]}" "$file" "$tmp/$base.dcm"
      ;;
    *)
      echo "dcmtk_chain: no chain for $file" >&2
      exit 2
      ;;
  esac
  dcmconv -q +td "$tmp/$base.dcm" "$out/$base.dcm"
  rm -f "$tmp/$base.dcm"
done
