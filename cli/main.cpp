// salvor-cli: the recovery jobs of salvor from the command line.
#include "commands.h"

#include <CLI/CLI.hpp>

#include <salvor/scan/text.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace salvor::cli;

namespace {

// The first argument that is not an option names the command. CLI11 would
// only say that an unknown one "was not expected"; this names what exists.
std::string unknown_command(int argc, char** argv)
{
    static const std::vector<std::string> commands = {"devices", "scan", "recover", "partitions", "raid"};
    static const std::vector<std::string> actions = {"search", "rebuild", "backup", "restore"};
    const auto listed = [](const std::vector<std::string>& names) {
        std::string out;
        for (const auto& n : names)
            out += (out.empty() ? "" : ", ") + n;
        return out;
    };
    int i = 1;
    while (i < argc && argv[i][0] == '-')
        ++i;
    if (i >= argc)
        return {};
    const std::string command = argv[i];
    if (std::find(commands.begin(), commands.end(), command) == commands.end())
        return "unknown command '" + salvor::EscapedText(command) + "' (commands: " + listed(commands) + ")";
    if (command == "raid") {
        for (++i; i < argc && argv[i][0] == '-';)
            ++i;
        if (i < argc && std::string(argv[i]) != "detect")
            return "unknown raid command '" + salvor::EscapedText(argv[i]) + "' (commands: detect)";
        return {};
    }
    if (command != "partitions")
        return {};
    for (++i; i < argc && argv[i][0] == '-';)
        ++i;
    if (i < argc && std::find(actions.begin(), actions.end(), std::string(argv[i])) == actions.end())
        return "unknown partitions command '" + salvor::EscapedText(argv[i]) + "' (commands: " + listed(actions) +
               ")";
    return {};
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"salvor-cli: recover deleted, formatted and carved files from disks and images"};
    app.require_subcommand(1);

    DevicesOptions devices;
    auto* dev_cmd = app.add_subcommand("devices", "list the disks and volumes (real disks plus the named images)");
    dev_cmd->add_flag("--json", devices.json, "print one JSON object");
    dev_cmd->add_option("IMAGE", devices.images, "disk or file-system image files");

    JobOptions scan;
    auto* scan_cmd = app.add_subcommand("scan", "scan a volume and list what can be recovered");
    JobOptions recover;
    auto* rec_cmd = app.add_subcommand("recover", "scan a volume and write the found files to a folder");
    for (auto [cmd, opts] : {std::pair{scan_cmd, &scan}, std::pair{rec_cmd, &recover}}) {
        cmd->add_option("MODE", opts->mode, "deleted | format | raw")->required();
        cmd->add_option("SOURCE", opts->sources,
                        "volume device, file-system image or disk image; with --raid the member images in "
                        "column order ('missing' for a missing member, IMAGE@SECTOR for data from that sector on)")
            ->required();
        cmd->add_option("--raid", opts->raid,
                        "assemble the SOURCE members into one volume: LEVEL (0 striping, 1 RAID 5):LAYOUT "
                        "(0-5 parity rotation, 6 none):STRIPE (sectors):FIRST (sector of the data on each member), or auto "
                        "(the first layout 'raid detect' finds; members in any order)");
        cmd->add_option("--fs", opts->fs, "format: fat12 | fat16 | fat32 | ntfs (default ntfs)");
        cmd->add_option("--types", opts->types, "raw: any of photo,music,video,others (default all)");
        cmd->add_option("--volume", opts->volume, "the N-th volume (from 0) of a whole-disk image or disk")
            ->check(CLI::Validator(
                [](std::string& value) -> std::string {
                    const bool digits = !value.empty() && value.size() <= 9 &&
                                        value.find_first_not_of("0123456789") == std::string::npos;
                    return digits ? std::string() : std::string("--volume takes a number from 0");
                },
                "N"));
        cmd->add_flag("--json", opts->json, "print one JSON object");
    }
    rec_cmd->add_option("--to", recover.target, "folder to write the recovered files into")->required();
    rec_cmd->add_option("--select", recover.selects, "only files at or under this tree path (repeatable)");

