// libFuzzer harness over the end-finders: the first input byte picks one,
// the rest is the volume it decodes from offset 0. Whatever the bytes, a
// finder must return without crashing and never claim a file larger than
// the volume; the whole-volume scan runs over the same bytes too.
#include "formats.h"
#include "scanner.h"

#include <memory_volume.h>

#include <cstdlib>

namespace {

using Finder = carvex::Found (*)(carvex::Source&, uint64_t);
const Finder kFinders[] = {
    carvex::find_jpg, carvex::find_png, carvex::find_gif, carvex::find_bmp, carvex::find_tif, carvex::find_ico,
    carvex::find_mp3, carvex::find_flac, carvex::find_ogg, carvex::find_mid, carvex::find_riff, carvex::find_asf,
    carvex::find_isobmff, carvex::find_ebml, carvex::find_flv, carvex::find_mpg, carvex::find_pdf, carvex::find_zip,
    carvex::find_ole, carvex::find_rtf, carvex::find_gz, carvex::find_7z, carvex::find_rar, carvex::find_pe,
    carvex::find_sqlite, carvex::find_markup,
};
constexpr size_t kCount = sizeof kFinders / sizeof kFinders[0];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    salvor_test::MemoryVolume vol(std::vector<uint8_t>(data + 1, data + size));
    carvex::Source src(vol.reader(), size - 1, carvex::Source::kOverlap);
    carvex::Found f = kFinders[data[0] % kCount](src, 0);
    if (f && f.size > size - 1)
        std::abort();
    if (data[0] >= 0xF0) {
        carvex::ScanResult result;
        carvex::scan(src, result, [](int32_t) { return true; });
        for (auto& item : result.items)
            if (item.offset % 512 || item.offset + item.size > size - 1)
                std::abort();
    }
    return 0;
}
