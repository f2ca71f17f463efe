// What a run did, per input and per volume, kept for --output=json: one
// JSON document on stdout that scripts read instead of the prose. The
// front ends fill the records as they go; nothing here prints.
#ifndef QUILLET_HOST_JSON_REPORT_H
#define QUILLET_HOST_JSON_REPORT_H

#include <stdint.h>

#include <string>
#include <vector>

// One volume of an input: a partition (number 1 up) or the volume at an
// offset (number 0).
struct VolumeResult {
    int number;
    int64_t offset;
    std::string type;     // the partition type's name as the text output gives it; empty: none
    const char *outcome;  // "trimmed", "refused" or "skipped"
    std::string reason;   // what was said on stderr (or why it was skipped); empty: none
    int status;
    uint32_t commands;
    uint64_t bytesTrimmed;
    uint64_t clusters;     // trimmed (or, in a dry run, that would be)
    uint32_t clusterSize;  // 0: the volume was not opened
    int releaseKnown;      // a dry run on an image that can tell:
    int64_t wouldRelease;  // the bytes the image would give back
};

// One input (an image, a partition) and its volumes.
struct InputResult {
    std::string path;    // the image's path, or the NBD URI
    std::string domain;  // the libvirt domain the disk is one of; empty: none
    std::string disk;    // its target there ("vda"); empty: none
    std::string format;  // empty: not an image, or unknown (an NBD export)
    int64_t size;        // of the disk the volumes lie on (an image's virtual size); -1 unknown
    int64_t allocationBefore, allocationAfter;  // st_blocks * 512; -1 unknown or not a file
    int status;
    std::string reason;  // refusals of the input itself, one per line
    std::vector<VolumeResult> volumes;
};

// `bytes` as a JSON string, quotes included. Control characters, quotes and
// backslashes are escaped; valid UTF-8 is kept; every byte that is not part
// of valid UTF-8 becomes U+FFFD (an input whose path is no UTF-8 also gets
// "path_hex", its exact bytes).
std::string JsonString(const std::string &bytes);

// Appends `text` to `reason`, one line each.
void AddReason(std::string *reason, const std::string &text);

// One input as a JSON object.
std::string FormatInputJson(const InputResult &input);

// The whole document: the program, its version, the dry run, the overall
// status and the inputs (JSON objects from FormatInputJson) under `listName`.
std::string FormatRunJson(const char *program, int dryRun, int status, const char *listName,
                          const std::vector<std::string> &inputs);

#endif
