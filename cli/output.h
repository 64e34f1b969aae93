// How salvor-cli prints texts that come from disks and paths: JSON that never
// fails on bytes that are not UTF-8, and terminal lines that carry no raw
// control characters.
#pragma once

#include <salvor/scan/text.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <string>
#include <sys/stat.h>

namespace salvor::cli {

// Lowercase hex, two digits per byte.
inline std::string hex_bytes(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

// Sets `key` to `value`. A value that is not valid UTF-8 is stored with each
// invalid byte as U+FFFD (by dump_json) and its exact bytes follow as
// `key` + "_hex", so nothing is lost.
inline void put_text(nlohmann::ordered_json& object, const std::string& key, const std::string& value)
{
    object[key] = value;
    if (!IsValidUtf8(value))
        object[key + "_hex"] = hex_bytes(value);
}

// One line of JSON; never throws on invalid UTF-8 (put_text saved the bytes).
inline std::string dump_json(const nlohmann::ordered_json& value)
{
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A text from a disk or a path as one visible terminal line.
inline std::string shown(const std::string& text) { return EscapedText(text); }

// What kind of file `st` is, for a refusal: "a FIFO", "a directory", ...
inline const char* file_kind(const struct stat& st)
{
    if (S_ISDIR(st.st_mode))
        return "a directory";
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    if (S_ISCHR(st.st_mode))
        return "a character device";
    if (S_ISBLK(st.st_mode))
        return "a block device";
    if (S_ISREG(st.st_mode))
        return "a regular file";
    return "not a regular file";
}

// The reason a source or disk could not be opened with error `err`: a file
// of a kind that cannot be read as a disk (a FIFO, a socket, a terminal) is
// named as such instead of a bare "Invalid argument".
inline std::string open_error_text(const std::string& path, int err)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return std::string("it is ") + file_kind(st) + ", not a disk, a partition or an image file";
    return std::strerror(err);
}

} // namespace salvor::cli
