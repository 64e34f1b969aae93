// The sub-commands of salvor-cli and their options.
#pragma once

#include <string>
#include <vector>

namespace salvor::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitPartial = 3;  // some file failed or was skipped
constexpr int kExitSource = 2;   // the source or the target cannot be used
constexpr int kExitUsage = 64;

struct DevicesOptions {
    bool json = false;
    std::vector<std::string> images;
};

int run_devices(const DevicesOptions& options);

} // namespace salvor::cli
