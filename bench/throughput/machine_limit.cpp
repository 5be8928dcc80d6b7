// The least processor time any converter needs for the throughput corpus: decoding every picture
// (libjpeg-turbo, libtiff, plain BMP rows) plus deflating the raw pixel bytes each object holds
// (RGB for photographs, one byte a pixel for the grey scans) with the engine the deflated writer
// uses, ISA-L at the given level.
//
//   b2d_throughput_limit CORPUS_DIR [LEVEL]     (LEVEL 1 to 3, default 2)
//
// Reads CORPUS_DIR/manifest.tsv (made by bench/throughput/make_corpus.py) and prints key=value
// lines for bench/throughput/run. Each file is read into memory before its clock starts, so disk
// time is left out; the best of three passes counts.

#include "DeflateEngines.h"

#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Picture {
    std::string path;
};

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool endsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

void decodeJpeg(const std::vector<uint8_t>& file, std::vector<uint8_t>& pixels)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr); // errors end the program: the corpus is ours
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = TRUE;
    jpeg_start_decompress(&cinfo);
    const size_t stride = size_t(cinfo.output_width) * cinfo.output_components;
    pixels.resize(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

// libtiff reads from memory through these; the file was loaded before the clock started.
struct MemoryTiff {
    const std::vector<uint8_t>* data;
    toff_t at = 0;
};

tmsize_t tiffRead(thandle_t h, void* buffer, tmsize_t size)
{
    auto* m = static_cast<MemoryTiff*>(h);
    const tmsize_t n = std::min<tmsize_t>(size, tmsize_t(m->data->size() - std::min<size_t>(m->at, m->data->size())));
    if (n > 0)
        std::memcpy(buffer, m->data->data() + m->at, size_t(n));
    m->at += toff_t(std::max<tmsize_t>(n, 0));
    return n;
}
tmsize_t tiffWrite(thandle_t, void*, tmsize_t) { return 0; }
toff_t tiffSeek(thandle_t h, toff_t offset, int whence)
{
    auto* m = static_cast<MemoryTiff*>(h);
    if (whence == SEEK_SET)
        m->at = offset;
    else if (whence == SEEK_CUR)
        m->at += offset;
    else
        m->at = toff_t(m->data->size()) + offset;
    return m->at;
}
int tiffClose(thandle_t) { return 0; }
toff_t tiffSize(thandle_t h) { return toff_t(static_cast<MemoryTiff*>(h)->data->size()); }
int tiffMap(thandle_t, void**, toff_t*) { return 0; }
void tiffUnmap(thandle_t, void*, toff_t) {}

void decodeGreyTiff(const std::vector<uint8_t>& file, std::vector<uint8_t>& pixels)
{
    MemoryTiff memory{&file};
    TIFF* tif = TIFFClientOpen("corpus", "rm", &memory, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize, tiffMap,
                               tiffUnmap);
    if (tif == nullptr)
        throw std::runtime_error("libtiff cannot open a scan");
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bits = 8;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    if (samples != 1 || bits != 8) {
        TIFFClose(tif);
        throw std::runtime_error("the corpus scans are 8-bit grey TIFFs");
    }
    pixels.resize(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        if (TIFFReadScanline(tif, pixels.data() + size_t(y) * width, y) < 0) {
            TIFFClose(tif);
            throw std::runtime_error("libtiff cannot read a scan");
        }
    TIFFClose(tif);
}

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// An uncompressed 8-bit palette BMP into grey bytes, rows from the top.
void decodeGreyBmp(const std::vector<uint8_t>& file, std::vector<uint8_t>& pixels)
{
    if (file.size() < 54 || file[0] != 'B' || file[1] != 'M')
        throw std::runtime_error("not a BMP");
    const uint32_t offset = le32(&file[10]);
    const uint32_t header = le32(&file[14]);
    const int32_t width = int32_t(le32(&file[18]));
    const int32_t rawHeight = int32_t(le32(&file[22]));
    const int bits = file[28] | file[29] << 8;
    if (bits != 8 || le32(&file[30]) != 0 || width <= 0)
        throw std::runtime_error("the corpus BMP scans are uncompressed 8-bit");
    const uint8_t* palette = file.data() + 14 + header;
    const bool bottomUp = rawHeight > 0;
    const int32_t height = bottomUp ? rawHeight : -rawHeight;
    const size_t stride = (size_t(width) + 3) & ~size_t(3);
    if (offset + stride * size_t(height) > file.size())
        throw std::runtime_error("a BMP scan is cut short");
    pixels.resize(size_t(width) * size_t(height));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* in = file.data() + offset + stride * size_t(bottomUp ? height - 1 - y : y);
        uint8_t* out = pixels.data() + size_t(y) * size_t(width);
        for (int32_t x = 0; x < width; ++x)
            out[x] = palette[size_t(in[x]) * 4 + 1]; // a grey palette: blue = green = red
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: b2d_throughput_limit CORPUS_DIR [LEVEL]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int level = argc > 2 ? std::atoi(argv[2]) : 2;
    if (level < 1 || level > 3) {
        std::fprintf(stderr, "b2d_throughput_limit: LEVEL is 1, 2 or 3\n");
        return 2;
    }
    try {
        std::ifstream manifest(folder + "/manifest.tsv");
        if (!manifest)
            throw std::runtime_error("no manifest.tsv in " + folder);
        std::vector<Picture> pictures;
        std::string line;
        std::getline(manifest, line); // header
        while (std::getline(manifest, line)) {
            std::istringstream fields(line);
            std::string name;
            std::getline(fields, name, '\t');
            if (!name.empty())
                pictures.push_back({folder + "/" + name});
        }
        if (pictures.empty())
            throw std::runtime_error("the manifest lists no pictures");

        double bestDecode = 1e30, bestDeflate = 1e30;
        size_t rawBytes = 0, deflatedBytes = 0;
        std::vector<uint8_t> pixels, out;
        for (int pass = 0; pass < 3; ++pass) {
            double decode = 0, deflate = 0;
            rawBytes = deflatedBytes = 0;
            for (const Picture& p : pictures) {
                const std::vector<uint8_t> file = readFile(p.path);
                double start = cpuSeconds();
                if (endsWith(p.path, ".jpg"))
                    decodeJpeg(file, pixels);
                else if (endsWith(p.path, ".tif"))
                    decodeGreyTiff(file, pixels);
                else if (endsWith(p.path, ".bmp"))
                    decodeGreyBmp(file, pixels);
                else
                    throw std::runtime_error("unknown picture type: " + p.path);
                decode += cpuSeconds() - start;
                rawBytes += pixels.size();
                start = cpuSeconds();
                deflatedBytes += b2d::bench::isalDeflate(pixels, out, level);
                deflate += cpuSeconds() - start;
            }
            bestDecode = std::min(bestDecode, decode);
            bestDeflate = std::min(bestDeflate, deflate);
        }
        std::printf("pictures=%zu\nraw_bytes=%zu\ndecode_cpu_s=%.4f\ndeflate_cpu_s=%.4f\ndeflated_bytes=%zu\n"
                    "engine=ISA-L level %d\n",
                    pictures.size(), rawBytes, bestDecode, bestDeflate, deflatedBytes, level);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "b2d_throughput_limit: %s\n", e.what());
        return 1;
    }
    return 0;
}
