#include "offer_registry.h"

#include <string.h>

const char kMainKey[] = "SOFTWARE\\Microsoft\\Internet Explorer\\Main";
const char kBrowser360Key[] = "Software\\360\\360se3";
const char kEncodedStartPage[] = "aHR0cHM6Ly93d3cuMjM0NS5jb20vP2Zyb209cXVpbGxldA==";

namespace {

const char *const kOfferKeys[] = {kMainKey, kBrowser360Key};
const char *const kAsideKeys[] = {"Software\\QuilletTestAside\\Main", "Software\\QuilletTestAside\\360se3"};

// Copies the tree at from to a fresh key at to.
void CopyKey(const char *from, const char *to) {
    DeleteKey(to);
    if (!KeyExists(from)) return;
    HKEY target;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, to, 0, 0, 0, KEY_ALL_ACCESS, 0, &target, 0) != ERROR_SUCCESS) return;
    RegCopyTreeA(HKEY_CURRENT_USER, from, target);
    RegCloseKey(target);
}

}  // namespace

RegistryValue ReadValue(const char *path, const char *name) {
    RegistryValue value;
    memset(&value, 0, sizeof value);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
    value.size = sizeof value.data - 1;
    value.present = RegQueryValueExA(key, name, 0, &value.type, (BYTE *)value.data, &value.size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return value;
}

void WriteValue(const char *path, const char *name, DWORD type, const void *data, DWORD size) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, 0, 0, KEY_ALL_ACCESS, 0, &key, 0) != ERROR_SUCCESS) return;
    RegSetValueExA(key, name, 0, type, (const BYTE *)data, size);
    RegCloseKey(key);
}

int KeyExists(const char *path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegCloseKey(key);
    return 1;
}

void CreateKey(const char *path) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, 0, 0, KEY_ALL_ACCESS, 0, &key, 0) != ERROR_SUCCESS) return;
    RegCloseKey(key);
}

void DeleteKey(const char *path) {
    RegDeleteTreeA(HKEY_CURRENT_USER, path);
    RegDeleteKeyA(HKEY_CURRENT_USER, path);
}

void SetAsideOfferKeys(void) {
    for (int i = 0; i < 2; i++) CopyKey(kOfferKeys[i], kAsideKeys[i]);
}

void PutBackOfferKeys(void) {
    for (int i = 0; i < 2; i++) CopyKey(kAsideKeys[i], kOfferKeys[i]);
    DeleteKey("Software\\QuilletTestAside");
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\360");  // the parent the cases made, unless it holds more
}
