// The registry keys the start-page offer reads and writes, for the Wine
// programs that prepare them per case and put the user's own back after.
#ifndef QUILLET_OFFER_REGISTRY_H
#define QUILLET_OFFER_REGISTRY_H

#include <windows.h>

extern const char kMainKey[];        // Internet Explorer's, under HKEY_CURRENT_USER
extern const char kBrowser360Key[];  // the 360 browser's
// Base64 of "https://www.2345.com/?from=quillet", the promoted address.
extern const char kEncodedStartPage[];

struct RegistryValue {
    int present;
    DWORD type;
    DWORD size;
    char data[1024];  // zero-terminated even when the value was not
};

RegistryValue ReadValue(const char *path, const char *name);
// Creates the key when it is missing.
void WriteValue(const char *path, const char *name, DWORD type, const void *data, DWORD size);
int KeyExists(const char *path);
void CreateKey(const char *path);
void DeleteKey(const char *path);

// Moves both keys aside for the run and brings them back afterwards.
void SetAsideOfferKeys(void);
void PutBackOfferKeys(void);

#endif
