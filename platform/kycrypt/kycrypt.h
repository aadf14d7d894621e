/* kycrypt: a keyed, reversible, length-preserving disguise for the passwords
 * that a data source stores (TARGETAUTH, LOGONAUTH). The setup library disguises
 * with fake_string and stores the bytes as upper-case hexadecimal; the driver
 * decodes the hexadecimal and reverses the disguise with unfake_string.
 * It disguises; it does not protect. */
#ifndef KYCRYPT_H
#define KYCRYPT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Disguises the NUL-terminated plain text with the key into out. The result
 * has exactly as many bytes as the text has characters (no NUL is added; the
 * bytes may hold 0). Returns the number of bytes written, or -1 when plain,
 * out or key is missing or the text does not fit size bytes. */
int fake_string(const char* plain, unsigned char* out, int size, const char* key);

/* Reverses fake_string: count disguised bytes with the same key give the plain
 * text, written to out with a terminating NUL (out must hold count + 1 bytes).
 * Returns count, or -1 when an argument is missing or count is negative. */
int unfake_string(const unsigned char* bytes, char* out, int count, const char* key);

#ifdef __cplusplus
}
#endif

#endif
