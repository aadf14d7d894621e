/* The identity every deliverable of this system shares, defined once: the
 * handshake's program identifier and protocol version, and the configuration
 * key under which the settings live. */
#ifndef KYVEK_COMMON_IDENTITY_H
#define KYVEK_COMMON_IDENTITY_H

/* Handshake identity of every peer of this system. */
#define KY_RPC_PROGRAM_ID "1999-1014-0000000001"
#define KY_RPC_VERSION 1
#define KY_RPC_MINOR_VERSION 0

/* The configuration key every deliverable of this system reads. */
#define KY_CONFIGURATION_KEY "SOFTWARE\\Kyronde Vekamar\\Configuration"

#endif
