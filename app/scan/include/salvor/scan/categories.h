// File-type categories of Raw Recovery.
#pragma once

#include <salvor/scan/session.h>

#include <string>

namespace salvor {

// The tests lower the type first and look it up as a whole extension of the
// category's list.
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
