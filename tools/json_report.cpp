#include "json_report.h"

#include <stdio.h>

#include "quillet_version.h"

namespace {

// The length of the valid UTF-8 sequence at `text` (`left` bytes remain),
// 0 when none starts there: no overlong forms, no surrogates, nothing past
// U+10FFFF.
size_t Utf8Length(const unsigned char *text, size_t left) {
    const unsigned char lead = text[0];
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || length > left || lead == 0xC0 || lead == 0xC1 || lead > 0xF4) return 0;
    for (size_t i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80) return 0;
    }
    if (lead == 0xE0 && text[1] < 0xA0) return 0;   // overlong
    if (lead == 0xED && text[1] >= 0xA0) return 0;  // a surrogate
    if (lead == 0xF0 && text[1] < 0x90) return 0;   // overlong
    if (lead == 0xF4 && text[1] >= 0x90) return 0;  // past U+10FFFF
    return length;
}

bool IsUtf8(const std::string &bytes) {
    for (size_t at = 0; at < bytes.size();) {
        size_t length = Utf8Length((const unsigned char *)bytes.data() + at, bytes.size() - at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string Hex(const std::string &bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

std::string Number(int64_t value) { return value < 0 ? "null" : std::to_string(value); }

std::string TextOrNull(const std::string &text) { return text.empty() ? "null" : JsonString(text); }

// "path" and, for a name that is no UTF-8 (Linux allows any bytes but / and
// NUL), "path_hex" with its exact bytes, so that a script can find the file.
std::string JsonPathFields(const std::string &path) {
    // A libvirt domain refused as a whole has no path of its own.
    if (path.empty()) return "\"path\": null";
    std::string out = "\"path\": " + JsonString(path);
    if (!IsUtf8(path)) out += ", \"path_hex\": \"" + Hex(path) + "\"";
    return out;
}

}  // namespace

std::string JsonString(const std::string &bytes) {
    std::string out = "\"";
    for (size_t at = 0; at < bytes.size();) {
        const unsigned char byte = (unsigned char)bytes[at];
        size_t length = Utf8Length((const unsigned char *)bytes.data() + at, bytes.size() - at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            at++;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += (char)byte;
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out.append(bytes, at, length);
        }
        at += length;
    }
    return out + "\"";
}

void AddReason(std::string *reason, const std::string &text) {
    if (!reason->empty()) *reason += "\n";
    *reason += text;
}

std::string FormatInputJson(const InputResult &input) {
    std::string out = "{" + JsonPathFields(input.path);
    if (!input.domain.empty()) {
        out += ", \"domain\": " + JsonString(input.domain) + ", \"disk\": " + TextOrNull(input.disk);
    }
    out += ", \"format\": " + TextOrNull(input.format) +
                      ", \"virtual_size\": " + Number(input.size) +
                      ", \"allocation_before\": " + Number(input.allocationBefore) +
                      ", \"allocation_after\": " + Number(input.allocationAfter) +
                      ", \"status\": " + std::to_string(input.status) + ", \"reason\": " + TextOrNull(input.reason) +
                      ", \"volumes\": [";
    for (size_t i = 0; i < input.volumes.size(); i++) {
        const VolumeResult &volume = input.volumes[i];
        out += std::string(i == 0 ? "" : ",") + "\n    {\"number\": " +
               (volume.number > 0 ? std::to_string(volume.number) : "null") +
               ", \"offset\": " + std::to_string(volume.offset) + ", \"type\": " + TextOrNull(volume.type) +
               ", \"outcome\": \"" + volume.outcome + "\", \"reason\": " + TextOrNull(volume.reason) +
               ", \"status\": " + std::to_string(volume.status) + ", \"commands\": " +
               std::to_string(volume.commands) + ", \"bytes_trimmed\": " + std::to_string(volume.bytesTrimmed) +
               ", \"clusters\": " + std::to_string(volume.clusters) +
               ", \"cluster_size\": " + (volume.clusterSize != 0 ? std::to_string(volume.clusterSize) : "null") +
               ", \"would_release\": " + (volume.releaseKnown ? std::to_string(volume.wouldRelease) : "null") +
               "}";
    }
    return out + (input.volumes.empty() ? "]}" : "\n  ]}");
}

std::string FormatRunJson(const char *program, int dryRun, int status, const char *listName,
                          const std::vector<std::string> &inputs) {
    std::string out = std::string("{\"program\": \"") + program + "\", \"version\": " + JsonString(QUILLET_VERSION) +
                      ", \"dry_run\": " + (dryRun ? "true" : "false") + ", \"status\": " + std::to_string(status) +
                      ", \"" + listName + "\": [";
    for (size_t i = 0; i < inputs.size(); i++) out += std::string(i == 0 ? "\n  " : ",\n  ") + inputs[i];
    return out + (inputs.empty() ? "]}\n" : "\n]}\n");
}
