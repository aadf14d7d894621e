/* Password scrambling and small helpers shared by the server, the driver, the
 * setup library and the test tool.
 *
 * Scrambled form: for each byte of the plain text one scrambled byte followed
 * by one filler byte in 1..255, then a NUL; the buffer that receives it needs
 * 2 * strlen + 1 bytes. It disguises, it does not protect.
 *
 * Modes of scramble_string:
 *   0 first variant, unscramble (server, connection without FAZE2)
 *   1 first variant, scramble   (client, server without FAZE2)
 *   2 FAZE2, unscramble         (server, connection with FAZE2)
 *   3 FAZE2, scramble           (client, server with FAZE2)
 * In the first variant a plain byte equal to the live mask scrambles to 0 (and a
 * reader that stops at NUL sees the text end there); after eight bytes the mask
 * is 0 and bytes pass unchanged. FAZE2 never produces a 0 byte.
 *
 * Threading: no shared state; the filler generator is per thread. */
#ifndef KYVEK_CLIENT_COMMON_SCRAMBLE_H
#define KYVEK_CLIENT_COMMON_SCRAMBLE_H

#include <stddef.h>
#include <stdint.h>

#define KY_SCRAMBLE_UNSCRAMBLE 0
#define KY_SCRAMBLE_SCRAMBLE 1
#define KY_SCRAMBLE_FAZE2_UNSCRAMBLE 2
#define KY_SCRAMBLE_FAZE2_SCRAMBLE 3

/* server_get_info type 3 answers this when the server has FAZE2, and
 * server_set_attribute SERVER_ATTR_USE_FAZE2 with "1" switches it on. */
#define SERVER_HAS_FAZE2 "1"
#define SERVER_ATTR_USE_FAZE2 2

#ifdef __cplusplus
extern "C" {
#endif

/* Scrambles or unscrambles the NUL-terminated text in place (modes above).
 * Scrambling needs room for 2 * strlen + 1 bytes. Null text: nothing. */
void scramble_string(char* text, int mode);

/* The FAZE2 variant: flag 1 scrambles, 0 unscrambles. */
void scramble_string_faze2(char* text, int flag);

/* Decodes hexadecimal text (upper or lower case) into out and writes a NUL
 * after the bytes. An odd last character gives one byte with a low nibble of
 * 0. Returns the number of bytes, or -1 (out holds "") when a character is not
 * a hexadecimal digit, the text is null or out_size cannot hold the bytes and
 * the NUL. */
int hex_decode(const char* hex, char* out, size_t out_size);

/* Copies KY_CONFIGURATION_KEY with its NUL into buffer, stores its length
 * through out_length when given; 0, or -1 without touching the buffer when it
 * is null or size is below the key's length + 1. handle, unused, flag and dsn
 * only appear in the entry trace. */
int choose_ini_source(void* handle, void* unused, char* buffer, int32_t size, int32_t* out_length, uint32_t flag,
                      const char* dsn);

/* 1 when the service (port) text is present and not empty, else -1. */
int vek_lookup_service(const char* service, const char* protocol, long number);

#ifdef __cplusplus
}
#endif

#endif
