#include "image_tool.h"

#include <stdio.h>
#include <string.h>

#include "image_header.h"

const char kImageToolUsage[] =
    "usage: quillet-image [-o BYTES | -p N] [-f FORMAT] [-c FILE] [-n] [-q | -v] [-j N]\n"
    "                     [--output=json] IMAGE...\n"
    "       quillet-image [options] -d DOMAIN... | --all-domains [--connect URI]\n"
    "       quillet-image [-o BYTES | -p N] [-f FORMAT] [-c FILE] [-q | -v] [--output=json]\n"
    "                     --copy-to=FILE [--copy-format=FMT] [--overwrite] IMAGE\n"
    "       quillet-image --help | --version\n"
    "  IMAGE                 a file, or an NBD export: nbd://HOST[:PORT]/EXPORT,\n"
    "                        nbd+unix:///EXPORT?socket=PATH\n"
    "  -d, --domain=DOMAIN   every disk of this shut-off libvirt domain, each with\n"
    "                        the path and format its XML names (again for more)\n"
    "      --all-domains     every shut-off domain of the connection (the others\n"
    "                        are named and skipped)\n"
    "      --connect=URI     libvirt's connection (default: libvirt's own choice)\n"
    "  -o, --offset=BYTES    the NTFS or FAT volume starts at this byte (alone)\n"
    "  -p, --partition=N     the NTFS or FAT volume is partition N, numbered as Linux\n"
    "                        does (GPT 1 to 128; MBR 1 to 4 primary, 5 up logical);\n"
    "                        without -o or -p: every NTFS or FAT partition, or the\n"
    "                        volume at 0\n"
    "  -f, --format=FORMAT   raw, qcow2, vmdk, vhdx or vdi (default: from the header)\n"
    "  -c, --commands=FILE   list each TRIM command (first LBA, block count)\n"
    "  -n, --dry-run         punch no holes; say what would be sent\n"
    "  -q, --quiet           print errors only\n"
    "  -v, --verbose         also print the drive, the volume and the path taken\n"
    "  -j, --jobs=N          trim N images at once (default 1); output stays per image\n"
    "      --copy-to=FILE    leave IMAGE as it is; write a compact copy to FILE\n"
    "      --copy-format=FMT the copy's format: raw, qcow2, vmdk, vhdx or vdi\n"
    "                        (default: IMAGE's own)\n"
    "      --overwrite       the copy may replace an existing FILE\n"
    "      --output=FORMAT   human (the default) or json: one JSON document on stdout\n";

