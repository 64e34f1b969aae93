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
    return kExitUsage;
}
