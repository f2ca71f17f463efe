// Checks Quillet.exe's resources, read as a data file: icon group 10 with a
// 32 x 32 and a 16 x 16 image of 32 bits, bitmap 102 of 600 x 300 at 8 bits
// with 65 palette colours, the manifest, the version block, and both builds
// of bootsift (type 100, ids 100 and 101, language 2052) byte for byte as
// the files they were built from, and the banner pane's page.
//   quillet_resource_probe.exe Quillet.exe bootsift-x86.exe bootsift-x64.exe
#include <windows.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillet_version.h"
#include "resource_ids.h"

static int failures;

static void Check(int ok, const char *what) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) failures++;
}

static const BYTE *Resource(HMODULE module, LPCSTR type, LPCSTR name, WORD language, DWORD *size) {
    HRSRC found = FindResourceExA(module, type, name, language);
    if (found == NULL) return NULL;
    *size = SizeofResource(module, found);
    return (const BYTE *)LockResource(LoadResource(module, found));
}

static int SameAsFile(const BYTE *bytes, DWORD size, const char *path) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return 0;
    BYTE *content = (BYTE *)malloc(size + 1);
    size_t read = fread(content, 1, size + 1, file);
    fclose(file);
    int same = read == size && memcmp(content, bytes, size) == 0;
    free(content);
    return same;
}

// Type 100, language 2052 (Chinese, PRC): the file's bytes, and a PE header
// of the expected machine.
static void CheckBootProgram(HMODULE module, WORD id, const char *path, WORD machine, const char *what) {
    DWORD size = 0;
    const BYTE *program = Resource(module, MAKEINTRESOURCEA(100), MAKEINTRESOURCEA(id), 2052, &size);
    Check(program != NULL && SameAsFile(program, size, path) && size > 0x40 &&
              *(const WORD *)(program + *(const DWORD *)(program + 0x3C) + 4) == machine,
          what);
}

// The page that the pane opens as res://<program>/<name>: GBK text that
// says which program and version it is, needing nothing from outside.
static void CheckBannerPage(HMODULE module, const char *version) {
    DWORD size = 0;
    const BYTE *page = Resource(module, (LPCSTR)RT_HTML, IDR_BANNER_PAGE,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size);
    Check(page != NULL && size > 0, "RT_HTML " IDR_BANNER_PAGE " present");
    if (page == NULL || size == 0) return;
    char *text = (char *)calloc(size + 1, 1);
    memcpy(text, page, size);
    int nonAscii = 0;
    for (DWORD i = 0; i < size; i++) nonAscii += page[i] >= 0x80;
    Check(nonAscii > 0 && MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text, (int)size, NULL, 0) > 0,
          "the page is Chinese text in GBK");
    for (char *p = text; *p; p++) *p = (char)tolower((unsigned char)*p);
    Check(strstr(text, "charset=gb2312") != NULL, "the page declares its character set");
    char line[64];
    snprintf(line, sizeof line, "quillet <span id=\"version\">%s</span>", version);
    Check(strstr(text, line) != NULL, "the page names the product and its version");
    static const char *const kForeign[] = {"<script", "javascript:", "://", "src=", "href=", "url(", "@import",
                                           "expression(", "behavior", "<object", "<embed", "<iframe", "<link"};
    for (const char *foreign : kForeign) {
        char what[96];
        snprintf(what, sizeof what, "the page holds no \"%s\"", foreign);
        Check(strstr(text, foreign) == NULL, what);
    }
    free(text);
}

