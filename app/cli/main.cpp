// salvitra-cli: the command-line front end.  All logic lives in the driver;
// this file parses arguments and prints.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "inventory.h"
#include "text.h"

using namespace salvitra;

namespace {

const char *kUsage =
    "usage: salvitra-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  devices [--image FILE]... [--json]   list devices and their partitions\n"
    "\n"
    "Each partition is listed under the device that holds its table, as\n"
    "  [N] FILE-SYSTEM offset, size, volume name, description, access mode\n"
    "where N is the partition's number for the commands that scan or recover.\n"
    "\n"
    "Devices are /dev/disk0../dev/disk19: the images named with --image, else the\n"
    "entries disk0..disk19 of $SALVITRA_DISK_DIR, else the machine's whole disks.\n"
    "Devices are only ever opened read-only.\n";

struct Options {
    std::string command;
    std::vector<std::string> images;
    bool json = false;
};

bool parseArgs(int argc, char **argv, Options &o, std::string &err)
{
    if (argc < 2) {
        err = "no command given";
        return false;
    }
    o.command = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                err = a + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (a == "--json") {
            o.json = true;
        } else if (a == "--image") {
            std::string v;
            if (!value(v))
                return false;
            o.images.push_back(v);
        } else if (a.rfind("--image=", 0) == 0) {
            o.images.push_back(a.substr(8));
        } else {
            err = "unknown option " + a;
            return false;
        }
    }
    return true;
}

void printDevicesText(const Inventory &inv)
{
    if (inv.devices().empty()) {
        printf("No devices found.\n");
        return;
    }
    for (const DeviceInfo &d : inv.devices()) {
        printf("disk%d  %s\n", d.devNum, d.name.empty() ? "(no name)" : d.name.c_str());
        printf("    path %s, %s (%llu bytes), sector size %d\n", d.path.c_str(),
               humanSize(d.size).c_str(), (unsigned long long)d.size, d.sectorSize);
        int shown = 0;
        for (const PartitionInfo &p : inv.partitions()) {
            if (p.devNum == d.devNum) {
                printf("    [%d] %-7s offset %llu, size %s (%llu bytes), name \"%s\", info \"%s\", "
                       "access '%c'",
                       p.index, p.fsLabel.c_str(), (unsigned long long)p.offset,
                       humanSize(p.size).c_str(), (unsigned long long)p.size,
                       p.volumeName.c_str(), p.fsInfo.c_str(), p.accessMode);
                if (p.viaDevNum >= 0)
                    printf(" (read through disk%d)", p.viaDevNum);
                printf("\n");
                shown++;
            } else if (p.viaDevNum == d.devNum) {
                printf("    holds partition [%d] of disk%d\n", p.index, p.devNum);
                shown++;
            }
        }
        if (shown == 0)
            printf("    no recognised partitions\n");
    }
}

void printDevicesJson(const Inventory &inv)
{
    printf("[");
    bool firstDev = true;
    for (const DeviceInfo &d : inv.devices()) {
        printf("%s\n  {\"devNum\": %d, \"devName\": %s, \"devPath\": %s, \"size\": %llu, "
               "\"sectorSize\": %d, \"partitions\": [",
               firstDev ? "" : ",", d.devNum, jsonString(d.name).c_str(),
               jsonString(d.path).c_str(), (unsigned long long)d.size, d.sectorSize);
        firstDev = false;
        bool firstPart = true;
        for (const PartitionInfo &p : inv.partitions()) {
            if (p.devNum != d.devNum)
                continue;
            printf("%s\n    {\"index\": %d, \"offset\": %llu, \"size\": %llu, \"fsType\": %d, "
                   "\"fsLabel\": %s, \"fsInfo\": %s, \"volumeName\": %s, \"accessMode\": %s, "
                   "\"viaDevNum\": %d, \"bootable\": %s}",
                   firstPart ? "" : ",", p.index, (unsigned long long)p.offset,
                   (unsigned long long)p.size, p.fsType, jsonString(p.fsLabel).c_str(),
                   jsonString(p.fsInfo).c_str(), jsonString(p.volumeName).c_str(),
                   jsonString(std::string(1, p.accessMode)).c_str(), p.viaDevNum,
                   p.bootable ? "true" : "false");
            firstPart = false;
        }
        printf("%s]}", firstPart ? "" : "\n  ");
    }
    printf("%s]\n", firstDev ? "" : "\n");
}

int cmdDevices(const Options &o)
{
    Inventory inv;
    std::string err;
    if (!inv.build(o.images, &err)) {
        fprintf(stderr, "salvitra-cli: %s\n", err.c_str());
        return 1;
    }
    if (o.json)
        printDevicesJson(inv);
    else
        printDevicesText(inv);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    Options o;
    std::string err;
    if (!parseArgs(argc, argv, o, err)) {
        fprintf(stderr, "salvitra-cli: %s\n%s", err.c_str(), kUsage);
        return 2;
    }
    if (o.command == "devices")
        return cmdDevices(o);
    fprintf(stderr, "salvitra-cli: unknown command '%s'\n%s", o.command.c_str(), kUsage);
    return 2;
}
