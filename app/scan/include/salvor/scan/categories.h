// File-type categories of Raw Recovery.
#pragma once

#include <salvor/scan/session.h>

#include <string>

namespace salvor {

// Each type name has one category, the carving library's (compared without
// regard to case, whole names only). Music and video types count only while
// their category is enabled; a type that is not a photo and not an enabled
// music or video type is an "other" one while Others is enabled.
bool IsPhotoType(const std::string& type);
bool IsMusicType(const RawSelection& raw, const std::string& type);
bool IsVideoType(const RawSelection& raw, const std::string& type);
bool IsOtherType(const RawSelection& raw, const std::string& type);
bool IsKnownType(const RawSelection& raw, const std::string& type);

// The category that shows a type (kPhoto ... kOthers), or -1 when no enabled
// category takes it. Photo types go under PHOTO only when Photo is enabled.
int CategoryOfType(const RawSelection& raw, const std::string& type);

// Category node texts: "PHOTO", "MUSIC", "VIDEO", "OTHERS".
const char* CategoryName(int category);

// Types the carving library reports for file-system structures, never shown.
bool IsFileSystemType(const std::string& type);

} // namespace salvor
