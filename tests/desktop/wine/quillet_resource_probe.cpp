// Checks Quillet.exe's resources, read as a data file: icon group 10 with a
// 32 x 32 and a 16 x 16 image of 32 bits, bitmap 102 of 600 x 300 at 8 bits
// with 65 palette colours, the manifest, both builds of bootsift (type 100,
// ids 100 and 101, language 2052) byte for byte as the files they were
// built from, and the banner pane's page. The version block is checked
// with the PE file (check-pe.sh).
//   quillet_resource_probe.exe Quillet.exe bootsift-x86.exe bootsift-x64.exe
#include <windows.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillet_version.h"
#include "resource_ids.h"
#include "wine_check.h"

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
    CHECK_THAT(program != NULL && SameAsFile(program, size, path) && size > 0x40 &&
              *(const WORD *)(program + *(const DWORD *)(program + 0x3C) + 4) == machine,
          what);
}

// The page that the pane opens as res://<program>/<name>: GBK text that
// says which program and version it is, needing nothing from outside.
static void CheckBannerPage(HMODULE module, const char *version) {
    DWORD size = 0;
    const BYTE *page = Resource(module, (LPCSTR)RT_HTML, IDR_BANNER_PAGE,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size);
    CHECK_THAT(page != NULL && size > 0, "RT_HTML " IDR_BANNER_PAGE " present");
    if (page == NULL || size == 0) return;
    char *text = (char *)calloc(size + 1, 1);
    memcpy(text, page, size);
    int nonAscii = 0;
    for (DWORD i = 0; i < size; i++) nonAscii += page[i] >= 0x80;
    CHECK_THAT(nonAscii > 0 && MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text, (int)size, NULL, 0) > 0,
          "the page is Chinese text in GBK");
    for (char *p = text; *p; p++) *p = (char)tolower((unsigned char)*p);
    CHECK_THAT(strstr(text, "charset=gb2312") != NULL, "the page declares its character set");
    char line[64];
    snprintf(line, sizeof line, "quillet <span id=\"version\">%s</span>", version);
    CHECK_THAT(strstr(text, line) != NULL, "the page names the product and its version");
    static const char *const kForeign[] = {"<script", "javascript:", "://", "src=", "href=", "url(", "@import",
                                           "expression(", "behavior", "<object", "<embed", "<iframe", "<link"};
    for (const char *foreign : kForeign) {
        char what[96];
        snprintf(what, sizeof what, "the page holds no \"%s\"", foreign);
        CHECK_THAT(strstr(text, foreign) == NULL, what);
    }
    free(text);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        printf("usage: quillet_resource_probe Quillet.exe bootsift-x86.exe bootsift-x64.exe\n");
        return 64;
    }
    ExitOnCrash();
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
    CHECK_THAT(header != NULL && size >= sizeof *header && header->biWidth == 600 && header->biHeight == 300 &&
              header->biBitCount == 8 && header->biCompression == BI_RGB,
          "bitmap 102 is 600 x 300 at 8 bits");
    CHECK_THAT(header != NULL && header->biClrUsed == 65 &&
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
    CHECK_THAT(icons == 2 && has32 && has16, "icon group 10 holds 32 x 32 and 16 x 16 images of 32 bits");

    const BYTE *manifest = Resource(module, (LPCSTR)RT_MANIFEST, MAKEINTRESOURCEA(1), neutral, &size);
    char *text = (char *)calloc(size + 1, 1);
    if (manifest != NULL) memcpy(text, manifest, size);
    CHECK_THAT(manifest != NULL && strstr(text, "level=\"requireAdministrator\" uiAccess=\"false\"") != NULL,
          "manifest requires administrator rights");
    CHECK_THAT(manifest != NULL && strstr(text, "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") != NULL &&
              strstr(text, "processorArchitecture=\"x86\" publicKeyToken=\"6595b64144ccf1df\"") != NULL,
          "manifest depends on common controls 6.0.0.0 for x86");
    CHECK_THAT(manifest != NULL && strstr(text, "name=\"Quillet\" version=\"" QUILLET_VERSION "\"") != NULL,
               "manifest names Quillet " QUILLET_VERSION);
    free(text);

    CheckBannerPage(module, QUILLET_VERSION);
    FreeLibrary(module);
    printf("%d failed checks\n", checkFailures);
    return checkFailures == 0 ? 0 : 1;
}
