// Seams for the tests of the desktop program: when set, a hook stands in
// for a platform dialog that a test cannot drive (the folder browser and the
// open and save file dialogs). Unset in the program.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace salvor {

struct DialogHooks {
    // The folder browser of Recover: a path, or nullopt for Cancel.
    std::function<std::optional<std::string>()> folder;
    // The file dialogs of the partition page: `save` tells the save dialog
    // from the open dialog, `offered` is the path offered to the user.
    std::function<std::optional<std::string>(bool save, const std::string& offered)> file;
    // Opening a web page or the user guide: the address that would be opened.
    std::function<void(const std::string& url)> open_url;
};

inline DialogHooks& TestDialogHooks()
{
    static DialogHooks hooks;
    return hooks;
}

} // namespace salvor
