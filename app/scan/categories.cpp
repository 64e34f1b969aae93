// File-type categories of Raw Recovery: the carving library's category of
// each type, and which enabled category shows it.
#include <salvor/scan/categories.h>

#include <carvex/carvex.h>

#include <cctype>

namespace salvor {

namespace {

// The carving library knows which kind of file each type name is. A name
// holding a NUL would be cut short there: it is no type.
int carved_category(const std::string& type)
{
    if (type.find('\0') != std::string::npos)
        return -1;
    return cx_type_category(type.c_str());
}

} // namespace

bool IsPhotoType(const std::string& type)
{
    return carved_category(type) == CX_CATEGORY_PHOTO;
}

bool IsMusicType(const RawSelection& raw, const std::string& type)
{
    return raw.music && carved_category(type) == CX_CATEGORY_MUSIC;
}

bool IsVideoType(const RawSelection& raw, const std::string& type)
{
    return raw.video && carved_category(type) == CX_CATEGORY_VIDEO;
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
