// Sample files for the carving tests: small files of the simpler formats
// built here byte by byte, the real media files of tools/fixtures, and a
// builder that lays files out on an in-memory volume at sector boundaries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace carvex_test {

using Bytes = std::vector<uint8_t>;

struct Sample {
    std::string name;
    std::string type; // the type name the scan must report
    Bytes bytes;
};

// CRC-32 (bit by bit, independent of the library's tables).
uint32_t crc32(const uint8_t* p, size_t n);

Bytes make_midi();
Bytes make_rtf();
Bytes make_rtf_with_binary();
Bytes make_html();
Bytes make_xml();
// A PDF with an incremental update (two %%EOF markers).
Bytes make_pdf();
// A PDF whose only stream holds `inner` starting at a 512-byte boundary.
Bytes make_pdf_with(const Bytes& inner);
// An OLE compound file with one stream of the given name (doc, xls, ppt).
Bytes make_ole(const std::string& stream, uint64_t seed);
Bytes make_pe(bool dll);
Bytes make_rar4();
Bytes make_rar5();
// A baseline JPEG skeleton (SOF, SOS, stuffed entropy data, EOI).
Bytes make_jpeg_like(uint64_t seed);

std::vector<Sample> hand_made_samples();

// Runs tools/fixtures/carvex-media.sh into `dir` and loads what it made, with
// the type each file must be reported as. Empty (and the test failed) when
// the fixture could not run.
std::vector<Sample> tool_made_samples(const std::filesystem::path& dir, int variant = 0);

// A volume image: each file at a 512-byte boundary, random bytes before,
// between and after them. Records where each file went.
struct Layout {
    Bytes image;
    std::vector<uint64_t> offsets;
};
Layout lay_out(const std::vector<Sample>& samples, uint64_t seed);

} // namespace carvex_test
