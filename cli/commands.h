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

struct JobOptions {
    std::string mode;                 // deleted | format | raw
    std::string fs = "ntfs";          // format: fat12 | fat16 | fat32 | ntfs
    std::string types;                // raw: photo,music,video,others (empty: all)
    int volume = -1;                  // --volume N
    std::string source;
    std::vector<std::string> sources; // as given: one source, or the members of --raid
    std::string raid;                 // --raid LEVEL:LAYOUT:STRIPE:FIRST | auto
    bool json = false;
    std::string target;               // recover: --to
    std::vector<std::string> selects; // recover: --select
};

int run_scan(const JobOptions& options);

struct PartitionOptions {
    std::string action; // search | rebuild | backup | restore
    std::string disk;
    std::string file;   // backup, restore
    bool json = false;  // search
    bool yes = false;   // rebuild, restore
};

int run_partitions(const PartitionOptions& options);

struct RaidOptions {
    std::vector<std::string> members; // "missing" for a missing member
    int missing = -1;                 // --missing N: member N of the array is missing
    bool json = false;
};

int run_raid_detect(const RaidOptions& options);
int run_recover(const JobOptions& options);

} // namespace salvor::cli
