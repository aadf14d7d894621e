/* Parsers of text that comes from outside the process: base64 (HTTP
 * authorisation headers), tokenisers of settings lists, and dotted-quad
 * addresses with their masks. Pure functions of their arguments: any thread. */
#ifndef KYVEK_SERVER_TEXT_PARSERS_H
#define KYVEK_SERVER_TEXT_PARSERS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes to reserve for decoding text: ((n + 3) / 4) * 3 + 1, n = the number of
 * leading base64 characters. */
size_t base64_decoded_size(const char* text);

/* Decodes the leading run of base64 characters; out gets the bytes and a NUL.
 * Returns the number of bytes decoded. */
size_t base64_decode(unsigned char* out, const char* text);
size_t base64_decode_text(char* out, const char* text); /* same, for text buffers */

/* Cuts text at the first of separators (overwritten with NUL). text NULL
 * continues from *cursor. Returns the token, or NULL when exhausted. */
char* next_token(char* text, const char* separators, char** cursor);

/* Cuts text into at most slots parts: each part a malloc'ed copy, the last slot
 * the uncut rest (not copied; NULL when nothing is left). Returns the number of
 * slots written + 1, or -1 when text is NULL, slots < 1 or a copy fails. */
int split_string(const char* separators, int slots, char** out, char* text);

/* 0 for acceptable dotted-quad text (exactly four groups when complete is
 * non-zero); -1 otherwise with *stop (when given) at the offending character,
 * or NULL when the text ended too early. */
int check_ip_address(const char* text, int complete, const char** stop);

/* check_ip_address of text; when that stops at a "/", the text after it
 * decides: a dotted mask ("10.0.0.0/255.0.0.0") or, after a full address, a
 * prefix length of 0 to 32 ("10.0.0.0/8"). */
int parse_ip_and_mask(const char* text, int complete, const char** stop);

/* The listener's bind address: IPv4 dotted ("127.0.0.1") or IPv6, bracketed
 * or not ("::1", "[::1]"). Fills *out (sockaddr_in or sockaddr_in6, port 0)
 * and returns its length; 0 when the text is neither. */
struct sockaddr_storage;
unsigned parse_bind_address(const char* text, struct sockaddr_storage* out);

/* The numeric text of a socket address (IPv4 dotted, IPv6 without brackets;
 * an IPv4-mapped IPv6 address as its IPv4 address), cut to fit size; "" when
 * it has none. */
void socket_address_text(const struct sockaddr* address, char* out, unsigned size);

/* The prefix length of a CIDR item's text after the "/": 0 to 32 written in
 * one or two digits; -1 otherwise. */
int parse_prefix_length(const char* text);

#ifdef __cplusplus
}
#endif

#endif