    PartitionOptions parts;
    auto* part_cmd = app.add_subcommand("partitions", "search, rebuild, back up or restore a disk's partition tables");
    part_cmd->require_subcommand(1);
    auto* p_search = part_cmd->add_subcommand("search", "list the FAT and NTFS volumes found on the disk");
    p_search->add_option("DISK", parts.disk, "disk device or whole-disk image")->required();
    p_search->add_flag("--json", parts.json, "print one JSON object");
    auto* p_rebuild = part_cmd->add_subcommand("rebuild", "write a partition table for the volumes found");
    p_rebuild->add_option("DISK", parts.disk, "disk device or whole-disk image")->required();
    p_rebuild->add_flag("--yes", parts.yes, "really write (the current tables are saved first)");
    auto* p_backup = part_cmd->add_subcommand("backup", "save the disk's partition tables to a new file");
    p_backup->add_option("DISK", parts.disk, "disk device or whole-disk image")->required();
    p_backup->add_option("FILE", parts.file, "backup file to create")->required();
    auto* p_restore = part_cmd->add_subcommand("restore", "write the tables of a backup file back to the disk");
    p_restore->add_option("DISK", parts.disk, "disk device or whole-disk image")->required();
    p_restore->add_option("FILE", parts.file, "backup file")->required();
    p_restore->add_flag("--yes", parts.yes, "really write (the current tables are saved first)");

    RaidOptions raid;
    auto* raid_cmd = app.add_subcommand("raid", "the layout of a striped or RAID-5 array of member disks");
    raid_cmd->require_subcommand(1);
    auto* r_detect = raid_cmd->add_subcommand("detect", "list the layouts the members may have");
    r_detect->add_option("MEMBER", raid.members, "member disks or images in any order ('missing' for a missing one)")
        ->required();
    r_detect->add_option("--missing", raid.missing, "member N (from 0) of the array is missing")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                const bool digits = !value.empty() && value.size() <= 2 &&
                                    value.find_first_not_of("0123456789") == std::string::npos;
                return digits ? std::string() : std::string("--missing takes a member number from 0");
            },
            "N"));
    r_detect->add_flag("--json", raid.json, "print one JSON object");

    if (const std::string unknown = unknown_command(argc, argv); !unknown.empty()) {
        std::fprintf(stderr, "salvor-cli: %s\n", unknown.c_str());
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ValidationError& e) {
        // Our validators give the whole sentence ("--volume takes ..."):
        // shown without CLI11's "--volume: " in front.
        std::string text = e.what();
        if (const size_t sep = text.find(": --"); sep != std::string::npos)
            text = text.substr(sep + 2);
        std::fprintf(stderr, "salvor-cli: %s\n", text.c_str());
        return kExitUsage;
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    if (dev_cmd->parsed())
        return run_devices(devices);
    for (JobOptions* o : {&scan, &recover}) {
        if (o->raid.empty() && o->sources.size() > 1) {
            std::fprintf(stderr, "salvor-cli: one SOURCE, or the members of an array with --raid\n");
            return kExitUsage;
        }
        if (!o->sources.empty())
            o->source = o->sources.front();
        if (!o->raid.empty()) {
            // Named in messages and listings as the array of its members.
            o->source = "raid " + o->raid + ":";
            for (const auto& m : o->sources)
                o->source += " " + m;
        }
    }
    if (scan_cmd->parsed())
        return run_scan(scan);
    if (rec_cmd->parsed())
        return run_recover(recover);
    if (r_detect->parsed())
        return run_raid_detect(raid);
    for (auto* sub : {p_search, p_rebuild, p_backup, p_restore}) {
        if (sub->parsed()) {
            parts.action = sub->get_name();
            return run_partitions(parts);
        }
    }
    return kExitUsage;
}
