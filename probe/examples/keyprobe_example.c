/* Loads libkeyprobe the way another program would and prints what it learns from the token:
 * the number of tokens, the first token's serial number and its certificate items.
 * Usage: keyprobe_example [path of libkeyprobe.so]
 * Build it like any program of the machine: cc keyprobe_example.c $(pkg-config --cflags --libs keyprobe) -ldl */
#include "keyprobe.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

/* Without a path from the build, the loader finds the library by its soname on this program's
 * run path, which keyprobe.pc adds to the link flags. */
#ifndef KEYPROBE_LIBRARY
#define KEYPROBE_LIBRARY "libkeyprobe.so.1"
#endif

static void* bind(void* library, const char* name)
{
    void* address = dlsym(library, name);
    if (address == NULL)
        fprintf(stderr, "keyprobe_example: %s is missing\n", name);
    return address;
}

static void printCertificates(const unsigned char* blob, unsigned long size)
{
    if (size < 4 || blob[0] != KEYPROBE_TAG_COUNT) {
        printf("certificates: malformed blob of %lu bytes\n", size);
        return;
    }
    printf("certificates: %u\n", (unsigned)blob[3]);
    unsigned long pos = 4;
    for (unsigned item = 1; pos + 3 <= size; ++item) {
        unsigned long len = ((unsigned long)blob[pos + 1] << 8) | blob[pos + 2];
        if (pos + 3 + len > size) {
            printf("  item %u: truncated\n", item);
            return;
        }
        printf("  item %u: tag 0x%02X, %lu bytes\n", item, (unsigned)blob[pos], len);
        pos += 3 + len;
    }
}

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : KEYPROBE_LIBRARY;
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "keyprobe_example: %s\n", dlerror());
        return 1;
    }
    LM_UsbkeyOnline_fn usbkeyOnline = (LM_UsbkeyOnline_fn)bind(library, KEYPROBE_SYMBOL_USBKEY_ONLINE);
    LM_GetSerialNum_fn getSerialNum = (LM_GetSerialNum_fn)bind(library, KEYPROBE_SYMBOL_GET_SERIAL_NUM);
    LM_GetUserCert_fn getUserCert = (LM_GetUserCert_fn)bind(library, KEYPROBE_SYMBOL_GET_USER_CERT);
    if (usbkeyOnline == NULL || getSerialNum == NULL || getUserCert == NULL)
        return 1;

    unsigned long count = 0;
    uint32_t rc = usbkeyOnline(&count);
    if (rc != KEYPROBE_OK) {
        printf("tokens: error 0x%08X\n", rc);
        return 1;
    }
    printf("tokens: %lu\n", count);
    if (count == 0)
        return 0;

    char serial[64];
    unsigned long serialLength = sizeof serial;
    rc = getSerialNum(serial, &serialLength);
    if (rc == KEYPROBE_OK)
        printf("serial: %s\n", serial);
    else
        printf("serial: error 0x%08X\n", rc);

    /* Learn the size first, then fetch into a buffer of exactly that size. */
    unsigned long blobSize = 0;
    rc = getUserCert(NULL, &blobSize);
    if (rc != KEYPROBE_BUFFER_TOO_SMALL) {
        printf("certificates: error 0x%08X\n", rc);
        return 0;
    }
    unsigned char* blob = malloc(blobSize);
    if (blob == NULL)
        return 1;
    rc = getUserCert(blob, &blobSize);
    if (rc == KEYPROBE_OK)
        printCertificates(blob, blobSize);
    else
        printf("certificates: error 0x%08X\n", rc);
    free(blob);
    return 0;
}
