/*
 * libkeyprobe: asks the bank's USB token three questions without running the token manager.
 *
 * Every query loads the vendor's SKF library on first use, connects to the first present
 * token anew, closes what it opened before returning, and returns a 32-bit SKF result code
 * (0 on success). Lengths and counts travel through pointers to unsigned long (64 bits).
 *
 * Certificate blob returned by LM_GetUserCert: tag-length-value items, each a 1-byte tag, a
 * 2-byte big-endian length and that many bytes. The first item is always C0 00 01 N, N being
 * the number of certificate items that follow; each certificate item holds one DER-encoded
 * X.509 certificate: C1 from an RSA container, C3 (encryption) and C2 (signature) from an SM2
 * container. Items follow the token's container order, encryption certificate first. A blob
 * holds at most 255 certificates; a certificate longer than 65535 bytes is left out.
 */
#ifndef KEYPROBE_H
#define KEYPROBE_H

#include <stdint.h>

#define KEYPROBE_OK 0x00000000u
#define KEYPROBE_INVALID_PARAM 0x0A000006u
#define KEYPROBE_BUFFER_TOO_SMALL 0x0A000020u
/* The SKF library could not be loaded or lacks a function the query needs. */
#define KEYPROBE_NOT_BOUND 0xFFFFFFFFu

#define KEYPROBE_TAG_COUNT 0xC0
#define KEYPROBE_TAG_RSA 0xC1
#define KEYPROBE_TAG_SM2_SIGN 0xC2
#define KEYPROBE_TAG_SM2_ENC 0xC3
#define KEYPROBE_MAX_CERT_ITEMS 255
#define KEYPROBE_MAX_CERT_LENGTH 65535

/* Names to pass to dlsym. Initialize has C++ linkage; its symbol is the decorated one. */
#define KEYPROBE_SYMBOL_USBKEY_ONLINE "LM_UsbkeyOnline"
#define KEYPROBE_SYMBOL_GET_SERIAL_NUM "LM_GetSerialNum"
#define KEYPROBE_SYMBOL_GET_USER_CERT "LM_GetUserCert"
#define KEYPROBE_SYMBOL_INITIALIZE "_Z10Initializev"

#ifdef __cplusplus
extern "C" {
#endif

/* Number of tokens present now. */
uint32_t LM_UsbkeyOnline(unsigned long* count);
/* Serial number of the first present token, NUL-terminated. *length: size of buffer on entry,
 * serial length + 1 on return. A null buffer only learns the size. */
uint32_t LM_GetSerialNum(char* buffer, unsigned long* length);
/* Certificates of the first application of the first present token, as the blob above.
 * *length: size of buffer on entry, size of the blob on return (also with
 * KEYPROBE_BUFFER_TOO_SMALL, so a call with *length == 0 learns the size). */
uint32_t LM_GetUserCert(unsigned char* buffer, unsigned long* length);

typedef uint32_t (*LM_UsbkeyOnline_fn)(unsigned long*);
typedef uint32_t (*LM_GetSerialNum_fn)(char*, unsigned long*);
typedef uint32_t (*LM_GetUserCert_fn)(unsigned char*, unsigned long*);
/* Type of Initialize as reached through dlsym. */
typedef long (*keyprobe_Initialize_fn)(void);

#ifdef __cplusplus
}

/* Loads the SKF library unless it is already loaded: 0 on success, -1 when the library file
 * cannot be opened (the loader's message then goes to standard error). Every query calls it
 * first; calling it is never required. Safe to call from several threads at once. */
long Initialize();
#endif

#endif
