// salvor-cli: the recovery jobs of salvor from the command line.
#include "commands.h"

#include <CLI/CLI.hpp>

#include <cstdio>

using namespace salvor::cli;

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
        cmd->add_option("SOURCE", opts->source, "volume device, file-system image or disk image")->required();
        cmd->add_option("--fs", opts->fs, "format: fat12 | fat16 | fat32 | ntfs (default ntfs)");
        cmd->add_option("--types", opts->types, "raw: any of photo,music,video,others (default all)");
        cmd->add_option("--volume", opts->volume, "the N-th volume (from 0) of a whole-disk image or disk")
            ->check(CLI::NonNegativeNumber);
        cmd->add_flag("--json", opts->json, "print one JSON object");
    }
    rec_cmd->add_option("--to", recover.target, "folder to write the recovered files into")->required();
    rec_cmd->add_option("--select", recover.selects, "only files at or under this tree path (repeatable)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    if (dev_cmd->parsed())
        return run_devices(devices);
    if (scan_cmd->parsed())
        return run_scan(scan);
    if (rec_cmd->parsed())
        return run_recover(recover);
    return kExitUsage;
}