// The file version as text, "a.b.c.d", into `version`.
static void CheckVersion(const char *program, char *version, size_t versionSize) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(program, &ignored);
    BYTE *info = (BYTE *)malloc(size ? size : 1);
    Check(size != 0 && GetFileVersionInfoA(program, 0, size, info), "version block present");
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (VerQueryValueA(info, "\\", (void **)&fixed, &length) && fixed != NULL) {
        const DWORD versionHigh = MAKELONG(QUILLET_VERSION_MINOR, QUILLET_VERSION_MAJOR);
        const DWORD versionLow = MAKELONG(QUILLET_VERSION_TWEAK, QUILLET_VERSION_PATCH);
        Check(fixed->dwFileVersionMS == versionHigh && fixed->dwFileVersionLS == versionLow,
              "file version " QUILLET_VERSION);
        snprintf(version, versionSize, "%u.%u.%u.%u", (unsigned)HIWORD(fixed->dwFileVersionMS),
                 (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
                 (unsigned)LOWORD(fixed->dwFileVersionLS));
        Check(fixed->dwProductVersionMS == versionHigh && fixed->dwProductVersionLS == versionLow,
              "product version " QUILLET_VERSION);
    } else {
        Check(0, "fixed version info");
    }
    static const char *const expected[][2] = {
        {"FileVersion", QUILLET_VERSION_SHORT}, {"ProductVersion", QUILLET_VERSION_SHORT},   {"FileDescription", "Quillet (NT5/6 x86)"},
        {"InternalName", "Quillet"},     {"ProductName", "Quillet"},  {"OriginalFilename", "Quillet.exe"},
    };
    for (const auto &pair : expected) {
        char path[128];
        snprintf(path, sizeof path, "\\StringFileInfo\\080404b0\\%s", pair[0]);
        char *value = NULL;
        char what[160];
        snprintf(what, sizeof what, "%s is \"%s\"", pair[0], pair[1]);
        Check(VerQueryValueA(info, path, (void **)&value, &length) && value != NULL && strcmp(value, pair[1]) == 0, what);
    }
    free(info);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        printf("usage: quillet_resource_probe Quillet.exe bootsift-x86.exe bootsift-x64.exe\n");
        return 64;
    }
    HMODULE module = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module == NULL) {
        printf("FAILED: cannot load %s\n", argv[1]);
        return 1;
    }
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    DWORD size = 0;
    CheckBootProgram(module, 100, argv[2], 0x014C, "type 100 id 100 language 2052 is bootsift for x86");
    CheckBootProgram(module, 101, argv[3], 0x8664, "type 100 id 101 language 2052 is bootsift for x64");

    const BYTE *bitmap = Resource(module, (LPCSTR)RT_BITMAP, MAKEINTRESOURCEA(102), neutral, &size);
    const BITMAPINFOHEADER *header = (const BITMAPINFOHEADER *)bitmap;
    Check(header != NULL && size >= sizeof *header && header->biWidth == 600 && header->biHeight == 300 &&
              header->biBitCount == 8 && header->biCompression == BI_RGB,
          "bitmap 102 is 600 x 300 at 8 bits");
    Check(header != NULL && header->biClrUsed == 65 &&
              size == sizeof *header + 65 * 4 + 600 * 300,
          "bitmap 102 has a palette of 65 colours");

    const BYTE *group = Resource(module, (LPCSTR)RT_GROUP_ICON, MAKEINTRESOURCEA(10), neutral, &size);
    // GRPICONDIR: reserved, type, count, then 14-byte entries.
    int icons = group != NULL && size >= 6 ? *(const WORD *)(group + 4) : 0;
    int has32 = 0, has16 = 0;
    for (int i = 0; i < icons && 6 + (i + 1) * 14 <= (int)size; i++) {
        const BYTE *entry = group + 6 + i * 14;
        WORD bits = *(const WORD *)(entry + 6);
        if (entry[0] == 32 && entry[1] == 32 && bits == 32) has32 = 1;
        if (entry[0] == 16 && entry[1] == 16 && bits == 32) has16 = 1;
    }
    Check(icons == 2 && has32 && has16, "icon group 10 holds 32 x 32 and 16 x 16 images of 32 bits");

    const BYTE *manifest = Resource(module, (LPCSTR)RT_MANIFEST, MAKEINTRESOURCEA(1), neutral, &size);
    char *text = (char *)calloc(size + 1, 1);
    if (manifest != NULL) memcpy(text, manifest, size);
    Check(manifest != NULL && strstr(text, "level=\"requireAdministrator\" uiAccess=\"false\"") != NULL,
          "manifest requires administrator rights");
    Check(manifest != NULL && strstr(text, "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") != NULL &&
              strstr(text, "processorArchitecture=\"x86\" publicKeyToken=\"6595b64144ccf1df\"") != NULL,
          "manifest depends on common controls 6.0.0.0 for x86");
    free(text);

    char version[64] = "(none)";
    CheckVersion(argv[1], version, sizeof version);
    CheckBannerPage(module, version);
    FreeLibrary(module);
    printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