int ParseImageToolArguments(int argc, char **argv, ImageToolOptions *options, char *error,
                            uint32_t errorSize) {
    memset(options, 0, sizeof *options);
    const uint64_t kNotGiven = UINT64_MAX;  // above every offset allowed
    uint64_t offset = kNotGiven, partition = 0, failAt = 0, jobs = 1;
    ToolTexts domains = {options->domains, 0};
    const ToolOption kOptions[] = {
        {"--offset", 'o', kOptionNumber, &offset, 0, (uint64_t)INT64_MAX, "--offset needs a byte count"},
        {"--partition", 'p', kOptionNumber, &partition, 1, 256, "--partition needs a partition number as Linux numbers them (GPT 1 to 128; MBR 1 to 4 primary, 5 up logical)"},
        {"--format", 'f', kOptionText, &options->format, 0, 0, "--format needs one of raw, qcow2, vmdk, vhdx, vdi"},
        {"--domain", 'd', kOptionTexts, &domains, 0, kMostDomains, "--domain needs a libvirt domain's name"},
        {"--all-domains", 0, kOptionFlag, &options->allDomains, 0, 0, ""},
        {"--connect", 0, kOptionText, &options->connect, 0, 0, "--connect needs a libvirt URI"},
        {"--jobs", 'j', kOptionNumber, &jobs, 1, 64, "--jobs needs a number of images from 1 to 64"},
        {"--copy-to", 0, kOptionText, &options->copyTo, 0, 0, "--copy-to needs the copy's file name"},
        {"--copy-format", 0, kOptionText, &options->copyFormat, 0, 0, "--copy-format needs one of raw, qcow2, vmdk, vhdx, vdi"},
        {"--overwrite", 0, kOptionFlag, &options->overwrite, 0, 0, ""},
        {"--fail-at", 0, kOptionNumber, &failAt, 1, 0xFFFFFFFFu, "--fail-at needs a command number from 1"},
        {"--no-trim", 0, kOptionFlag, &options->noTrim, 0, 0, ""},
        {"--no-header-check", 0, kOptionFlag, &options->noHeaderCheck, 0, 0, ""},
        {"--wait-for", 0, kOptionText, &options->waitFor, 0, 0, "--wait-for needs a FIFO"},
        {"--kill-after-punches", 0, kOptionNumber, &options->killAfterPunches, 1, UINT64_MAX,
         "--kill-after-punches needs a count from 1"},
    };
    if (!ParseToolArguments(argc, argv, kOptions, sizeof kOptions / sizeof kOptions[0], "image", kOperandsOrNone, &options->common,
                            error, errorSize)) {
        return 0;
    }
    if (options->common.help || options->common.version) return 1;
    // A domain named twice would have its disks trimmed twice.
    for (int i = 0; i < domains.count; i++) {
        for (int j = 0; j < i; j++) {
            if (strcmp(options->domains[i], options->domains[j]) == 0) {
                snprintf(error, errorSize, "--domain %s given twice", options->domains[i]);
                return 0;
            }
        }
    }
    options->domainCount = domains.count;
    options->domain = domains.count > 0 ? options->domains[0] : 0;
    if (options->allDomains && (options->domain != 0 || options->common.operandCount > 0)) {
        snprintf(error, errorSize, "--all-domains takes every domain's disks, not %s",
                 options->domain != 0 ? "--domain as well" : options->common.operand);
        return 0;
    }
    if (options->allDomains && options->format != 0) {
        snprintf(error, errorSize, "--format and --all-domains exclude each other: the domains' XML names each format");
        return 0;
    }
    if (options->domain == 0 && !options->allDomains && options->common.operandCount == 0) {
        snprintf(error, errorSize, "no image given");
        return 0;
    }
    if (options->domain != 0 && options->common.operandCount > 0) {
        snprintf(error, errorSize, "--domain takes its disks from the domain, not %s", options->common.operand);
        return 0;
    }
    if (options->connect != 0 && options->domain == 0 && !options->allDomains) {
        snprintf(error, errorSize, "--connect needs --domain or --all-domains");
        return 0;
    }
    if (options->domain != 0 && options->format != 0) {
        snprintf(error, errorSize, "--format and --domain exclude each other: the domain's XML names each format");
        return 0;
    }
    if (offset != kNotGiven && partition != 0) {
        snprintf(error, errorSize, "--offset and --partition exclude each other");
        return 0;
    }
    if (options->format != 0 && ImageFormatByName(options->format) == kFormatUnknown) {
        snprintf(error, errorSize, "--format needs one of raw, qcow2, vmdk, vhdx, vdi, not %s", options->format);
        return 0;
    }
    for (int i = 0; options->format != 0 && i < options->common.operandCount; i++) {
        if (IsNbdUri(options->common.operands[i])) {
            snprintf(error, errorSize, "--format does not apply to an NBD export: the server serves the disk's own bytes");
            return 0;
        }
    }
    if (options->copyFormat != 0 && ImageFormatByName(options->copyFormat) == kFormatUnknown) {
        snprintf(error, errorSize, "--copy-format needs one of raw, qcow2, vmdk, vhdx, vdi, not %s", options->copyFormat);
        return 0;
    }
    if (options->copyTo == 0 && (options->copyFormat != 0 || options->overwrite)) {
        snprintf(error, errorSize, "%s goes with --copy-to", options->copyFormat != 0 ? "--copy-format" : "--overwrite");
        return 0;
    }
    if (options->copyTo != 0 && options->domainCount == 0 && !options->allDomains && options->common.operandCount == 1 &&
        IsNbdUri(options->common.operands[0])) {
        snprintf(error, errorSize, "--copy-to copies an image file, not an NBD export");
        return 0;
    }
    if (options->copyTo != 0 &&
        (options->common.dryRun || options->common.operandCount > 1 || jobs > 1 || options->domainCount > 0 ||
         options->allDomains)) {
        snprintf(error, errorSize, "--copy-to copies one image and writes it: %s",
                 options->common.dryRun ? "leave out --dry-run" : "give one image");
        return 0;
    }
    // One list for several images would be truncated by each of them.
    if (options->common.operandCount > 1 && options->common.commandsFile != 0) {
        snprintf(error, errorSize, "--commands takes one image, not %d", options->common.operandCount);
        return 0;
    }
    options->jobs = (int)jobs;
    options->offsetGiven = offset != kNotGiven;
    options->offset = offset == kNotGiven ? 0 : (int64_t)offset;
    options->partition = (int)partition;
    options->failAt = (uint32_t)failAt;
    return 1;
}

int IsNbdUri(const char *operand) {
    const char *end = strstr(operand, "://");
    return strncmp(operand, "nbd", 3) == 0 && end != 0 && strcspn(operand, "/") == (size_t)(end - operand) + 1;
}
