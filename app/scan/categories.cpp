// File-type categories of Raw Recovery: extension lists and their tests.
#include <salvor/scan/categories.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

namespace salvor {

namespace {

// Each list is a run of dot-delimited groups; a type matches when it equals
// one whole extension of a group.
constexpr std::array<std::string_view, 7> kPhotoGroups = {
    ".bmp.rle.dib.", ".gif.", ".tif.tiff.", ".jpeg.jpg.jpe.", ".png.", ".ico.icon.", ".exif.",
};
constexpr std::array<std::string_view, 13> kMusicGroups = {
    ".mp1.mp2.mp3.", ".wma.wav.", ".ogg.", ".m4a.", ".aac.aa.ape.", ".flac.fla.", ".mpc.mp+.",
    ".aif.aifc.aiff.", ".mid.midi.rmi.", ".snd.", ".au.", ".ac3.a52.", ".dts.dtswav.",
};
constexpr std::array<std::string_view, 13> kVideoGroups = {
    ".asf.wm.wmp.wmv.wma.",
    ".ram.rm.rmvb.rpm.scm.ra.realpix.",
    ".dat.evo.",
    ".mov.qt.air.aiff.3g2.3gp.3gp2.3gpp.amr.",
    ".amv.avi.bik.csf.d2v.dsm.dsv.ivf.",
    ".m1v.m2p.m2ts.m2v.m4b.m4p.m4v.mkv.mp4.",
    ".mpe.mpeg.mpg.",
    ".mts.ogm.pmp.pmp2.",
    ".pss.pva.ratdvd.smk.tp.tpr.ts.",
    ".vg2.vid.vob.vp6.wv.",
    ".asm.avsts.",
    ".divx.",
    ".flv.flic.fli.flc.",
};

std::string lower(const std::string& s)
{
    std::string out = s;
    for (char& c : out)
        c = char(std::tolower(uint8_t(c)));
    return out;
}

template <size_t N>
bool in_list(const std::array<std::string_view, N>& groups, const std::string& type)
{
    const std::string t = lower(type);
    // A type that is empty or holds a dot could match across entries.
    if (t.empty() || t.find('.') != std::string::npos)
        return false;
    for (std::string_view g : groups) {
        size_t pos = 0;
        while (pos < g.size()) {
            size_t next = g.find('.', pos + 1);
            if (next == std::string_view::npos)
                break;
            if (g.substr(pos + 1, next - pos - 1) == t)
                return true;
            pos = next;
        }
    }
    return false;
}

} // namespace

bool IsPhotoType(const std::string& type)
{
    return in_list(kPhotoGroups, type);
}

bool IsMusicType(const RawSelection& raw, const std::string& type)
{
    return raw.music && in_list(kMusicGroups, type);
}

bool IsVideoType(const RawSelection& raw, const std::string& type)
{
    return raw.video && in_list(kVideoGroups, type);
}

bool IsOtherType(const RawSelection& raw, const std::string& type)
{
    return raw.others && !IsPhotoType(type) && !IsMusicType(raw, type) && !IsVideoType(raw, type);
}

bool IsKnownType(const RawSelection& raw, const std::string& type)
{
    return IsMusicType(raw, type) || IsPhotoType(type) || IsVideoType(raw, type) || IsOtherType(raw, type);
}

int CategoryOfType(const RawSelection& raw, const std::string& type)
{
    if (IsPhotoType(type))
        return raw.photo ? kPhoto : -1;
    if (IsMusicType(raw, type))
        return kMusic;
    if (IsVideoType(raw, type))
        return kVideo;
    if (IsOtherType(raw, type))
        return kOthers;
    return -1;
}

const char* CategoryName(int category)
{
    switch (category) {
    case kPhoto: return "PHOTO";
    case kMusic: return "MUSIC";
    case kVideo: return "VIDEO";
    case kOthers: return "OTHERS";
    default: return "";
    }
}

bool IsFileSystemType(const std::string& type)
{
    // Compared without regard to case: the carving library reports lower-case names.
    std::string t = type;
    for (char& c : t)
        c = char(std::toupper(uint8_t(c)));
    return t.compare(0, 3, "FAT") == 0 || t.compare(0, 4, "NTFS") == 0;
}

} // namespace salvor
